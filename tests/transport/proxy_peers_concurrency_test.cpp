// The proxy client and ProxyChannel against real proxies: tinyproxy (Basic)
// and squid (NTLM through its fake helper, Basic through another).
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "loopback.h"
#include "proxy_peers.h"
#include "support/background_process.h"
#include "support/relay_stand_in.h"
#include "support/temp_dir.h"
#include "transport/proxy_channel.h"
#include "transport/zarq_proxy_client.h"

namespace {

// Exposes the rings' fill levels.
class ProbeProxyChannel : public ProxyChannel {
 public:
  using ProxyChannel::ProxyChannel;
  size_t buffered() const { return r_size + w_size; }
};

ProxyInfo Info(int port, const std::string& user, const std::string& password, const std::string& domain = "") {
  ProxyInfo info;
  info.use_proxy = true;
  info.proxy_ip = "127.0.0.1";
  info.proxy_port = static_cast<uint16_t>(port);
  info.user_name = user;
  info.password = password;
  info.domain = domain;
  info.host = "ws1";
  return info;
}

int OpenOne(int proxy_port, int target_port, PROXY_AUTH_TYPE type, std::string user, std::string password,
            std::string domain = "dom1") {
  std::string host = "ws1";
  PROXY_SERVER_INFO server{const_cast<char*>("127.0.0.1"), static_cast<uint16_t>(proxy_port)};
  PROXY_TARGET_INFO target{const_cast<char*>("127.0.0.1"), static_cast<uint16_t>(target_port)};
  PROXY_AUTH_INFO auth{user.data(), password.data(), domain.data(), host.data(), type};
  return ZARQProxyTunnelOpen(&server, &target, &auth);
}

// Sends `text` through the channel and reads it back from the echo target.
void ExpectEcho(Channel* ch, const std::string& text) {
  ASSERT_EQ(ERR_OK, ch->Write(text.data(), text.size()));
  ASSERT_EQ(ERR_OK, ch->FlushWrite(0));
  std::string back(text.size(), '\0');
  ASSERT_EQ(ERR_OK, ch->Read(back.data(), back.size()));
  EXPECT_EQ(text, back);
}

void ExpectEchoOnSocket(int fd, const std::string& text) {
  ASSERT_TRUE(loopback::SendAll(fd, text));
  std::string got;
  while (got.size() < text.size()) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000));
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(text, got);
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

class Tinyproxy : public ::testing::Test {
 protected:
  void Start(const std::string& basic_auth) {
    ASSERT_NO_FATAL_FAILURE(proxypeers::StartTinyproxy(&proc_, dir_.path(), basic_auth, &port_));
  }
  testsupport::TempDir dir_;
  testsupport::BackgroundProcess proc_;
  testsupport::relay::EchoTarget target_;
  int port_ = 0;
};

TEST_F(Tinyproxy, BasicSocketWinsWithTheRightPassword) {
  ASSERT_NO_FATAL_FAILURE(Start("alice s3cret"));
  ProbeProxyChannel ch(Info(port_, "alice", "s3cret"));
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target_.port()));
  EXPECT_FALSE(ch.IsClosed());
  ExpectEcho(&ch, "through tinyproxy\n");
  EXPECT_EQ(ERR_OK, ch.Close());
  // The same with Basic alone; without credentials and with NTLM it refuses.
  loopback::Fd basic(OpenOne(port_, target_.port(), PROXY_BASIC_AUTH, "alice", "s3cret"));
  EXPECT_GE(basic.get(), 0);
  for (PROXY_AUTH_TYPE t : {PROXY_NO_AUTH, PROXY_NTLM_AUTH, PROXY_NTLMv2_AUTH}) {
    EXPECT_EQ(-2, OpenOne(port_, target_.port(), t, "alice", "s3cret")) << t;
  }
}

TEST_F(Tinyproxy, WrongPasswordLeavesTheChannelClosedAndEmpty) {
  ASSERT_NO_FATAL_FAILURE(Start("alice s3cret"));
  ProbeProxyChannel ch(Info(port_, "alice", "wrong"));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", target_.port()));
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(0u, ch.buffered());
  EXPECT_EQ(ERR_IO, ch.Write("x", 1));
}

