// The lookup in front of the sorted block table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "delta/weak_sum_index.h"

namespace {

TEST(WeakSumIndexTest, FindsTheFirstRowOfEveryChecksumAndNothingElse) {
  // Random checksums, some repeated (adjacent rows after sorting), and
  // checksums that differ only in their high bits.
  std::vector<DeltaBlock> rows;
  uint64_t x = 12345;
  for (uint32_t i = 0; i < 5000; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const uint32_t w = static_cast<uint32_t>(x >> 32);
    rows.push_back({w, i});
    if (i % 7 == 0) rows.push_back({w, i + 100000});
    if (i % 50 == 0) rows.push_back({i << 20, i + 200000});
  }
  std::sort(rows.begin(), rows.end(),
            [](const DeltaBlock& a, const DeltaBlock& b) { return a.weaksum != b.weaksum ? a.weaksum < b.weaksum : a.index < b.index; });
  WeakSumIndex index;
  ASSERT_EQ(index.build(rows.data(), rows.size()), 0);

  std::set<uint32_t> present;
  for (size_t r = 0; r < rows.size(); ++r) {
    const uint32_t w = rows[r].weaksum;
    if (r > 0 && rows[r - 1].weaksum == w) continue;
    present.insert(w);
    ASSERT_TRUE(index.mayContain(w));
    ASSERT_EQ(index.find(w), r);
  }
  size_t filtered = 0;
  for (uint32_t probe = 0; probe < 200000; ++probe) {
    const uint32_t w = probe * 2654435761u;
    if (present.count(w) != 0) continue;
    ASSERT_EQ(index.find(w), WeakSumIndex::NOT_FOUND) << w;
    if (!index.mayContain(w)) ++filtered;
  }
  EXPECT_GT(filtered, 180000u) << "the filter lets too much through";
}

TEST(WeakSumIndexTest, EmptyIndexFindsNothing) {
  WeakSumIndex index;
  EXPECT_FALSE(index.mayContain(0));
  EXPECT_EQ(index.find(0), WeakSumIndex::NOT_FOUND);
  ASSERT_EQ(index.build(nullptr, 0), 0);
  EXPECT_FALSE(index.mayContain(0x03040183));
  EXPECT_EQ(index.find(0x03040183), WeakSumIndex::NOT_FOUND);
}

}  // namespace
