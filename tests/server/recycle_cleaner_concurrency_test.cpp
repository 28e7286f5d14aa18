// The recycle cleaner as a running task: it purges on its own, a pause
// holds it, a stop ends it promptly, and an empty registry costs no log line.
#include <chrono>
#include <thread>

#include "recycle_cleaner_fixture.h"
#include "support/text_count.h"
#include "support/short_timing.h"

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

  // Passes that found the session's recycle folder not yet due.
  size_t NotDuePasses() const { return testsupport::CountOf(ReadFile("test.log"), "nothing due yet."); }
  // Polls of the paused task.
  size_t PausedPolls() const { return testsupport::CountOf(ReadFile("test.log"), "): paused."); }

  RecycleCleaner cleaner_{nullptr, Registry::getInstance(), testsupport::ShortTiming()};
};

TEST_F(RecycleCleanerTaskTest, PausedTaskPurgesOnlyAfterResume) {
  WriteFile(Bin() + "/oldoldol", "old");
  ASSERT_NO_FATAL_FAILURE(Recycle("/oldoldol", 1700));
  InitRecycleTime(static_cast<uint32_t>(now_ - 1700));
  ASSERT_EQ(0, cleaner_.Run());
  ASSERT_TRUE(Eventually([&] { return NotDuePasses() >= 1; }, 10));
  cleaner_.Pause();
  // Two polls of the paused task: no pass is under way any more.
  ASSERT_TRUE(Eventually([&] { return PausedPolls() >= 2; }, 10));
  const size_t passes = NotDuePasses();
  recycle_test::g_now = now_ + 100;  // now due
  // Two more polls with the item due: the paused task purged nothing.
  const size_t polls = PausedPolls();
  ASSERT_TRUE(Eventually([&] { return PausedPolls() >= polls + 2; }, 10));
  EXPECT_TRUE(Exists(Bin() + "/oldoldol"));
  EXPECT_LE(NotDuePasses(), passes + 1);

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
  int64_t last = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string name = "/item000" + std::to_string(i);
    WriteFile(Bin() + name, "x");
    ASSERT_EQ(0, db_->addFileToRecycleBin(name.c_str(), 1, "h", ""));
    // The record takes the real time; the cleaner's clock is the test's and
    // must not lag behind it, or the age wraps and the item is due at once.
    last = RecordTime(name);
    recycle_test::g_now = static_cast<time_t>(last);
    InitRecycleTime(static_cast<uint32_t>(last));
    // Two passes see the new item and find nothing due.
    const size_t passes = NotDuePasses();
    ASSERT_TRUE(Eventually([&] { return NotDuePasses() >= passes + 2; }, 10));
  }
  EXPECT_EQ(5u, Records().size());
  // Time jumps by the age limit: everything is due.
  recycle_test::g_now = static_cast<time_t>(last) + 1800 + 60;
  EXPECT_TRUE(Eventually([&] { return Records().empty(); }, 5));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Exists(Bin() + "/item000" + std::to_string(i)));
  EXPECT_TRUE(Eventually([&] { return RecycleTime() == 0; }, 2));
  StopWithin(2);
}

TEST_F(RecycleCleanerTaskTest, EmptyRegistryIsQuiet) {
  Registry::getInstance().Clear();
  ASSERT_EQ(0, cleaner_.Run());
  // It looks for a session three times meanwhile, quietly.
  std::this_thread::sleep_for(3 * testsupport::ShortTiming().cleaner_retry_wait);
  StopWithin(2);
  const std::string log = ReadFile("test.log");
  EXPECT_NE(std::string::npos, log.find("RecycleCleaner START."));
  // START and stop only.
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(2u, lines) << log;
}

}  // namespace
