// Soak of the three background tasks together: the Syncer, the
// ProgressSyncer and the RecycleCleaner over three sessions while the
// stand-in keeps changing, two drainers take events as workers would, and
// the test pauses and resumes the tasks and the sessions, asks for rescans
// and adds conditions and recycled items. No data race (ThreadSanitizer
// stage), every task joins promptly, and the pulls went on.
#include <chrono>
#include <thread>

#include "filter/filter_codes.h"
#include "server/recycle_cleaner.h"
#include "syncer_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class SyncersSoak : public syncer_test::SyncerTest {};

TEST_F(SyncersSoak, ThreeTasksThreeSessionsUnderChurn) {
  for (uint64_t id : {1, 2, 3}) {
    AddSession(id);
    ASSERT_EQ(0, mkdir(Path("local" + std::to_string(id) + "/" + kWorkingDirName).c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("local" + std::to_string(id) + "/" + kWorkingDirName + "/#ZarqRecycle").c_str(), 0755));
  }
  testsupport::EventDrainer second_drainer;
  Drainer();
  auto syncer = MakeSyncer();
  auto progress = MakeProgressSyncer();
  RecycleCleaner cleaner(nullptr, Registry::getInstance());
  ASSERT_EQ(0, syncer->Run());
  ASSERT_EQ(0, progress->Run());
  ASSERT_EQ(0, cleaner.Run());

  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; !stop; ++i) {
      const std::string r = "/r" + std::to_string(1 + i % 3);
      server_.Put(r + "/f" + std::to_string(i % 17) + (i % 2 ? ".txt" : ".bin"), std::to_string(i));
      if (i % 5 == 0) server_.Mkdir(r + "/d" + std::to_string(i));
      // May be gone already: a raw call, whose refusal is no failure.
      if (i % 7 == 0) server_.Call({{"op", "remove"}, {"path", r + "/f" + std::to_string((i + 3) % 17) + ".bin"}});
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });

  const auto until = Clock::now() + std::chrono::seconds(10);
  for (int i = 0; Clock::now() < until; ++i) {
    const uint64_t sess = 1 + i % 3;
    switch (i % 6) {
      case 0:
        syncer->AddRescanEvent(sess, i % 4 == 0);
        break;
      case 1: {
        const ResumeCondition c{sess, 0, FILTER_EXT_SELECTIVE_SYNC, "txt"};
        uint64_t row = 0;
        ASSERT_EQ(0, FilterDB::getInstance()->setResumeCondition(c, row));
        ProgressCache::getInstance()->addProgressEntry(row, c);
        break;
      }
      case 2:
        SetPause(sess, true);
        break;
      case 3:
        SetPause(sess, false);
        break;
      case 4: {
        // A worker's recycle: an item, its record and the session's time.
        Registry::Entry e;
        ASSERT_EQ(1, Registry::getInstance().Find(sess, e));
        const std::string name = "/item" + std::to_string(i);
        WriteFile("local" + std::to_string(sess) + "/" + kWorkingDirName + "/#ZarqRecycle" + name, "x");
        ASSERT_EQ(0, e.event_db->addFileToRecycleBin(name.c_str(), 1, "h", ""));
        Registry::getInstance().InitRecycleTime(e, static_cast<uint32_t>(time(nullptr)) - 4000);
        break;
      }
      default:
        syncer->Pause();
        progress->Pause();
        cleaner.Pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        syncer->Resume();
        progress->Resume();
        cleaner.Resume();
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }
  for (uint64_t id : {1, 2, 3}) SetPause(id, false);
  stop = true;
  changer.join();

  const auto t0 = Clock::now();
  syncer->Stop();
  progress->Stop();
  cleaner.Stop();
  EXPECT_EQ(0, syncer->Join());
  EXPECT_EQ(0, progress->Join());
  EXPECT_EQ(0, cleaner.Join());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  second_drainer.Stop();

  EXPECT_GT(Pulls().size(), 3u);
  EXPECT_GT(drainer_->Count() + second_drainer.Count(), 0u);
  EXPECT_TRUE(Logged("RecycleCleaner : stop working"));
}

}  // namespace
