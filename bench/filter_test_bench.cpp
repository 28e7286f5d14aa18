// Cost of BlackList2::TestFilePath, which the worker runs for every event
// against two lists, next to the lstat of a file at the same depth that the
// worker makes for the same event.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "filter/black_list2.h"

namespace {

// A realistic system filter: about fifty entries of every kind, and the
// characters Windows forbids in names.
const char kSystemFilter[] =
    "[Version]\nmajor = 1\nminor = 0\n"
    "[Common]\n"
    "black_char = \"\\\\:*?\\\"<>|\"\n"
    "black_prefix = \"~$\", \".~lock.\", \"._\", \".sb-\"\n"
    "black_dir_prefix = \"/.sync-work\", \"/.cache\"\n"
    "black_name = \"Thumbs.db\", \"desktop.ini\", \".DS_Store\", \".Spotlight-V100\", \".Trashes\",\n"
    "  \".fseventsd\", \".TemporaryItems\", \"ehthumbs.db\", \"$RECYCLE.BIN\", \"System Volume Information\",\n"
    "  \".AppleDouble\", \"lost+found\", \"@eaDir\", \"#recycle\", \".directory\", \"Icon\\r\"\n"
    "max_length = 255\nmax_path = 4096\n"
    "[File]\n"
    "black_ext = \"tmp\", \"temp\", \"part\", \"crdownload\", \"partial\", \"swp\", \"swo\", \"lnk\",\n"
    "  \"download\", \"!ut\", \"bak\", \"lock\"\n"
    "black_name = \"core\", \".localized\"\n"
    "black_prefix = \"~\", \".#\"\n"
    "max_size = 0\n"
    "[Directory]\n"
    "black_name = \".git\", \".svn\", \".hg\", \"node_modules\", \"__pycache__\"\n"
    "black_prefix = \".Trash-\"\n";

std::string Folders(int depth) {
  std::string path;
  for (int i = 1; i <= depth; ++i) {
    char part[32];
    snprintf(part, sizeof part, "/Folder %02d", i);
    path += part;
  }
  return path;
}

const char kFileName[] = "/Quarterly report (final).pdf";

class Fixture {
 public:
  Fixture() {
    char dir[] = "/tmp/filter-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    root_ = dir;
    std::string rules = root_ + "/system.filter";
    FILE* fp = fopen(rules.c_str(), "w");
    if (fp == nullptr || fputs(kSystemFilter, fp) < 0 || fclose(fp) != 0) abort();
    if (list_.Load(rules.c_str()) != 0) abort();
    std::string path = root_;
    for (int i = 1; i <= 20; ++i) {
      char part[32];
      snprintf(part, sizeof part, "/Folder %02d", i);
      path += part;
      if (mkdir(path.c_str(), 0700) != 0) abort();
    }
    for (int depth : {1, 5, 10, 20}) {
      std::string file = root_ + Folders(depth) + kFileName;
      FILE* f = fopen(file.c_str(), "w");
      if (f == nullptr || fclose(f) != 0) abort();
    }
  }
  ~Fixture() {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root_.c_str());
  }
  const BlackList2& list() const { return list_; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  BlackList2 list_;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_TestFilePath(benchmark::State& state) {
  const BlackList2& list = Shared().list();
  const ustring path = (Folders(static_cast<int>(state.range(0))) + kFileName).c_str();
  if (list.TestFilePath(path) != 0) state.SkipWithError("the benchmark path is filtered");
  for (auto _ : state) benchmark::DoNotOptimize(list.TestFilePath(path));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestFilePath)->Arg(1)->Arg(5)->Arg(10)->Arg(20);

void BM_Lstat(benchmark::State& state) {
  const std::string path = Shared().root() + Folders(static_cast<int>(state.range(0))) + kFileName;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) state.SkipWithError("lstat failed");
  for (auto _ : state) benchmark::DoNotOptimize(lstat(path.c_str(), &st));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Lstat)->Arg(1)->Arg(5)->Arg(10)->Arg(20);

// Many workers on one holder: aggregate calls per second against one thread.
void BM_TestFilePathShared(benchmark::State& state) {
  const BlackList2& list = Shared().list();
  const ustring path = (Folders(10) + kFileName).c_str();
  for (auto _ : state) benchmark::DoNotOptimize(list.TestFilePath(path));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestFilePathShared)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

}  // namespace
