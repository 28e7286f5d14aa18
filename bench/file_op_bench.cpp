// The file layer against the bare system calls it stands on. Each pair runs
// in the same process over the same fixture:
//   FSStat (with and without the case check) vs lstat, 100,000 files;
//   FSReadDir with times and sizes vs readdir + fstatat, 100,000 entries;
//   FSRemove vs rm -rf, a tree of 50,000 files;
//   FSRename vs rename + folder fsync, from 4 threads.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
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
    std::atexit([] { FSRemove(Root().c_str(), false); });
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

void BM_Lstat(benchmark::State& state) {
  const auto& paths = Stats().paths;
  for (auto _ : state) {
    for (const std::string& p : paths) {
      struct stat st;
      benchmark::DoNotOptimize(lstat(p.c_str(), &st));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}
BENCHMARK(BM_Lstat)->Unit(benchmark::kMillisecond);

void BM_FSStat(benchmark::State& state) {
  const auto& paths = Stats().upaths;
  const bool case_check = state.range(0) != 0;
  for (auto _ : state) {
    for (const ustring& p : paths) {
      _FILE_INFO_tag info;
      benchmark::DoNotOptimize(FSStat(p, info, case_check));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(paths.size()));
}
BENCHMARK(BM_FSStat)->Arg(0)->Arg(1)->ArgName("case_check")->Unit(benchmark::kMillisecond);

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

void BM_ReaddirFstatat(benchmark::State& state) {
  const std::string& dir = ListFolder();
  for (auto _ : state) {
    DIR* d = opendir(dir.c_str());
    size_t n = 0;
    while (struct dirent* e = readdir(d)) {
      struct stat st;
      benchmark::DoNotOptimize(fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW));
      ++n;
    }
    closedir(d);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 100002);
}
BENCHMARK(BM_ReaddirFstatat)->Unit(benchmark::kMillisecond);

void BM_FSReadDir(benchmark::State& state) {
  const ustring dir = ListFolder().c_str();
  for (auto _ : state) {
    DIR_HANDLE dh;
    FSOpenDir(dir, 1, dh);
    DIR_ENTRY e;
    size_t n = 0;
    while (FSReadDir(dh, e) == 1) ++n;
    FSCloseDir(dh);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 100002);
}
BENCHMARK(BM_FSReadDir)->Unit(benchmark::kMillisecond);

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

double Seconds(const struct timespec& a, const struct timespec& b) {
  return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
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

// Removal is bound by the file system's journal, whose pace varies with
// whatever else the machine writes; so each iteration removes one fresh
// tree with rm -rf and another with FSRemove, back to back, alternating
// which goes first, and the counters hold the two times and their ratio.
void BM_RemoveTreeVsRmRf(benchmark::State& state) {
  double rm_total = 0, fs_total = 0;
  int round = 0;
  for (auto _ : state) {
    std::string a = MakeTree(), b = MakeTree();
    ustring ub = b.c_str();
    struct timespec t0, t1, t2;
    bool rm_first = (round++ % 2) == 0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    bool ok = rm_first ? RmRf(a) : FSRemove(ub, false) == 0;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    ok = (rm_first ? FSRemove(ub, false) == 0 : RmRf(a)) && ok;
    clock_gettime(CLOCK_MONOTONIC, &t2);
    if (!ok) state.SkipWithError("removal failed");
    double first = Seconds(t0, t1), second = Seconds(t1, t2);
    rm_total += rm_first ? first : second;
    fs_total += rm_first ? second : first;
    state.SetIterationTime(first + second);
  }
  state.counters["rm_rf_s"] = rm_total / static_cast<double>(state.iterations());
  state.counters["FSRemove_s"] = fs_total / static_cast<double>(state.iterations());
  state.counters["ratio"] = fs_total / rm_total;
}
BENCHMARK(BM_RemoveTreeVsRmRf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

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

void BM_RenameFsync(benchmark::State& state) {
  const std::string& dir = RenameFolder();
  std::string a = dir + "/raw-a" + std::to_string(state.thread_index());
  std::string b = dir + "/raw-b" + std::to_string(state.thread_index());
  Touch(a);
  bool forward = true;
  for (auto _ : state) {
    const std::string& from = forward ? a : b;
    const std::string& to = forward ? b : a;
    forward = !forward;
    if (rename(from.c_str(), to.c_str()) != 0) state.SkipWithError("rename failed");
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fsync(fd);
    close(fd);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenameFsync)->Threads(4)->UseRealTime()->MinTime(2.0);

void BM_FSRename(benchmark::State& state) {
  const std::string& dir = RenameFolder();
  std::string a = dir + "/fs-a" + std::to_string(state.thread_index());
  std::string b = dir + "/fs-b" + std::to_string(state.thread_index());
  Touch(a);
  const ustring ua = a.c_str(), ub = b.c_str();
  bool forward = true;
  for (auto _ : state) {
    if (FSRename(forward ? ua : ub, forward ? ub : ua, false) != 0) state.SkipWithError("FSRename failed");
    forward = !forward;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FSRename)->Threads(4)->UseRealTime()->MinTime(2.0);

}  // namespace
