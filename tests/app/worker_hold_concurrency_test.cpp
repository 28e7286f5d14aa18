// WorkerHold, the guard of the handlers that change what workers use: while
// it lives every worker is paused and the selected ones have given up their
// event in hand; on every way out of its scope each worker runs again.
#include "app/worker_hold.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "support/server_stand_in.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

class WorkerHoldTest : public testsupport::TempDirTest {};

// What a handler sees inside the hold, taken before it returns.
struct Inside {
  std::vector<Task::State> states;
  bool busy_script_ended = false;
};

// A handler's shape: the hold, a look at the workers, and a return that
// leaves early or at the end.
int Handler(const std::vector<Worker*>& workers, const Worker::AbortFilter& filter, bool early,
            const std::atomic<bool>& script_ended, Inside& inside) {
  const WorkerHold hold(workers, filter, 60s);
  for (Worker* w : workers) inside.states.push_back(w->GetState());
  inside.busy_script_ended = script_ended.load();
  if (early) return -1;
  return 0;
}

TEST_F(WorkerHoldTest, PausesInterruptsAndResumesOnEveryWayOut) {
  for (const bool early : {false, true}) {
    SCOPED_TRACE(early ? "early return" : "return at the end");
    const std::string root = Path(early ? "early" : "end");
    ASSERT_EQ(0, mkdir(root.c_str(), 0700));
    // Declared before the rig: the busy worker's script reads them until the
    // rig has stopped it.
    std::atomic<bool> in_script{false};
    std::atomic<bool> script_ended{false};
    auto rig = std::make_unique<WorkerRig>(root);
    ScriptedWorker& busy = rig->addWorker();
    // The busy worker's first operation lasts until it is interrupted.
    busy.SetScript(ScriptedWorker::kUpload, [&](ScriptedWorker& self) {
      if (in_script.exchange(true)) return ERR_OK;
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (self.AbortFlag() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      script_ended = true;
      return self.AbortFlag() != 0 ? ERR_INT : ERR_OK;
    });
    std::ofstream(rig->local("/a.txt")) << "a";
    rig->push(rig->localEvent(Event::EV_MODIFY, "/a.txt"));
    // Started through the rig, which stops them on every way out.
    rig->startWorkers();
    ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_script.load(); }, 10s));
    ScriptedWorker& idle = rig->addWorker();
    rig->startWorkers();

    Worker::AbortFilter filter;
    filter.setSession(7);
    Inside inside;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(early ? -1 : 0, Handler({&busy, &idle}, filter, early, script_ended, inside));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // Inside: both paused, and the busy one had given its event up.
    EXPECT_EQ((std::vector<Task::State>{Task::PAUSE, Task::PAUSE}), inside.states);
    EXPECT_TRUE(inside.busy_script_ended);
    // Outside: both run again, and the busy one takes its event up anew.
    EXPECT_EQ(Task::RUN, busy.GetState());
    EXPECT_EQ(Task::RUN, idle.GetState());
    EXPECT_TRUE(rig->drain(20s));
    rig->stopWorkers();
    rig.reset();
  }
}

// A worker held by a step that the interruption does not cut (as an
// upload's reply wait is, up to one reply time-out) is waited for only up
// to the bound: the interruption says so and goes on; the worker, back at
// the top of its loop later, leaves the gone barrier alone and answers the
// next interruption.
TEST_F(WorkerHoldTest, AnInterruptionGivesUpAtItsBound) {
  const std::string root = Path("rig");
  ASSERT_EQ(0, mkdir(root.c_str(), 0700));
  std::atomic<bool> in_script{false};
  std::atomic<bool> release{false};
  auto rig = std::make_unique<WorkerRig>(root);
  ScriptedWorker& deaf = rig->addWorker();
  deaf.SetScript(ScriptedWorker::kUpload, [&](ScriptedWorker&) {
    if (in_script.exchange(true)) return ERR_OK;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!release.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return ERR_OK;
  });
  std::ofstream(rig->local("/a.txt")) << "a";
  rig->push(rig->localEvent(Event::EV_MODIFY, "/a.txt"));
  rig->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_script.load(); }, 10s));

  Worker::AbortFilter filter;
  filter.setSession(7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WorkerHold::Interrupt({&deaf}, filter, 300ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  release = true;
  EXPECT_TRUE(rig->drain(20s));
  // Nothing in hand now: the next interruption has no one to wait for.
  EXPECT_TRUE(WorkerHold::Interrupt({&deaf}, filter, 5s));
  rig->stopWorkers();
  rig.reset();
}

}  // namespace
