// Workers meeting other threads: the application's interruption with a
// barrier, the event queue's abort of an obsolete upload, the status report
// during a transfer, and a stop while a transfer blocks or at any other
// moment of the loop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/proto_common.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

class WorkerThreads : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WorkerRig::Options options;
    options.server = true;
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  }
  void TearDown() override { rig_.reset(); }

  // A download of `rel` the way the download layer asks for it.
  static ErrorCode Download(ScriptedWorker& self, const char* rel) {
    self.SetCurrentProcessEventInfo(3, 7, rel, Worker::W_TYPE_DOWNLOAD);
    PObject q;
    InitRequest(q, "resume_download");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["target_sync_id"] = self.context.current_event.m_sync_id;
    q["path"] = rel;
    q["file"]["offset"] = 0ull;
    q["mtime"]["offset"] = 0ull;
    q["force_current_version"] = false;
    PObject reply;
    return self.ProtoDownload(true, q, reply);
  }

  // The stand-in's connections that no side has closed yet.
  size_t OpenConnections() {
    std::map<uint64_t, bool> open;
    for (const nlohmann::json& e : rig_->server().Journal()) {
      const std::string event = e.value("event", "");
      if (event == "accept") open[e.value("conn", 0ull)] = true;
      if (event == "close") open.erase(e.value("conn", 0ull));
    }
    return open.size();
  }

  // How many requests of `action` reached the stand-in.
  size_t Requests(const std::string& action) {
    size_t n = 0;
    for (const std::string& a : rig_->actions()) n += a == action;
    return n;
  }

  std::unique_ptr<WorkerRig> rig_;
};

TEST_F(WorkerThreads, BarrierReturnsForAStalledAndAnIdleWorker) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}});
  ScriptedWorker& stalled = rig_->addWorker();
  ScriptedWorker& idle = rig_->addWorker();
  std::atomic<bool> in_download{false};
  stalled.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    in_download = true;
    return Download(self, "/slow.bin");
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/slow.bin", v));
  EXPECT_EQ(0, stalled.Run());
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_download.load(); }, 10s));
  EXPECT_EQ(0, idle.Run());
  std::this_thread::sleep_for(300ms);

  // The application thread: interrupt every session's workers and wait.
  Worker::AbortFilter filter;
  filter.setSession(0);
  Worker::Barrier barrier;
  stalled.SetAbort(filter, &barrier);
  idle.SetAbort(filter, &barrier);
  const auto start = std::chrono::steady_clock::now();
  barrier.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(stalled.waitForCalls(1, 5s));
  EXPECT_EQ(ERR_INT, stalled.calls()[0].result);
  stalled.Stop();
  idle.Stop();
  stalled.Join();
  idle.Join();
}

TEST_F(WorkerThreads, LocalRemoveAbortsTheRunningUpload) {
  rig_->server().Fault({{"action", "resume_get_token"}, {"delay_ms", 20000}});
  {
    std::ofstream out(rig_->local("/u.bin"), std::ios::binary);
    out << std::string(700 * 1024, 'u');
  }
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> uploading{false};
  w.SetScript(ScriptedWorker::kUpload, [&](ScriptedWorker& self) {
    PObject q;
    InitRequest(q, "resume_upload");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["path"] = "/u.bin";
    q["is_dir"] = false;
    q["file"]["size"] = 700ull * 1024;
    q["file"]["hash"] = "0123456789abcdef0123456789abcdef";
    PObject::binary_type& body = q["file"]["data"].asBinary();
    body.path = self.context.full_path;
    body.length = 700 * 1024;
    uploading = true;
    PObject reply;
    return self.ProtoUpload(true, q, reply);
  });
  rig_->push(rig_->localEvent(Event::EV_MODIFY, "/u.bin"));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return uploading.load(); }, 10s));
  std::this_thread::sleep_for(300ms);
  // The folder watcher's thread: the file is removed meanwhile.
  const auto start = std::chrono::steady_clock::now();
  EventManager::getInstance()->PushLocalEvent(rig_->localEvent(Event::EV_REMOVE, "/u.bin"));
  ASSERT_TRUE(w.waitForCalls(1, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(ERR_INT, w.calls()[0].result);
  rig_->stopWorkers();
  for (const std::string& a : rig_->actions()) EXPECT_NE("resume_upload", a);
}

TEST_F(WorkerThreads, WorkingStatusFollowsTheBody) {
  constexpr uint64_t kSize = 64ull << 20;
  const std::string big = Path("big.bin");
  {
    std::ofstream out(big, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (uint64_t i = 0; i < kSize / chunk.size(); ++i) {
      for (size_t j = 0; j < chunk.size(); j += 4096) chunk[j] = static_cast<char>(i + j);
      out << chunk;
    }
  }
  const uint64_t v = rig_->server().PutFile("/big.bin", big);
  ASSERT_NE(0u, v);
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> done{false};
  w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    const ErrorCode rc = Download(self, "/big.bin");
    done = true;
    return rc;
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/big.bin", v));
  rig_->startWorkers();
  // The application's status report, polled while the body moves.
  std::vector<std::pair<uint64_t, uint64_t>> seen;
  uint64_t sess = 0;
  ustring path;
  Worker::WorkingType type = Worker::W_TYPE_NONE;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    uint64_t sent = 0, total = 0;
    w.GetWorkingStatus(sess, path, type, sent, total);
    if (total != 0) {
      seen.emplace_back(sent, total);
      EXPECT_EQ(7u, sess);
      EXPECT_EQ(ustring("/big.bin"), path);
      EXPECT_EQ(Worker::W_TYPE_DOWNLOAD, type);
    }
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_TRUE(w.waitForCalls(1, 60s));
  rig_->stopWorkers();
  EXPECT_EQ(ERR_OK, w.calls()[0].result);
  ASSERT_GE(seen.size(), 2u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(kSize, seen[i].second);
    EXPECT_LE(seen[i].first, kSize);
    if (i > 0) {
      EXPECT_GE(seen[i].first, seen[i - 1].first);
    }
  }
  EXPECT_LT(seen.front().first, seen.back().first);
}

TEST_F(WorkerThreads, StopEndsABlockedTransfer) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}});
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> in_download{false};
  w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    in_download = true;
    return Download(self, "/slow.bin");
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/slow.bin", v));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_download.load(); }, 10s));
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  w.Stop();
  EXPECT_EQ(0, w.Join());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(rig_->logged("Worker (") && rig_->logged(") down"));
}

