// ustring against std::string on the work the daemon does most: map keys,
// building paths byte by byte, splitting off the last component, and the
// first UTF-16 conversion of a path.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "foundation/ustring.h"

namespace {

// Distinct 60-byte paths in a scrambled order, the same on every run.
std::vector<std::string> MakePaths(size_t count) {
  std::vector<std::string> paths;
  paths.reserve(count);
  uint64_t x = 88172645463325252ULL;
  char buf[128];
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    // Shared prefixes as in a real tree: the comparisons run deep.
    std::snprintf(buf, sizeof buf, "/home/user/Documents/project-%02u/folder-%03u/file-%08zx.dat",
                  static_cast<unsigned>(x % 7), static_cast<unsigned>((x >> 8) % 1000), i);
    std::string p(buf);
    p.resize(60, 'z');
    paths.push_back(p);
  }
  return paths;
}

template <typename T>
std::vector<T> Convert(const std::vector<std::string>& in) {
  std::vector<T> out;
  out.reserve(in.size());
  for (const std::string& s : in) out.emplace_back(s.c_str());
  return out;
}

// Built once per type and count, outside the timed loops.
template <typename T, size_t Count>
const std::vector<T>& Paths() {
  static const std::vector<T> paths = Convert<T>(MakePaths(Count));
  return paths;
}

// Anchor: at most 1.5x std::string.
template <typename T, typename Less = std::less<T>>
void BM_MapInsertFind(benchmark::State& state) {
  const std::vector<T>& paths = Paths<T, 100000>();
  for (auto _ : state) {
    std::map<T, int, Less> m;
    int i = 0;
    for (const T& p : paths) m.emplace(p, i++);
    long sum = 0;
    for (const T& p : paths) sum += m.find(p)->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_MapInsertFind<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapInsertFind<ustring>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapInsertFind<ustring, ustring_less>)->Unit(benchmark::kMillisecond);

// Anchor: at most 2x std::string.
template <typename T>
void BM_AppendByte(benchmark::State& state) {
  for (auto _ : state) {
    T s;
    for (int i = 0; i < 100000; ++i) s += static_cast<char>('a' + (i & 15));
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_AppendByte<std::string>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendByte<ustring>)->Unit(benchmark::kMicrosecond);

// Anchor: at most 1.5x std::string.
template <typename T>
void BM_FindLastSlash(benchmark::State& state) {
  const std::vector<T>& paths = Paths<T, 1000000>();
  for (auto _ : state) {
    size_t sum = 0;
    for (const T& p : paths) sum += p.find_last_of("/");
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_FindLastSlash<std::string>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindLastSlash<ustring>)->Unit(benchmark::kMillisecond);

// Figure to report: the first c_str() of a fresh 100-byte non-ASCII path
// (this benchmark less BM_CopyOnly), with an ASCII path for comparison.
const char kNonAscii[] =
    "/home/user/Dokumente/\xC3\x9C"
    "bersicht/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/caf\xC3\xA9-men\xC3\xBC/"
    "\xF0\x9F\x98\x80-fotos/Gr\xC3\xB6\xC3\x9F"
    "e-2024-Sommerurlaub-Foto.jpeg";
const char kAscii[] =
    "/home/user/Documents/Overview/projects-2024/cafe-menu/photo-album/large-picture-2024-archive123.jpeg";
static_assert(sizeof kNonAscii - 1 == 100 && sizeof kAscii - 1 == 100, "100-byte paths");

void BM_CopyOnly(benchmark::State& state) {
  for (auto _ : state) {
    ustring s(kNonAscii);
    benchmark::DoNotOptimize(s.c_str_utf8());
  }
}
BENCHMARK(BM_CopyOnly);

void BM_FirstCStrNonAscii(benchmark::State& state) {
  for (auto _ : state) {
    ustring s(kNonAscii);
    benchmark::DoNotOptimize(s.c_str());
  }
}
BENCHMARK(BM_FirstCStrNonAscii);

void BM_FirstCStrAscii(benchmark::State& state) {
  for (auto _ : state) {
    ustring s(kAscii);
    benchmark::DoNotOptimize(s.c_str());
  }
}
BENCHMARK(BM_FirstCStrAscii);

}  // namespace
