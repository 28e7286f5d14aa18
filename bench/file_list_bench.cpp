// FileList at the size of a large rescan: 100 folders of 100 folders of 100
// files (1,010,100 entries, the 100 names of each level shared), built and
// walked in reverse, against a std::set<std::string> of the same full paths
// built and iterated backwards, both in every iteration. Counters: each
// side's mean time in milliseconds, their ratio (ours / anchor), and the
// heap each structure holds once built (malloc's own count), in MiB.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "session/file_list.h"
#include "session/string_buffer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFanOut = 100;

std::vector<std::string> Names(const char* stem) {
  std::vector<std::string> out;
  for (int i = 0; i < kFanOut; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s-%02d", stem, i);
    out.push_back(name);
  }
  return out;
}

const std::vector<std::string>& Top() {
  static const std::vector<std::string> v = Names("folder");
  return v;
}
const std::vector<std::string>& Sub() {
  static const std::vector<std::string> v = Names("sub");
  return v;
}
const std::vector<std::string>& Files() {
  static const std::vector<std::string> v = Names("file.txt");
  return v;
}

size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Builds the tree folder by folder through the index forms, as a listing of
// the disk is built.
void BuildList(FileList& list) {
  FileList::Attribute attr;
  attr.mtime = 1700000000;
  for (const std::string& top : Top()) {
    int t = list.AddDirectory(0, top.c_str(), attr);
    for (const std::string& sub : Sub()) {
      int s = list.AddDirectory(t, sub.c_str(), attr);
      for (const std::string& file : Files()) {
        attr.size = 4096;
        list.AddFile(s, file.c_str(), attr);
        attr.size = 0;
      }
    }
  }
}

size_t WalkList(const FileList& list) {
  size_t n = 0, bytes = 0;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    ++n;
    bytes += it->path.length();
  }
  benchmark::DoNotOptimize(bytes);
  return n;
}

void BuildSet(std::set<std::string>& paths) {
  for (const std::string& top : Top()) {
    std::string t = "/" + top;
    paths.insert(t);
    for (const std::string& sub : Sub()) {
      std::string s = t + "/" + sub;
      paths.insert(s);
      for (const std::string& file : Files()) paths.insert(s + "/" + file);
    }
  }
}

size_t WalkSet(const std::set<std::string>& paths) {
  size_t n = 0, bytes = 0;
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    ++n;
    bytes += it->size();
  }
  benchmark::DoNotOptimize(bytes);
  return n;
}

constexpr size_t kEntries = kFanOut + kFanOut * kFanOut + kFanOut * kFanOut * kFanOut;

void BM_FileListBuildAndWalk_vs_Set(benchmark::State& state) {
  double ours = 0, anchor = 0;
  size_t list_heap = 0, set_heap = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    {
      size_t before = HeapInUse();
      StringBuffer buf;
      FileList list(buf);
      BuildList(list);
      list_heap = HeapInUse() - before;
      if (WalkList(list) != kEntries) state.SkipWithError("wrong walk");
    }
    auto t1 = Clock::now();
    {
      size_t before = HeapInUse();
      std::set<std::string> paths;
      BuildSet(paths);
      set_heap = HeapInUse() - before;
      if (WalkSet(paths) != kEntries) state.SkipWithError("wrong walk");
    }
    auto t2 = Clock::now();
    ours += std::chrono::duration<double, std::milli>(t1 - t0).count();
    anchor += std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours / n;
  state.counters["anchor_ms"] = anchor / n;
  state.counters["ratio"] = ours / anchor;
  state.counters["list_MiB"] = static_cast<double>(list_heap) / (1 << 20);
  state.counters["set_MiB"] = static_cast<double>(set_heap) / (1 << 20);
}
BENCHMARK(BM_FileListBuildAndWalk_vs_Set)->Unit(benchmark::kMillisecond)->MinTime(3);

// The same tree through the path form, as the database listing adds it.
void BM_FileListBuildByPath(benchmark::State& state) {
  std::vector<std::string> paths;
  for (const std::string& top : Top()) {
    for (const std::string& sub : Sub()) {
      for (const std::string& file : Files()) paths.push_back("/" + top + "/" + sub + "/" + file);
    }
  }
  FileList::Attribute attr;
  for (auto _ : state) {
    StringBuffer buf;
    FileList list(buf);
    for (const std::string& p : paths) list.AddFile(p.c_str(), attr);
    benchmark::DoNotOptimize(list.node.size());
  }
}
BENCHMARK(BM_FileListBuildByPath)->Unit(benchmark::kMillisecond);

}  // namespace
