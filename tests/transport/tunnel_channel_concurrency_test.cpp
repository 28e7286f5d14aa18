// The relay-tunnel client and the tunnel channels against the test relay,
// with `openssl s_server -rev` or an echo server as the target, and
// tinyproxy in front for ProxyTunnelChannel.
#include <fcntl.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "foundation/logger.h"
#include "loopback.h"
#include "proxy_peers.h"
#include "s_server.h"
#include "support/background_process.h"
#include "support/relay_stand_in.h"
#include "support/temp_dir.h"
#include "transport/proxy_tunnel_channel.h"
#include "transport/tunnel_channel.h"
#include "transport/zarq_tunnel_client.h"

namespace {

using testsupport::relay::Mode;

// Exposes whether the channel is in TLS mode.
template <class Base>
class Probe : public Base {
 public:
  using Base::Base;
  bool IsSSL() const { return this->m_isSSL; }
  size_t buffered() const { return this->r_size + this->w_size; }
};

TunnelInfo Relay(const std::string& ip, int port) { return TunnelInfo{true, ip, static_cast<uint16_t>(port)}; }

void ExpectRoundTrip(Channel* ch, const std::string& out, const std::string& back) {
  ASSERT_EQ(ERR_OK, ch->Write(out.data(), out.size()));
  ASSERT_EQ(ERR_OK, ch->FlushWrite(0));
  std::string got(back.size(), '\0');
  ASSERT_EQ(ERR_OK, ch->Read(got.data(), got.size()));
  EXPECT_EQ(back, got);
}

// A TLS client session to the relay, for the handshake function alone.
class RelaySession {
 public:
  explicit RelaySession(int port) : fd_(loopback::Connect(port)) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_.get());
    ok_ = SSL_connect(ssl_) == 1 && fcntl(fd_.get(), F_SETFL, O_NONBLOCK) == 0;
  }
  ~RelaySession() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  RelaySession(const RelaySession&) = delete;
  RelaySession& operator=(const RelaySession&) = delete;
  bool ok() const { return ok_; }
  SSL* ssl() const { return ssl_; }

 private:
  loopback::Fd fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
};

// Relay behaviour -> the handshake's result.
TEST(TunnelHandshake, AnswerTable) {
  struct Case {
    const char* what;
    Mode mode;
    int status;
    uint32_t channel_timeout;
    int want;
  } cases[] = {
      {"status 0", Mode::kConnect, 0, 60, 0},
      {"status line only", Mode::kStatusOnly, 0, 60, 0},
      {"401", Mode::kStatus, 401, 60, 401},
      {"402", Mode::kStatus, 402, 60, 402},
      {"lower-case header name", Mode::kLowerCase, 401, 60, 401},
      {"2,000-byte line", Mode::kLongLine, 0, 60, 0},
      {"close before the blank line", Mode::kCloseEarly, 0, 60, -402},
      {"silence", Mode::kSilent, 0, 2, -403},
  };
  for (const Case& c : cases) {
    testsupport::relay::TestRelay relay;
    std::string error;
    ASSERT_TRUE(relay.Start(c.mode, c.status, &error)) << error;
    RelaySession session(relay.port());
    ASSERT_TRUE(session.ok()) << c.what;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.want, ZARQTunnelClientHandshake(session.ssl(), "127.0.0.1", 9, timeval{1, 0}, c.channel_timeout))
        << c.what;
    if (c.mode == Mode::kSilent) {
      EXPECT_LT(loopback::SecondsSince(start), 6.0);
    }
    ASSERT_EQ(1u, relay.Connections().size()) << c.what;
    EXPECT_TRUE(relay.Connections()[0].valid) << c.what << ": " << relay.Connections()[0].why;
    EXPECT_EQ("127.0.0.1:9", relay.Connections()[0].target) << c.what;
  }
}

TEST(TunnelHandshake, LongTargetNamesAreNotTruncated) {
  testsupport::relay::TestRelay relay;
  std::string error;
  ASSERT_TRUE(relay.Start(Mode::kStatus, 401, &error)) << error;
  RelaySession session(relay.port());
  ASSERT_TRUE(session.ok());
  std::string host = std::string(1500, 'h') + ".example";
  EXPECT_EQ(401, ZARQTunnelClientHandshake(session.ssl(), host.c_str(), 65535, timeval{1, 0}, 60));
  ASSERT_EQ(1u, relay.Connections().size());
  EXPECT_TRUE(relay.Connections()[0].valid) << relay.Connections()[0].why;
  EXPECT_EQ(host + ":65535", relay.Connections()[0].target);
}