// A stop must end the worker whatever it is doing: a stop that lands
// between the loop's look at its state and the clearing of its abort flag
// was once erased, and the worker then carried a whole (here stalled)
// transfer out before it ended. Each round stops a new worker at a moment
// drawn from a seed (WORKER_STOP_SEED replays one) and bounds its Join.
TEST_F(WorkerThreads, StopAtAnyMomentEndsWellWithinATransfer) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  // Every download stalls for 20 s: one transfer.
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}, {"count", -1}});
  uint64_t seed;
  if (const char* env = std::getenv("WORKER_STOP_SEED")) {
    seed = std::strtoull(env, nullptr, 10);
  } else {
    seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::printf("WORKER_STOP_SEED=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);

  // Where the stop lands: right after the worker started; in the window
  // between the state's look and the flag's clearing (from the worker's own
  // thread, so exactly there); with the event just in hand; while the
  // transfer stalls.
  enum Moment { kAfterRun, kPassStart, kInHand, kInTransfer, kMomentCount };
  const char* const kNames[] = {"after Run", "at the pass start", "with the event in hand", "in the transfer"};
  constexpr int kRounds = 16;
  for (int round = 0; round < kRounds; ++round) {
    const Moment moment = static_cast<Moment>(rng() % kMomentCount);
    const auto delay = std::chrono::microseconds(rng() % 3000);
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", round " << round << ", stop " << kNames[moment]);
    // A new change each round, so that a worker always finds one.
    rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/e" + std::to_string(round) + ".bin", v));
    ScriptedWorker& w = rig_->addWorker();
    std::atomic<bool> in_download{false};
    w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
      in_download = true;
      return Download(self, "/slow.bin");
    });
    // Set by the worker's own stop (moments kPassStart and kInHand).
    std::atomic<bool> self_stopped{false};
    if (moment == kPassStart) {
      w.SetOnPassStart([&](ScriptedWorker& self) {
        if (!self_stopped.load()) {
          self.Stop();
          self_stopped = true;
        }
      });
    }
    if (moment == kInHand) {
      w.SetOnEventInHand([&](ScriptedWorker& self) {
        self.Stop();
        self_stopped = true;
      });
    }
    ASSERT_EQ(0, w.Run());
    if (moment == kAfterRun) std::this_thread::sleep_for(delay);
    if (moment == kPassStart || moment == kInHand) {
      ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return self_stopped.load(); }, 10s));
    }
    if (moment == kInTransfer) {
      ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_download.load(); }, 10s));
      std::this_thread::sleep_for(delay);
    }
    // A second stop would raise the flag again and hide a lost first one.
    const auto start = std::chrono::steady_clock::now();
    if (!self_stopped) w.Stop();
    ASSERT_EQ(0, w.Join());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 3s) << "Join took "
                        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    if (moment == kPassStart) {
      // Stopped before it took anything: nothing was carried out.
      EXPECT_TRUE(w.calls().empty()) << w.calls().size() << " operation(s) ran after the stop";
    }
  }
}

