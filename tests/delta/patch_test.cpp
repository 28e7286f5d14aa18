// Patching: the refusals of damaged deltas, the output bound, long commands,
// and the reverse delta's block list.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <list>
#include <string>

#include "delta_fixture.h"

namespace {

using deltatest::FromHex;
using deltatest::RandomBytes;

const std::string kMagic = FromHex("72730236");

struct PatchErrorCase {
  const char* name;
  std::string delta;
  int result;
  const char* line;  // expected on stderr
};

class PatchErrorTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<PatchErrorCase> {};

TEST_P(PatchErrorTest, StopsWithTheCodeAndLine) {
  const PatchErrorCase& c = GetParam();
  WriteFile("basis", RandomBytes(5000, 1));
  WriteFile("delta", c.delta);
  testing::internal::CaptureStderr();
  EXPECT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out")), c.result);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(c.line), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, PatchErrorTest,
    ::testing::Values(
        PatchErrorCase{"SignatureGivenAsDelta", FromHex("72730136 00000800 00000008"), FileReader::ERROR_FILE_FORMAT,
                       "invalid patch file (72730136)\n"},
        PatchErrorCase{"ShortMagic", FromHex("7273"), FileReader::ERROR_SYSTEM_CALL, "fd_bio_read<int>: Error Code"},
        PatchErrorCase{"NoEndCommand", kMagic + FromHex("03 616263"), FileReader::ERROR_SYSTEM_CALL,
                       "expect command byte\n"},
        PatchErrorCase{"CutInParameter1", kMagic + FromHex("42 00"), FileReader::ERROR_SYSTEM_CALL,
                       "expect parameter 1 with 2 bytes\n"},
        PatchErrorCase{"CutInParameter2", kMagic + FromHex("49 0000"), FileReader::ERROR_SYSTEM_CALL,
                       "expect parameter 2 with 1 bytes\n"},
        PatchErrorCase{"ReservedCommand", kMagic + FromHex("55 00"), FileReader::ERROR_FILE_FORMAT,
                       "unexpected kind: 3\n"},
        PatchErrorCase{"CopyPastTheBasis", kMagic + FromHex("4A 1000 0800 00"), FileReader::ERROR_SYSTEM_CALL,
                       "fd_read: length = 2048, return code = 0\n"},
        PatchErrorCase{"CopyOffsetAboveInt64", kMagic + FromHex("51 8000000000000000 10 00"),
                       FileReader::ERROR_SYSTEM_CALL, "fd_seek: offset = 9223372036854775808\n"},
        // A length from the server far beyond the delta: taken in pieces, it
        // fails at the end of the delta instead of being narrowed to 32 bits.
        PatchErrorCase{"LiteralLongerThanTheDelta", kMagic + FromHex("44 4000000000000001 616263"),
                       FileReader::ERROR_SYSTEM_CALL, "fd_bio_read: offset = 12, length = 262144\n"}),
    [](const ::testing::TestParamInfo<PatchErrorCase>& info) { return info.param.name; });

class PatchTest : public testsupport::TempDirTest {};

TEST_F(PatchTest, MissingPathTouchesNothing) {
  WriteFile("delta", kMagic + FromHex("00"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(deltatest::Patch(Path("delta"), "", Path("out")), FileReader::ERROR_ARGUMENT);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("invalid arguments (basis_file = '', patch_file = '" +
                                                        Path("delta") + "'\n"),
            std::string::npos);
  EXPECT_NE(access(Path("out").c_str(), F_OK), 0);
  EXPECT_EQ(deltatest::Patch("", Path("delta"), Path("out")), FileReader::ERROR_ARGUMENT);
  EXPECT_NE(access(Path("out").c_str(), F_OK), 0);
}

TEST_F(PatchTest, EmptyDeltaGivesAnEmptyFile) {
  WriteFile("basis", RandomBytes(5000, 2));
  WriteFile("delta", kMagic + FromHex("00"));
  ustring hash("unchanged");
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), &hash, Path("out.sig")), 0);
  EXPECT_EQ(ReadFile("out"), "");
  EXPECT_STREQ(hash.c_str_utf8(), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(ReadFile("out.sig"), FromHex("72730136 00000800 00000008"));
}

TEST_F(PatchTest, BytesAfterTheEndCommandAreNeverRead) {
  WriteFile("basis", "");
  WriteFile("delta", kMagic + FromHex("03 616263 00 55 44 ffffffffffffffff"));
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out")), 0);
  EXPECT_EQ(ReadFile("out"), "abc");
}

