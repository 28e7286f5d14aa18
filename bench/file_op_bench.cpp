// The file layer against the bare system calls it stands on:
//   FSStat (with and without the case check) vs lstat, 100,000 files;
//   FSReadDir with times and sizes vs readdir + fstatat, 100,000 entries;
//   FSRemove vs rm -rf, a tree of 50,000 files;
//   FSRename vs rename + folder fsync, from 4 threads.
// The machine is shared and its load varies from second to second, so each
// benchmark runs both sides of its pair in every iteration, alternating
// which goes first, and reports the two times and "ratio" (layer / bare;
// for FSRename the throughput ratio, layer / bare).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/file_op.h"

namespace {

// A scratch folder under $TMPDIR (or /tmp), removed at exit.
const std::string& Root() {
  static const std::string root = [] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/file-op-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      perror("mkdtemp");
      std::exit(1);
    }
    std::atexit([] {
      // A folder left behind only litters $TMPDIR, but say where it is.
      if (FSRemove(Root().c_str(), false) != 0) fprintf(stderr, "file_op_bench: %s was not removed\n", Root().c_str());
    });
    return tmpl;
  }();
  return root;
}

void Touch(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, "data", 4) != 4) {
    perror(path.c_str());
    std::exit(1);
  }
  close(fd);
}

// 100,000 files in 100 folders of 1,000.
struct StatFixture {
  std::vector<std::string> paths;
  std::vector<ustring> upaths;
  StatFixture() {
    std::string base = Root() + "/stat";
    mkdir(base.c_str(), 0755);
    for (int d = 0; d < 100; ++d) {
      std::string dir = base + "/dir" + std::to_string(d);
      mkdir(dir.c_str(), 0755);
      for (int f = 0; f < 1000; ++f) {
        paths.push_back(dir + "/file-with-a-name-" + std::to_string(f) + ".txt");
        Touch(paths.back());
        upaths.emplace_back(paths.back().c_str());
      }
    }
  }
};

StatFixture& Stats() {
  static StatFixture fixture;
  return fixture;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `bare` and `layer` once each, alternating the order by `round`;
// adds their times in seconds to *bare_s and *layer_s.
template <typename Bare, typename Layer>
void RunPair(int round, Bare bare, Layer layer, double* bare_s, double* layer_s) {
  for (int k = 0; k < 2; ++k) {
    bool run_bare = (k == 0) == (round % 2 == 0);
    auto start = std::chrono::steady_clock::now();
    if (run_bare) {
      bare();
      *bare_s += Since(start);
    } else {
      layer();
      *layer_s += Since(start);
    }
  }
}

void Report(benchmark::State& state, const char* bare_name, const char* layer_name, double bare_s,
            double layer_s) {
  double n = static_cast<double>(state.iterations());
  state.counters[bare_name] = benchmark::Counter(bare_s / n * 1e3);
  state.counters[layer_name] = benchmark::Counter(layer_s / n * 1e3);
  state.counters["ratio"] = layer_s / bare_s;
}

void BM_FSStatVsLstat(benchmark::State& state) {
  const auto& paths = Stats().paths;
  const auto& upaths = Stats().upaths;
  const bool case_check = state.range(0) != 0;
  double bare_s = 0, layer_s = 0;
  int round = 0;
  for (auto _ : state) {
    RunPair(
        round++,
        [&] {
          for (const std::string& p : paths) {
            struct stat st;
            benchmark::DoNotOptimize(lstat(p.c_str(), &st));
          }
        },
        [&] {
          for (const ustring& p : upaths) {
            FILE_INFO info;
            benchmark::DoNotOptimize(FSStat(p, info, case_check));
          }
        },
        &bare_s, &layer_s);
  }
  Report(state, "lstat_ms", "FSStat_ms", bare_s, layer_s);
}
BENCHMARK(BM_FSStatVsLstat)->Arg(0)->Arg(1)->ArgName("case_check")->Unit(benchmark::kMillisecond)->MinTime(3.0);

// One folder of 100,000 entries.
const std::string& ListFolder() {
  static const std::string dir = [] {
    std::string d = Root() + "/list";
    mkdir(d.c_str(), 0755);
    for (int f = 0; f < 100000; ++f) Touch(d + "/entry-" + std::to_string(f));
    return d;
  }();
  return dir;
}

void BM_FSReadDirVsReaddir(benchmark::State& state) {
  const std::string& dir = ListFolder();
  const ustring udir = dir.c_str();
  double bare_s = 0, layer_s = 0;
  int round = 0;
  for (auto _ : state) {
    RunPair(
        round++,
        [&] {
          DIR* d = opendir(dir.c_str());
          size_t n = 0;
          while (struct dirent* e = readdir(d)) {
            struct stat st;
            benchmark::DoNotOptimize(fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW));
            ++n;
          }
          closedir(d);
          benchmark::DoNotOptimize(n);
        },
        [&] {
          DIR_HANDLE dh;
          FSOpenDir(udir, 1, dh);
          DIR_ENTRY e;
          size_t n = 0;
          while (FSReadDir(dh, e) == 1) ++n;
          FSCloseDir(dh);
          benchmark::DoNotOptimize(n);
        },
        &bare_s, &layer_s);
  }
  Report(state, "readdir_fstatat_ms", "FSReadDir_ms", bare_s, layer_s);
}
BENCHMARK(BM_FSReadDirVsReaddir)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// 50,000 files in 50 folders of 1,000.
std::string MakeTree() {
  static int serial = 0;
  std::string tree = Root() + "/tree" + std::to_string(serial++);
  mkdir(tree.c_str(), 0755);
  for (int d = 0; d < 50; ++d) {
    std::string dir = tree + "/d" + std::to_string(d);
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < 1000; ++f) Touch(dir + "/f" + std::to_string(f));
  }
  sync();  // both removals start from a clean page cache state
  return tree;
}