// "Pause the workers, then interrupt those of a session" must hold every
// worker: add_session wipes the working folder right after. A worker that
// had just pulled an event and not yet recorded it was once invisible to the
// interruption and carried the event out while paused.
TEST_F(WorkerThreads, PauseAndInterruptRightAfterThePullHoldTheWorker) {
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> landed{false};
  w.SetOnEventPulled([&](ScriptedWorker& self) {
    if (landed) return;
    // The application thread, exactly in the window.
    std::thread app([&] {
      self.Pause();
      Worker::AbortFilter filter;
      filter.setSession(7);
      Worker::Barrier barrier;
      self.SetAbort(filter, &barrier);
      barrier.wait();
    });
    app.join();
    landed = true;
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/a.bin", 11));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return landed.load(); }, 10s));
  // The worker's own word that it looked at its state and held off.
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return rig_->logged("event kept in hand"); }, 10s))
      << w.calls().size() << " operation(s) ran while paused";
  EXPECT_TRUE(w.calls().empty()) << w.calls().size() << " operation(s) ran while paused";
  Worker::ProcessEvent_T record;
  w.GetCurrentProcessEventInfo(record);
  EXPECT_EQ(0u, record.session_id) << "a held worker records no work";
  // Resumed, it carries the event out.
  w.Resume();
  ASSERT_TRUE(w.waitForCalls(1, 10s));
  EXPECT_EQ(ustring("/a.bin"), w.calls()[0].event.m_path);
  EXPECT_EQ(ERR_OK, w.calls()[0].result);
  rig_->stopWorkers();
}

// reload_connection and unlink_connection interrupt by connection: the
// record of a pulled event must name its connection at once, not only once
// the transfer begins.
TEST_F(WorkerThreads, InterruptByConnectionReachesAWorkerFromThePullOn) {
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<int> flag{-1};
  w.SetOnEventInHand([&](ScriptedWorker& self) {
    Worker::AbortFilter filter;
    filter.setConnection(3);
    self.SetAbort(filter, nullptr);
    flag = self.AbortFlag();
  });
  EXPECT_EQ(ERR_OK, rig_->runOne(rig_->serverEvent(Event::EV_MODIFY, "/a.bin", 11)).result);
  rig_->stopWorkers();
  EXPECT_EQ(1, flag.load());
}

// "unlink_connection" removes a connection while its workers idle. Each
// worker once kept the connection of its last event (and with it the pool
// and the pool's open channels) until it took another event, which may be
// never: the server kept one socket per channel open for good.
TEST_F(WorkerThreads, RemovedConnectionsChannelsCloseWhileItsWorkersIdle) {
  const uint64_t v = rig_->server().Put("/a.bin", std::string(1000, 'a'));
  ScriptedWorker& first = rig_->addWorker();
  ScriptedWorker& second = rig_->addWorker();
  // Both downloads wait for each other at the server, so that each worker
  // takes an event and a channel of its own.
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 300}, {"count", 2}});
  for (ScriptedWorker* w : {&first, &second}) {
    w->SetScript(ScriptedWorker::kDownload, [](ScriptedWorker& self) { return Download(self, "/a.bin"); });
  }
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/one.bin", v));
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/two.bin", v));
  rig_->startWorkers();
  ASSERT_TRUE(rig_->drain());
  ASSERT_EQ(2u, first.calls().size() + second.calls().size());
  for (ScriptedWorker* w : {&first, &second}) {
    for (const ScriptedWorker::Call& call : w->calls()) EXPECT_EQ(ERR_OK, call.result) << call.event.m_path;
  }
  // The channels stay open in the pool for the next requests (alive 60 s).
  const size_t before = OpenConnections();
  ASSERT_GE(before, 1u);

  ConnectionManager::getInstance()->remove(3);
  const bool closed = testsupport::ServerStandIn::WaitFor([&] { return OpenConnections() == 0; }, 10s);
  EXPECT_TRUE(closed) << OpenConnections() << " of " << before
                      << " connection(s) still open 10 s after the connection was removed";
  rig_->stopWorkers();
}

// A stop raised during one exchange must reach the next exchange of the same
// operation. The abort flag once went back to 0 as the first exchange gave
// up, so the operation carried its second exchange out in full before the
// worker could end.
TEST_F(WorkerThreads, StopDuringTheFirstExchangeEndsTheOperation) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  // Only the first download stalls; a second would be answered at once.
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}});
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> in_first{false};
  std::atomic<ErrorCode> first_rc{ERR_MAX};  // no code: not run
  std::atomic<ErrorCode> second_rc{ERR_MAX};
  w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    in_first = true;
    first_rc = Download(self, "/slow.bin");
    // The operation's second exchange, whatever the first gave.
    second_rc = Download(self, "/slow.bin");
    return first_rc != ERR_OK ? first_rc.load() : second_rc.load();
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/slow.bin", v));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
      [&] { return in_first.load() && Requests("resume_download") == 1; }, 10s));
  const auto start = std::chrono::steady_clock::now();
  w.Stop();
  ASSERT_EQ(0, w.Join());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(ERR_INT, first_rc.load());
  EXPECT_NE(ERR_OK, second_rc.load()) << "the second exchange ran after the stop";
  EXPECT_EQ(1u, Requests("resume_get_token")) << "the second exchange reached the server";
  EXPECT_EQ(1u, Requests("resume_download"));
}

}  // namespace
