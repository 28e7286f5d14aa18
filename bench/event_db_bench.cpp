// Event database reads in a 100,000-record session, each against the
// statement it replaced, run on the same file in the same iteration:
// - the one-level listing of a 1,000-entry folder, against the LIKE pair
//   (which cannot use the path index and scans the isExist index);
// - the lookup by content hash that matches the last record, against the
//   statement without the unary plus on isExist (the planner then walks the
//   isExist index, which matches every row).
// Counters: the mean time of each side in microseconds and their ratio
// (anchor / ours, the speed-up).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "session/file_event_db.h"
#include "session/file_list.h"
#include "session/string_buffer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 1000;

struct TempFolder {
  std::string path;
  TempFolder() {
    char tmpl[] = "/tmp/event-db-bench-XXXXXX";
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

// 100 folders /dNNN of 1,000 files each, the folder records and "/": the
// file with the highest row id has the hash "hash-last".
struct Fixture {
  TempFolder dir;
  std::string file;
  FileEventDB db;
  sqlite3* raw = nullptr;  // a second connection for the anchor statements

  Fixture() : file(dir.path + "/db/event-db.sqlite") {
    if (mkdir((dir.path + "/db").c_str(), 0700) != 0 || mkdir((dir.path + "/db/sign").c_str(), 0700) != 0) {
      std::abort();
    }
    if (db.initialize(file.c_str()) != 0) std::abort();
    Check(sqlite3_open(file.c_str(), &raw), "open");
    Check(sqlite3_exec(raw, "BEGIN;", nullptr, nullptr, nullptr), "begin");
    Check(sqlite3_exec(raw,
                       "INSERT INTO event_table (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
                       "fileCheckSum, path) VALUES (1, 1, 0, 1, 0, 1, '', '/');",
                       nullptr, nullptr, nullptr),
               "root");
    int n = 0;
    for (int d = 0; d < kFolders; ++d) {
      char* sql = sqlite3_mprintf(
          "INSERT INTO event_table (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, fileCheckSum, "
          "path) VALUES (1, 1, 0, 1, 0, 1, '', '/d%03d');",
          d);
      Check(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), "folder");
      sqlite3_free(sql);
      for (int f = 0; f < kFilesPerFolder; ++f, ++n) {
        std::string hash = n == kFolders * kFilesPerFolder - 1 ? "hash-last" : "hash-" + std::to_string(n);
        sql = sqlite3_mprintf(
            "INSERT INTO event_table (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
            "fileCheckSum, path, aclHash) VALUES (0, 1, %d, %d, %d, 1700000000, %Q, '/d%03d/file-%04d.txt', "
            "'acl');",
            n, n, n, hash.c_str(), d, f);
        Check(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), "file");
        sqlite3_free(sql);
      }
    }
    Check(sqlite3_exec(raw, "COMMIT;", nullptr, nullptr, nullptr), "commit");
  }
  ~Fixture() { sqlite3_close(raw); }
};

Fixture& Shared() {
  static Fixture f;  // built once for all benchmarks; removed at exit
  return f;
}

// The one-level statement as first written, rows added the same way.
int ListByLike(sqlite3* db, const char* prefix, FileList& list) {
  char* sql = sqlite3_mprintf(
      "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table  WHERE isExist = 1 AND path LIKE "
      "'%q/%%' AND path NOT LIKE '%q/%%/%%';",
      prefix, prefix);
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
  sqlite3_free(sql);
  if (rc != SQLITE_OK) return -1;
  size_t strip = std::strlen(prefix) + 1;
  FileList::Attribute attr;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    attr.mtime = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    attr.size = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
    const unsigned char* acl = sqlite3_column_text(s, 3);
    attr.acl_hash = acl ? reinterpret_cast<const char*>(acl) : "";
    const char* path = reinterpret_cast<const char*>(sqlite3_column_text(s, 4)) + strip;
    if (sqlite3_column_int(s, 0) == 0) {
      list.AddFile(0, path, attr);
    } else {
      list.AddDirectory(0, path, attr);
    }
  }
  sqlite3_finalize(s);
  return rc == SQLITE_DONE ? 0 : -1;
}

int HashByScan(sqlite3* db, const char* hash, std::string& path) {
  char* sql =
      sqlite3_mprintf("SELECT path FROM event_table WHERE fileCheckSum = '%q'  AND isExist = 1 LIMIT 1;", hash);
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
  sqlite3_free(sql);
  if (rc != SQLITE_OK) return -1;
  rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) path = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  sqlite3_finalize(s);
  return rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : -1;
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Report(benchmark::State& state, double ours, double anchor) {
  double n = static_cast<double>(state.iterations());
  state.counters["ours_us"] = ours / n;
  state.counters["anchor_us"] = anchor / n;
  state.counters["speedup"] = anchor / ours;
}

