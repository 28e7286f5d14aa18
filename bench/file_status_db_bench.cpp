// A file-status row written when an event is queued and removed when it is
// done: setFileSyncStat + rmFileStatByPath pairs from 1, 4 and 8 threads.
// Anchors in the same run: the same statements on one connection kept open
// (under a mutex), and on a fresh connection per statement.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "filter/file_status_db.h"

namespace {

constexpr char kSchema[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = OFF; CREATE TABLE IF NOT EXISTS fstatinfo (id INTEGER "
    "PRIMARY KEY AUTOINCREMENT, path text unique NOT NULL, fileType integer NOT NULL, syncStatus integer NOT "
    "NULL);CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";

void Check(int rc, const char* what) {
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "%s failed: %d\n", what, rc);
    std::abort();
  }
}

sqlite3* Open(const std::string& path) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), "open");
  // As in the daemon, the pragmas' result is ignored: with other
  // connections at work they may meet a lock before the busy timeout is set.
  (void)sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;", nullptr, nullptr, nullptr);
  sqlite3_busy_timeout(db, 300000);
  return db;
}

// Three files in a fresh folder, made before main (so before the threads).
struct Setup {
  std::string dir;
  std::string api_file, kept_file, fresh_file;
  sqlite3* kept = nullptr;
  std::mutex kept_mutex;
  Setup() {
    char tmpl[] = "/tmp/fstat-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    api_file = dir + "/api.db";
    kept_file = dir + "/kept.db";
    fresh_file = dir + "/fresh.db";
    if (FileStatusDB::initialize(api_file.c_str()) != 0) std::abort();
    for (const std::string* f : {&kept_file, &fresh_file}) {
      sqlite3* db = Open(*f);
      Check(sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr), "schema");
      sqlite3_close(db);
    }
    kept = Open(kept_file);
  }
  ~Setup() {
    sqlite3_close(kept);
    FileStatusDB::destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
Setup g;

// The full local path of an event, stored with backslashes.
std::string EventPath(const benchmark::State& state, int64_t i) {
  return "C:\\Users\\u\\Sync\\project\\t" + std::to_string(state.thread_index()) + "\\file" +
         std::to_string(i) + ".txt";
}

void BM_SetRmPair(benchmark::State& state) {
  FileStatusInfo info;
  info.syncStatus = FSTAT_SYNCING;
  int64_t i = 0;
  for (auto _ : state) {
    info.path = EventPath(state, i++ % 64).c_str();
    if (FileStatusDB::setFileSyncStat(info) != 0 || FileStatusDB::rmFileStatByPath(info.path) != 0) {
      state.SkipWithError("row operation failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetRmPair)->Threads(1)->Threads(4)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

void RunPair(sqlite3* db, const std::string& path, benchmark::State& state) {
  char* set = sqlite3_mprintf(
      "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', %d, %d);",
      path.c_str(), 0, 2);
  char* rm = sqlite3_mprintf("delete from fstatinfo where path = %Q;", path.c_str());
  if (sqlite3_exec(db, set, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, rm, nullptr, nullptr, nullptr) != SQLITE_OK) {
    state.SkipWithError("statement failed");
  }
  sqlite3_free(set);
  sqlite3_free(rm);
}

// Anchor: one connection kept open, taken under a mutex as the object does.
void BM_SetRmPairKeptConnectionAnchor(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    std::string path = EventPath(state, i++ % 64);
    std::lock_guard<std::mutex> lock(g.kept_mutex);
    RunPair(g.kept, path, state);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetRmPairKeptConnectionAnchor)
    ->Threads(1)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// A connection opened and closed around each statement.
void BM_SetRmPairConnectionPerStatement(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    std::string path = EventPath(state, i++ % 64);
    char* set = sqlite3_mprintf(
        "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', %d, %d);",
        path.c_str(), 0, 2);
    char* rm = sqlite3_mprintf("delete from fstatinfo where path = %Q;", path.c_str());
    for (char* sql : {set, rm}) {
      sqlite3* db = Open(g.fresh_file);
      if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        state.SkipWithError("statement failed");
      sqlite3_close(db);
    }
    sqlite3_free(set);
    sqlite3_free(rm);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetRmPairConnectionPerStatement)
    ->Threads(1)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
