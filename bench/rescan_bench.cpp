// Rescans of a 100,000-file session (100 folders of 1,000 files) and the
// uploads of unchanged files, through the worker's own code on a test rig
// (databases and tree in /dev/shm, the default log thresholds):
// - Anchor: an nftw(FTW_PHYS) walk of the tree, which lstat()s every entry,
//   plus FileEventDB::getFileList of the whole session: the two listings a
//   rescan compares, made by the plainest means.
// - Rescan: Worker::Rescan of "/" while every record matches; it pushes
//   nothing. Target: at most 1.5x the anchor (counter time_vs_anchor).
//   Counters: peak resident size and the rescan's peak resident growth.
// - RescanWithoutRecords: the same tree against an empty event database;
//   every folder and file becomes an upload event, in one pass (the daemon
//   makes passes of Worker::kRescanBatch). Counters: pushes per second, and
//   the resident growth per queued event.
// - UnchangedModifies: 10,000 local modify events of known, unchanged files
//   (their records and signatures stored) through 2 real workers; each
//   upload ends at the weak check without a request. Pushing the events is
//   not timed. Counter: events per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "filter/black_list2.h"
#include "filter/filter_db.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/file_list.h"
#include "session/string_buffer.h"
#include "support/process_objects.h"
#include "support/worker_rig.h"
#include "worker/worker.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ScriptedWorker;
using testsupport::WorkerRig;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;
constexpr int kModifies = 10000;  // the files of the first 10 folders

std::string Folder(int d) {
  char name[16];
  snprintf(name, sizeof name, "/d%03d", d);
  return name;
}

std::string FilePath(int d, int f) {
  char name[32];
  snprintf(name, sizeof name, "/d%03d/f%04d.txt", d, f);
  return name;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "setup failed: %s\n", what);
    std::abort();
  }
}

// The session's tree with a record of every folder and file as it is on
// disk, and a signature file for each of the first kModifies files. Made
// before main's benchmarks run; removed at exit.
struct Fixture {
  std::string dir;
  std::unique_ptr<WorkerRig> rig;
  Registry::Entry bare;  // the session with a second event database, without records
  double anchor_s = 0;   // the anchor's last time

