#include "platform/legacy_crypto.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using platform::BlowfishCfb64;
using platform::CipherDirection;

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

struct Vector {
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

// Oracle for each row:
//   printf PLAIN | openssl enc -bf-cfb -K KEY -iv IV -nosalt
//     -provider legacy -provider default | xxd -p     (one line)
// (a 4-byte key is given to openssl repeated to 16 bytes: -K alone would
// zero-pad it, and the key schedule repeats a short key cyclically).
const Vector kVectors[] = {
    {"7c4e9a13", "0000000000000000", "secret", "4cf21fd9a764"},
    // 25 bytes: three full feedback blocks and a partial one.
    {"0123456789abcdeff0e1d2c3b4a59687", "fedcba9876543210", "The quick brown fox jumps",
     "846c44b6c0666189138fbfbb9125eeb22ed762fc4360800298"},
};

TEST(LegacyCryptoTest, BlowfishCfb64MatchesOpenSslCommandBothWays) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.plain);
    std::vector<uint8_t> key = FromHex(v.key), iv = FromHex(v.iv);
    std::vector<uint8_t> plain = Bytes(v.plain), cipher = FromHex(v.cipher);
    std::vector<uint8_t> out(plain.size());
    ASSERT_EQ(0, BlowfishCfb64(key.data(), key.size(), iv.data(), plain.data(), out.data(),
                               plain.size(), CipherDirection::kEncrypt));
    EXPECT_EQ(cipher, out);
    // In place, the other way.
    ASSERT_EQ(0, BlowfishCfb64(key.data(), key.size(), iv.data(), out.data(), out.data(),
                               out.size(), CipherDirection::kDecrypt));
    EXPECT_EQ(plain, out);
    EXPECT_EQ(FromHex(v.iv), iv) << "the caller's vector must not change";
  }
}

TEST(LegacyCryptoTest, BadArgumentsGiveEinvalAndWriteNothing) {
  const uint8_t key[platform::kBlowfishMaxKeyLength + 1] = {1};
  const uint8_t iv[8] = {};
  const uint8_t in[4] = {1, 2, 3, 4};
  struct Case {
    const char* name;
    const uint8_t* key;
    size_t key_len;
    const uint8_t* in;
  };
  const Case cases[] = {
      {"empty key", key, 0, in},
      {"key longer than the schedule takes", key, platform::kBlowfishMaxKeyLength + 1, in},
      {"null key", nullptr, 4, in},
      {"null input", key, 4, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(EINVAL, BlowfishCfb64(c.key, c.key_len, iv, c.in, out, sizeof out,
                                    CipherDirection::kEncrypt));
    EXPECT_EQ(9, out[0]);
  }
  // The longest key is accepted, and an empty text needs no buffers.
  uint8_t out[4];
  EXPECT_EQ(0, BlowfishCfb64(key, platform::kBlowfishMaxKeyLength, iv, in, out, sizeof out,
                             CipherDirection::kEncrypt));
  EXPECT_EQ(0, BlowfishCfb64(key, 4, iv, nullptr, nullptr, 0, CipherDirection::kDecrypt));
}

}  // namespace
