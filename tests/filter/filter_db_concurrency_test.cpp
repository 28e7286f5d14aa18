// Workers record and clear held-back events and use the progress cache
// while the application thread reconciles a session again and again.
#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "filter/filter_reconcile.h"
#include "filter/progress_cache.h"
#include "support/temp_dir.h"

namespace {

constexpr int kWorkers = 8;
constexpr int kEventsPerWorker = 120;
constexpr int kReloads = 20;
constexpr uint64_t kReloadSession = 1;

class FilterDBConcurrencyTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    ProgressCache::getInstance()->clear();
    ASSERT_EQ(0, FilterDB::getInstance()->initialize(Path("filter.db").c_str()));
    WriteFile("tight.filter",
              "[Common]\nblack_path_prefix_selective_sync = \"/docs\"\n"
              "[File]\nblack_name_selective_sync = \"core\"\nmax_size_selective_sync = 100\n");
    WriteFile("loose.filter", "[File]\nmax_size_selective_sync = 200\n");
    WriteFile("white.filter", "[File]\nwhite_ext = \"doc\"\n");
  }
  void TearDown() override {
    FilterDB::getInstance()->destroy();
    ProgressCache::getInstance()->clear();
  }

  // One reload as the application runs it; 0 or -1.
  int Reload(const std::string& black, uint64_t sync_id) {
    Filter filter;
    WhiteList list;
    filter_init(&filter);
    white_list_init(&list);
    int rc = -1;
    if (filter_read(&filter, Path(black).c_str()) == 0 &&
        white_list_read(&list, Path("white.filter").c_str()) == 0) {
      SelectiveSyncInfo fresh;
      SelectiveSyncInfo stored;
      ConvertFilterFileToSelectiveSyncInfo(kReloadSession, sync_id, filter, fresh);
      ConvertWhiteFilterFileToSelectiveSyncInfo(kReloadSession, sync_id, list, fresh);
      FilterDB* db = FilterDB::getInstance();
      const ustring folder("/sync");
      if (db->ConvertFilterDBToSelectiveSyncInfo(kReloadSession, stored) == 0 &&
          db->ConvertWhiteFilterDBToSelectiveSyncInfo(kReloadSession, stored) == 0 &&
          CompareFilterList(kReloadSession, FILTER_PATH_PREFIX_SELECTIVE_SYNC, stored.black_prefix,
                            fresh.black_prefix, folder) == 0 &&
          CompareFilterList(kReloadSession, FILTER_NAME_SELECTIVE_SYNC, stored.black_name, fresh.black_name,
                            folder) == 0 &&
          CompareExtensionFilterList(kReloadSession, stored, fresh, folder) == 0) {
        rc = CompareSizeFilter(kReloadSession, stored.black_size, fresh.black_size);
      }
    }
    filter_destroy(&filter);
    white_list_destroy(&list);
    return rc;
  }
};

// Each worker's own session ends with exactly the rows its own sequence of
// writes and subtree removals leaves; the reconciled session's conditions
// are in the cache once each, in row order.
TEST_F(FilterDBConcurrencyTest, WorkersAndReconciliationInterleave) {
  std::atomic<int> failures{0};
  std::vector<std::set<std::string>> expected(kWorkers);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      FilterDB* db = FilterDB::getInstance();
      ProgressCache* cache = ProgressCache::getInstance();
      const uint64_t sess = 100 + w;
      std::set<std::string>& model = expected[w];
      for (int k = 0; k < kEventsPerWorker; ++k) {
        std::string dir = "/d" + std::to_string(k % 6);
        std::string path = dir + "/f" + std::to_string(k);
        FilterLocalEvent e;
        e.sess_id = sess;
        e.path = path.c_str();
        e.filtered_type = FILTER_NAME_SELECTIVE_SYNC;
        e.is_exist = 1;
        if (db->setLocalFilteredEvent(e) != 0) ++failures;
        model.insert(path);
        FilterLocalEvent back;
        if (db->getLocalFilteredEventByPath(sess, path.c_str(), back) != 1) ++failures;
        if (k % 7 == 6) {
          if (db->rmLocalFilteredEventByPath(sess, dir.c_str()) != 0) ++failures;
          for (auto it = model.begin(); it != model.end();) {
            it = it->rfind(dir + "/", 0) == 0 ? model.erase(it) : std::next(it);
          }
        }
        uint64_t row = 1000000 + static_cast<uint64_t>(w) * 10000 + static_cast<uint64_t>(k);
        cache->addProgressEntry(row, ResumeCondition{sess, 0, FILTER_NAME_SELECTIVE_SYNC, "x"});
        cache->updateProgressSyncId(row, 5);
        ProgressCache::Entry first;
        (void)cache->getProgressEntry(first);  // any session's: only read
        if (!cache->isInProgrssCache(sess)) ++failures;
        if (cache->rmProgressEntry(row) != 0) ++failures;
      }
    });
  }
  int reload_failures = 0;
  for (int r = 0; r < kReloads; ++r) {
    if (Reload(r % 2 == 0 ? "tight.filter" : "loose.filter", 10 + r) != 0) ++reload_failures;
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, reload_failures);

  FilterDB* db = FilterDB::getInstance();
  for (int w = 0; w < kWorkers; ++w) {
    std::set<FilterLocalEvent> rows;
    ASSERT_EQ(0, db->dumpLocalFilteredEvent(100 + w, rows));
    std::set<std::string> paths;
    for (const FilterLocalEvent& e : rows) paths.insert(e.path.c_str_utf8());
    EXPECT_EQ(expected[w], paths) << "worker " << w;
    EXPECT_FALSE(ProgressCache::getInstance()->isInProgrssCache(100 + w));
  }

  // Every loose reload resumed the folder, the name and the size range,
  // plus the first reload's white extension.
  std::list<std::pair<uint64_t, ResumeCondition>> stored;
  ASSERT_EQ(0, db->getResumeConditionsBySession(kReloadSession, stored));
  EXPECT_EQ(static_cast<size_t>(1 + 3 * (kReloads / 2)), stored.size());
  for (const auto& [row, condition] : stored) {
    ProgressCache::Entry e;
    ASSERT_EQ(1, ProgressCache::getInstance()->getProgressEntry(e));
    EXPECT_EQ(row, e.row_id);
    EXPECT_EQ(condition.filter_desc, e.condition.filter_desc);
    ASSERT_EQ(0, ProgressCache::getInstance()->rmProgressEntry(e.row_id));
  }
  ProgressCache::Entry none;
  EXPECT_EQ(0, ProgressCache::getInstance()->getProgressEntry(none));
}

}  // namespace
