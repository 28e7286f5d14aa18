// The worker's loop with scripted operations: which operation an event
// reaches, which events are dropped or given back, unsafe paths, a missing
// session folder, the abort window after a pull, and interruption.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/proto_common.h"
#include "session/event_manager.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::TreeSnapshot;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

class WorkerFrame : public testsupport::TempDirTest {
 protected:
  void Make(WorkerRig::Options options = {}) { rig_ = std::make_unique<WorkerRig>(Path(), options); }
  // With the storage-server stand-in, whose journal shows what reached it.
  void MakeWithServer() {
    WorkerRig::Options options;
    options.server = true;
    Make(options);
  }
  // The requests that reached the stand-in, "connect" aside.
  std::vector<std::string> ServerWork() {
    std::vector<std::string> out;
    for (const std::string& a : rig_->actions()) {
      if (a != "connect") out.push_back(a);
    }
    return out;
  }

  // Waits until the worker has taken every event and the queue is empty.
  bool Settled(std::chrono::milliseconds timeout = 5s) { return rig_->drain(timeout); }

  std::unique_ptr<WorkerRig> rig_;
};

// ---- Which operation an event reaches, and which events never reach one ----

struct FrameCase {
  const char* name;
  // Session
  bool read_only;
  bool recursive;
  bool pause;
  // Event
  bool server;
  Event::Type type;
  const char* path;
  bool dir;
  uint32_t extra_mode;
  // The operation it must reach, or none (finished, or given back when
  // `stays_pending`).
  std::optional<ScriptedWorker::Op> op;
  bool stays_pending;
};

const FrameCase kFrameCases[] = {
    {"LocalModifyUploads", false, true, false, false, Event::EV_MODIFY, "/a.txt", false, 0, ScriptedWorker::kUpload,
     false},
    {"LocalCreateUploads", false, true, false, false, Event::EV_CREATE, "/d/a.txt", false, 0,
     ScriptedWorker::kUpload, false},
    {"LocalRemoveRemovesRemote", false, true, false, false, Event::EV_REMOVE, "/a.txt", false, 0,
     ScriptedWorker::kRemoveRemote, false},
    {"ServerModifyDownloads", false, true, false, true, Event::EV_MODIFY, "/a.txt", false, 0,
     ScriptedWorker::kDownload, false},
    {"ServerRemoveRemovesLocal", false, true, false, true, Event::EV_REMOVE, "/a.txt", false, 0,
     ScriptedWorker::kRemoveLocal, false},
    {"SubdirRescanExpandsDeletes", false, true, false, false, Event::EV_MODIFY, "/d", true,
     Event::F_LOCAL_SUBDIR_RESCAN, ScriptedWorker::kExpandDelete, false},
    {"ReadOnlyLocalFinished", true, true, false, false, Event::EV_MODIFY, "/a.txt", false, 0, std::nullopt, false},
    {"ReadOnlyServerCarriedOut", true, true, false, true, Event::EV_MODIFY, "/a.txt", false, 0,
     ScriptedWorker::kDownload, false},
    {"RootFolderEventFinished", false, true, false, false, Event::EV_MODIFY, "/", true, 0, std::nullopt, false},
    {"RootFolderExpandExpands", false, true, false, false, Event::EV_CREATE, "/", true, Event::F_EXPAND,
     ScriptedWorker::kExpand, false},
    {"RescanBeforeExpand", false, true, false, false, Event::EV_CREATE, "/d", true,
     Event::F_EXPAND | Event::F_RESCAN, ScriptedWorker::kRescan, false},
    {"NonRecursiveTopFileCarriedOut", false, false, false, false, Event::EV_MODIFY, "/a.txt", false, 0,
     ScriptedWorker::kUpload, false},
    {"NonRecursiveDeepFileDropped", false, false, false, false, Event::EV_MODIFY, "/d/a.txt", false, 0,
     std::nullopt, false},
    {"NonRecursiveFolderDropped", false, false, false, false, Event::EV_MODIFY, "/d", true, 0, std::nullopt,
     false},
    {"NonRecursiveRootExpandCarriedOut", false, false, false, false, Event::EV_CREATE, "/", true,
     Event::F_EXPAND, ScriptedWorker::kExpand, false},
    {"PausedSessionGivesBack", false, true, true, false, Event::EV_MODIFY, "/a.txt", false, 0, std::nullopt, true},
    {"PausedSessionExpandCarriedOut", false, true, true, false, Event::EV_CREATE, "/d", true, Event::F_EXPAND,
     ScriptedWorker::kExpand, false},
};

