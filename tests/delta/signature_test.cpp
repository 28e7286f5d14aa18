// Signatures: byte for byte what rdiff writes in this program's format,
// however the stream is cut into pieces.
#include <gtest/gtest.h>

#include <string>

#include "delta/signature_handler.h"
#include "delta_fixture.h"

namespace {

using deltatest::FromHex;
using deltatest::RandomBytes;

class SignatureTest : public testsupport::TempDirTest {
 protected:
  // Runs a SignatureHandler over `data` in pieces of `piece` bytes (0: all at once).
  void Sign(const std::string& data, size_t piece, const std::string& out, unsigned block_size = 2048,
            unsigned hash_size = 8) {
    SignatureHandler h(out.c_str());
    h.setBlockSize(block_size);
    h.setHashSize(hash_size);
    ASSERT_EQ(h.begin(), 0);
    const size_t step = piece == 0 ? data.size() : piece;
    for (size_t at = 0; at < data.size(); at += step) {
      const size_t n = std::min(step, data.size() - at);
      ASSERT_EQ(h.update(data.data() + at, static_cast<unsigned>(n)), 0);
      ASSERT_EQ(h.wait(), 0);
    }
    ASSERT_EQ(h.end(), 0);
  }
};

class SignatureSizeTest : public SignatureTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SignatureSizeTest, EqualsRdiffForEveryWayOfFeedingTheStream) {
  const std::string data = RandomBytes(GetParam(), GetParam() + 1);
  WriteFile("in", data);
  deltatest::RdiffSignature(Path("in"), Path("rdiff.sig"));
  const std::string expected = ReadFile("rdiff.sig");
  ASSERT_EQ(expected.size(), 12 + (data.size() + 2047) / 2048 * 12);

  // Through the reader (1 MiB chunks), and handler-driven in 1-byte and 1000-byte pieces.
  ASSERT_EQ(deltatest::ReadSimple(Path("in"), Path("reader.sig")), 0);
  EXPECT_TRUE(ReadFile("reader.sig") == expected) << "reader";
  if (data.size() <= (1u << 20) + 1) {
    Sign(data, 1, Path("bytes.sig"));
    EXPECT_TRUE(ReadFile("bytes.sig") == expected) << "1-byte pieces";
  }
  Sign(data, 1000, Path("pieces.sig"));
  EXPECT_TRUE(ReadFile("pieces.sig") == expected) << "1000-byte pieces";
  Sign(data, 0, Path("whole.sig"));
  EXPECT_TRUE(ReadFile("whole.sig") == expected) << "whole";
}

INSTANTIATE_TEST_SUITE_P(Sizes, SignatureSizeTest,
                         ::testing::Values(0, 1, 2047, 2048, 2049, (1u << 20) - 1, 1u << 20, (1u << 20) + 1,
                                           (3u << 20) + 12345));

TEST_F(SignatureTest, LastEntryOfASingleByteBlock) {
  // 2049 bytes: two entries, the second for one byte x with weak sum
  // ((x + 31) << 16) | (x + 31) and the MD4 of that byte.
  std::string data = RandomBytes(2048, 7) + "a";
  WriteFile("in", data);
  ASSERT_EQ(deltatest::ReadSimple(Path("in"), Path("sig")), 0);
  const std::string sig = ReadFile("sig");
  ASSERT_EQ(sig.size(), 12u + 2 * 12);
  EXPECT_EQ(sig.substr(0, 12), FromHex("72730136 00000800 00000008"));
  // 'a' + 31 = 0x80; MD4("a") = bde52cb31de33e46...
  EXPECT_EQ(sig.substr(24), FromHex("00800080 bde52cb31de33e46"));
}

TEST_F(SignatureTest, SizesOutsideTheRangesKeepTheDefaults) {
  struct Case {
    unsigned block_in, hash_in, block_out, hash_out;
  } cases[] = {{0, 17, 2048, 8}, {0, 0, 2048, 8}, {4096, 16, 4096, 16}, {512, 1, 512, 1}};
  const std::string data = RandomBytes(10000, 3);
  WriteFile("in", data);
  for (const Case& c : cases) {
    SimpleFileReader reader;
    reader.setFile(Path("in").c_str());
    reader.setSignature(Path("sig").c_str(), c.block_in, c.hash_in);
    ASSERT_EQ(reader.readFile(), 0);
    deltatest::Run({"rdiff", "-f", "-H", "md4", "-R", "rollsum", "-b", std::to_string(c.block_out), "-S",
                    std::to_string(c.hash_out), "signature", Path("in"), Path("rdiff.sig")});
    EXPECT_TRUE(ReadFile("sig") == ReadFile("rdiff.sig")) << c.block_in << "/" << c.hash_in;
  }
}

}  // namespace
