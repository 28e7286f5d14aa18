// The weak and strong checksums: the rolling sum against its definition,
// the vectorised sums against the plain loop, and MD4 (one message and many
// side by side) against RFC 1320.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "delta/md4_lanes.h"
#include "delta/rolling_checksum.h"
#include "delta_fixture.h"
#include "platform/legacy_crypto.h"

namespace {

using deltatest::Hex;
using deltatest::RandomBytes;

// The definition: each byte taken as x + 31; a is their sum, b the sum of
// the running sums of a.
uint32_t ReferenceWeak(const std::string& s) {
  uint32_t a = 0, b = 0;
  for (unsigned char c : s) {
    a += c + 31u;
    b += a;
  }
  return (b << 16) | (a & 0xFFFF);
}

TEST(WeakSumTest, KnownValues) {
  RSRollingChecksum sum;
  sum.update("abc", 3);
  EXPECT_EQ(sum.a, 0x183u);
  EXPECT_EQ(sum.b, 0x304u);
  EXPECT_EQ(sum.digest(), 0x03040183u);
  EXPECT_EQ(rs_weak_sum("\x05", 1), (36u << 16) | 36u);
}

TEST(WeakSumTest, ClosedFormEqualsTheDefinitionForEveryLength) {
  // Random and all-0xFF bytes (the largest sums), lengths around the vector
  // width and far beyond, also extending a window that already holds bytes.
  for (const std::string& data : {RandomBytes(70000, 1), std::string(70000, '\xFF')}) {
    for (size_t n = 0; n < 300; ++n) ASSERT_EQ(rs_weak_sum(data.data(), n), ReferenceWeak(data.substr(0, n))) << n;
    for (size_t n : {2047u, 2048u, 2049u, 65536u, 70000u}) {
      ASSERT_EQ(rs_weak_sum(data.data(), n), ReferenceWeak(data.substr(0, n))) << n;
    }
    RSRollingChecksum sum;
    sum.update(data.data(), 1000);
    sum.update(data.data() + 1000, 3000);
    EXPECT_EQ(sum.digest(), ReferenceWeak(data.substr(0, 4000)));
    EXPECT_EQ(sum.size(), 4000u);
  }
}

TEST(WeakSumTest, RollingEqualsRecomputingTheWindow) {
  const std::string data = RandomBytes(20000, 2);
  const size_t window = 2048;
  RSRollingChecksum sum;
  sum.update(data.data(), window);
  for (size_t start = 1; start + window <= data.size(); ++start) {
    sum.rotate(static_cast<unsigned char>(data[start - 1]), static_cast<unsigned char>(data[start + window - 1]));
    ASSERT_EQ(sum.digest(), ReferenceWeak(data.substr(start, window))) << start;
  }
  sum.roll_out(static_cast<unsigned char>(data[data.size() - window]));
  EXPECT_EQ(sum.digest(), ReferenceWeak(data.substr(data.size() - window + 1)));
  EXPECT_EQ(sum.size(), window - 1);
}

std::string Md4Hex(const std::string& s) {
  unsigned char d[16];
  platform::Md4(s.data(), s.size(), d);
  return Hex(std::string(reinterpret_cast<char*>(d), 16));
}

TEST(Md4Test, Rfc1320Vectors) {
  EXPECT_EQ(Md4Hex(""), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(Md4Hex("a"), "bde52cb31de33e46245e05fbdbd6fb24");
  EXPECT_EQ(Md4Hex("abc"), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Md4Hex("message digest"), "d9130a8164549fe818874806e1c7014b");
  EXPECT_EQ(Md4Hex("abcdefghijklmnopqrstuvwxyz"), "d79e1c308aa5bbcdeea8ed63df412da9");
  EXPECT_EQ(Md4Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "e33b4ddc9c38f2199c3e7b164fcc0536");

  platform::Md4Context ctx;
  ctx.Update("message ", 8);
  ctx.Update(nullptr, 0);
  ctx.Update("digest", 6);
  unsigned char d[16];
  ctx.Final(d);
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(d), 16)), "d9130a8164549fe818874806e1c7014b");
}

TEST(Md4Test, ManyMessagesSideBySideEqualOneByOne) {
  // Lengths around the padding boundaries (55/56 bytes into a block) and the
  // block size; counts around the lane width; strides equal to and longer
  // than the messages.
  const std::string data = RandomBytes(17 * 4200, 3);
  for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 2047u, 2048u, 2049u, 4096u}) {
    for (size_t count : {1u, 2u, 7u, 8u, 9u, 17u}) {
      for (size_t stride : {len, len + 100}) {
        unsigned char out[17][16];
        md4_many(reinterpret_cast<const unsigned char*>(data.data()), stride, len, count, out);
        for (size_t i = 0; i < count; ++i) {
          ASSERT_EQ(Hex(std::string(reinterpret_cast<char*>(out[i]), 16)), Md4Hex(data.substr(i * stride, len)))
              << "len " << len << " count " << count << " stride " << stride << " message " << i;
        }
      }
    }
  }
}

}  // namespace