class WorkerFrameTable : public WorkerFrame, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(WorkerFrameTable, EventReachesItsOperation) {
  const FrameCase& c = GetParam();
  WorkerRig::Options options;
  options.read_only = c.read_only;
  options.recursive = c.recursive;
  options.pause = c.pause;
  Make(options);
  ASSERT_EQ(0, mkdir(rig_->local("/d").c_str(), 0700));
  ScriptedWorker& w = rig_->addWorker();
  Event ev = c.server ? rig_->serverEvent(c.type, c.path, (1ull << 32) + 10, c.dir) : rig_->localEvent(c.type, c.path, c.dir);
  ev.m_mode |= c.extra_mode;
  rig_->push(ev);
  rig_->startWorkers();

  if (c.op) {
    // A subfolder rescan, once done, queues the folder's own event, which
    // the worker carries out next as an upload of the folder: the calls are
    // read once that one has its outcome too and the queue is empty.
    const bool self_event = (c.extra_mode & Event::F_LOCAL_SUBDIR_RESCAN) != 0;
    const size_t expected = self_event ? 2 : 1;
    ASSERT_TRUE(w.waitForCalls(expected, 5s)) << w.calls().size() << " calls";
    EXPECT_TRUE(Settled());
    const auto calls = w.calls();
    ASSERT_EQ(expected, calls.size());
    EXPECT_EQ(*c.op, calls[0].op);
    EXPECT_EQ(ustring(c.path), calls[0].event.m_path);
    if (self_event) {
      EXPECT_EQ(ScriptedWorker::kUpload, calls[1].op);
      EXPECT_EQ(ustring(c.path), calls[1].event.m_path);
      EXPECT_TRUE(calls[1].event.isDir());
      EXPECT_EQ(0u, calls[1].event.m_mode & Event::F_LOCAL_SUBDIR_RESCAN);
    }
  } else if (c.stays_pending) {
    // Two turns of the worker found the session paused and gave the event back.
    ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
        [&] { return rig_->countLogged("is paused, process this event") >= 2; },
        10s))
        << rig_->log();
    EXPECT_TRUE(w.calls().empty());
    EXPECT_EQ(1u, EventManager::getInstance()->GetAllPendingEventCount(ev.m_sess_id));
    EXPECT_TRUE(rig_->logged("is paused, process this event"));
  } else {
    EXPECT_TRUE(Settled());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(w.calls().empty());
  }
  rig_->stopWorkers();
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerFrameTable, ::testing::ValuesIn(kFrameCases),
                         [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

// ---- The loop's actions ----

TEST_F(WorkerFrame, RetryKeepsTheEventInHandAndReturnGoesBackToTheQueue) {
  Make();
  ScriptedWorker& w = rig_->addWorker();
  int runs = 0;
  // ERR_IO retries the same event without a pull; ERR_INT returns it to the
  // queue, from which it comes back; then it succeeds.
  w.SetScript(ScriptedWorker::kUpload, [&runs](ScriptedWorker&) {
    ++runs;
    return runs == 1 ? ERR_IO : runs == 2 ? ERR_INT : ERR_OK;
  });
  rig_->push(rig_->localEvent(Event::EV_MODIFY, "/a.txt"));
  rig_->startWorkers();
  ASSERT_TRUE(w.waitForCalls(3, 15s));
  const auto calls = w.calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(WorkerAction::kRetry, calls[0].action);
  EXPECT_EQ(WorkerAction::kReturnEvent, calls[1].action);
  EXPECT_EQ(WorkerAction::kDone, calls[2].action);
  EXPECT_TRUE(rig_->logged("current event is valid"));  // the retry did not pull
  EXPECT_TRUE(Settled());
  rig_->stopWorkers();
}

TEST_F(WorkerFrame, NewerEventOfThePathIsCarriedOutWithoutAPull) {
  Make();
  ScriptedWorker& w = rig_->addWorker();
  bool pushed = false;
  // While the first upload is in hand a newer change of the same file
  // arrives; done hands it over at once.
  w.SetOnEventInHand([&](ScriptedWorker& self) {
    if (pushed) return;
    pushed = true;
    Event newer = rig_->localEvent(Event::EV_MODIFY, "/a.txt");
    newer.m_data_size = 5;
    EventManager::getInstance()->PushLocalEvent(newer);
    (void)self;
  });
  rig_->push(rig_->localEvent(Event::EV_MODIFY, "/a.txt"));
  rig_->startWorkers();
  ASSERT_TRUE(w.waitForCalls(2, 5s));
  EXPECT_TRUE(rig_->logged("not yet done"));
  EXPECT_TRUE(Settled());
  rig_->stopWorkers();
  EXPECT_EQ(2u, w.calls().size());
}

// ---- Unsafe paths (the worker checks again what the queue checks) ----

TEST_F(WorkerFrame, UnsafePathsNeverTouchDisk) {
  MakeWithServer();
  const std::string outside = Path("outside");
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  WriteFile("outside/x", "outside bytes");
  WriteFile("localx", "sibling bytes");
  ASSERT_EQ(0, symlink(outside.c_str(), rig_->local("/ln").c_str()));
  ASSERT_EQ(0, mkdir(rig_->local("/a").c_str(), 0700));
  WriteFile("local/a/keep", "user bytes");

  const char* paths[] = {"/../x", "x", "/a/../../x", "/a//b", "/",
                         "/.ZarqelonWorkingDirectory/#ZarqRecycle/y", "/.zarqelonworkingdirectory/x", "/ln/x"};
  const TreeSnapshot session_before = TreeSnapshot::Take(rig_->local());
  const TreeSnapshot root_before = TreeSnapshot::Take(Path());

  // Each path as an upload, a download and a remove, handed straight to a
  // running worker whose operations would write at the full path.
  for (const char* path : paths) {
    for (int kind = 0; kind < 3; ++kind) {
      Event ev = kind == 0   ? rig_->localEvent(Event::EV_MODIFY, path)
                 : kind == 1 ? rig_->serverEvent(Event::EV_MODIFY, path, 9)
                             : rig_->localEvent(Event::EV_REMOVE, path);
      ScriptedWorker& w = rig_->addWorker();
      for (int op = 0; op < ScriptedWorker::kOpCount; ++op) {
        w.SetScript(static_cast<ScriptedWorker::Op>(op), [](ScriptedWorker& self) {
          FILE* f = fopen(self.context.full_path.c_str_utf8(), "w");
          if (f != nullptr) fclose(f);
          PObject q;
          InitRequest(q, "remove");
          q["path"] = self.context.current_event.m_path;
          PObject reply;
          return self.ProtoRemove(q, reply);
        });
      }
      w.Inject(ev);
    }
  }
  rig_->startWorkers();
  // Every worker has looked at its event: one drop line each.
  auto drops = [&] { return rig_->countLogged(", drop event"); };
  EXPECT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return drops() >= std::size(paths) * 3; }, 20s))
      << drops() << " drops\n"
      << rig_->log();
  rig_->stopWorkers();
  for (size_t i = 0; i < std::size(paths) * 3; ++i) {
    EXPECT_TRUE(rig_->worker(i).calls().empty()) << "worker " << i;
  }
  EXPECT_EQ("", session_before.Diff(TreeSnapshot::Take(rig_->local())));
  const TreeSnapshot root_after = TreeSnapshot::Take(Path());
  EXPECT_EQ(root_before.entries().at("/localx"), root_after.entries().at("/localx"));
  EXPECT_EQ(root_before.entries().at("/outside/x"), root_after.entries().at("/outside/x"));
  EXPECT_EQ(0u, root_after.entries().count("/outside/x2"));
  EXPECT_TRUE(rig_->logged("unusable path '/ln/x', drop event"));
  EXPECT_TRUE(rig_->requests().empty());
  testsupport::ExpectNothingLost(session_before, TreeSnapshot::Take(rig_->local()));
}

