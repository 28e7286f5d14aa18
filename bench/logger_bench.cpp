// Cost of a filtered-out LogMsg (made on every debug line) alone and from
// every core at once, and of a line to the log file against fprintf + fflush
// of the same text.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "foundation/logger.h"

namespace {

// The components the daemon uses, at levels that keep debug lines off.
constexpr char kLevels[] =
    "default_component=4\nchannel_debug=4\nchannel_ui_debug=4\nclient_debug=4\n"
    "conflict_rename_debug=4\nconnection_debug=4\ndetector_debug=4\nevent_db_debug=4\n"
    "event_list_debug=4\nevent_mgr_debug=4\nfile_op_debug=4\nfilter_db_debug=4\n"
    "filter_utils_debug=4\nflist_debug=4\nfstat_db_debug=4\nprogress_cache_debug=4\n"
    "progress_syncer_debug=4\nproto_common_debug=4\nproxy_debug=4\nrecycle_cleaner_debug=4\n"
    "syncer_debug=4\nutility_debug=4\nworker_debug=4\n";

// A text of the size of a typical log line, prefix included.
const std::string kMessage = "[INFO] worker(1234): upload done: /Documents/projects/report-2024.odt\n";
const std::string kPrefixedLine = "Mar 07 14:05:09 " + kMessage;

// Starts the logger on a file in a fresh folder before main (so before the
// benchmark threads), and removes the folder at exit.
struct LogSetup {
  std::string dir;
  LogSetup() {
    char tmpl[] = "/tmp/logger-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    FILE* fp = std::fopen((dir + "/levels").c_str(), "we");
    if (fp == nullptr || std::fputs(kLevels, fp) < 0 || std::fclose(fp) != 0) std::abort();
    if (Logger::Initialize(Logger::FILE_LOGGER, (dir + "/bench.log").c_str(),
                           (dir + "/levels").c_str(), 50) != 0) {
      std::abort();
    }
  }
  ~LogSetup() {
    Logger::Destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
LogSetup g_setup;

void BM_FilteredOut(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "[DEBUG] worker(%d): %s\n", ++i, "text");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredOut)->Threads(1)->ThreadPerCpu()->UseRealTime();

void BM_FilteredOutUstringComponent(benchmark::State& state) {
  const ustring comp("worker_debug");
  int i = 0;
  for (auto _ : state) {
    Logger::LogMsg(Logger::L_DEBUG, comp, "[DEBUG] worker(%d): %s\n", ++i, "text");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredOutUstringComponent)->Threads(1)->ThreadPerCpu()->UseRealTime();

// With one component at L_DEBUG, every call looks its component up.
void DebugOneComponent(const benchmark::State&) {
  FILE* fp = std::fopen((g_setup.dir + "/levels").c_str(), "we");
  if (fp == nullptr || std::fputs("syncer_debug=7\n", fp) < 0 || std::fclose(fp) != 0) std::abort();
  if (Logger::Initialize(Logger::FILE_LOGGER, (g_setup.dir + "/bench.log").c_str(),
                         (g_setup.dir + "/levels").c_str(), 50) != 0) {
    std::abort();
  }
}

void BM_FilteredOutByLookup(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "[DEBUG] worker(%d): %s\n", ++i, "text");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredOutByLookup)->Setup(DebugOneComponent)->Threads(1)->ThreadPerCpu()->UseRealTime();

void BM_LineToLogFile(benchmark::State& state) {
  // The message without its prefix: the logger adds the time.
  const std::string body = kMessage.substr(0, kMessage.size() - 1);
  for (auto _ : state) {
    Logger::LogMsg(Logger::L_ERR, "worker_debug", "%s\n", body.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LineToLogFile);

// The anchor: the same bytes with fprintf + fflush, the file restarted about
// as often as the log file rotates.
void BM_FprintfFflush(benchmark::State& state) {
  const std::string path = g_setup.dir + "/plain.log";
  FILE* fp = std::fopen(path.c_str(), "we");
  if (fp == nullptr) std::abort();
  long long size = 0;
  for (auto _ : state) {
    int n = std::fprintf(fp, "%s", kPrefixedLine.c_str());
    std::fflush(fp);
    size += n;
    if (size > 0x100000) {
      std::fclose(fp);
      fp = std::fopen(path.c_str(), "we");
      if (fp == nullptr) std::abort();
      size = 0;
    }
  }
  std::fclose(fp);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FprintfFflush);

}  // namespace
