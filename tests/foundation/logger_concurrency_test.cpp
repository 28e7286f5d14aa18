#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logger.h"
#include "platform/local_time.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 10000;
// After this many lines the log folder is moved away: the open file goes on
// receiving lines, the next rotation cannot move it and fails.
constexpr int kMoveAfter = kThreads * kLinesPerThread / 2;
constexpr size_t kRotateSize = 1048576;
constexpr char kPrefix[] = "Mar 07 14:05:09 ";
constexpr size_t kLineLen = 100;

time_t FixedClock() { return 1362665109; }

std::string Fill(int thread) { return std::string(kLineLen - (sizeof kPrefix - 1) - 11, 'a' + thread); }

class LoggerConcurrencyTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClockForTest(&FixedClock);
  }
  void TearDown() override {
    platform::SetClockForTest(nullptr);
    Logger::ResetForTest();
  }
};

// Eight threads log while the file rotates, and one rotation fails. Every
// line that reached a file is whole, each thread's lines are all there up to
// the failure, in order, and nothing crashes after the output fell silent.
TEST_F(LoggerConcurrencyTest, LinesStayWholeThroughRotationsAndAFailedOne) {
  ASSERT_EQ(0, mkdir(Path("logs").c_str(), 0700));
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("logs/d.log").c_str(), "", 50));

  std::atomic<int> logged{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &logged] {
      const std::string fill = Fill(t);
      for (int n = 0; n < kLinesPerThread; ++n) {
        if (logged.fetch_add(1) == kMoveAfter) {
          std::error_code ec;
          fs::rename(Path("logs"), Path("moved"), ec);
          EXPECT_FALSE(ec) << ec.message();
        }
        Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "filtered out %d\n", n);
        Logger::LogMsg(Logger::L_ERR, "worker_debug", "t%d n%05d %s\n", t, n, fill.c_str());
      }
    });
  }
  for (std::thread& th : threads) th.join();

  // The failed rotation closed the output: nothing was reopened.
  EXPECT_FALSE(fs::exists(Path("logs")));
  ASSERT_TRUE(fs::exists(Path("moved/d.log")));

  // Oldest first: the highest number down to 0, then the live file.
  std::vector<std::string> files;
  for (int i = 48; i >= 0; --i) {
    std::string rel = "moved/d.log_" + std::to_string(i);
    if (!fs::exists(Path(rel))) continue;
    files.push_back(rel);
    EXPECT_GT(fs::file_size(Path(rel)), kRotateSize) << rel;
    EXPECT_LE(fs::file_size(Path(rel)), kRotateSize + kLineLen) << rel;
  }
  EXPECT_GE(files.size(), 2u);
  files.push_back("moved/d.log");

  int next[kThreads] = {};
  int total = 0;
  for (const std::string& rel : files) {
    std::istringstream in(ReadFile(rel));
    std::string line;
    while (std::getline(in, line)) {
      int t = -1;
      int n = -1;
      ASSERT_EQ(2, std::sscanf(line.c_str(), "Mar 07 14:05:09 t%d n%d ", &t, &n)) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(next[t], n) << "line lost, repeated or out of order in " << rel;
      char expected[kLineLen + 1];
      std::snprintf(expected, sizeof expected, "%st%d n%05d %s", kPrefix, t, n, Fill(t).c_str());
      ASSERT_EQ(expected, line) << rel;
      ++next[t];
      ++total;
    }
  }
  // Each thread but the mover may have drawn a number below kMoveAfter and
  // logged it only after the failure.
  EXPECT_GE(total, kMoveAfter - (kThreads - 1));
  // Lines after the failed rotation were dropped.
  EXPECT_LT(total, kThreads * kLinesPerThread);
}

}  // namespace
