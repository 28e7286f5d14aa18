// Held-back events at every worker commit: the subtree removal with 0,
// 10,000 and 100,000 rows in the session, against the GLOB statement it
// replaced (run on the same file in the same run); one insert; a dump of
// 100,000 rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "filter/filter_db.h"

namespace {

constexpr uint64_t kSess = 1;

struct TempFolder {
  std::string path;
  TempFolder() {
    char tmpl[] = "/tmp/filter-db-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    path = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

void Check(int rc, const char* what) {
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "%s failed: %d\n", what, rc);
    std::abort();
  }
}

// A database with `rows` held-back events of session 1 spread over 100
// folders of 3 levels, plus as many of session 2, written in one transaction.
struct Fixture {
  TempFolder dir;
  std::string file;
  FilterDB db;
  sqlite3* raw = nullptr;  // a second connection for the anchor statement

  explicit Fixture(int rows) : file(dir.path + "/filter.db") {
    if (db.initialize(file.c_str()) != 0) std::abort();
    Check(sqlite3_open(file.c_str(), &raw), "open");
    Check(sqlite3_exec(raw, "BEGIN;", nullptr, nullptr, nullptr), "begin");
    for (uint64_t sess : {kSess, uint64_t{2}}) {
      for (int i = 0; i < rows; ++i) {
        char* sql = sqlite3_mprintf(
            "INSERT INTO filtered_local_event_table (sess_id, file_type, is_exist, path, sync_id, file_size, "
            "file_mod_time, file_checksum, base_name, filtered_type) VALUES (%llu, 0, 1, '/d%d/s%d/f%d.txt', "
            "0, "
            "%d, 0, 'md4', 'f.txt', -13);",
            static_cast<unsigned long long>(sess), i % 100, i % 7, i, i);
        Check(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), "insert");
        sqlite3_free(sql);
      }
    }
    Check(sqlite3_exec(raw, "COMMIT;", nullptr, nullptr, nullptr), "commit");
  }
  ~Fixture() {
    sqlite3_close(raw);
    db.destroy();
  }
};

// The path of a committed event: nothing held back below it, as at most
// commits, so every iteration sees the same table.
constexpr char kPath[] = "/d42/s3/new folder";

void BM_RmLocalFilteredEventByPath(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (f.db.rmLocalFilteredEventByPath(kSess, kPath) != 0) state.SkipWithError("remove failed");
  }
}
BENCHMARK(BM_RmLocalFilteredEventByPath)->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The statement as first written: "path GLOB 'p/*'" cannot use the index.
void BM_RmByGlobAnchor(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    char* sql = sqlite3_mprintf(
        "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND (path = %Q OR path GLOB '%q/*');",
        static_cast<unsigned long long>(kSess), kPath, kPath);
    if (sqlite3_exec(f.raw, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      state.SkipWithError("anchor failed");
    sqlite3_free(sql);
  }
}
BENCHMARK(BM_RmByGlobAnchor)->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_SetLocalFilteredEvent(benchmark::State& state) {
  Fixture f(10000);
  FilterLocalEvent e;
  e.sess_id = kSess;
  e.file_checksum = "0123456789abcdef0123456789abcdef";
  e.base_name = "report.odt";
  e.filtered_type = -14;
  e.is_exist = 1;
  int i = 0;
  for (auto _ : state) {
    e.path = ("/new/report" + std::to_string(i++) + ".odt").c_str();
    if (f.db.setLocalFilteredEvent(e) != 0) state.SkipWithError("insert failed");
  }
}
BENCHMARK(BM_SetLocalFilteredEvent)->Unit(benchmark::kMicrosecond);

void BM_DumpLocalFilteredEvent(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::set<FilterLocalEvent> out;
    if (f.db.dumpLocalFilteredEvent(kSess, out) != 0) state.SkipWithError("dump failed");
    benchmark::DoNotOptimize(out.size());
  }
}
BENCHMARK(BM_DumpLocalFilteredEvent)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