TEST_F(Tinyproxy, OpenProxyKeepsOneOfFourConnections) {
  ASSERT_NO_FATAL_FAILURE(Start(""));
  ProbeProxyChannel ch(Info(port_, "alice", "s3cret"));
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target_.port()));
  ExpectEcho(&ch, "open proxy\n");
  // The target counts in its own thread, a little after the kernel accepted.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((target_.accepted() < 4 || target_.closed() < 3) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(4, target_.accepted());
  EXPECT_EQ(3, target_.closed());
  EXPECT_EQ(ERR_OK, ch.Close());
}

TEST_F(Tinyproxy, RepeatedOpensLeakNoDescriptor) {
  ASSERT_NO_FATAL_FAILURE(Start("alice s3cret"));
  ProbeProxyChannel ch(Info(port_, "alice", "s3cret"));
  // One round first, so that lazily opened library descriptors exist already.
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target_.port()));
  ASSERT_EQ(ERR_OK, ch.Close());
  // The echo target runs in this process too: let it close its ends first.
  auto settled = [this] {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (target_.closed() < target_.accepted() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return OpenDescriptors();
  };
  int before = settled();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target_.port())) << i;
    ASSERT_EQ(ERR_OK, ch.Close()) << i;
  }
  EXPECT_EQ(before, settled());
}

class Squid : public ::testing::Test {
 protected:
  void Start(bool basic) { ASSERT_NO_FATAL_FAILURE(proxypeers::StartSquid(&proc_, dir_.path(), basic, &port_)); }
  // Stops squid so that its access log is complete, and returns the log.
  std::string AccessLog() {
    proxypeers::StopSquid(&proc_);
    return proxypeers::ReadText(dir_.path() + "/access.log");
  }
  testsupport::TempDir dir_;
  testsupport::BackgroundProcess proc_;
  testsupport::relay::EchoTarget target_;
  int port_ = 0;
};

TEST_F(Squid, NtlmVersionsPassTheChallengeStep) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  for (PROXY_AUTH_TYPE t : {PROXY_NTLM_AUTH, PROXY_NTLMv2_AUTH}) {
    loopback::Fd sock(OpenOne(port_, target_.port(), t, "bob", "pw", "dom1"));
    ASSERT_GE(sock.get(), 0) << t;
    ExpectEchoOnSocket(sock.get(), "ntlm " + std::to_string(t));
  }
  // Neither no authentication nor Basic gets through.
  EXPECT_EQ(-2, OpenOne(port_, target_.port(), PROXY_NO_AUTH, "bob", "pw"));
  EXPECT_EQ(-2, OpenOne(port_, target_.port(), PROXY_BASIC_AUTH, "bob", "pw"));
  std::string log = AccessLog();
  // The fake helper names the user from the AUTHENTICATE message's offsets.
  size_t tunnels = 0;
  for (size_t at = 0; (at = log.find("TCP_TUNNEL/200", at)) != std::string::npos; ++at) {
    ++tunnels;
    EXPECT_NE(std::string::npos, log.substr(at, log.find('\n', at) - at).find("DOM1\\\\bob")) << log;
  }
  EXPECT_EQ(2u, tunnels) << log;
}

TEST_F(Squid, ChannelRaceKeepsNtlmVersion1) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  ProbeProxyChannel ch(Info(port_, "bob", "pw", "dom1"));
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target_.port()));
  ExpectEcho(&ch, "race through squid\n");
  EXPECT_EQ(ERR_OK, ch.Close());
  EXPECT_NE(std::string::npos, AccessLog().find("DOM1\\\\bob"));
}

TEST_F(Squid, BasicNeedsANonEmptyPassword) {
  ASSERT_NO_FATAL_FAILURE(Start(true));
  loopback::Fd sock(OpenOne(port_, target_.port(), PROXY_BASIC_AUTH, "carol", "pw"));
  ASSERT_GE(sock.get(), 0);
  ExpectEchoOnSocket(sock.get(), "basic");
  EXPECT_EQ(-2, OpenOne(port_, target_.port(), PROXY_BASIC_AUTH, "carol", ""));
}

}  // namespace
