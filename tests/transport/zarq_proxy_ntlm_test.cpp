#include "transport/zarq_proxy_ntlm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hex.h"
#include "support/command.h"
#include "transport/zarq_proxy_util.h"

namespace {

// The published NTLM examples: user "User", domain "Domain", password
// "Password", server challenge 0123456789abcdef.
const uint8_t kServerChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

ZARQ_PROXY_AUTH_DATA Creds(const char* user, const char* password, const char* domain, const char* host, int v2) {
  ZARQ_PROXY_AUTH_DATA a{};
  a.szUserName = const_cast<char*>(user);
  a.szUserPasswd = const_cast<char*>(password);
  a.szDomainName = const_cast<char*>(domain);
  a.szHostName = const_cast<char*>(host);
  a.hashntlm2 = v2;
  a.hashnt = a.hashlm = v2 ? 0 : 1;
  return a;
}

// A CHALLENGE of exactly `len` bytes (cut short below 32) with flags and
// server challenge.
std::vector<uint8_t> Challenge(size_t len, uint32_t flags = 0x00088205) {
  std::vector<uint8_t> m(len < 32 ? 32 : len, 0);
  std::memcpy(m.data(), "NTLMSSP", 8);
  m[8] = 2;
  for (int i = 0; i < 4; ++i) m[20 + i] = static_cast<uint8_t>(flags >> (8 * i));
  std::memcpy(&m[24], kServerChallenge, 8);
  m.resize(len);
  return m;
}

uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

TEST(NtlmKnownAnswers, Version1HashesAndResponses) {
  uint8_t nt[21], lm[21], resp[24];
  ASSERT_EQ(0, ntlm_hash_nt_password("Password", nt));
  EXPECT_EQ("a4f49c406510bdcab6824ee7c30fd852" + std::string(10, '0'), hex::Encode(nt, 21));
  ASSERT_EQ(0, ntlm_hash_lm_password("Password", lm));
  EXPECT_EQ("e52cac67419a9a224a3b108f3fa6cb6d" + std::string(10, '0'), hex::Encode(lm, 21));
  ntlm_calc_resp(nt, kServerChallenge, resp);
  EXPECT_EQ("67c43011f30298a2ad35ece64f16331c44bdbed927841f94", hex::Encode(resp, 24));
  ntlm_calc_resp(lm, kServerChallenge, resp);
  EXPECT_EQ("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", hex::Encode(resp, 24));
}

TEST(NtlmKnownAnswers, Version2ResponsesFromAnInjectedHash) {
  std::string ntowf2 = hex::Decode("0c868a403bfd7a93a3001ef22ef02e3f");
  std::string ti = hex::Decode("02000c0044006f006d00610069006e0001000c0053006500720076006500720000000000");
  NtlmV2Entropy entropy{0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}};
  std::vector<uint8_t> nt;
  uint8_t lm[24];
  ntlm2_calc_resp(reinterpret_cast<const uint8_t*>(ntowf2.data()), kServerChallenge,
                  reinterpret_cast<const uint8_t*>(ti.data()), ti.size(), entropy, &nt, lm);
  ASSERT_EQ(ti.size() + 48, nt.size());
  EXPECT_EQ("68cd0ab851e51c96aabc927bebef6a1c", hex::Encode(nt.data(), 16));
  // The blob follows the proof: header, zero time, nonce, reserved, TI, reserved.
  EXPECT_EQ("0101000000000000" "0000000000000000" "aaaaaaaaaaaaaaaa" "00000000" + hex::Encode(ti) + "00000000",
            hex::Encode(nt.data() + 16, nt.size() - 16));
  EXPECT_EQ("86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa", hex::Encode(lm, 24));
}

TEST(NtlmKnownAnswers, ThisClientUpperCasesUserAndDomain) {
  uint8_t out[16];
  ASSERT_EQ(0, ntlm2_hash_password("User", "Domain", "Password", out));
  EXPECT_EQ("f38efea48ada6afaa95ae44669e5634b", hex::Encode(out, 16));
  uint8_t lower[16];
  ASSERT_EQ(0, ntlm2_hash_password("user", "domain", "Password", lower));
  EXPECT_EQ(hex::Encode(out, 16), hex::Encode(lower, 16));
}

TEST(NtlmKnownAnswers, HmacMd5HashesAKeyLongerThanTheBlock) {
  // RFC 2202, case 6.
  std::vector<uint8_t> key(80, 0xaa);
  const char data[] = "Test Using Larger Than Block-Size Key - Hash Key First";
  uint8_t out[16];
  ASSERT_EQ(0, hmac_md5(key.data(), key.size(), reinterpret_cast<const uint8_t*>(data), std::strlen(data), out));
  EXPECT_EQ("6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd", hex::Encode(out, 16));
}

