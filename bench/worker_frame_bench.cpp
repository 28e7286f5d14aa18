// The worker's frame around an operation that costs nothing, as rescans make
// it run by the ten thousand: 10,000 local events through 2 workers whose
// upload returns 0 at once, the databases on disk and a user-interface
// stand-in draining. The anchor, in the same run: 2 plain threads doing
// only EventManager::PullEvent + FileEventDB::getEventInfo +
// EventManager::DoneEvent + FileStatusDB::rmFileStatByPath per event.
// Pushing the events is not timed. Counters: events per second, and for
// the frame its ratio to the anchor of the same run.
//
// The download's cheap ways through the same frame: 10,000 server events
// of recorded, unchanged files through 2 workers with the real download,
// once as echoes (the recorded version again) and once as fast merges (a
// newer version describing the recorded file: only the record's ids move).
// Counter: the ratio to the instant frame of the same run (target <= 1.3).
//
// RecycleFolder: a server remove of a recorded folder of 10,000 recorded
// files, unchanged on disk: the walk against the records, the move into
// the recycle folder and the 10,001 rows. Building the folder is not timed.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/task.h"
#include "support/process_objects.h"
#include "support/ui_stand_in.h"
#include "session/detector.h"
#include "session/session_path.h"
#include "worker/worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEvents = 10000;
constexpr uint64_t kSession = 1;
constexpr uint32_t kMtime = 1600000000;
constexpr uint64_t kRecordedId = 10;
constexpr char kContent[] = "0123456789";
constexpr char kHash[] = "0123456789abcdef0123456789abcdef";

// The process-wide objects, as the daemon hands them to its workers.
Worker::Collaborators ProcessCollaborators() {
  return Worker::Collaborators{*EventManager::getInstance(),      Registry::getInstance(),
                               *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                               *BlackList2::getInstance(),        testsupport::ProcessFileStatus(),
                               testsupport::ProcessUiReporter(),  testsupport::ProcessGenerator()};
}

class InstantWorker : public Worker {
 public:
  InstantWorker() : Worker(nullptr, nullptr, ProcessCollaborators()) {}

 protected:
  ErrorCode UploadLocal() override { return ERR_OK; }
};

// The real download and remove, with the context for a direct call.
class RealWorker : public Worker {
 public:
  RealWorker() : Worker(nullptr, nullptr, ProcessCollaborators()) {}
  using Worker::context;
  using Worker::RemoveLocal;
  using Worker::UpdateContext;
};

class PlainTask : public Task {
 public:
  PlainTask() : Task(nullptr, nullptr) {}
};

// Made before main, so before the benchmark's threads.
struct Env {
  std::string dir;
  std::unique_ptr<testsupport::UiStandIn> ui;
  Registry::Entry entry;
  double anchor_per_s = 0;
  double frame_per_s = 0;
  uint64_t next_id = kRecordedId;  // the records' sync id now

  Env() {
    char tmpl[] = "/tmp/worker-frame-bench-XXXXXX";  // /tmp is on disk here
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    Write(dir + "/levels", "");
    if (Logger::Initialize(Logger::FILE_LOGGER, (dir + "/log").c_str(), (dir + "/levels").c_str(), 2) != 0) {
      std::abort();
    }
    ui = std::make_unique<testsupport::UiStandIn>();
    Write(dir + "/daemon.conf", "ui_port=" + std::to_string(ui->port()) + "\n");
    if (Settings::getInstance()->loadConfigSettings((dir + "/daemon.conf").c_str()) != 0) std::abort();
    if (FileStatusDB::initialize((dir + "/fstat.db").c_str()) != 0) std::abort();
    if (FilterDB::getInstance()->initialize((dir + "/filter.db").c_str()) != 0) std::abort();
    for (const char* d : {"/local", "/config", "/config/db", "/config/db/sign"}) mkdir((dir + d).c_str(), 0700);
    entry.sess_id = kSession;
    entry.conn_id = 1;
    entry.recursive = true;
    entry.local_path = (dir + "/local").c_str();
    entry.remote_path = "/";
    entry.config_path = (dir + "/config").c_str();
    auto* db = new FileEventDB;
    entry.event_db = db;
    if (db->initialize((dir + "/config/db/event-db.sqlite").c_str()) != 0) std::abort();
    Registry::getInstance().Set(entry);
    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = 1;
    if (ConnectionManager::getInstance()->add(info, nullptr, nullptr) != 0) std::abort();
    // The files of the server events, each recorded as it is on disk.
    const std::string work = dir + "/local/" + kWorkingDirName;
    mkdir(work.c_str(), 0700);
    mkdir((work + "/" + kRecycleDirName).c_str(), 0700);
    for (int d = 0; d < 100; ++d) mkdir((dir + "/local/s" + std::to_string(d)).c_str(), 0700);
    for (int i = 0; i < kEvents; ++i) Recorded(ServerPath(i));
  }