TEST_F(WorkerFrame, LinkedFolderCheckLooksAtEveryLevel) {
  // UpdateContext on a stopped worker: a link at any level between the
  // session folder and the last component drops the event; a link as the
  // last component, a missing folder and a real folder do not.
  Make();
  ASSERT_EQ(0, mkdir(rig_->local("/a").c_str(), 0700));
  ASSERT_EQ(0, mkdir(rig_->local("/a/b").c_str(), 0700));
  ASSERT_EQ(0, symlink(Path().c_str(), rig_->local("/a/ln").c_str()));
  struct Row {
    const char* path;
    int expected;
  } rows[] = {
      {"/a/b/c", 0}, {"/a/ln", 0}, {"/a/ln/c", -1}, {"/a/ln/b/c", -1}, {"/gone/b/c", 0}, {"/a/b", 0},
  };
  for (const Row& row : rows) {
    ScriptedWorker& w = rig_->addWorker();
    w.Inject(rig_->localEvent(Event::EV_MODIFY, row.path));
    EXPECT_EQ(row.expected, w.UpdateContext()) << row.path;
  }
}

TEST_F(WorkerFrame, MissingRootGivesBack) {
  MakeWithServer();
  ScriptedWorker& w = rig_->addWorker();
  w.SetScript(ScriptedWorker::kRemoveRemote, [](ScriptedWorker& self) {
    PObject q;
    InitRequest(q, "remove");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 5ull;
    q["max_id"] = 5ull;
    q["path"] = self.context.current_event.m_path;
    PObject reply;
    return self.ProtoRemove(q, reply);
  });
  rig_->push(rig_->localEvent(Event::EV_REMOVE, "/a.txt"));
  rig_->push(rig_->localEvent(Event::EV_REMOVE, "/d", true));
  ASSERT_EQ(0, rmdir(rig_->local().c_str()));
  rig_->startWorkers();
  // Each event given back twice: the worker has come back to both.
  auto given_back = [&] { return rig_->countLogged("is missing, event given back"); };
  EXPECT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return given_back() >= 4; }, 20s)) << rig_->log();
  EXPECT_TRUE(w.calls().empty());
  EXPECT_EQ(2u, EventManager::getInstance()->GetAllPendingEventCount(7));
  EXPECT_TRUE(rig_->logged("is missing, event given back"));
  EXPECT_EQ(-1, access(rig_->local().c_str(), F_OK));  // never re-created
  EXPECT_TRUE(rig_->requests().empty());

  // Once the folder is back, the removes are carried out.
  ASSERT_EQ(0, mkdir(rig_->local().c_str(), 0700));
  ASSERT_TRUE(w.waitForCalls(2, 10s));
  rig_->stopWorkers();
  for (const auto& call : w.calls()) EXPECT_EQ(ScriptedWorker::kRemoveRemote, call.op);
  EXPECT_EQ((std::vector<std::string>{"remove", "remove"}), ServerWork());
}

