// The proxy client against the scripted fake proxy: the race of the four
// methods, the exact requests, the NTLM exchange, refusals and descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fake_proxy_script.h"
#include "loopback.h"
#include "support/fake_proxy.h"
#include "transport/zarq_proxy_client.h"

namespace {

using fakeproxy::Policy;
using testsupport::FakeProxy;
using testsupport::FakeProxyReply;

struct Creds {
  std::string user = "user", password = "s3cret", domain = "dom1", host = "abc";
};

int Open(const char* proxy, int port, PROXY_AUTH_TYPE type, Creds c = Creds(), const char* target = "10.0.0.5") {
  PROXY_SERVER_INFO server{const_cast<char*>(proxy), static_cast<uint16_t>(port)};
  PROXY_TARGET_INFO t{const_cast<char*>(target), 8443};
  PROXY_AUTH_INFO auth{c.user.data(), c.password.data(), c.domain.data(), c.host.data(), type};
  return ZARQProxyTunnelOpen(&server, &t, &auth);
}

// The first byte the proxy sent after its 200, or 0.
char ReadTag(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) return 0;
  char c = 0;
  return recv(fd, &c, 1, 0) == 1 ? c : 0;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The port at the other end of a connected socket, or -1.
int PeerPort(int fd) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

class ProxyClient : public ::testing::Test {
 protected:
  void StartProxy(const FakeProxy::Script& script) {
    std::string error;
    ASSERT_TRUE(proxy_.Start(script, &error)) << error;
  }
  FakeProxy proxy_;
};

const char kNoAuthRequest[] =
    "CONNECT 10.0.0.5:8443 HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\nHost: 10.0.0.5:8443\r\n"
    "Content-Length: 0\r\n\r\n";

TEST_F(ProxyClient, OpenProxyKeepsNoAuthAndClosesTheOtherThree) {
  ASSERT_NO_FATAL_FAILURE(StartProxy(Policy().Script()));
  loopback::Fd sock(Open("127.0.0.1", proxy_.port(), PROXY_AUTO_AUTH));
  ASSERT_GE(sock.get(), 0);
  EXPECT_EQ('N', ReadTag(sock.get()));
  EXPECT_TRUE(proxy_.WaitClosed(3, std::chrono::seconds(5)));
  EXPECT_EQ(4, proxy_.Accepted());
  EXPECT_EQ(3, proxy_.Closed());
  int kept_requests = 0;
  for (const FakeProxy::Request& r : proxy_.Requests()) {
    if (r.text.find("Proxy-Authorization") == std::string::npos) {
      EXPECT_EQ(kNoAuthRequest, r.text);
      ++kept_requests;
    }
  }
  EXPECT_EQ(1, kept_requests);
  // The kept socket is the target's stream.
  ASSERT_TRUE(loopback::SendAll(sock.get(), "ping"));
  pollfd p{sock.get(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 5000));
  EXPECT_EQ("ping", loopback::RecvExactly(sock.get(), 4));
  int flags = fcntl(sock.get(), F_GETFL);
  EXPECT_TRUE(flags & O_NONBLOCK);
  EXPECT_TRUE(fcntl(sock.get(), F_GETFD) & FD_CLOEXEC);
}

// Accepted methods -> the method whose socket is kept.
TEST_F(ProxyClient, FirstSuccessfulMethodInTableOrderWins) {
  struct Case {
    const char* accept;
    char kept;
  } cases[] = {{"B12", 'B'}, {"12", '1'}, {"2", '2'}, {"B", 'B'}};
  for (const Case& c : cases) {
    Policy policy;
    policy.accept = c.accept;
    FakeProxy proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(policy.Script(), &error)) << error;
    loopback::Fd sock(Open("127.0.0.1", proxy.port(), PROXY_AUTO_AUTH));
    ASSERT_GE(sock.get(), 0) << c.accept;
    EXPECT_EQ(c.kept, ReadTag(sock.get())) << c.accept;
    // Every other connection is closed by the client, the refused ones too.
    EXPECT_TRUE(proxy.WaitClosed(3, std::chrono::seconds(5))) << c.accept;
  }
}

TEST_F(ProxyClient, OnlyNtlmV2AcceptedAfterTheFullExchange) {
  Policy policy;
  policy.accept = "2";
  ASSERT_NO_FATAL_FAILURE(StartProxy(policy.Script()));
  loopback::Fd sock(Open("127.0.0.1", proxy_.port(), PROXY_NTLMv2_AUTH));
  ASSERT_GE(sock.get(), 0);
  EXPECT_EQ('2', ReadTag(sock.get()));
  std::vector<FakeProxy::Request> requests = proxy_.Requests();
  ASSERT_EQ(2u, requests.size());
  // Both on one kept-alive connection: the 407's 20-byte body was dropped in between.
  EXPECT_EQ(requests[0].connection, requests[1].connection);
  std::string negotiate = fakeproxy::Decode(fakeproxy::Token(requests[0].text, "NTLM"));
  ASSERT_EQ(39u, negotiate.size());
  EXPECT_EQ(std::string("\x05\x82\x08\x00", 4), negotiate.substr(12, 4));
  EXPECT_EQ("ABCDOM1", negotiate.substr(32));
  std::string auth = fakeproxy::Decode(fakeproxy::Token(requests[1].text, "NTLM"));
  ASSERT_GE(auth.size(), 64u);
  EXPECT_EQ(std::string("\x05\x82\x08\x00", 4), auth.substr(60, 4));  // the challenge's flags
  EXPECT_EQ(24u, fakeproxy::Le16(auth, 12));
  EXPECT_EQ(48u, fakeproxy::Le16(auth, 20));  // the challenge carries empty target information
}

