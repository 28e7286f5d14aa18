// The bytes -> PObject helper that the fuzz targets share: small inputs go
// through the socket buffer, large ones through a writer thread.
#include "support/pobject_from_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PObjectFromBytesTest, SmallAndLargeInputs) {
  const std::string small("\x42\x10\x00\x01k\x01\x01\x07\x40", 9);
  PStream stream;
  PObject target;
  ASSERT_EQ(0, testsupport::RecvFromBytes(reinterpret_cast<const uint8_t*>(small.data()), small.size(),
                                          stream, target));
  EXPECT_EQ(7u, target["k"].asUInt64());

  // 200,000 nulls in an array: far more than a socket buffer holds.
  std::string large = "\x41";
  for (int i = 0; i < 200000; ++i) large.append("\x00\x00", 2);
  large += '\x40';
  PObject array;
  ASSERT_EQ(0, testsupport::RecvFromBytes(reinterpret_cast<const uint8_t*>(large.data()), large.size(), stream,
                                          array));
  EXPECT_EQ(200000u, array.asArray().size());

  // A refusal early in a large input: the writer thread still ends.
  PStream limited;
  limited.SetValueLimit(10);
  PObject refused;
  EXPECT_EQ(StreamCodeNumber(PStream::Code::kStream), testsupport::RecvFromBytes(reinterpret_cast<const uint8_t*>(large.data()),
                                                            large.size(), limited, refused));
}

}  // namespace