TEST_F(WorkerFrame, RootThatIsALinkToAFolderCounts) {
  Make();
  ASSERT_EQ(0, rename(rig_->local().c_str(), Path("real").c_str()));
  ASSERT_EQ(0, symlink(Path("real").c_str(), rig_->local().c_str()));
  ScriptedWorker& w = rig_->addWorker();
  EXPECT_EQ(ERR_OK, rig_->runOne(rig_->localEvent(Event::EV_MODIFY, "/a.txt")).result);
  rig_->stopWorkers();
  EXPECT_EQ(1u, w.calls().size());
}

// ---- The abort window between the pull and the operation ----

TEST_F(WorkerFrame, AbortRightAfterPullKept) {
  MakeWithServer();
  WriteFile("local/a.txt", "to upload");
  ScriptedWorker& w = rig_->addWorker();
  // A local remove of the path arrives just after the worker took the
  // upload; the queue raises the worker's abort flag, which must survive
  // until the upload looks at it.
  w.SetOnEventInHand([&](ScriptedWorker&) {
    EventManager::getInstance()->PushLocalEvent(rig_->localEvent(Event::EV_REMOVE, "/a.txt"));
  });
  // The upload sends the file whole; a raised flag breaks its exchange.
  w.SetScript(ScriptedWorker::kUpload, [](ScriptedWorker& self) {
    PObject q;
    InitRequest(q, "upload");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["path"] = "/a.txt";
    q["is_dir"] = false;
    q["file"]["size"] = 9ull;
    q["file"]["hash"] = "0123456789abcdef0123456789abcdef";
    PObject::binary_type& body = q["file"]["data"].asBinary();
    body.path = self.context.full_path;
    body.length = 9;
    PObject reply;
    return self.ProtoUpload(false, q, reply);
  });
  const WorkerRig::Outcome outcome = rig_->runOne(rig_->localEvent(Event::EV_MODIFY, "/a.txt"));
  rig_->stopWorkers();
  EXPECT_EQ(ERR_INT, outcome.result);
  EXPECT_EQ(WorkerAction::kReturnEvent, outcome.action);
  EXPECT_TRUE(ServerWork().empty());
}