TEST_F(ProxyClient, Version1ExchangeAndItsLayout) {
  Policy policy;
  policy.accept = "1";
  policy.challenge_len = 32;
  ASSERT_NO_FATAL_FAILURE(StartProxy(policy.Script()));
  Creds c;
  c.user = "abc";
  c.host = "xyz";
  loopback::Fd sock(Open("127.0.0.1", proxy_.port(), PROXY_NTLM_AUTH, c));
  ASSERT_GE(sock.get(), 0);
  EXPECT_EQ('1', ReadTag(sock.get()));
  std::vector<FakeProxy::Request> requests = proxy_.Requests();
  ASSERT_EQ(2u, requests.size());
  std::string negotiate = fakeproxy::Decode(fakeproxy::Token(requests[0].text, "NTLM"));
  EXPECT_EQ(std::string("\x01\x82\x00\x00", 4), negotiate.substr(12, 4));
  std::string auth = fakeproxy::Decode(fakeproxy::Token(requests[1].text, "NTLM"));
  ASSERT_EQ(132u, auth.size());
  EXPECT_EQ(std::string("D\0O\0M\0" "1\0", 8), auth.substr(64, 8));
  EXPECT_EQ(std::string("a\0b\0c\0", 6), auth.substr(72, 6));
  EXPECT_EQ(std::string("X\0Y\0Z\0", 6), auth.substr(78, 6));
  EXPECT_EQ(84u, fakeproxy::Le16(auth, 16));
  EXPECT_EQ(108u, fakeproxy::Le16(auth, 24));
}

// Challenge length -> whether an AUTHENTICATE follows and the method wins.
TEST_F(ProxyClient, ChallengeLengths) {
  for (size_t len : {24u, 25u, 31u, 32u, 45u, 46u, 49u}) {
    Policy policy;
    policy.accept = "2";
    policy.challenge_len = len;
    FakeProxy proxy;
    std::string error;
    ASSERT_TRUE(proxy.Start(policy.Script(), &error)) << error;
    int sock = Open("127.0.0.1", proxy.port(), PROXY_NTLMv2_AUTH);
    bool accepted = len >= 32;
    EXPECT_EQ(accepted, sock >= 0) << len;
    EXPECT_EQ(accepted ? 2u : 1u, proxy.Requests().size()) << len;
    if (sock >= 0) close(sock);
  }
}

TEST_F(ProxyClient, BasicCarriesUserColonPasswordEvenWhenEmpty) {
  Policy policy;
  policy.accept = "B";
  policy.basic = "user:";
  ASSERT_NO_FATAL_FAILURE(StartProxy(policy.Script()));
  Creds c;
  c.password = "";
  loopback::Fd sock(Open("127.0.0.1", proxy_.port(), PROXY_BASIC_AUTH, c));
  ASSERT_GE(sock.get(), 0);
  EXPECT_EQ('B', ReadTag(sock.get()));
  ASSERT_EQ(1u, proxy_.Requests().size());
  EXPECT_NE(std::string::npos, proxy_.Requests()[0].text.find("\r\nProxy-Authorization: Basic dXNlcjo=\r\n\r\n"));
  EXPECT_EQ(0u, proxy_.Requests()[0].text.find(std::string(kNoAuthRequest, sizeof kNoAuthRequest - 3)));
}

// Answers every request alike; the race must fail and close all four.
TEST_F(ProxyClient, MalformedAnswersFailEveryMethod) {
  std::string many_headers = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 101; ++i) many_headers += "X-Filler: " + std::to_string(i) + "\r\n";
  struct Case {
    const char* what;
    std::string answer;
  } cases[] = {
      {"no status code", "HTTP/1.1 Connection established\r\n\r\n"},
      {"a header line over 8191 bytes", "HTTP/1.1 200 OK\r\nX: " + std::string(8200, 'a') + "\r\n\r\n"},
      {"more than 100 header lines", many_headers + "\r\n"},
      {"401 instead of 407", "HTTP/1.0 401 Unauthorized\r\n\r\n"},
  };
  for (const Case& c : cases) {
    FakeProxy proxy;
    std::string error;
    std::string answer = c.answer;
    ASSERT_TRUE(proxy.Start([answer](int, const std::string&) { return FakeProxyReply{answer}; }, &error));
    EXPECT_EQ(-2, Open("127.0.0.1", proxy.port(), PROXY_AUTO_AUTH)) << c.what;
    EXPECT_TRUE(proxy.WaitClosed(4, std::chrono::seconds(5))) << c.what;
  }
}

