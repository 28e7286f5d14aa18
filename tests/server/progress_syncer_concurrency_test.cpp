// The ProgressSyncer as a running task against the stand-in: a condition is
// worked off and the Syncer takes the session over; an "error" reply makes
// it wait instead of re-pulling at once; a paused session's older
// condition, or one whose change its folder refuses, does not hold another
// session's back.
#include <algorithm>
#include <chrono>
#include <list>
#include <thread>

#include "filter/filter_codes.h"
#include "syncer_fixture.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class ProgressSyncerTaskTest : public syncer_test::SyncerTest {
 protected:
  void TearDown() override {
    for (Task* t : {static_cast<Task*>(ps_.get()), static_cast<Task*>(syncer_.get())}) {
      if (t != nullptr && t->GetId() >= 0) {
        t->Stop();
        t->Join();
      }
    }
    ps_.reset();
    syncer_.reset();
    SyncerTest::TearDown();
  }

  uint64_t AddCondition(uint64_t sess, uint64_t sync_id, int type, const std::string& desc) {
    const ResumeCondition c{sess, sync_id, type, desc.c_str()};
    uint64_t row = 0;
    EXPECT_EQ(0, FilterDB::getInstance()->setResumeCondition(c, row));
    ProgressCache::getInstance()->addProgressEntry(row, c);
    return row;
  }

  static bool WaitFor(const std::function<bool()>& pred, int seconds) {
    return testsupport::ServerStandIn::WaitFor(pred, std::chrono::seconds(seconds));
  }

  static void StopWithin2s(Task& t) {
    const auto t0 = Clock::now();
    t.Stop();
    EXPECT_EQ(0, t.Join());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  }

  std::vector<json> ConditionPulls() {
    std::vector<json> out;
    for (const json& p : Pulls()) {
      if (p["request"].contains("condition")) out.push_back(p);
    }
    return out;
  }

  // The condition's recorded sync id in the filter database; "gone" once
  // it is done and removed.
  static std::string RecordedSyncId(uint64_t sess, uint64_t row) {
    std::list<std::pair<uint64_t, ResumeCondition>> rows;
    EXPECT_EQ(0, FilterDB::getInstance()->getResumeConditionsBySession(sess, rows));
    for (const auto& [id, c] : rows) {
      if (id == row) return std::to_string(c.sync_id);
    }
    return "gone";
  }

  std::unique_ptr<ProgressSyncer> ps_;
  std::unique_ptr<Syncer> syncer_;
};

