// Channel::ConvertToSSLChannel as a client, against `openssl s_server`.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "loopback.h"
#include "s_server.h"
#include "support/background_process.h"
#include "support/pki.h"
#include "transport/channel.h"

namespace {

using testsupport::PkiPath;

constexpr size_t kCapacity = 81920;

// Exposes the negotiated protocol of a converted channel.
class ProbeChannel : public Channel {
 public:
  ProbeChannel() : Channel(kCapacity) {}
  int TlsVersion() const { return m_isSSL ? SSL_version(static_cast<SSL*>(m_ops.context)) : 0; }
};

// Sends one line through the channel and expects it back reversed.
void ExpectReversedEcho(Channel& ch) {
  const std::string line = "hello world\n";
  ASSERT_EQ(ERR_OK, ch.Write(line.data(), line.size()));
  ASSERT_EQ(ERR_OK, ch.FlushWrite(0));
  std::string got(line.size(), '\0');
  ASSERT_EQ(ERR_OK, ch.Read(&got[0], got.size()));
  EXPECT_EQ("dlrow olleh\n", got);
}

struct TlsCase {
  const char* name;
  const char* server_cert;  // test PKI name served by s_server
  std::vector<std::string> server_options;
  const char* ca_file;  // test PKI file, or "" for an empty CA path
  const char* hostname;
  bool allow_untrust;
  ErrorCode expected;
  int version;  // expected protocol when converted, 0: any
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

class ChannelTlsTest : public ::testing::TestWithParam<TlsCase> {};

TEST_P(ChannelTlsTest, Converts) {
  const TlsCase& c = GetParam();
  testsupport::BackgroundProcess server;
  int port = 0;
  ASSERT_NO_FATAL_FAILURE(tlstest::StartSServer(&server, c.server_cert, c.server_options, &port));

  // The CA path is process-wide: each test sets its own.
  Channel::SetVerifyCAPath(ustring(*c.ca_file ? PkiPath(c.ca_file).c_str() : ""));
  ProbeChannel ch;
  ch.SetTimeout(10);
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  ch.SetAllowUntrust(c.allow_untrust);
  ch.SetSSLHostname(ustring(c.hostname));
  EXPECT_EQ(c.expected, ch.ConvertToSSLChannel(false));
  EXPECT_FALSE(ch.IsClosed());
  if (c.expected == ERR_OK) {
    if (c.version != 0) {
      EXPECT_EQ(c.version, ch.TlsVersion());
    }
    ExpectReversedEcho(ch);
  } else {
    EXPECT_EQ(0, ch.TlsVersion()) << "a refused conversion must leave the channel plain";
  }
  EXPECT_EQ(ERR_OK, ch.Close());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelTlsTest,
    ::testing::Values(
        TlsCase{"Tls12", "srv", {"-tls1_2"}, "ca.pem", "server.test", false, ERR_OK, TLS1_2_VERSION},
        TlsCase{"Tls13", "srv", {"-tls1_3"}, "ca.pem", "server.test", false, ERR_OK, TLS1_3_VERSION},
        TlsCase{"CommonNameMatch", "cn-only", {}, "ca.pem", "server.test", false, ERR_OK, 0},
        TlsCase{"AltNameWildcardMatch", "srv", {}, "ca.pem", "a.example.test", false, ERR_OK, 0},
        TlsCase{"NameMismatch", "srv", {}, "ca.pem", "other.test", false, ERR_SSL_VERIFY_FAIL, 0},
        TlsCase{"CommonNameOnlyMismatch", "cn-only", {}, "ca.pem", "a.example.test", false, ERR_SSL_VERIFY_FAIL, 0},
        TlsCase{"OtherCaFile", "srv", {}, "ca2.pem", "server.test", false, ERR_SSL_VERIFY_FAIL, 0},
        TlsCase{"EmptyCaPath", "srv", {}, "", "server.test", false, ERR_SSL_VERIFY_FAIL, 0},
        TlsCase{"MissingCaFile", "srv", {}, "no-such-ca.pem", "server.test", false, ERR_SSL_VERIFY_FAIL, 0},
        // No host name skips the name check, never the chain.
        TlsCase{"NoHostnameTrustedChain", "srv", {}, "ca.pem", "", false, ERR_OK, 0},
        TlsCase{"NoHostnameUntrustedChain", "srv", {}, "ca2.pem", "", false, ERR_SSL_VERIFY_FAIL, 0},
        // A self-signed certificate fails the chain even for its own name.
        TlsCase{"SelfSignedRefused", "self-signed", {}, "ca.pem", "other.test", false, ERR_SSL_VERIFY_FAIL, 0},
        TlsCase{"SelfSignedOtherNameAllowedWhenUntrusted", "self-signed", {}, "", "server.test", true, ERR_OK, 0}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

TEST(ChannelTlsOnceTest, SecondConversionChangesNothing) {
  testsupport::BackgroundProcess server;
  int port = 0;
  ASSERT_NO_FATAL_FAILURE(tlstest::StartSServer(&server, "srv", {}, &port));
  Channel::SetVerifyCAPath(ustring(PkiPath("ca.pem").c_str()));
  ProbeChannel ch;
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  ch.SetAllowUntrust(false);
  ch.SetSSLHostname(ustring("server.test"));
  ASSERT_EQ(ERR_OK, ch.ConvertToSSLChannel(false));
  int version = ch.TlsVersion();
  EXPECT_EQ(ERR_OK, ch.ConvertToSSLChannel(false));
  EXPECT_EQ(version, ch.TlsVersion());
  ExpectReversedEcho(ch);
  // Close returns the channel to plain mode; the s_server ends with its one client.
  EXPECT_EQ(ERR_OK, ch.Close());
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(0, ch.TlsVersion());
  int status = 0;
  EXPECT_TRUE(server.WaitExit(&status, std::chrono::seconds(5)));
}

// The peer answers the client hello with plain text: the conversion fails
// and the channel stays open and plain.
TEST(ChannelTlsOnceTest, PlainTextAnswerLeavesThePlainChannel) {
  int port = 0;
  loopback::Fd listener = loopback::Listener(1, &port);
  ASSERT_GE(listener.get(), 0);
  ProbeChannel ch;
  ch.SetTimeout(5);
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  loopback::Fd peer(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(loopback::SendAll(peer.get(), "HTTP/1.1 400 Bad Request\r\n\r\n"));

  EXPECT_EQ(ERR_IO, ch.ConvertToSSLChannel(false));
  EXPECT_FALSE(ch.IsClosed());
  EXPECT_EQ(0, ch.TlsVersion());
  ASSERT_EQ(ERR_OK, ch.Write("ping", 4));
  ASSERT_EQ(ERR_OK, ch.FlushWrite(0));
  ASSERT_EQ(ERR_OK, ch.Close());
  std::string received = loopback::RecvToEnd(peer.get());
  ASSERT_GE(received.size(), 4u);
  EXPECT_EQ("ping", received.substr(received.size() - 4));
}

TEST(ChannelTlsOnceTest, ClosedChannelDoesNotConvert) {
  Channel ch(kCapacity);
  EXPECT_EQ(ERR_IO, ch.ConvertToSSLChannel(false));
  EXPECT_TRUE(ch.IsClosed());
}

// A server without its certificate cannot start: the conversion fails
// before any byte moves and the channel stays plain.
TEST(ChannelTlsOnceTest, ServerModeWithoutCertificateFails) {
  Channel::SetCERTPath(PkiPath("no-such-cert.pem"));
  Channel::SetPriKeyPath(PkiPath("srv.key"));
  loopback::Pair p = loopback::MakePair();
  ProbeChannel ch;
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  EXPECT_EQ(ERR_IO, ch.ConvertToSSLChannel(true));
  EXPECT_FALSE(ch.IsClosed());
  EXPECT_EQ(0, ch.TlsVersion());
  char c;
  EXPECT_EQ(-1, recv(p.b.get(), &c, 1, MSG_DONTWAIT));

  Channel::SetCERTPath(PkiPath("srv.pem"));
  Channel::SetPriKeyPath(PkiPath("ca.key"));  // a key that does not fit the certificate
  EXPECT_EQ(ERR_IO, ch.ConvertToSSLChannel(true));
  EXPECT_EQ(0, ch.TlsVersion());
}

}  // namespace
