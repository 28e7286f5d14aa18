// Delta generation: exact bytes of the cases whose encoding is fixed, the
// structure of runs, and the signature loader's refusals.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "delta/delta_handler.h"
#include "delta/fd_io.h"
#include "delta_fixture.h"

namespace {

using deltatest::Command;
using deltatest::FromHex;
using deltatest::Hex;
using deltatest::ParseDelta;
using deltatest::RandomBytes;

class DeltaTest : public testsupport::TempDirTest {
 protected:
  // The delta of `fresh` against the signature of `basis`, both made by us;
  // every delta is also checked by rdiff's patch.
  std::string Delta(const std::string& basis, const std::string& fresh) {
    WriteFile("basis", basis);
    WriteFile("new", fresh);
    EXPECT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
    EXPECT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("basis.sig")), 0);
    deltatest::RdiffPatch(Path("basis"), Path("delta"), Path("rdiff.out"));
    EXPECT_TRUE(ReadFile("rdiff.out") == fresh) << "rdiff patch";
    return ReadFile("delta");
  }
};

TEST_F(DeltaTest, IdenticalFileOf5000Bytes) {
  // Two whole blocks as one copy; the 904-byte tail always travels as literal.
  const std::string data = RandomBytes(5000, 1);
  EXPECT_TRUE(Delta(data, data) == FromHex("72730236 46 00 1000 42 0388") + data.substr(4096) + '\0');
}

TEST_F(DeltaTest, EmptyNewFile) { EXPECT_EQ(Delta(RandomBytes(5000, 2), ""), FromHex("72730236 00")); }

TEST_F(DeltaTest, HeaderOnlySignatureGivesOneLiteralPerChunk) {
  // The first chunk leaves its last 2047 bytes as the next window; every
  // later literal is a whole chunk; the tail is the final partial window.
  const std::string d = Delta("", RandomBytes(3u << 20, 3));
  EXPECT_EQ(Hex(d.substr(0, 9)), "7273023643000ff801");
  const std::vector<Command> expected = {{'L', 0xFF801, 0}, {'L', 0x100000, 0}, {'L', 0x100000, 0}, {'L', 0x7FF, 0}};
  EXPECT_EQ(ParseDelta(d), expected);
}

TEST_F(DeltaTest, RunStopsAtTheLastBasisBlockAndMatchingGoesOn) {
  const std::string basis = RandomBytes(3 * 2048, 4);
  const std::vector<Command> expected = {{'C', 0, 6144}, {'C', 0, 6144}};
  EXPECT_EQ(ParseDelta(Delta(basis, basis + basis)), expected);
}

TEST_F(DeltaTest, RunsContinueAcrossChunksAndShiftedBlocksAreFound) {
  // 100 bytes inserted early: every later block is found at its new place,
  // in one copy although the run crosses two chunk boundaries.
  const std::string basis = RandomBytes((3u << 20), 5);
  const std::string fresh = basis.substr(0, 4096) + RandomBytes(100, 6) + basis.substr(4096);
  const std::vector<Command> expected = {{'C', 0, 4096}, {'L', 100, 0}, {'C', 4096, (3u << 20) - 4096}};
  EXPECT_EQ(ParseDelta(Delta(basis, fresh)), expected);
}

TEST_F(DeltaTest, OffsetsFromFourGibibytesUseEightBytes) {
  // A fabricated signature of 2^21 + 1 entries whose last block (at offset
  // 2^32) is the new file; the other entries match nothing.
  const std::string block = RandomBytes(2048, 7);
  WriteFile("new", block);
  ASSERT_EQ(deltatest::ReadSimple(Path("new"), Path("one.sig")), 0);
  const std::string one = ReadFile("one.sig");
  ASSERT_EQ(one.size(), 24u);
  std::string sig = one.substr(0, 12);
  sig.resize(12 + (static_cast<size_t>(12) << 21), '\0');  // weak 0, strong 0: never the new block
  sig += one.substr(12);
  WriteFile("big.sig", sig);
  ASSERT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("big.sig")), 0);
  const std::string expected = FromHex("72730236 52 0000000100000000 0800 00");
  EXPECT_EQ(Hex(ReadFile("delta")), Hex(expected));

  // Patched from a sparse basis of 4 GiB + 4 KiB holding the block at 2^32.
  const int fd = open(Path("basis").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, block.data(), block.size(), static_cast<off_t>(1) << 32), 2048);
  ASSERT_EQ(ftruncate(fd, (static_cast<off_t>(1) << 32) + 4096), 0);
  ASSERT_EQ(close(fd), 0);
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out")), 0);
  EXPECT_TRUE(ReadFile("out") == block);
  deltatest::RdiffPatch(Path("basis"), Path("delta"), Path("rdiff.out"));
  EXPECT_TRUE(ReadFile("rdiff.out") == block);
}

struct LoaderCase {
  const char* name;
  std::string signature;  // file content; "" with missing: no file
  const char* line;       // expected on stderr; "" for none
};

class SignatureLoaderTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<LoaderCase> {};

TEST_P(SignatureLoaderTest, RefusesTheSignatureBeforeCreatingTheDelta) {
  const LoaderCase& c = GetParam();
  WriteFile("new", RandomBytes(5000, 8));
  if (std::string(c.name) != "Missing") WriteFile("sig", c.signature);
  testing::internal::CaptureStderr();
  EXPECT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("sig")), FileReader::ERROR_HANDLER_CALL);
  const std::string err = testing::internal::GetCapturedStderr();
  if (*c.line != '\0') {
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
  } else {
    EXPECT_EQ(err, "");
  }
  EXPECT_NE(access(Path("delta").c_str(), F_OK), 0) << "delta created";
}

INSTANTIATE_TEST_SUITE_P(
    Defects, SignatureLoaderTest,
    ::testing::Values(LoaderCase{"Missing", "", "fd_open_read: Error Code 2"},
                      LoaderCase{"ShortHeader", FromHex("72730136 00000800 000000"), ""},
                      LoaderCase{"DeltaMagic", FromHex("72730236 00000800 00000008"), "invalid signature header"},
                      LoaderCase{"BlockSizeZero", FromHex("72730136 00000000 00000008"), "invalid signature block size"},
                      LoaderCase{"BlockSizeAbove1GiB", FromHex("72730136 40000001 00000008"),
                                 "invalid signature block size"},
                      LoaderCase{"HashSizeZero", FromHex("72730136 00000800 00000000"), "invalid signature hash size"},
                      LoaderCase{"HashSize17", FromHex("72730136 00000800 00000011"), "invalid signature hash size"}),
    [](const ::testing::TestParamInfo<LoaderCase>& info) { return info.param.name; });

TEST_F(DeltaTest, RdiffDefaultFormatsAreRefused) {
  // Only -H md4 -R rollsum gives this program's format; each default differs
  // in its magic (BLAKE2 and Rabin-Karp, MD4 with Rabin-Karp, BLAKE2 with rollsum).
  WriteFile("basis", RandomBytes(5000, 9));
  const std::vector<std::vector<std::string>> variants = {{}, {"-H", "md4"}, {"-R", "rollsum"}};
  const char* magics[] = {"72730147", "72730146", "72730137"};
  for (size_t i = 0; i < variants.size(); ++i) {
    std::vector<std::string> argv = {"rdiff", "-f"};
    argv.insert(argv.end(), variants[i].begin(), variants[i].end());
    argv.insert(argv.end(), {"signature", Path("basis"), Path("sig")});
    deltatest::Run(argv);
    EXPECT_EQ(Hex(ReadFile("sig").substr(0, 4)), magics[i]);
    testing::internal::CaptureStderr();
    EXPECT_EQ(deltatest::ReadSimple(Path("basis"), "", Path("delta"), Path("sig")), FileReader::ERROR_HANDLER_CALL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid signature header"), std::string::npos);
  }
}

TEST_F(DeltaTest, TrailingBytesOfAPartialEntryAreIgnored) {
  const std::string basis = RandomBytes(5000, 10);
  WriteFile("basis", basis);
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("sig")), 0);
  WriteFile("sig", ReadFile("sig") + "\x01\x02\x03");
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), "", Path("delta"), Path("sig")), 0);
  EXPECT_EQ(ReadFile("delta").substr(0, 8), FromHex("72730236 46 00 1000"));
}

TEST_F(DeltaTest, BodyShorterThanItsSizeIsRefused) {
  // The body is read in a loop up to the size the file claims; fewer bytes
  // must fail the load, never leave part of the table unset. (The descriptor
  // is moved past one entry, as a file that shrank after fd_stat would be.)
  WriteFile("basis", RandomBytes(5000, 11));
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("sig")), 0);
  DeltaHandler handler(Path("delta").c_str(), Path("sig").c_str());
  fd_t fd;
  ASSERT_EQ(fd_open_read(Path("sig").c_str(), fd), 0);
  EXPECT_EQ(handler.loadHeader(fd), 0);
  ASSERT_EQ(fd_seek(fd, 24), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(handler.loadBody(fd), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("fd_read: Error Code"), std::string::npos);
  fd_close(fd);
}

TEST_F(DeltaTest, TableTooLargeToHoldIsRefusedWithoutAllocating) {
  // A sparse signature claiming 2^32 entries (48 GiB): refused as a memory
  // failure before anything is allocated or read.
  WriteFile("sig", FromHex("72730136 00000800 00000008"));
  ASSERT_EQ(truncate(Path("sig").c_str(), 12 + (static_cast<off_t>(12) << 32)), 0);
  WriteFile("new", RandomBytes(5000, 12));
  testing::internal::CaptureStderr();
  EXPECT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("sig")), FileReader::ERROR_HANDLER_CALL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("malloc: Error Code 12"), std::string::npos);
}

}  // namespace
