// Workers and the event manager write and remove rows at once through the
// one kept connection.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "filter/file_status_db.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRowsPerThread = 60;

TEST(FileStatusDBConcurrencyTest, ThreadsWriteAndRemoveTheirOwnRows) {
  testsupport::TempDir dir;
  const std::string db = dir.path() + "/fstat.db";
  ASSERT_EQ(0, FileStatusDB::initialize(db.c_str()));
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kRowsPerThread; ++k) {
        FileStatusInfo info;
        info.syncStatus = FSTAT_SYNCING;
        info.path = ("/s/t" + std::to_string(t) + "/f" + std::to_string(k)).c_str();
        if (FileStatusDB::setFileSyncStat(info) != 0) ++failures;
        // Every other row is finished again; the rest stay syncing.
        if (k % 2 == 1 && FileStatusDB::rmFileStatByPath(info.path) != 0) ++failures;
      }
    });
  }
  std::thread reader([&] {
    while (!done.load()) {
      FileStatusInfo out;
      if (FileStatusDB::getFileSyncStat("/s/t0/f0", &out) != 0) ++failures;
      (void)FileStatusDB::isAnyFileSyncing();  // either answer is right meanwhile
    }
  });
  for (std::thread& t : threads) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(0, failures.load());
  testsupport::CommandResult r =
      testsupport::RunCommand({"sqlite3", "-batch", "-noheader", db, "SELECT count(*) FROM fstatinfo;"});
  EXPECT_EQ(std::to_string(kThreads * kRowsPerThread / 2) + "\n", r.out) << r.err;
  FileStatusDB::destroy();
}

}  // namespace
