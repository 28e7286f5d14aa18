// The worker's frame around an operation that costs nothing, as rescans make
// it run by the ten thousand: 10,000 local events through 2 workers whose
// upload returns 0 at once, the databases on disk and a user-interface
// stand-in draining. The anchor, in the same run: 2 plain threads doing
// only EventManager::PullEvent + FileEventDB::getEventInfo +
// EventManager::DoneEvent + FileStatusDB::rmFileStatByPath per event.
// Pushing the events is not timed. Counters: events per second, and for
// the frame its ratio to the anchor of the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/task.h"
#include "support/ui_stand_in.h"
#include "worker/worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEvents = 10000;
constexpr uint64_t kSession = 1;

class InstantWorker : public Worker {
 public:
  InstantWorker() : Worker(nullptr, nullptr) {}

 protected:
  int UploadLocal() override { return 0; }
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

void Frame(benchmark::State& state) {
  Env& e = env();
  double per_s = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PushAll();
    InstantWorker w1, w2;
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
  state.counters["events_per_s"] = per_s;
  if (e.anchor_per_s > 0) state.counters["time_vs_anchor"] = e.anchor_per_s / per_s;
}

BENCHMARK(Anchor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Frame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
