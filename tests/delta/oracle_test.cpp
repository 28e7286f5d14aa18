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

struct OracleCase {
  const char* name;
  std::string basis;
  std::string fresh;
  uint64_t min_copied;  // at least this much of the new file must come from copies
};

uint64_t FullBlocks(const std::string& s) { return s.size() / 2048 * 2048; }

std::vector<OracleCase> Cases() {
  std::vector<OracleCase> cases;
  const std::string big = RandomBytes((3u << 20) + 777, 11);
  {
    const size_t at = (1u << 20) - 50;  // the insertion straddles the first chunk boundary
    cases.push_back({"InsertionAcrossChunkBoundary", big, big.substr(0, at) + RandomBytes(100, 12) + big.substr(at),
                     FullBlocks(big) - 2048});
  }
  {
    std::string fresh = big;
    fresh.erase(3u << 19, 5000);
    cases.push_back({"Deletion", big, fresh, FullBlocks(big) - 4 * 2048});
  }
  cases.push_back({"Append", big, big + RandomBytes(10000, 13), FullBlocks(big)});
  cases.push_back({"Identical", big, big, FullBlocks(big)});
  cases.push_back({"EmptyBasis", "", RandomBytes(100000, 14), 0});
  cases.push_back({"EmptyNew", RandomBytes(100000, 15), "", 0});
  {
    const std::string block = RandomBytes(2048, 16);
    std::string basis, fresh = RandomBytes(100, 17);
    for (int i = 0; i < 8; ++i) basis += block;
    basis += RandomBytes(5000, 18);
    for (int i = 0; i < 16; ++i) fresh += block;
    fresh += RandomBytes(3000, 19);
    cases.push_back({"DuplicateBlocks", basis, fresh, 16 * 2048});
  }
  {
    const std::string basis = RandomBytes(1u << 20, 20);
    std::string fresh = basis;
    for (size_t at = 0; at + 16 <= fresh.size(); at += 8192) fresh.replace(at, 16, RandomBytes(16, at));
    cases.push_back({"DenseChanges", basis, fresh, basis.size() / 2});
  }
  return cases;
}

class OracleTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<OracleCase> {
 protected:
  void SetUp() override {
    WriteFile("basis", GetParam().basis);
    WriteFile("new", GetParam().fresh);
  }
};

TEST_P(OracleTest, OurDeltaPatchedByRdiff) {
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  ASSERT_EQ(deltatest::ReadSimple(Path("new"), "", Path("delta"), Path("basis.sig")), 0);
  deltatest::RdiffPatch(Path("basis"), Path("delta"), Path("out"));
  EXPECT_TRUE(ReadFile("out") == GetParam().fresh);

  uint64_t copied = 0;
  for (const deltatest::Command& c : deltatest::ParseDelta(ReadFile("delta"))) {
    if (c.kind == 'C') copied += c.b;
  }
  EXPECT_GE(copied, GetParam().min_copied) << "unchanged blocks were not found";

  // And our own patcher gives the same file.
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("ours")), 0);
  EXPECT_TRUE(ReadFile("ours") == GetParam().fresh);
}

TEST_P(OracleTest, RdiffDeltaPatchedByUs) {
  deltatest::RdiffSignature(Path("basis"), Path("basis.sig"));
  deltatest::RdiffDelta(Path("basis.sig"), Path("new"), Path("delta"));
  ustring hash;
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), &hash, Path("out.sig")), 0);
  EXPECT_TRUE(ReadFile("out") == GetParam().fresh);
  EXPECT_EQ(std::string(hash.c_str_utf8()), deltatest::OpensslMd4(Path("new")));
  deltatest::RdiffSignature(Path("new"), Path("new.sig"));
  EXPECT_TRUE(ReadFile("out.sig") == ReadFile("new.sig"));
}

TEST_P(OracleTest, ReverseDeltaPatchedBackByRdiff) {
  deltatest::RdiffSignature(Path("basis"), Path("basis.sig"));
  deltatest::RdiffDelta(Path("basis.sig"), Path("new"), Path("delta"));
  ASSERT_EQ(deltatest::Patch(Path("delta"), Path("basis"), Path("out"), nullptr, "", Path("reverse")), 0);
  deltatest::RdiffPatch(Path("out"), Path("reverse"), Path("back"));
  EXPECT_TRUE(ReadFile("back") == GetParam().basis);
}

INSTANTIATE_TEST_SUITE_P(Cases, OracleTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<OracleCase>& info) { return info.param.name; });

}  // namespace