// ---- Interruption by the application ----

TEST_F(WorkerFrame, AbortFilterMatchesOnlyWorkersHoldingAnEvent) {
  Make();
  ScriptedWorker& busy = rig_->addWorker();
  ScriptedWorker& other_session = rig_->addWorker();
  ScriptedWorker& idle = rig_->addWorker();
  busy.SetCurrentProcessEventInfo(3, 7, "/a", Worker::W_TYPE_NONE);
  other_session.SetCurrentProcessEventInfo(4, 8, "/b", Worker::W_TYPE_NONE);

  struct Row {
    const char* name;
    std::optional<uint64_t> sess;
    std::optional<uint64_t> conn;
    bool busy, other, idle;
  } rows[] = {
      {"every session", 0, std::nullopt, true, true, false},
      {"session 7", 7, std::nullopt, true, false, false},
      {"connection 4", std::nullopt, 4, false, true, false},
      {"every connection", std::nullopt, 0, true, true, false},
      {"session 9", 9, std::nullopt, false, false, false},
      {"nothing set", std::nullopt, std::nullopt, false, false, false},
  };
  for (const Row& row : rows) {
    Worker::AbortFilter filter;
    if (row.sess) filter.setSession(*row.sess);
    if (row.conn) filter.setConnection(*row.conn);
    Worker::Barrier barrier;
    for (ScriptedWorker* w : {&busy, &other_session, &idle}) {
      w->abort_flag.store(0);
      w->SetAbort(filter, &barrier);
    }
    EXPECT_EQ(row.busy, busy.abort_flag.load() == 1) << row.name;
    EXPECT_EQ(row.other, other_session.abort_flag.load() == 1) << row.name;
    EXPECT_EQ(row.idle, idle.abort_flag.load() == 1) << row.name;
    // Each registered worker signals from the top of its loop; then the
    // application's wait returns.
    for (ScriptedWorker* w : {&busy, &other_session, &idle}) w->NotifyAbortDone();
    barrier.wait();
  }
}

TEST_F(WorkerFrame, PausedWorkerStillSignalsItsBarrier) {
  Make();
  ScriptedWorker& w = rig_->addWorker();
  w.SetCurrentProcessEventInfo(3, 7, "/a", Worker::W_TYPE_NONE);
  Worker::AbortFilter filter;
  filter.setSession(0);
  Worker::Barrier barrier;
  w.SetAbort(filter, &barrier);
  rig_->startWorkers();
  w.Pause();
  const auto start = std::chrono::steady_clock::now();
  barrier.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  rig_->stopWorkers();
}

TEST_F(WorkerFrame, StopRaisesTheAbortFlagAndResumeKeepsIt) {
  Make();
  ScriptedWorker& w = rig_->addWorker();
  EXPECT_EQ(0, w.SetAbort(true));
  EXPECT_EQ(1, w.AbortFlag());
  EXPECT_EQ(0, w.SetAbort(false));
  EXPECT_EQ(0, w.AbortFlag());
  w.Stop();
  EXPECT_EQ(1, w.AbortFlag());
}

}  // namespace
