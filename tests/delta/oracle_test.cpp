// Interoperation with rdiff, case by case and in every direction: our delta
// patched by rdiff, rdiff's delta patched by us (rebuilt file, MD4 and
// signature checked against openssl and rdiff), our reverse delta patched
// back by rdiff. Delta bytes are never compared with rdiff's (rdiff also
// matches a short last block); rebuilt files are.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "delta_fixture.h"

namespace {

using deltatest::RandomBytes;

// The files of a case are made when it runs: every process of this
// executable registers all cases, and most run none of them.
struct OracleFiles {
  std::string basis;
  std::string fresh;
};

struct OracleCase {
  const char* name;
  OracleFiles (*make)();
  uint64_t min_copied;  // at least this much of the new file must come from copies
};

// 3 MiB and 777 bytes, across three 1-MiB read chunks.
constexpr size_t kBigSize = (3u << 20) + 777;
const std::string& Big() {
  static const std::string big = RandomBytes(kBigSize, 11);
  return big;
}
constexpr uint64_t kBigFullBlocks = kBigSize / 2048 * 2048;

std::vector<OracleCase> Cases() {
  return {
      // The insertion straddles the first chunk boundary.
      {"InsertionAcrossChunkBoundary",
       [] {
         const size_t at = (1u << 20) - 50;
         return OracleFiles{Big(), Big().substr(0, at) + RandomBytes(100, 12) + Big().substr(at)};
       },
       kBigFullBlocks - 2048},
      {"Deletion",
       [] {
         std::string fresh = Big();
         fresh.erase(3u << 19, 5000);
         return OracleFiles{Big(), fresh};
       },
       kBigFullBlocks - 4 * 2048},
      {"Append", [] { return OracleFiles{Big(), Big() + RandomBytes(10000, 13)}; }, kBigFullBlocks},
      {"Identical", [] { return OracleFiles{Big(), Big()}; }, kBigFullBlocks},
      {"EmptyBasis", [] { return OracleFiles{"", RandomBytes(100000, 14)}; }, 0},
      {"EmptyNew", [] { return OracleFiles{RandomBytes(100000, 15), ""}; }, 0},
      {"DuplicateBlocks",
       [] {
         const std::string block = RandomBytes(2048, 16);
         OracleFiles f{"", RandomBytes(100, 17)};
         for (int i = 0; i < 8; ++i) f.basis += block;
         f.basis += RandomBytes(5000, 18);
         for (int i = 0; i < 16; ++i) f.fresh += block;
         f.fresh += RandomBytes(3000, 19);
         return f;
       },
       16 * 2048},
      {"DenseChanges",
       [] {
         OracleFiles f{RandomBytes(1u << 20, 20), ""};
         f.fresh = f.basis;
         for (size_t at = 0; at + 16 <= f.fresh.size(); at += 8192) f.fresh.replace(at, 16, RandomBytes(16, at));
         return f;
       },
       (1u << 20) / 2},
  };
}

class OracleTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<OracleCase> {
 protected:
  void SetUp() override {
    files_ = GetParam().make();
    WriteFile("basis", files_.basis);
    WriteFile("new", files_.fresh);
  }

  OracleFiles files_;
};

TEST_P(OracleTest, OurDeltaPatchedByRdiff) {
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  ASSERT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("basis.sig")), 0);
  deltatest::RdiffPatch(Path("basis"), Path("delta"), Path("out"));
  EXPECT_TRUE(ReadFile("out") == files_.fresh);

  uint64_t copied = 0;
  for (const deltatest::Command& c : deltatest::ParseDelta(ReadFile("delta"))) {
    if (c.kind == 'C') copied += c.b;
  }
  EXPECT_GE(copied, GetParam().min_copied) << "unchanged blocks were not found";

  // And our own patcher gives the same file.
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("ours")), 0);
  EXPECT_TRUE(ReadFile("ours") == files_.fresh);
}

TEST_P(OracleTest, RdiffDeltaPatchedByUs) {
  deltatest::RdiffSignature(Path("basis"), Path("basis.sig"));
  deltatest::RdiffDelta(Path("basis.sig"), Path("new"), Path("delta"));
  ustring hash;
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), &hash, Path("out.sig")), 0);
  EXPECT_TRUE(ReadFile("out") == files_.fresh);
  EXPECT_EQ(std::string(hash.c_str_utf8()), deltatest::OpensslMd4(Path("new")));
  deltatest::RdiffSignature(Path("new"), Path("new.sig"));
  EXPECT_TRUE(ReadFile("out.sig") == ReadFile("new.sig"));
}

TEST_P(OracleTest, ReverseDeltaPatchedBackByRdiff) {
  deltatest::RdiffSignature(Path("basis"), Path("basis.sig"));
  deltatest::RdiffDelta(Path("basis.sig"), Path("new"), Path("delta"));
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), nullptr, "", Path("reverse")), 0);
  deltatest::RdiffPatch(Path("out"), Path("reverse"), Path("back"));
  EXPECT_TRUE(ReadFile("back") == files_.basis);
}

INSTANTIATE_TEST_SUITE_P(Cases, OracleTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<OracleCase>& info) { return info.param.name; });

}  // namespace