TEST(NtlmKnownAnswers, NtHashAgreesWithOpensslOnNonAsciiPasswords) {
  // Independent path: iconv makes the UTF-16LE, OpenSSL's legacy provider the MD4.
  const std::string password = "P\xc3\xa4ssw\xc3\xb6rd \xe2\x82\xac \xf0\x9d\x84\x9e";
  testsupport::CommandResult utf16 = testsupport::RunCommand({"iconv", "-f", "UTF-8", "-t", "UTF-16LE"}, password);
  ASSERT_EQ(0, utf16.exit_code) << utf16.err;
  testsupport::CommandResult md4 =
      testsupport::RunCommand({"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default"}, utf16.out);
  ASSERT_EQ(0, md4.exit_code) << md4.err;
  uint8_t nt[21];
  ASSERT_EQ(0, ntlm_hash_nt_password(password.c_str(), nt));
  EXPECT_NE(std::string::npos, md4.out.find(hex::Encode(nt, 16))) << md4.out;
}

TEST(NtlmNegotiate, LayoutForThreeLetterHostAndFourLetterDomain) {
  for (int v2 : {0, 1}) {
    ZARQ_PROXY_AUTH_DATA a = Creds("user", "pw", "dom1", "abc", v2);
    std::unique_ptr<char[]> b64;
    ASSERT_EQ(39, ZARQProxyClientPrepareNTLMRequest(&b64, &a));
    std::unique_ptr<uint8_t[]> m;
    ASSERT_EQ(39, FromBase64(&m, b64.get()));
    EXPECT_EQ(0, std::memcmp(m.get(), "NTLMSSP\0", 8));
    EXPECT_EQ(1u, Le32(&m[8]));
    EXPECT_EQ(v2 ? 0x00088205u : 0x00008201u, Le32(&m[12]));
    EXPECT_EQ(4u, Le16(&m[16]));
    EXPECT_EQ(4u, Le16(&m[18]));
    EXPECT_EQ(35u, Le32(&m[20]));
    EXPECT_EQ(3u, Le16(&m[24]));
    EXPECT_EQ(3u, Le16(&m[26]));
    EXPECT_EQ(32u, Le32(&m[28]));
    EXPECT_EQ("ABCDOM1", std::string(reinterpret_cast<char*>(&m[32]), 7));
  }
}

TEST(NtlmNegotiate, RefusesNoHashChoiceAndNullCredentials) {
  ZARQ_PROXY_AUTH_DATA a = Creds("user", "pw", "", "", 0);
  a.hashlm = 0;
  std::unique_ptr<char[]> b64;
  EXPECT_EQ(-1, ZARQProxyClientPrepareNTLMRequest(&b64, &a));
  EXPECT_EQ(-6, ZARQProxyClientPrepareNTLMRequest(&b64, nullptr));
  a.hashlm = 1;
  EXPECT_EQ(32, ZARQProxyClientPrepareNTLMRequest(&b64, &a));  // empty names: no payload
}

TEST(NtlmAuthenticate, Version1LayoutAndFlagsCopiedAsTheyStand) {
  ZARQ_PROXY_AUTH_DATA a = Creds("abc", "Password", "dom1", "xyz", 0);
  std::vector<uint8_t> ch = Challenge(32, 0xA1B2C3D4);
  std::unique_ptr<uint8_t[]> m;
  ASSERT_EQ(132, ZARQProxyClientNTLMResponseType3Cal(&m, ch.data(), 32, &a));
  EXPECT_EQ(3u, Le32(&m[8]));
  struct Field {
    int at;
    uint32_t len, offset;
  } fields[] = {{12, 24, 84}, {20, 24, 108}, {28, 8, 64}, {36, 6, 72}, {44, 6, 78}, {52, 0, 132}};
  for (const Field& f : fields) {
    EXPECT_EQ(f.len, Le16(&m[f.at])) << f.at;
    EXPECT_EQ(f.len, Le16(&m[f.at + 2])) << f.at;
    EXPECT_EQ(f.offset, Le32(&m[f.at + 4])) << f.at;
  }
  EXPECT_EQ(0xA1B2C3D4u, Le32(&m[60]));
  EXPECT_EQ(hex::Encode(std::string("D\0O\0M\0001\0", 8)), hex::Encode(&m[64], 8));
  EXPECT_EQ(hex::Encode(std::string("a\0b\0c\0", 6)), hex::Encode(&m[72], 6));
  EXPECT_EQ(hex::Encode(std::string("X\0Y\0Z\0", 6)), hex::Encode(&m[78], 6));
  EXPECT_EQ("98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13", hex::Encode(&m[84], 24));
  EXPECT_EQ("67c43011f30298a2ad35ece64f16331c44bdbed927841f94", hex::Encode(&m[108], 24));
}

