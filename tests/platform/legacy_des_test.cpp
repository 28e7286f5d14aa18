#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/legacy_crypto.h"

namespace {

TEST(LegacyDes, PublishedVectorAndParityFixup) {
  // FIPS 81 example: key 0123456789abcdef, "Now is t" -> 3fa40e8a984d4815.
  const uint8_t key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  const uint8_t plain[8] = {'N', 'o', 'w', ' ', 'i', 's', ' ', 't'};
  const uint8_t want[8] = {0x3f, 0xa4, 0x0e, 0x8a, 0x98, 0x4d, 0x48, 0x15};
  uint8_t out[8];
  platform::DesEcbEncryptBlock(key, plain, out);
  EXPECT_EQ(0, std::memcmp(out, want, 8));
  // Parity bits are ignored: flipping them all gives the same block.
  uint8_t flipped[8];
  for (int i = 0; i < 8; ++i) flipped[i] = static_cast<uint8_t>(key[i] ^ 1);
  platform::DesEcbEncryptBlock(flipped, plain, out);
  EXPECT_EQ(0, std::memcmp(out, want, 8));
  // In place.
  uint8_t block[8];
  std::memcpy(block, plain, 8);
  platform::DesEcbEncryptBlock(key, block, block);
  EXPECT_EQ(0, std::memcmp(block, want, 8));
}

}  // namespace