TEST(TunnelHandshake, RefusesTargetsThatWouldAddHeaderLines) {
  testsupport::relay::TestRelay relay;
  std::string error;
  ASSERT_TRUE(relay.Start(Mode::kConnect, 0, &error)) << error;
  RelaySession session(relay.port());
  ASSERT_TRUE(session.ok());
  EXPECT_EQ(-402, ZARQTunnelClientHandshake(session.ssl(), "a\r\nX-Evil: 1", 1, timeval{1, 0}, 60));
  EXPECT_EQ(-402, ZARQTunnelClientHandshake(session.ssl(), "", 1, timeval{1, 0}, 60));
  EXPECT_EQ(-402, ZARQTunnelClientHandshake(session.ssl(), "h", 70000, timeval{1, 0}, 60));
}

class TunnelChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before any thread starts: the ERROR lines are part of the contract.
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring((dir_.path() + "/log").c_str()), ustring(""), 50));
  }
  void TearDown() override { Logger::ResetForTest(); }
  std::string Log() const { return proxypeers::ReadText(dir_.path() + "/log"); }
  void StartRelay(Mode mode, int status = 0) {
    std::string error;
    ASSERT_TRUE(relay_.Start(mode, status, &error)) << error;
  }

  testsupport::TempDir dir_;
  testsupport::relay::TestRelay relay_;
};

TEST_F(TunnelChannelTest, OpensPlainThenRunsTlsEndToEnd) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kConnect));
  testsupport::BackgroundProcess server;
  int sport = 0;
  ASSERT_NO_FATAL_FAILURE(tlstest::StartSServer(&server, "srv", {}, &sport));
  Probe<TunnelChannel> ch(Relay("127.0.0.1", relay_.port()));
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", sport));
  EXPECT_FALSE(ch.IsClosed());
  EXPECT_FALSE(ch.IsSSL());
  ASSERT_EQ(ERR_OK, ch.ConvertToSSLChannel(false));
  EXPECT_TRUE(ch.IsSSL());
  ExpectRoundTrip(&ch, "hello world\n", "dlrow olleh\n");
  EXPECT_EQ(ERR_OK, ch.Close());
  ASSERT_EQ(1u, relay_.Connections().size());
  EXPECT_TRUE(relay_.Connections()[0].valid) << relay_.Connections()[0].why;
  EXPECT_EQ("127.0.0.1:" + std::to_string(sport), relay_.Connections()[0].target);
}

// Relay verdict -> the code in the ERROR line; the channel always ends closed.
TEST_F(TunnelChannelTest, RefusalsCloseTheChannel) {
  struct Case {
    Mode mode;
    int status;
    const char* code;
  } cases[] = {{Mode::kStatus, 402, "402"}, {Mode::kLowerCase, 401, "401"}, {Mode::kCloseEarly, 0, "-402"},
               {Mode::kSilent, 0, "-403"}};
  for (const Case& c : cases) {
    testsupport::relay::TestRelay relay;
    std::string error;
    ASSERT_TRUE(relay.Start(c.mode, c.status, &error)) << error;
    Probe<TunnelChannel> ch(Relay("127.0.0.1", relay.port()));
    ch.SetTimeout(2);
    EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", 9)) << c.code;
    EXPECT_TRUE(ch.IsClosed()) << c.code;
    EXPECT_EQ(0u, ch.buffered()) << c.code;
    EXPECT_NE(std::string::npos,
              Log().find(std::string("ZARQTunnelClientHandshake: failed, code: ") + c.code + "\n"))
        << Log();
    // The relay sees its socket closed by the client.
    relay.Stop();
    EXPECT_EQ(1, relay.Finished()) << c.code;
  }
}