// Challenge length -> accepted?, target information bytes used.
TEST(NtlmAuthenticate, ChallengeLengthsAndTargetInformationBounds) {
  ZARQ_PROXY_AUTH_DATA a = Creds("abc", "pw", "dom1", "xyz", 1);
  for (int len = 24; len <= 49; ++len) {
    std::vector<uint8_t> ch = Challenge(static_cast<size_t>(len));
    std::unique_ptr<uint8_t[]> m;
    int n = ZARQProxyClientNTLMResponseType3Cal(&m, ch.data(), len, &a);
    if (len < 32) {
      EXPECT_EQ(-1, n) << len;
      continue;
    }
    ASSERT_GT(n, 0) << len;
    EXPECT_EQ(24u, Le16(&m[12])) << len;
    EXPECT_EQ(48u, Le16(&m[20])) << len;  // empty target information
  }
  // The 49-byte challenge of squid's fake helper: "WORKGROUP" at 40..48
  // reads as length 20311 at offset 21063, far outside.
  std::vector<uint8_t> squid = Challenge(49);
  std::memcpy(&squid[40], "WORKGROUP", 9);
  std::unique_ptr<uint8_t[]> m;
  ASSERT_GT(ZARQProxyClientNTLMResponseType3Cal(&m, squid.data(), 49, &a), 0);
  EXPECT_EQ(48u, Le16(&m[20]));

  // Inside the challenge: used as it stands; one byte past the end: dropped.
  std::vector<uint8_t> ti = Challenge(48 + 12);
  const char info[] = "\x02\x00\x04\x00" "D\0O\0" "\x00\x00\x00\x00";
  std::memcpy(&ti[48], info, 12);
  ti[40] = 12;
  ti[44] = 48;
  int n = ZARQProxyClientNTLMResponseType3Cal(&m, ti.data(), 60, &a);
  ASSERT_GT(n, 0);
  EXPECT_EQ(60u, Le16(&m[20]));
  uint32_t nt_off = Le32(&m[24]);
  EXPECT_EQ(hex::Encode(info, 12), hex::Encode(&m[nt_off + 16 + 28], 12));
  ti[40] = 13;
  ASSERT_GT(ZARQProxyClientNTLMResponseType3Cal(&m, ti.data(), 60, &a), 0);
  EXPECT_EQ(48u, Le16(&m[20]));
}

TEST(NtlmAuthenticate, Version2NonceIsFreshEachTimeAndTimeIsNow) {
  ZARQ_PROXY_AUTH_DATA a = Creds("abc", "pw", "dom1", "xyz", 1);
  std::vector<uint8_t> ch = Challenge(32);
  std::unique_ptr<uint8_t[]> m1, m2;
  ASSERT_GT(ZARQProxyClientNTLMResponseType3Cal(&m1, ch.data(), 32, &a), 0);
  ASSERT_GT(ZARQProxyClientNTLMResponseType3Cal(&m2, ch.data(), 32, &a), 0);
  // The LMv2 response ends with the client nonce.
  std::string nonce1 = hex::Encode(&m1[Le32(&m1[16]) + 16], 8);
  std::string nonce2 = hex::Encode(&m2[Le32(&m2[16]) + 16], 8);
  EXPECT_NE(nonce1, nonce2);
  uint32_t nt_off = Le32(&m1[24]);
  uint64_t stamp = 0;
  for (int i = 7; i >= 0; --i) stamp = stamp << 8 | m1[nt_off + 16 + 8 + i];
  uint64_t now = NtlmTimestamp(time(nullptr));
  EXPECT_LE(stamp, now);
  EXPECT_GT(stamp + 100000000ULL, now);  // within 10 s
}

TEST(NtlmAuthenticate, InjectedEntropyGivesTheSameMessage) {
  ZARQ_PROXY_AUTH_DATA a = Creds("User", "Password", "Domain", "HOST", 1);
  std::vector<uint8_t> ch = Challenge(32);
  NtlmV2Entropy e{NtlmTimestamp(0), {1, 2, 3, 4, 5, 6, 7, 8}};
  std::unique_ptr<uint8_t[]> m1, m2;
  int n1 = ZARQProxyClientNTLMResponseType3Cal(&m1, ch.data(), 32, &a, &e);
  int n2 = ZARQProxyClientNTLMResponseType3Cal(&m2, ch.data(), 32, &a, &e);
  ASSERT_GT(n1, 0);
  ASSERT_EQ(n1, n2);
  EXPECT_EQ(0, std::memcmp(m1.get(), m2.get(), static_cast<size_t>(n1)));
  EXPECT_EQ(116444736000000000ULL, NtlmTimestamp(0));
}

TEST(NtlmAuthenticate, RefusesInvalidUtf8) {
  ZARQ_PROXY_AUTH_DATA a = Creds("us\xff", "pw", "dom1", "xyz", 0);
  std::vector<uint8_t> ch = Challenge(32);
  std::unique_ptr<uint8_t[]> m;
  EXPECT_EQ(-1, ZARQProxyClientNTLMResponseType3Cal(&m, ch.data(), 32, &a));
}

}  // namespace
