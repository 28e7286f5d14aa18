// TLS server mode: two channels over one loopback connection, each in its own
// thread, one converting as the server and one as the client.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "loopback.h"
#include "support/pki.h"
#include "support/temp_dir.h"
#include "transport/channel.h"

namespace {

using testsupport::PkiPath;

constexpr size_t kCapacity = 81920;

std::string Pattern(size_t len, unsigned seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return s;
}

// Runs the server side of a conversion in its own thread.
class ServerThread {
 public:
  // Takes `fd`; converts it as a TLS server and then runs `after` on the channel.
  ServerThread(int fd, std::function<void(Channel&)> after)
      : thread_([this, fd, after = std::move(after)] {
          Channel ch(kCapacity);
          open_result_ = ch.Open(fd, true);
          if (open_result_ != ERR_OK) return;
          ch.SetTimeout(10);
          convert_result_ = ch.ConvertToSSLChannel(true);
          if (convert_result_ == ERR_OK) after(ch);
        }) {}
  ~ServerThread() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  ErrorCode open_result() const { return open_result_; }
  ErrorCode convert_result() const { return convert_result_; }

 private:
  ErrorCode open_result_ = ERR_MAX;  // no code: not run
  ErrorCode convert_result_ = ERR_MAX;
  std::thread thread_;
};

TEST(ChannelServerModeTest, ClientAndServerSwapOneMebibyte) {
  Channel::SetCERTPath(PkiPath("srv.pem"));
  Channel::SetPriKeyPath(PkiPath("srv.key"));
  Channel::SetVerifyCAPath(ustring(PkiPath("ca.pem").c_str()));
  constexpr size_t kTotal = 1 << 20;
  constexpr size_t kChunk = 32 * 1024;
  const std::string to_server = Pattern(kTotal, 1);
  const std::string to_client = Pattern(kTotal, 2);

  // Each side writes a chunk and then reads the other's, both at once.
  auto swap = [&](Channel& ch, const std::string& out, std::string* in) {
    in->assign(kTotal, '\0');
    for (size_t off = 0; off < kTotal; off += kChunk) {
      if (ch.Write(out.data() + off, kChunk) != ERR_OK || ch.FlushWrite(0) != ERR_OK) return;
      if (ch.Read(&(*in)[off], kChunk) != ERR_OK) return;
    }
  };

  loopback::Pair p = loopback::MakePair();
  ASSERT_GE(p.b.get(), 0);
  std::string server_got;
  ServerThread server(p.b.release(), [&](Channel& ch) { swap(ch, to_client, &server_got); });

  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(10);
  ch.SetAllowUntrust(false);
  ch.SetSSLHostname(ustring("server.test"));
  ASSERT_EQ(ERR_OK, ch.ConvertToSSLChannel(false));
  std::string client_got;
  swap(ch, to_server, &client_got);
  server.Join();

  EXPECT_EQ(ERR_OK, server.open_result());
  EXPECT_EQ(ERR_OK, server.convert_result());
  EXPECT_TRUE(client_got == to_client) << "client received other bytes";
  EXPECT_TRUE(server_got == to_server) << "server received other bytes";
}

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

std::unique_ptr<X509, X509Free> ReadCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  std::unique_ptr<X509, X509Free> x(PEM_read_X509(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  return x;
}

std::unique_ptr<EVP_PKEY, PkeyFree> ReadKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  std::unique_ptr<EVP_PKEY, PkeyFree> k(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  return k;
}

// Writes to `out_path` a leaf for srv.key signed by the test CA, whose
// commonName and DNS name are the given raw bytes (NULs included).
bool MakeLeaf(const std::string& common_name, const std::string& dns_name, const std::string& out_path) {
  auto ca = ReadCert(PkiPath("ca.pem"));
  auto ca_key = ReadKey(PkiPath("ca.key"));
  auto key = ReadKey(PkiPath("srv.key"));
  std::unique_ptr<X509, X509Free> x(X509_new());
  if (!ca || !ca_key || !key || !x) return false;
  bool ok = X509_set_version(x.get(), 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 4242) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600L * 24 * 365) != nullptr &&
            X509_set_issuer_name(x.get(), X509_get_subject_name(ca.get())) == 1 &&
            X509_set_pubkey(x.get(), key.get()) == 1;
  // The commonName as a UTF8String of explicit length.
  X509_NAME* subject = X509_get_subject_name(x.get());
  ok = ok && X509_NAME_add_entry_by_NID(subject, NID_commonName, V_ASN1_UTF8STRING,
                                        reinterpret_cast<const unsigned char*>(common_name.data()),
                                        static_cast<int>(common_name.size()), -1, 0) == 1;
  // The DNS name as an IA5String of explicit length.
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_IA5STRING* ia5 = ASN1_IA5STRING_new();
  ok = ok && names && name && ia5 && ASN1_STRING_set(ia5, dns_name.data(), static_cast<int>(dns_name.size())) == 1;
  if (ok) {
    GENERAL_NAME_set0_value(name, GEN_DNS, ia5);
    ia5 = nullptr;
    ok = sk_GENERAL_NAME_push(names, name) > 0;
    if (ok) name = nullptr;
  }
  ok = ok && X509_add1_ext_i2d(x.get(), NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1;
  ASN1_IA5STRING_free(ia5);
  GENERAL_NAME_free(name);
  GENERAL_NAMES_free(names);
  ok = ok && X509_sign(x.get(), ca_key.get(), EVP_sha256()) > 0;
  if (!ok) return false;
  FILE* f = std::fopen(out_path.c_str(), "w");
  if (f == nullptr) return false;
  ok = PEM_write_X509(f, x.get()) == 1;
  return std::fclose(f) == 0 && ok;
}

struct NulCase {
  const char* name;
  std::string common_name;
  std::string dns_name;
  ErrorCode expected;
};

void PrintTo(const NulCase& c, std::ostream* os) { *os << c.name; }

class ChannelEmbeddedNulTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<NulCase> {};

// A certificate name that hides a NUL must not pass for its prefix.
TEST_P(ChannelEmbeddedNulTest, HostNameCheck) {
  const NulCase& c = GetParam();
  ASSERT_TRUE(MakeLeaf(c.common_name, c.dns_name, Path("leaf.pem")));
  Channel::SetCERTPath(Path("leaf.pem"));
  Channel::SetPriKeyPath(PkiPath("srv.key"));
  Channel::SetVerifyCAPath(ustring(PkiPath("ca.pem").c_str()));

  loopback::Pair p = loopback::MakePair();
  ASSERT_GE(p.b.get(), 0);
  // The server's own result depends on when the client hangs up; only the
  // client's judgement is under test.
  ServerThread server(p.b.release(), [](Channel&) {});
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(10);
  ch.SetAllowUntrust(false);
  ch.SetSSLHostname(ustring("server.test"));
  EXPECT_EQ(c.expected, ch.ConvertToSSLChannel(false));
  EXPECT_EQ(ERR_OK, ch.Close());
  server.Join();
  EXPECT_EQ(ERR_OK, server.open_result());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChannelEmbeddedNulTest,
    ::testing::Values(
        // The same construction without a NUL is accepted: the refusals below
        // come from the NUL alone.
        NulCase{"Clean", "server.test", "server.test", ERR_OK},
        NulCase{"NulInAltName", "evil.example", std::string("server.test\0.evil.example", 25), ERR_SSL_VERIFY_FAIL},
        NulCase{"NulInCommonName", std::string("server.test\0.evil.example", 25), "evil.example", ERR_SSL_VERIFY_FAIL}),
    [](const ::testing::TestParamInfo<NulCase>& info) { return std::string(info.param.name); });

}  // namespace