TEST_F(ProxyClient, UnresolvableProxyFailsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-2, Open("proxy.invalid", 3128, PROXY_AUTO_AUTH));
  EXPECT_LT(loopback::SecondsSince(start), 5.0);
}

TEST_F(ProxyClient, BadParameters) {
  Creds c;
  PROXY_SERVER_INFO server{const_cast<char*>("127.0.0.1"), 1};
  PROXY_TARGET_INFO target{const_cast<char*>("10.0.0.5"), 1};
  PROXY_AUTH_INFO auth{c.user.data(), c.password.data(), c.domain.data(), nullptr, PROXY_AUTO_AUTH};
  EXPECT_EQ(-6, ZARQProxyTunnelOpen(&server, &target, &auth));
  EXPECT_EQ(-6, ZARQProxyTunnelOpen(nullptr, &target, &auth));
  EXPECT_EQ(-6, Open("", 1, PROXY_AUTO_AUTH));
  EXPECT_EQ(-6, Open("127.0.0.1", 1, PROXY_AUTO_AUTH, c, ""));
  // A target that would add header lines to the request.
  EXPECT_EQ(-6, Open("127.0.0.1", 1, PROXY_AUTO_AUTH, c, "10.0.0.5:1\r\nX-Evil: 1"));
  EXPECT_EQ(-6, Open("127.0.0.1", 1, PROXY_AUTO_AUTH, c, "a b"));
}

TEST_F(ProxyClient, RefusedConnectFailsEveryMethod) {
  int port = 0;
  loopback::Fd bound = loopback::Listener(-1, &port);  // bound, not listening
  EXPECT_EQ(-1, ZARQProxyConnect("127.0.0.1", static_cast<uint16_t>(port)));
  EXPECT_EQ(-2, Open("127.0.0.1", port, PROXY_AUTO_AUTH));
}

TEST_F(ProxyClient, SilentProxyGivesUpAfterSixWaits) {
  ASSERT_NO_FATAL_FAILURE(StartProxy([](int, const std::string&) {
    FakeProxyReply r;
    r.silent = true;
    return r;
  }));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-2, Open("127.0.0.1", proxy_.port(), PROXY_NO_AUTH));
  double took = loopback::SecondsSince(start);
  EXPECT_GT(took, 11.0);
  EXPECT_LT(took, 15.0);
  EXPECT_TRUE(proxy_.WaitClosed(1, std::chrono::seconds(5)));
}

// Descriptor 0 is a socket like any other when standard input is closed.
// The fixture makes sure descriptor 0 is open (a test may run without
// standard input) before the proxy's own descriptors are made, so that the
// test's close(0) frees exactly that number; afterwards it restores what was
// there.
class StdinClosed : public ProxyClient {
 protected:
  void SetUp() override {
    if (IsOpen(0)) {
      saved_ = fcntl(0, F_DUPFD_CLOEXEC, 3);
      ASSERT_GE(saved_, 0);
    } else {
      ASSERT_EQ(0, open("/dev/null", O_RDONLY));
    }
  }
  void TearDown() override {
    // The proxy may hold descriptor 0 for one of its connections: it closes
    // its own first, so that what is left at 0 is the test's.
    proxy_.Stop();
    if (IsOpen(0)) close(0);
    if (saved_ >= 0) {
      ASSERT_EQ(0, dup2(saved_, 0));
      close(saved_);
    }
  }
  int saved_ = -1;
};

TEST_F(StdinClosed, DescriptorZeroIsKeptWhenItWins) {
  ASSERT_NO_FATAL_FAILURE(StartProxy(Policy().Script()));
  ASSERT_EQ(0, close(0));
  int sock = Open("127.0.0.1", proxy_.port(), PROXY_NO_AUTH);
  EXPECT_EQ(0, sock);
  EXPECT_EQ('N', ReadTag(0));
}

TEST_F(StdinClosed, DescriptorZeroIsNeverLeakedByTheRace) {
  Policy policy;
  policy.accept = "2";
  ASSERT_NO_FATAL_FAILURE(StartProxy(policy.Script()));
  ASSERT_EQ(0, close(0));
  int sock = Open("127.0.0.1", proxy_.port(), PROXY_AUTO_AUTH);
  ASSERT_GE(sock, 0);
  EXPECT_EQ('2', ReadTag(sock));
  // Whichever method got descriptor 0, it is either the kept one or closed.
  // (Once a losing method has closed it, the fake proxy's own end of a later
  // connection may take the number; that socket's local port is the proxy's.)
  if (sock != 0 && IsOpen(0)) {
    EXPECT_NE(proxy_.port(), PeerPort(0));
  }
  EXPECT_TRUE(proxy_.WaitClosed(3, std::chrono::seconds(5)));
  if (sock != 0) close(sock);
}

}  // namespace
