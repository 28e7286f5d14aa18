#include "filter/progress_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sqlite_shell.h"
#include "support/temp_dir.h"

namespace {

using ::testing::HasSubstr;

// The fixture works on the process-wide cache, as its callers do, and
// leaves it empty.
class ProgressCacheTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    log_ = filter_test::StartLog(Path());
    cache_ = ProgressCache::getInstance();
    cache_->clear();
  }
  void TearDown() override {
    cache_->clear();
    Logger::ResetForTest();
  }

  void Add(uint64_t row, uint64_t sess, uint64_t sync = 0) {
    cache_->addProgressEntry(row, ResumeCondition{sess, sync, -13, "/r" + std::to_string(row)});
  }

  // Drains a copy of the order: "row:sess:sync" for each entry, oldest first.
  std::string Order() {
    std::string out;
    ProgressCache::Entry e;
    std::vector<ProgressCache::Entry> taken;
    while (cache_->getProgressEntry(e) == 1) {
      out += std::to_string(e.row_id) + ":" + std::to_string(e.condition.sess_id) + ":" +
             std::to_string(e.condition.sync_id) + " ";
      taken.push_back(e);
      EXPECT_EQ(0, cache_->rmProgressEntry(e.row_id));
    }
    for (const auto& t : taken) cache_->addProgressEntry(t.row_id, t.condition);
    return out;
  }

  ProgressCache* cache_ = nullptr;
  std::string log_;
};

TEST_F(ProgressCacheTest, EmptyCacheLeavesTheEntry) {
  ProgressCache::Entry e;
  e.row_id = 77;
  EXPECT_EQ(0, cache_->getProgressEntry(e));
  EXPECT_EQ(77u, e.row_id);
  EXPECT_THAT(filter_test::ReadAll(log_), HasSubstr("): cache_list is empty. \n"));
}

TEST_F(ProgressCacheTest, FirstEntryIsCopiedNotRemoved) {
  cache_->addProgressEntry(5, ResumeCondition{2, 9, -15, "from=1,to=2"});
  ProgressCache::Entry e;
  ASSERT_EQ(1, cache_->getProgressEntry(e));
  ASSERT_EQ(1, cache_->getProgressEntry(e));
  EXPECT_EQ(5u, e.row_id);
  EXPECT_EQ(2u, e.condition.sess_id);
  EXPECT_EQ(9u, e.condition.sync_id);
  EXPECT_EQ(-15, e.condition.filter_type);
  EXPECT_EQ("from=1,to=2", e.condition.filter_desc);
  // The line has no end of line of its own: the next line follows on it.
  EXPECT_THAT(filter_test::ReadAll(log_),
              HasSubstr("): addProgressEntry row_id = '5', sess_id = '2', sync_id = '9', type = '-15', desc= "
                        "'from=1,to=2'."));
}

TEST_F(ProgressCacheTest, SessionRemovalTakesAllItsEntriesAndKeepsOrder) {
  Add(1, 10);
  Add(2, 20);
  Add(3, 10);
  Add(4, 30);
  EXPECT_TRUE(cache_->isInProgrssCache(10));
  EXPECT_TRUE(cache_->isInProgrssCache(20));
  EXPECT_FALSE(cache_->isInProgrssCache(40));
  EXPECT_EQ(0, cache_->rmProgressEntryBySessionId(10));
  EXPECT_FALSE(cache_->isInProgrssCache(10));
  EXPECT_EQ("2:20:0 4:30:0 ", Order());
  EXPECT_EQ(-1, cache_->rmProgressEntryBySessionId(10));
}

TEST_F(ProgressCacheTest, RemovalFromTheMiddleKeepsOrder) {
  for (uint64_t r = 1; r <= 5; ++r) Add(r, 1);
  EXPECT_EQ(0, cache_->rmProgressEntry(3));
  EXPECT_EQ(-1, cache_->rmProgressEntry(3));
  EXPECT_EQ(-1, cache_->rmProgressEntry(99));
  EXPECT_EQ("1:1:0 2:1:0 4:1:0 5:1:0 ", Order());
}

TEST_F(ProgressCacheTest, SyncIdUpdateTouchesOnlyThatRow) {
  Add(1, 1, 100);
  Add(2, 1, 200);
  cache_->updateProgressSyncId(1, 150);
  cache_->updateProgressSyncId(99, 7);  // not cached: nothing happens
  ProgressCache::Entry e;
  ASSERT_EQ(1, cache_->getProgressEntry(e));
  EXPECT_EQ(150u, e.condition.sync_id);
  EXPECT_EQ("1:1:150 2:1:200 ", Order());
  EXPECT_THAT(filter_test::ReadAll(log_), HasSubstr("): updateProgressSyncId to 150 for row_id = 1.\n"));
}

TEST_F(ProgressCacheTest, DuplicatesAreKeptAndRemovedOneAtATime) {
  Add(7, 1);
  Add(7, 1);
  EXPECT_EQ(0, cache_->rmProgressEntry(7));
  EXPECT_TRUE(cache_->isInProgrssCache(1));
  EXPECT_EQ(0, cache_->rmProgressEntry(7));
  EXPECT_FALSE(cache_->isInProgrssCache(1));
}

TEST_F(ProgressCacheTest, AllEntriesAreCopiedOldestFirst) {
  std::vector<ProgressCache::Entry> all(3);
  cache_->getProgressEntries(all);
  EXPECT_TRUE(all.empty());
  Add(4, 2, 40);
  Add(1, 1, 10);
  Add(3, 2, 30);
  cache_->getProgressEntries(all);
  std::string out;
  for (const auto& e : all) {
    out += std::to_string(e.row_id) + ":" + std::to_string(e.condition.sess_id) + ":" +
           std::to_string(e.condition.sync_id) + " ";
  }
  EXPECT_EQ("4:2:40 1:1:10 3:2:30 ", out);
  EXPECT_EQ("/r4", all[0].condition.filter_desc);
  // A copy: the cache keeps its entries.
  EXPECT_EQ(out, Order());
}

TEST_F(ProgressCacheTest, ClearEmptiesTheCache) {
  Add(1, 1);
  Add(2, 2);
  cache_->clear();
  ProgressCache::Entry e;
  EXPECT_EQ(0, cache_->getProgressEntry(e));
  EXPECT_FALSE(cache_->isInProgrssCache(1));
}

}  // namespace
