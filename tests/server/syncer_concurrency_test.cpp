// The Syncer as a running task against the stand-in, with a drainer in
// place of the workers: its rest when everything is up to date, the wait
// after a refused pull, a session without a connection, and pulls
// interrupted by a stop, a removal or a pause while the workers hold the
// session's events.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "syncer_fixture.h"
#include "transport/error_code.h"

namespace {

using syncer_test::SyncerTest;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class SyncerTaskTest : public SyncerTest {
 protected:
  void TearDown() override {
    if (syncer_ && syncer_->GetId() >= 0) {
      syncer_->Stop();
      syncer_->Join();
    }
    syncer_.reset();
    SyncerTest::TearDown();
  }

  void Run(const DaemonTiming& timing = testsupport::ShortTiming()) {
    syncer_ = MakeSyncer(timing);
    ASSERT_EQ(0, syncer_->Run());
  }

  // Stops the task; it must end within two seconds.
  void StopWithin2s() {
    const auto t0 = Clock::now();
    syncer_->Stop();
    EXPECT_EQ(0, syncer_->Join());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  }

  static bool WaitFor(const std::function<bool()>& pred, int seconds) {
    return testsupport::ServerStandIn::WaitFor(pred, std::chrono::seconds(seconds));
  }

  static double T(const json& e) { return e["t"].get<double>(); }

  std::unique_ptr<Syncer> syncer_;
};

TEST_F(SyncerTaskTest, UpToDateSessionRestsFiveSeconds) {
  AddSession(1);
  Run(DaemonTiming());  // the daemon's own 5-s rest is what is measured
  ASSERT_TRUE(WaitFor([&] { return Pulls().size() >= 2; }, 9));
  const std::vector<json> pulls = Pulls();
  EXPECT_GE(T(pulls[1]) - T(pulls[0]), 4.9);
  EXPECT_LT(T(pulls[1]) - T(pulls[0]), 6.5);
  EXPECT_TRUE(Logged("session '1' is uptodate."));
  EXPECT_TRUE(Logged("all session is uptodate, wait for 5 seconds."));
  StopWithin2s();  // a stop cuts the rest short
  EXPECT_TRUE(Logged("Syncer: stop working, now on view_id 1, sync_id "));
}

// Two sessions, one with changes: the rest comes only after both were
// found up to date in turn.
TEST_F(SyncerTaskTest, RestOnlyAfterEverySessionIsUpToDate) {
  AddSession(1);
  AddSession(2);
  server_.Put("/r2/f", "x");
  Drainer();
  Run(DaemonTiming());  // the daemon's own 5-s rest is what is measured
  ASSERT_TRUE(WaitFor([&] { return Pulls().size() >= 5; }, 12));
  const std::vector<json> pulls = Pulls();
  std::vector<std::string> order;
  for (size_t i = 0; i < 4; ++i) order.push_back(pulls[i]["request"]["path"]);
  EXPECT_EQ((std::vector<std::string>{"/r1", "/r2", "/r1", "/r2"}), order);
  for (size_t i = 1; i < 4; ++i) EXPECT_LT(T(pulls[i]) - T(pulls[i - 1]), 2.5) << i;
  EXPECT_GE(T(pulls[4]) - T(pulls[3]), 4.9);
  EXPECT_EQ(std::to_string(server_.Head()), StoredSyncId(2));
  StopWithin2s();
}

// An "error" reply without a daemon code: nothing queued or stored, and the
// next pull comes at least 3 seconds later, not at once.
TEST_F(SyncerTaskTest, InternalErrorReplyWaitsThreeSeconds) {
  AddSession(1);
  server_.Put("/r1/f", "x");
  ASSERT_NE(0u, server_.Fault({{"action", "pull_event"}, {"error", 0x7000}, {"count", -1}}));
  Run(DaemonTiming());  // the daemon's own wait is what is measured
  ASSERT_TRUE(WaitFor([&] { return Pulls().size() >= 2; }, 6));
  const std::vector<json> pulls = Pulls();
  EXPECT_GE(T(pulls[1]) - T(pulls[0]), 2.9);
  EXPECT_EQ(0u, EventManager::getInstance()->GetAllPendingEventCount(1));
  EXPECT_EQ("0", StoredSyncId(1));
  StopWithin2s();
}

// Session 1's connection is removed: session 2 is still pulled.
TEST_F(SyncerTaskTest, SessionsAfterOneWithoutConnectionArePulled) {
  AddSession(1, /*conn_id=*/9);
  AddSession(2);
  server_.Put("/r2/f", "x");
  Drainer();
  Run();
  EXPECT_TRUE(WaitFor([&] { return StoredSyncId(2) == std::to_string(server_.Head()); }, 6));
  EXPECT_TRUE(PullsOf("/r1").empty());
  EXPECT_TRUE(Logged("invalid connection id 9"));
  StopWithin2s();
}

TEST_F(SyncerTaskTest, StopWhileWorkersHoldEventsStoresNothing) {
  AddSession(1);
  server_.Put("/r1/f", "x");
  Drainer(/*held=*/true);
  Run();
  ASSERT_TRUE(WaitFor([&] { return EventManager::getInstance()->GetPendingServerEvent(1) > 0; }, 5));
  ASSERT_TRUE(WaitFor([&] { return Logged("Wait for workers (still 1 pending server events)."); }, 3));
  StopWithin2s();
  EXPECT_TRUE(Logged("Program stopped while syncing files ..."));
  EXPECT_TRUE(Logged("ProcessEvents: interrupted while waiting events being done ..."));
  EXPECT_EQ("0", StoredSyncId(1));
}

TEST_F(SyncerTaskTest, SessionRemovedWhileEventsPendStoresNothing) {
  AddSession(1);
  server_.Put("/r1/f", "x");
  Drainer(/*held=*/true);
  Run();
  ASSERT_TRUE(WaitFor([&] { return Logged("Wait for workers"); }, 5));
  Registry::getInstance().Clear(1);
  ASSERT_TRUE(WaitFor([&] { return Logged("session 1 is removed while there are events"); }, 3));
  EXPECT_EQ("0", StoredSyncId(1));
  StopWithin2s();
}

// A pause of the session while the workers hold its events: NOTE, the sync
// id stays, and after the resume the same changes are pulled again.
TEST_F(SyncerTaskTest, PausedSessionPullsTheSameChangesAgain) {
  AddSession(1);
  server_.Put("/r1/f", "x");
  auto& drainer = Drainer(/*held=*/true);
  Run();
  ASSERT_TRUE(WaitFor([&] { return Logged("Wait for workers"); }, 5));
  SetPause(1, true);
  ASSERT_TRUE(WaitFor([&] { return Logged("session 1 is paused while there are events"); }, 3));
  EXPECT_EQ("0", StoredSyncId(1));
  const size_t pulls_paused = Pulls().size();
  // Two rounds pass the paused session by.
  const size_t passed = Count("): session '1' is paused.");
  ASSERT_TRUE(WaitFor([&] { return Count("): session '1' is paused.") >= passed + 2; }, 5)) << Log();
  EXPECT_EQ(pulls_paused, Pulls().size());  // a paused session is not pulled

  SetPause(1, false);
  drainer.Release();
  ASSERT_TRUE(WaitFor([&] { return StoredSyncId(1) == std::to_string(server_.Head()); }, 8));
  const std::vector<json> pulls = Pulls();
  ASSERT_GE(pulls.size(), 2u);
  EXPECT_EQ(0u, pulls[1]["request"]["sync_id"].get<uint64_t>());
  StopWithin2s();
}

// A pause while a later slice of a reply is in the workers' hands: the
// slices already carried out store nothing, and after the resume the whole
// reply is pulled again from the old sync id and carried out.
TEST_F(SyncerTaskTest, PauseInALaterSlicePullsTheWholeReplyAgain) {
  AddSession(1);
  std::set<std::string> want;
  for (int i = 0; i < 5; ++i) {
    server_.Put("/r1/f" + std::to_string(i), "x");
    want.insert("/f" + std::to_string(i));
  }
  std::atomic<int> taken{0};
  std::atomic<bool> gate{false};
  // The first change of the second slice pauses the session and stays in
  // hand until the test opens the gate.
  Drainer(false, [&](const Event&) {
    if (++taken != 3) return;
    Registry::Entry e;
    if (Registry::getInstance().Find(1, e) == 1) {
      e.pause = true;
      Registry::getInstance().Set(e);
    }
    while (!gate) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  syncer_ = MakeSyncer();
  syncer_->set_pull_slice(2);
  ASSERT_EQ(0, syncer_->Run());
  ASSERT_TRUE(WaitFor([&] { return Logged("session 1 is paused while there are events"); }, 10)) << Log();
  EXPECT_EQ("0", StoredSyncId(1));
  EXPECT_EQ(1u, Pulls().size());
  EXPECT_EQ(3, taken.load());
  // Only the second slice was queued: its first change in hand, one more.
  EXPECT_EQ(2u, EventManager::getInstance()->GetPendingServerEvent(1));

  SetPause(1, false);
  gate = true;
  ASSERT_TRUE(WaitFor([&] { return StoredSyncId(1) == std::to_string(server_.Head()); }, 10)) << Log();
  const std::vector<json> pulls = Pulls();
  ASSERT_GE(pulls.size(), 2u);
  EXPECT_EQ(0u, pulls[1]["request"]["sync_id"].get<uint64_t>());
  const std::vector<std::string> paths = TakenPaths();
  EXPECT_EQ(want, std::set<std::string>(paths.begin(), paths.end()));
  EXPECT_GE(paths.size(), 3u + want.size());  // the replayed reply went through whole
  StopWithin2s();
}

// A session whose pulled change cannot be put in place (its event deferred
// again and again, as for a read-only folder) holds back only itself: the
// other session's new file is pulled and stored meanwhile; its own sync id
// is stored only once the change is done, and it is not pulled before.
TEST_F(SyncerTaskTest, SessionWhoseChangeWaitsForItsFolderHoldsBackOnlyItself) {
  AddSession(1);
  AddSession(2);
  server_.Put("/r1/stuck", "x");
  const uint64_t head1 = server_.Head();
  auto& drainer = Drainer();
  drainer.Refuse("/stuck");
  Run();
  ASSERT_TRUE(WaitFor([&] { return drainer.Deferrals() >= 1; }, 5)) << Log();
  server_.Put("/r2/new", "y");
  const uint64_t head2 = server_.Head();
  ASSERT_TRUE(WaitFor([&] { return StoredSyncId(2) == std::to_string(head2); }, 10)) << Log();
  EXPECT_EQ("0", StoredSyncId(1));
  EXPECT_EQ(1u, PullsOf("/r1").size());
  EXPECT_EQ(1u, EventManager::getInstance()->GetPendingServerEvent(1));

  drainer.Refuse("");  // the folder takes it now
  ASSERT_TRUE(WaitFor([&] { return StoredSyncId(1) != "0"; }, 10)) << Log();
  // The store of the change, or a later pull's that found nothing new.
  EXPECT_GE(std::stoull(StoredSyncId(1)), head1);
  const std::vector<Event> taken = drainer.Taken();
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ(1, std::count_if(taken.begin(), taken.end(), [](const Event& e) { return e.m_path == "/stuck"; }));
  StopWithin2s();
}

// A connection removed while the Syncer rests (5 s once all sessions are
// up to date) closes its channels at once, not at the next round.
TEST_F(SyncerTaskTest, RemovedConnectionsChannelsCloseWhileItRests) {
  AddSession(1);
  Run(DaemonTiming());
  ASSERT_TRUE(WaitFor([&] { return Logged("all session is uptodate"); }, 4)) << Log();
  ASSERT_GE(OpenConnections(), 1u);
  manager_.remove(1);
  EXPECT_TRUE(WaitFor([&] { return OpenConnections() == 0; }, 3))
      << OpenConnections() << " connection(s) still open 3 s into the rest";
  StopWithin2s();
}

TEST_F(SyncerTaskTest, SessionInProgressCacheIsNotPulled) {
  AddSession(1);
  ProgressCache::getInstance()->addProgressEntry(3, ResumeCondition{1, 0, -13, "/a"});
  Run();
  ASSERT_TRUE(WaitFor([&] { return Count("session '1' is in ProgrssCache.") >= 2; }, 4));
  EXPECT_TRUE(Pulls().empty());
  StopWithin2s();
}

// A change added to the server reaches a worker within the 1-s polling and
// the 5-s rest.
TEST_F(SyncerTaskTest, ChangeReachesTheWorkersWithinSixSeconds) {
  AddSession(1);
  auto& drainer = Drainer();
  Run();
  ASSERT_TRUE(WaitFor([&] { return Logged("all session is uptodate"); }, 4));
  const auto t0 = Clock::now();
  server_.Put("/r1/new", "x");
  ASSERT_TRUE(drainer.WaitForCount(1, std::chrono::seconds(8)));
  EXPECT_LT(drainer.Times()[0] - t0, std::chrono::milliseconds(6500));
  StopWithin2s();
}

}  // namespace