TEST_F(PatchTest, CommandsLongerThanAChunk) {
  const std::string basis = RandomBytes(3u << 20, 3);
  const std::string literal = RandomBytes(0x180001, 4);
  WriteFile("basis", basis);
  WriteFile("delta", kMagic + FromHex("43 00180001") + literal + FromHex("4F 00000000 00300000") +
                         FromHex("4F 00000010 00100000 00"));
  ustring hash;
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), &hash, Path("out.sig")), 0);
  const std::string expected = literal + basis + basis.substr(16, 1u << 20);
  EXPECT_TRUE(ReadFile("out") == expected);
  WriteFile("expected", expected);
  EXPECT_EQ(std::string(hash.c_str_utf8()), deltatest::OpensslMd4(Path("expected")));
  deltatest::RdiffSignature(Path("expected"), Path("expected.sig"));
  EXPECT_TRUE(ReadFile("out.sig") == ReadFile("expected.sig"));
}

TEST_F(PatchTest, OutputBeyondTheAnnouncedSizeIsRefused) {
  // Copies may repeat the basis without end; the rebuild stops before the
  // command that would pass the bound.
  WriteFile("basis", RandomBytes(4096, 5));
  WriteFile("delta", kMagic + FromHex("46 00 1000") + FromHex("46 00 1000") + FromHex("46 00 1000 00"));
  struct Case {
    uint64_t max;
    int result;
    size_t out_size;
  } cases[] = {{10000, FileReader::ERROR_FILE_FORMAT, 8192}, {12288, 0, 12288}, {0, FileReader::ERROR_FILE_FORMAT, 0}};
  for (const Case& c : cases) {
    DeltaFileReader reader;
    reader.setFile(Path("delta").c_str(), Path("basis").c_str());
    reader.setNewFile(Path("out").c_str());
    reader.setMaxOutputSize(c.max);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.readFile(), c.result) << c.max;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFile("out").size(), c.out_size) << c.max;
    if (c.result != 0) {
      EXPECT_NE(err.find("output exceeds " + std::to_string(c.max) + " bytes"), std::string::npos);
    }
  }
}

TEST_F(PatchTest, ReverseDeltaOfOverlappingCopies) {
  // Copies that repeat and overlap basis ranges, and a basis tail no copy
  // covers: the reverse delta must still give the basis back.
  const std::string basis = RandomBytes(20000, 6);
  WriteFile("basis", basis);
  WriteFile("delta", kMagic + FromHex("4A 0000 1000") + FromHex("4A 0800 1000") + FromHex("03 787878") +
                         FromHex("4A 0000 2000") + FromHex("4A 1100 0100 00"));
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("new"), nullptr, "", Path("reverse")), 0);
  deltatest::RdiffPatch(Path("new"), Path("reverse"), Path("back"));
  EXPECT_TRUE(ReadFile("back") == basis);
}

struct InsertCase {
  const char* name;
  std::list<Block> before;
  Block added;
  std::list<Block> after;
};

bool SameBlocks(const std::list<Block>& x, const std::list<Block>& y) {
  if (x.size() != y.size()) return false;
  auto i = x.begin();
  for (const Block& b : y) {
    if (i->start != b.start || i->length != b.length || i->new_start != b.new_start) return false;
    ++i;
  }
  return true;
}

TEST(InsertSameBlockTest, KeepsBlocksSortedAndFreeOfOverlaps) {
  const InsertCase cases[] = {
      {"Disjoint", {{0, 10, 0}}, {20, 10, 50}, {{0, 10, 0}, {20, 10, 50}}},
      {"Before", {{20, 10, 50}}, {0, 10, 0}, {{0, 10, 0}, {20, 10, 50}}},
      {"SameStartLongerWins", {{0, 10, 100}}, {0, 20, 200}, {{0, 20, 200}}},
      {"SameStartShorterDropped", {{0, 20, 200}}, {0, 10, 100}, {{0, 20, 200}}},
      {"Inside", {{0, 100, 0}}, {10, 20, 500}, {{0, 100, 0}}},
      {"SwallowsSeveral", {{10, 5, 0}, {20, 5, 10}, {30, 5, 20}}, {0, 100, 50}, {{0, 100, 50}}},
      {"EarlierShorterLosesTail", {{0, 10, 0}}, {5, 20, 100}, {{0, 5, 0}, {5, 20, 100}}},
      {"LaterShorterLosesHead", {{0, 20, 0}}, {15, 10, 100}, {{0, 20, 0}, {20, 5, 105}}},
      {"Chain", {{0, 10, 0}, {20, 10, 10}}, {5, 20, 100}, {{0, 5, 0}, {5, 20, 100}, {25, 5, 15}}},
  };
  for (const InsertCase& c : cases) {
    std::list<Block> blocks = c.before;
    DeltaFileReader::insertSameBlock(blocks, c.added);
    EXPECT_TRUE(SameBlocks(blocks, c.after)) << c.name;
  }
}

}  // namespace