  Fixture() {
    Check(benchsupport::MakeScratchDir("/dev/shm", "rescan-bench", false, dir), "mkdtemp");
    WorkerRig::Options options;
    options.log_levels = "";  // the default thresholds
    rig = std::make_unique<WorkerRig>(Prepared(dir + "/rig"), options);
    Check(mkdir(rig->local("/.ZarqelonWorkingDirectory").c_str(), 0700) == 0, "working folder");
    BuildTree();
    Check(mkdir((dir + "/empty").c_str(), 0700) == 0 && mkdir((dir + "/empty/sign").c_str(), 0700) == 0, "empty");
    bare = rig->entry();
    auto* db = new FileEventDB;
    bare.event_db = db;  // owned by the entry
    Check(db->initialize((dir + "/empty/event-db.sqlite").c_str()) == 0, "empty database");
  }
  ~Fixture() {
    rig.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // WorkerRig wants an existing empty folder.
  static const std::string& Prepared(const std::string& root) {
    Check(mkdir(root.c_str(), 0700) == 0, "rig folder");
    return root;
  }

  void BuildTree() {
    sqlite3* db = nullptr;
    Check(sqlite3_open(rig->eventDbPath().c_str(), &db) == SQLITE_OK, "open");
    Check(sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr) == SQLITE_OK, "begin");
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db,
                             "INSERT INTO event_table (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
                             "fileCheckSum, path) VALUES (?1, 1, ?2, ?2, ?3, ?4, ?5, ?6);",
                             -1, &insert, nullptr) == SQLITE_OK,
          "prepare");
    auto add = [&](int type, int64_t id, const struct stat& st, const std::string& hash, const std::string& path) {
      sqlite3_bind_int(insert, 1, type);
      sqlite3_bind_int64(insert, 2, id);
      sqlite3_bind_int64(insert, 3, type == 0 ? st.st_size : 0);
      sqlite3_bind_int64(insert, 4, st.st_mtime);
      sqlite3_bind_text(insert, 5, hash.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 6, path.c_str(), -1, SQLITE_TRANSIENT);
      Check(sqlite3_step(insert) == SQLITE_DONE, "insert");
      sqlite3_reset(insert);
    };
    int64_t id = 100;
    struct stat st{};
    for (int d = 0; d < kFolders; ++d) {
      const std::string folder = rig->local(Folder(d));
      Check(mkdir(folder.c_str(), 0700) == 0, "folder");
      for (int f = 0; f < kFilesPerFolder; ++f) {
        const std::string rel = FilePath(d, f);
        const std::string bytes = "content of " + rel;
        const int fd = open(rig->local(rel).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        Check(fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                  fstat(fd, &st) == 0 && close(fd) == 0,
              "file");
        ++id;
        add(0, id, st, "hash-" + std::to_string(id), rel);
      }
      Check(lstat(folder.c_str(), &st) == 0, "lstat");
      add(1, ++id, st, "", Folder(d));
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK, "commit");
    sqlite3_close(db);
    // The weak check trusts a record only while its signature exists.
    for (int i = 0; i < kModifies; ++i) {
      DBFileInfo record;
      Check(rig->eventDb().getEventInfo(FilePath(i / kFilesPerFolder, i % kFilesPerFolder).c_str(), record) == 1,
            "record");
      const std::filesystem::path sign = record.signaturePath.c_str_utf8();
      std::filesystem::create_directories(sign.parent_path());
      Check(close(open(sign.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) == 0, "signature");
    }
  }

  Event RescanEvent() const {
    Event ev = rig->localEvent(Event::EV_CREATE, "/", true);
    ev.m_mode |= Event::F_EXPAND | Event::F_RESCAN;
    return ev;
  }

  size_t Pending() const { return EventManager::getInstance()->GetAllPendingEventCount(rig->entry().sess_id); }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

size_t g_walked = 0;  // entries the anchor's walk met

int CountEntry(const char* /*path*/, const struct stat* /*st*/, int /*type*/, struct FTW* /*ftw*/) {
  ++g_walked;
  return 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Anchor(benchmark::State& state) {
  Fixture& fx = Shared();
  const std::string root = fx.rig->local();
  std::vector<double> times;
  for (auto _ : state) {
    g_walked = 0;
    const auto start = Clock::now();
    if (nftw(root.c_str(), CountEntry, 64, FTW_PHYS) != 0) state.SkipWithError("nftw");
    StringBuffer buffer;
    FileList list(buffer);
    if (fx.rig->eventDb().getFileList(&list, "/") < 0) state.SkipWithError("getFileList");
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    state.SetIterationTime(times.back());
    // The tree, its folders, the working folder and the root.
    if (g_walked != static_cast<size_t>(kFolders) * (kFilesPerFolder + 1) + 2) state.SkipWithError("walk count");
  }
  fx.anchor_s = Median(times);
  state.counters["median_ms"] = fx.anchor_s * 1e3;
}

void Rescan(benchmark::State& state) {
  Fixture& fx = Shared();
  std::vector<double> times;
  double growth_mib = 0;
  for (auto _ : state) {
    ScriptedWorker& w = fx.rig->holding(fx.RescanEvent());
    benchsupport::ResetPeak();
    const long before = benchsupport::StatusKiB("VmRSS");
    const auto start = Clock::now();
    const ErrorCode rc = w.RealOperation(ScriptedWorker::kRescan);
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    growth_mib = std::max(growth_mib, (benchsupport::StatusKiB("VmHWM") - before) / 1024.0);
    state.SetIterationTime(times.back());
    if (rc != ERR_OK) state.SkipWithError("Rescan failed");
    if (fx.Pending() != 0) state.SkipWithError("a matching tree pushed events");
  }
  state.counters["median_ms"] = Median(times) * 1e3;
  state.counters["time_vs_anchor"] = fx.anchor_s > 0 ? Median(times) / fx.anchor_s : 0;
  state.counters["peak_rss_mib"] = benchsupport::StatusKiB("VmHWM") / 1024.0;
  state.counters["rss_growth_mib"] = growth_mib;
}

void RescanWithoutRecords(benchmark::State& state) {
  Fixture& fx = Shared();
  const Registry::Entry recorded = fx.rig->entry();
  std::vector<double> rates;
  double bytes_per_event = 0;
  for (auto _ : state) {
    fx.rig->setEntry(fx.bare);
    ScriptedWorker& w = fx.rig->holding(fx.RescanEvent());
    fx.rig->setEntry(recorded);
    // The whole tree in one pass, as the comparison's rate is measured; the
    // daemon queues a pass of Worker::kRescanBatch at a time.
    w.set_rescan_batch(static_cast<size_t>(kFolders) * (kFilesPerFolder + 1));
    const long before = benchsupport::StatusKiB("VmRSS");
    const auto start = Clock::now();
    const ErrorCode rc = w.RealOperation(ScriptedWorker::kRescan);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    const size_t pushed = fx.Pending();
    rates.push_back(pushed / s);
    // What the queued events hold, resident, per event.
    if (pushed != 0) bytes_per_event = (benchsupport::StatusKiB("VmRSS") - before) * 1024.0 / pushed;
    if (rc != ERR_OK || pushed != static_cast<size_t>(kFolders) * (kFilesPerFolder + 1)) {
      state.SkipWithError(rc != ERR_OK ? "Rescan failed" : "pushes missing");
      break;  // no timing call may follow an error
    }
    state.PauseTiming();
    EventManager::getInstance()->Clear();
    state.ResumeTiming();
  }
  state.counters["pushes_per_s"] = Median(rates);
  state.counters["queued_bytes_per_event"] = bytes_per_event;
}

// The process-wide objects, as the daemon hands them to its workers.
Worker::Collaborators ProcessCollaborators() {
  return Worker::Collaborators{*EventManager::getInstance(),      Registry::getInstance(),
                               *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                               *BlackList2::getInstance(),        testsupport::ProcessFileStatus(),
                               testsupport::ProcessUiReporter(),  testsupport::ProcessGenerator()};
}

void UnchangedModifies(benchmark::State& state) {
  Fixture& fx = Shared();
  std::vector<double> rates;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kModifies; ++i) {
      fx.rig->push(fx.rig->localEvent(Event::EV_MODIFY, FilePath(i / kFilesPerFolder, i % kFilesPerFolder)));
    }
    if (fx.Pending() != static_cast<size_t>(kModifies)) state.SkipWithError("events not queued");
    Worker a(nullptr, nullptr, ProcessCollaborators()), b(nullptr, nullptr, ProcessCollaborators());
    state.ResumeTiming();
    const auto start = Clock::now();
    if (a.Run() != 0 || b.Run() != 0) state.SkipWithError("workers did not start");
    while (fx.Pending() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(s);
    rates.push_back(kModifies / s);
    state.PauseTiming();
    a.Stop();
    b.Stop();
    a.Join();
    b.Join();
    state.ResumeTiming();
  }
  state.counters["events_per_s"] = Median(rates);
}

BENCHMARK(Anchor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Rescan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(RescanWithoutRecords)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(UnchangedModifies)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