  static std::string ServerPath(int i) { return "/s" + std::to_string(i % 100) + "/g" + std::to_string(i); }

  // A file of kContent at `rel` with its record.
  void Recorded(const std::string& rel) {
    const std::string full = dir + "/local" + rel;
    Write(full, kContent);
    if (FSUTime(full.c_str(), kMtime, kMtime) != 0) std::abort();
    DBFileInfo rec;
    rec.isExist = 1;
    rec.syncID = next_id;
    rec.maxSyncID = next_id;
    rec.fileSize = sizeof kContent - 1;
    rec.fileModTime = kMtime;
    rec.fileCheckSum = kHash;
    rec.path = rel.c_str();
    if (entry.event_db->setEventInfo(rec) != 0) std::abort();
  }
  ~Env() {
    ui.reset();
    std::filesystem::remove_all(dir);
  }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path);
    out << bytes;
  }
};

Env& env() {
  static Env e;
  return e;
}

void PushAll() {
  for (int i = 0; i < kEvents; ++i) {
    Event ev;
    ev.m_type = Event::EV_MODIFY;
    ev.m_sess_id = kSession;
    ev.m_path = ("/d" + std::to_string(i % 100) + "/f" + std::to_string(i)).c_str();
    ev.m_data_size = 10;
    EventManager::getInstance()->PushLocalEvent(ev);
  }
}

// Server events for the recorded files, at version `sync_id`.
void PushServer(uint64_t sync_id) {
  for (int i = 0; i < kEvents; ++i) {
    Event ev;
    ev.m_type = Event::EV_MODIFY;
    ev.setServerEvent();
    ev.m_sess_id = kSession;
    ev.m_path = Env::ServerPath(i).c_str();
    ev.m_sync_id = sync_id;
    ev.m_max_id = sync_id;
    ev.m_data_size = sizeof kContent - 1;
    ev.m_data_hash = kHash;
    ev.m_time = kMtime;
    EventManager::getInstance()->PushServerEvent(ev);
  }
}