bool RmRf(const std::string& tree) {
  pid_t pid = fork();
  if (pid == 0) {
    execlp("rm", "rm", "-rf", tree.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Removal is bound by the file system's journal: each iteration removes
// one fresh tree with rm -rf and another with FSRemove.
void BM_FSRemoveVsRmRf(benchmark::State& state) {
  double bare_s = 0, layer_s = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string a = MakeTree(), b = MakeTree();
    ustring ub = b.c_str();
    state.ResumeTiming();
    bool ok = true;
    RunPair(
        round++, [&] { ok = RmRf(a) && ok; }, [&] { ok = FSRemove(ub, false) == 0 && ok; }, &bare_s,
        &layer_s);
    if (!ok) state.SkipWithError("removal failed");
  }
  Report(state, "rm_rf_ms", "FSRemove_ms", bare_s, layer_s);
}
BENCHMARK(BM_FSRemoveVsRmRf)->Unit(benchmark::kMillisecond)->Iterations(6);

// Each thread moves its own file back and forth inside one shared folder,
// as workers move downloads into one session folder.
const std::string& RenameFolder() {
  static const std::string dir = [] {
    std::string d = Root() + "/rename";
    mkdir(d.c_str(), 0755);
    return d;
  }();
  return dir;
}

// Batches of 50 moves each way per iteration and thread; the ratio is that
// of the throughputs (FSRename / bare), averaged over the threads.
void BM_FSRenameVsRenameFsync(benchmark::State& state) {
  const std::string& dir = RenameFolder();
  const std::string id = std::to_string(state.thread_index());
  const std::string a = dir + "/raw-a" + id, b = dir + "/raw-b" + id;
  const ustring ua = (dir + "/fs-a" + id).c_str(), ub = (dir + "/fs-b" + id).c_str();
  Touch(a);
  Touch(ua.c_str_utf8());
  const int kBatch = 50;
  double bare_s = 0, layer_s = 0;
  int round = 0;
  for (auto _ : state) {
    RunPair(
        round++,
        [&] {
          for (int i = 0; i < kBatch; ++i) {
            const std::string& from = i % 2 ? b : a;
            const std::string& to = i % 2 ? a : b;
            if (rename(from.c_str(), to.c_str()) != 0) state.SkipWithError("rename failed");
            int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            fsync(fd);
            close(fd);
          }
        },
        [&] {
          for (int i = 0; i < kBatch; ++i) {
            if (FSRename(i % 2 ? ub : ua, i % 2 ? ua : ub, false) != 0) state.SkipWithError("FSRename failed");
          }
        },
        &bare_s, &layer_s);
  }
  double n = static_cast<double>(state.iterations()) * kBatch;
  state.counters["rename_fsync_per_s"] = benchmark::Counter(n / bare_s);
  state.counters["FSRename_per_s"] = benchmark::Counter(n / layer_s);
  state.counters["ratio"] = benchmark::Counter(bare_s / layer_s, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_FSRenameVsRenameFsync)->Threads(4)->UseRealTime()->MinTime(4.0);

}  // namespace
