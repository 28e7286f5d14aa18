// The recycle cleaner as a running task: it purges on its own, a pause
// holds it, a stop ends it promptly, and an empty registry costs no log line.
#include <chrono>
#include <thread>

#include "recycle_cleaner_fixture.h"

namespace {

using recycle_test::RecycleCleanerTest;
using Clock = std::chrono::steady_clock;

class RecycleCleanerTaskTest : public RecycleCleanerTest {
 protected:
  void TearDown() override {
    if (cleaner_.GetId() >= 0) {
      cleaner_.Stop();
      cleaner_.Join();
    }
    RecycleCleanerTest::TearDown();
  }

  // Polls `cond` for up to `seconds`.
  template <class F>
  bool Eventually(F cond, int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return cond();
  }

  // Stops the task and checks that it ends within `seconds`.
  void StopWithin(int seconds) {
    const auto t0 = Clock::now();
    cleaner_.Stop();
    EXPECT_EQ(0, cleaner_.Join());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(seconds));
  }

  RecycleCleaner cleaner_{nullptr};
};

TEST_F(RecycleCleanerTaskTest, PausedTaskPurgesOnlyAfterResume) {
  WriteFile(Bin() + "/oldoldol", "old");
  ASSERT_NO_FATAL_FAILURE(Recycle("/oldoldol", 1700));
  InitRecycleTime(static_cast<uint32_t>(now_ - 1700));
  ASSERT_EQ(0, cleaner_.Run());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  cleaner_.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a Rotate under way ends
  recycle_test::g_now = now_ + 100;                             // now due
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(Exists(Bin() + "/oldoldol"));

  cleaner_.Resume();
  EXPECT_TRUE(Eventually([&] { return !Exists(Bin() + "/oldoldol"); }, 5));
  EXPECT_TRUE(Eventually([&] { return RecycleTime() == 0; }, 2));
  EXPECT_EQ(std::set<std::string>{}, Records());
  StopWithin(2);
  EXPECT_TRUE(Logged("RecycleCleaner START."));
  EXPECT_TRUE(Logged("RecycleCleaner : stop working"));
}

// A worker keeps recycling while the task runs and the clock moves on:
// every item is purged once it is old enough, none before.
TEST_F(RecycleCleanerTaskTest, ItemsRecycledWhileRunningArePurgedInTime) {
  ASSERT_EQ(0, cleaner_.Run());
  for (int i = 0; i < 5; ++i) {
    const std::string name = "/item000" + std::to_string(i);
    WriteFile(Bin() + name, "x");
    ASSERT_EQ(0, db_->addFileToRecycleBin(name.c_str(), 1, "h", ""));
    InitRecycleTime(static_cast<uint32_t>(RecordTime(name)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(5u, Records().size());
  // Time jumps by the age limit: everything is due.
  recycle_test::g_now = now_ + 1800 + 60;
  EXPECT_TRUE(Eventually([&] { return Records().empty(); }, 5));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Exists(Bin() + "/item000" + std::to_string(i)));
  EXPECT_TRUE(Eventually([&] { return RecycleTime() == 0; }, 2));
  StopWithin(2);
}

TEST_F(RecycleCleanerTaskTest, EmptyRegistryIsQuiet) {
  Registry::getInstance().Clear();
  ASSERT_EQ(0, cleaner_.Run());
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  StopWithin(2);
  const std::string log = ReadFile("test.log");
  EXPECT_NE(std::string::npos, log.find("RecycleCleaner START."));
  // START and stop only.
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(2u, lines) << log;
}

}  // namespace