void WaitEmpty() {
  while (EventManager::getInstance()->GetAllPendingEventCount(kSession) != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void Anchor(benchmark::State& state) {
  Env& e = env();
  for (auto _ : state) {
    state.PauseTiming();
    PushAll();
    state.ResumeTiming();
    const auto start = Clock::now();
    auto run = [&e] {
      PlainTask task;
      Event ev;
      DBFileInfo record;
      while (EventManager::getInstance()->GetAllPendingEventCount(kSession) != 0) {
        if (EventManager::getInstance()->PullEvent(&task, ev) < 0) {
          std::this_thread::yield();
          continue;
        }
        (void)e.entry.event_db->getEventInfo(ev.m_path, record);
        Event next;
        while (EventManager::getInstance()->DoneEvent(&task, next) < 0) {
        }
        ustring stored = e.entry.local_path;
        stored += ev.m_path;
        stored.replace('/', '\\');
        (void)FileStatusDB::rmFileStatByPath(stored);
      }
    };
    std::thread a(run), b(run);
    a.join();
    b.join();
    WaitEmpty();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    e.anchor_per_s = kEvents / s;
    state.SetIterationTime(s);
  }
  state.counters["events_per_s"] = e.anchor_per_s;
}

// Times 2 workers of the given kind until the queue is empty, per iteration
// after `push` (not timed); the events per second of the last iteration.
template <class W>
double TimeWorkers(benchmark::State& state, const std::function<void()>& push) {
  double per_s = 0;
  for (auto _ : state) {
    state.PauseTiming();
    push();
    W w1, w2;
    state.ResumeTiming();
    const auto start = Clock::now();
    w1.Run();
    w2.Run();
    WaitEmpty();
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.PauseTiming();
    w1.Stop();
    w2.Stop();
    w1.Join();
    w2.Join();
    state.ResumeTiming();
    per_s = kEvents / s;
    state.SetIterationTime(s);
  }
  return per_s;
}

void Frame(benchmark::State& state) {
  Env& e = env();
  const double per_s = TimeWorkers<InstantWorker>(state, PushAll);
  state.counters["events_per_s"] = per_s;
  if (e.anchor_per_s > 0) state.counters["time_vs_anchor"] = e.anchor_per_s / per_s;
  e.frame_per_s = per_s;
}

// 10,000 server events through 2 workers with the real download; `merge`
// sends a newer version each time, else the recorded one (echoes).
void ServerEvents(benchmark::State& state, bool merge) {
  Env& e = env();
  const double per_s = TimeWorkers<InstantWorker>(state, [&e, merge] {
    if (merge) ++e.next_id;
    PushServer(e.next_id);
  });
  // Every merge moved the record on.
  DBFileInfo rec;
  if (merge && (e.entry.event_db->getEventInfo(Env::ServerPath(kEvents - 1).c_str(), rec) != 1 ||
                rec.syncID != e.next_id)) {
    state.SkipWithError("a merge did not reach the record");
  }
  state.counters["events_per_s"] = per_s;
  if (e.frame_per_s > 0) state.counters["time_vs_frame"] = e.frame_per_s / per_s;
}

void Echo(benchmark::State& state) { ServerEvents(state, false); }
void FastMerge(benchmark::State& state) { ServerEvents(state, true); }

void RecycleFolder(benchmark::State& state) {
  Env& e = env();
  const std::string top = e.dir + "/local/big";
  const std::string recycle = e.dir + "/local/" + kWorkingDirName + "/" + kRecycleDirName;
  for (auto _ : state) {
    state.PauseTiming();
    mkdir(top.c_str(), 0700);
    DBFileInfo folder;
    folder.isExist = 1;
    folder.syncID = folder.maxSyncID = kRecordedId;
    folder.fileType = 1;
    folder.path = "/big";
    if (e.entry.event_db->setEventInfo(folder) != 0) std::abort();
    for (int i = 0; i < kEvents; ++i) e.Recorded("/big/f" + std::to_string(i));
    RealWorker w;
    Event ev;
    ev.m_type = Event::EV_REMOVE;
    ev.setServerEvent();
    ev.setDir();
    ev.m_sess_id = kSession;
    ev.m_path = "/big";
    ev.m_sync_id = ev.m_max_id = e.next_id + 1;
    w.context.current_event = ev;
    if (w.UpdateContext() != 0) std::abort();
    state.ResumeTiming();
    const ErrorCode rc = w.RemoveLocal();
    state.PauseTiming();
    if (rc != ERR_OK || access(top.c_str(), F_OK) == 0) state.SkipWithError("the folder was not recycled");
    std::filesystem::remove_all(recycle);
    mkdir(recycle.c_str(), 0700);
    if (e.entry.event_db->resetRecycleBin() != 0) std::abort();
    state.ResumeTiming();
  }
}

BENCHMARK(Anchor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Frame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Echo)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(FastMerge)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RecycleFolder)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