void BM_OneLevelListing_vs_Like(benchmark::State& state) {
  Fixture& f = Shared();
  double ours = 0, anchor = 0;
  for (auto _ : state) {
    size_t a = 0, b = 0;
    auto t0 = Clock::now();
    {
      StringBuffer buf;
      FileList list(buf);
      if (f.db.getFileListWithoutRecursive(&list, "/d050") != 0) state.SkipWithError("listing failed");
      a = list.root->file.size();
    }
    auto t1 = Clock::now();
    {
      StringBuffer buf;
      FileList list(buf);
      if (ListByLike(f.raw, "/d050", list) != 0) state.SkipWithError("anchor failed");
      b = list.root->file.size();
    }
    auto t2 = Clock::now();
    if (a != kFilesPerFolder || b != kFilesPerFolder) state.SkipWithError("wrong listing");
    ours += Micros(t1 - t0);
    anchor += Micros(t2 - t1);
  }
  Report(state, ours, anchor);
}
BENCHMARK(BM_OneLevelListing_vs_Like)->Unit(benchmark::kMillisecond);

void BM_HashLookupLast_vs_Scan(benchmark::State& state) {
  Fixture& f = Shared();
  double ours = 0, anchor = 0;
  for (auto _ : state) {
    ustring path;
    std::string anchor_path;
    auto t0 = Clock::now();
    int a = f.db.getFilePathByHash("hash-last", "", path);
    auto t1 = Clock::now();
    int b = HashByScan(f.raw, "hash-last", anchor_path);
    auto t2 = Clock::now();
    if (a != 1 || b != 1 || anchor_path != path.c_str_utf8()) state.SkipWithError("lookup failed");
    ours += Micros(t1 - t0);
    anchor += Micros(t2 - t1);
  }
  Report(state, ours, anchor);
}
BENCHMARK(BM_HashLookupLast_vs_Scan)->Unit(benchmark::kMillisecond);

// Each side alone, with warm caches (in the pairs above each side runs
// right after the other one has swept the caches).
void BM_OneLevelListing(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    StringBuffer buf;
    FileList list(buf);
    if (f.db.getFileListWithoutRecursive(&list, "/d050") != 0) state.SkipWithError("listing failed");
  }
}
BENCHMARK(BM_OneLevelListing)->Unit(benchmark::kMicrosecond);

void BM_OneLevelListingLikeAnchor(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    StringBuffer buf;
    FileList list(buf);
    if (ListByLike(f.raw, "/d050", list) != 0) state.SkipWithError("anchor failed");
  }
}
BENCHMARK(BM_OneLevelListingLikeAnchor)->Unit(benchmark::kMicrosecond);

void BM_HashLookupLast(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    ustring path;
    if (f.db.getFilePathByHash("hash-last", "", path) != 1) state.SkipWithError("lookup failed");
  }
}
BENCHMARK(BM_HashLookupLast)->Unit(benchmark::kMicrosecond);

void BM_HashLookupLastScanAnchor(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    std::string path;
    if (HashByScan(f.raw, "hash-last", path) != 1) state.SkipWithError("anchor failed");
  }
}
BENCHMARK(BM_HashLookupLastScanAnchor)->Unit(benchmark::kMicrosecond);

// A record write of a file two levels down (record, two ancestors, root).
void BM_SetEventInfo(benchmark::State& state) {
  Fixture& f = Shared();
  DBFileInfo e;
  e.fileCheckSum = "0123456789abcdef0123456789abcdef";
  e.fileSize = 4096;
  e.maxSyncID = e.syncID = 200000;
  int i = 0;
  for (auto _ : state) {
    e.path = ("/d007/new/file-" + std::to_string(i++ % 1000) + ".txt").c_str();
    if (f.db.setEventInfo(e) != 0) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_SetEventInfo)->Unit(benchmark::kMicrosecond);

void BM_GetEventInfo(benchmark::State& state) {
  Fixture& f = Shared();
  DBFileInfo info;
  for (auto _ : state) {
    if (f.db.getEventInfo("/d042/file-0420.txt", info) != 1) state.SkipWithError("read failed");
  }
}
BENCHMARK(BM_GetEventInfo)->Unit(benchmark::kMicrosecond);

}  // namespace