TEST_F(TunnelChannelTest, CloseThenOpenRebuildsThePath) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kConnect));
  testsupport::relay::EchoTarget target;
  TunnelChannel ch(Relay("127.0.0.1", relay_.port()));
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", target.port())) << round;
    ExpectRoundTrip(&ch, "round " + std::to_string(round), "round " + std::to_string(round));
    EXPECT_EQ(ERR_OK, ch.Close());
  }
  EXPECT_EQ(3u, relay_.Connections().size());
  EXPECT_EQ(3, target.accepted());
}

TEST_F(TunnelChannelTest, RelayAddressMustBeDottedIPv4) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kConnect));
  TunnelChannel ch(Relay("localhost", relay_.port()));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", 9));
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_NE(std::string::npos, Log().find("[ERROR] tunnel_channel("));
  EXPECT_EQ(0u, relay_.Connections().size());
}

TEST_F(TunnelChannelTest, BadTargetsAreRefusedBeforeAnyConnection) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kConnect));
  ProxyInfo proxy;
  proxy.proxy_ip = "127.0.0.1";
  proxy.proxy_port = static_cast<uint16_t>(relay_.port());
  TunnelChannel tunnel(Relay("127.0.0.1", relay_.port()));
  ProxyChannel direct(proxy);
  ProxyTunnelChannel both(proxy, Relay("127.0.0.1", relay_.port()));
  for (Channel* ch : std::initializer_list<Channel*>{&tunnel, &direct, &both}) {
    EXPECT_EQ(ERR_INVAL, ch->Open(nullptr, 80));
    EXPECT_EQ(ERR_INVAL, ch->Open("127.0.0.1", 0));
    EXPECT_EQ(ERR_INVAL, ch->Open("127.0.0.1", -1));
    EXPECT_EQ(ERR_INVAL, ch->Open("127.0.0.1", 65536));
    EXPECT_TRUE(ch->IsClosed());
  }
  EXPECT_EQ(0u, relay_.Connections().size());
}

TEST_F(TunnelChannelTest, ProxyTunnelThroughTinyproxyRelayAndSServer) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kConnect));
  testsupport::BackgroundProcess tinyproxy, server;
  int pport = 0, sport = 0;
  ASSERT_NO_FATAL_FAILURE(proxypeers::StartTinyproxy(&tinyproxy, dir_.path(), "", &pport));
  ASSERT_NO_FATAL_FAILURE(tlstest::StartSServer(&server, "srv", {}, &sport));
  ProxyInfo proxy;
  proxy.use_proxy = true;
  proxy.proxy_ip = "127.0.0.1";
  proxy.proxy_port = static_cast<uint16_t>(pport);
  proxy.user_name = "u";
  // A name: the proxy resolves it.
  Probe<ProxyTunnelChannel> ch(proxy, Relay("localhost", relay_.port()));
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", sport));
  EXPECT_FALSE(ch.IsSSL());
  ASSERT_EQ(ERR_OK, ch.ConvertToSSLChannel(false));
  ExpectRoundTrip(&ch, "hello world\n", "dlrow olleh\n");
  EXPECT_EQ(ERR_OK, ch.Close());
  EXPECT_NE(std::string::npos, Log().find("]: ret = 0\n")) << Log();
  ASSERT_EQ(1u, relay_.Connections().size());
  EXPECT_TRUE(relay_.Connections()[0].valid);
}

TEST_F(TunnelChannelTest, ProxyTunnelLogsItsFailure) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(Mode::kStatus, 401));
  testsupport::BackgroundProcess tinyproxy;
  int pport = 0;
  ASSERT_NO_FATAL_FAILURE(proxypeers::StartTinyproxy(&tinyproxy, dir_.path(), "", &pport));
  ProxyInfo proxy;
  proxy.proxy_ip = "127.0.0.1";
  proxy.proxy_port = static_cast<uint16_t>(pport);
  proxy.user_name = "u";
  ProxyTunnelChannel ch(proxy, Relay("127.0.0.1", relay_.port()));
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", 9));
  EXPECT_TRUE(ch.IsClosed());
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("[ERROR] proxy_tunnel_channel(")) << log;
  EXPECT_NE(std::string::npos, log.find("ZARQTunnelClientHandshake: failed, code: 401\n")) << log;
  EXPECT_NE(std::string::npos, log.find("]: ret = -2\n")) << log;
}

}  // namespace