TEST_F(ProgressSyncerTaskTest, ConditionWorkedOffThenSyncerPullsTheSession) {
  AddSession(1);
  server_.Put("/r1/docs/a", "a");
  server_.Put("/r1/other/b", "b");
  AddCondition(1, 0, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/docs");
  Drainer();
  ps_ = MakeProgressSyncer();
  syncer_ = MakeSyncer();
  ASSERT_EQ(0, ps_->Run());
  ASSERT_TRUE(WaitFor([&] { return !ProgressCache::getInstance()->isInProgrssCache(1); }, 8));
  // The prefix's folder and what is below it.
  EXPECT_EQ((std::vector<std::string>{"/docs", "/docs/a"}), TakenPaths());
  // Then the Syncer pulls the session from its own stored id.
  ASSERT_EQ(0, syncer_->Run());
  ASSERT_TRUE(WaitFor([&] { return StoredSyncId(1) == std::to_string(server_.Head()); }, 8));
  for (const json& p : Pulls()) {
    if (!p["request"].contains("condition")) {
      EXPECT_EQ(0u, p["request"]["sync_id"].get<uint64_t>());
      break;
    }
  }
  EXPECT_EQ(json({{"prefix", "/docs"}}), ConditionPulls()[0]["request"]["condition"]);
  StopWithin2s(*ps_);
  StopWithin2s(*syncer_);
  EXPECT_TRUE(Logged("ProgressSyncer START."));
  EXPECT_TRUE(Logged("ProgressSyncer : stop working, now on sess_id = "));
  EXPECT_TRUE(Logged("ProgressSyncer: Connect to server (127.0.0.1:"));
  EXPECT_FALSE(Logged("[progress_syncer_debug] Connect with Velkora server build"));
}

// An "error" reply the daemon has no code for: at most one pull in 2 s
// (the daemon's own 3-s wait after it, not the rigs' short one).
TEST_F(ProgressSyncerTaskTest, ErrorReplyIsNotRepulledAtOnce) {
  AddSession(1);
  AddCondition(1, 0, FILTER_NAME_SELECTIVE_SYNC, "a");
  ASSERT_NE(0u, server_.Fault({{"action", "pull_event"}, {"error", 0x7000}, {"count", -1}}));
  ps_ = MakeProgressSyncer(DaemonTiming());
  ASSERT_EQ(0, ps_->Run());
  ASSERT_TRUE(WaitFor([&] { return ConditionPulls().size() >= 1; }, 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_EQ(1u, ConditionPulls().size());
  EXPECT_TRUE(ProgressCache::getInstance()->isInProgrssCache(1));
  StopWithin2s(*ps_);
}

// A connection removed while the task waits after a failed pull (3 s)
// closes its channels at once, not at the next round.
TEST_F(ProgressSyncerTaskTest, RemovedConnectionsChannelsCloseWhileItWaits) {
  AddSession(1);
  AddCondition(1, 0, FILTER_NAME_SELECTIVE_SYNC, "a");
  ASSERT_NE(0u, server_.Fault({{"action", "pull_event"}, {"error", 0x7000}, {"count", -1}}));
  ps_ = MakeProgressSyncer(DaemonTiming());
  ASSERT_EQ(0, ps_->Run());
  ASSERT_TRUE(WaitFor([&] { return ConditionPulls().size() >= 1; }, 4));
  ASSERT_GE(OpenConnections(), 1u);
  manager_.remove(1);
  EXPECT_TRUE(WaitFor([&] { return OpenConnections() == 0; }, 2))
      << OpenConnections() << " connection(s) still open 2 s into the 3-s wait";
  StopWithin2s(*ps_);
}

// Session A, paused, holds the older condition: B's is worked meanwhile.
TEST_F(ProgressSyncerTaskTest, PausedSessionDoesNotHoldAnotherBack) {
  AddSession(1);
  AddSession(2);
  server_.Put("/r2/b.txt", "b");
  AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  AddCondition(2, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  SetPause(1, true);
  Drainer();
  ps_ = MakeProgressSyncer();
  ASSERT_EQ(0, ps_->Run());
  ASSERT_TRUE(WaitFor([&] { return !ProgressCache::getInstance()->isInProgrssCache(2); }, 8));
  EXPECT_EQ(std::vector<std::string>{"/b.txt"}, TakenPaths());
  EXPECT_TRUE(ProgressCache::getInstance()->isInProgrssCache(1));
  EXPECT_TRUE(PullsOf("/r1").empty());
  StopWithin2s(*ps_);
}

// Session 1's older condition brings a change its folder refuses: the
// wait for it ends, session 2's condition is carried out and recorded
// meanwhile, session 1's is neither recorded nor pulled again until the
// folder takes the change, which is taken once.
TEST_F(ProgressSyncerTaskTest, ConditionWhoseChangeWaitsForItsFolderHoldsBackOnlyItself) {
  AddSession(1);
  AddSession(2);
  server_.Put("/r1/stuck.txt", "x");
  server_.Put("/r2/b.txt", "b");
  const uint64_t row1 = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  const uint64_t row2 = AddCondition(2, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  auto& drainer = Drainer();
  drainer.Refuse("/stuck.txt");
  ps_ = MakeProgressSyncer();
  ASSERT_EQ(0, ps_->Run());
  ASSERT_TRUE(WaitFor([&] { return drainer.Deferrals() >= 1; }, 5)) << Log();
  ASSERT_TRUE(WaitFor([&] { return !ProgressCache::getInstance()->isInProgrssCache(2); }, 10)) << Log();
  EXPECT_EQ("gone", RecordedSyncId(2, row2));
  EXPECT_EQ("0", RecordedSyncId(1, row1));
  EXPECT_TRUE(ProgressCache::getInstance()->isInProgrssCache(1));
  EXPECT_EQ(1u, PullsOf("/r1").size());
  EXPECT_EQ(1u, EventManager::getInstance()->GetPendingServerEvent(1));

  drainer.Refuse("");  // the folder takes it now
  ASSERT_TRUE(WaitFor([&] { return !ProgressCache::getInstance()->isInProgrssCache(1); }, 10)) << Log();
  EXPECT_EQ("gone", RecordedSyncId(1, row1));
  EXPECT_TRUE(Logged("session 1: pulled changes done, sync id ")) << Log();
  // The second pull goes from the recorded id, so it finds nothing new.
  const std::vector<json> pulls1 = PullsOf("/r1");
  ASSERT_EQ(2u, pulls1.size());
  EXPECT_EQ(0u, pulls1[0]["request"]["sync_id"].get<uint64_t>());
  EXPECT_NE(0u, pulls1[1]["request"]["sync_id"].get<uint64_t>());
  const std::vector<std::string> taken = TakenPaths();
  EXPECT_EQ(1, std::count(taken.begin(), taken.end(), "/stuck.txt"));
  EXPECT_EQ(1, std::count(taken.begin(), taken.end(), "/b.txt"));
  StopWithin2s(*ps_);
}

}  // namespace
