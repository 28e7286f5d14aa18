// Side-by-side timing of the delta engine and librsync on the same files:
// signature, delta and patch, in the formats both share (MD4 strong sums,
// the rollsum weak sum, 2048-byte blocks, 8-byte sums).
//
// For each size, the basis is random and the new file is the basis itself
// (identical), unrelated random data (no-match), the basis with 50 insertions
// of 100 bytes (sparse) or with 16 bytes changed every 8 KiB (dense). The two
// engines run alternately on the same files: one warm-up, then the median of
// the runs. Memory is each operation's peak resident growth (VmHWM after the
// operation minus VmRSS before it, with the peak reset through
// /proc/self/clear_refs), the largest over the runs.
//
// Outside the timing every result is checked: the signatures are byte-equal,
// our delta patched by librsync, librsync's delta patched by us and both
// patch outputs give the new file. A failed check makes the exit status 1;
// with --enforce, a missed target at 256 MiB makes it 2.
//
//   delta_vs_librsync [--sizes 1,16,256] [--runs 5] [--ops signature,delta,patch]
//                     [--dir /dev/shm] [--enforce]
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <librsync.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"
#include "foundation/ustring.h"

namespace {

constexpr size_t kMiB = 1u << 20;

struct Measure {
  double seconds = 0;
  double mem_mib = 0;
};

struct Options {
  std::vector<unsigned> sizes = {1, 16, 256};
  int runs = 5;
  std::string dir = "/dev/shm";
  std::string ops = "signature,delta,patch";
  bool enforce = false;
  bool dir_given = false;
  bool Has(const char* op) const { return ("," + ops + ",").find(std::string(",") + op + ",") != std::string::npos; }
};

int g_failures = 0;

void Fail(const std::string& what) {
  fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
  ++g_failures;
}

// Runs `op` once, timing it and measuring its resident growth.
Measure RunOnce(const std::function<bool()>& op, const char* what) {
  if (!benchsupport::ResetPeak()) Fail("cannot reset the resident peak");
  const long before = benchsupport::StatusKiB("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  const bool ok = op();
  const auto stop = std::chrono::steady_clock::now();
  const long peak = benchsupport::StatusKiB("VmHWM");
  if (!ok) Fail(std::string(what) + " returned an error");
  Measure m;
  m.seconds = std::chrono::duration<double>(stop - start).count();
  m.mem_mib = (peak - before) / 1024.0;
  return m;
}

struct Pair {
  Measure ours;
  Measure theirs;
};

// One warm-up of each, then `runs` alternating runs; medians of the times,
// largest memory growth.
Pair Compare(const Options& opt, const std::function<bool()>& ours, const std::function<bool()>& theirs,
             const char* what) {
  std::vector<double> t_ours, t_theirs;
  Pair p;
  for (int i = 0; i <= opt.runs; ++i) {
    const Measure b = RunOnce(theirs, what);
    const Measure a = RunOnce(ours, what);
    if (i == 0 && opt.runs > 0) continue;  // warm-up
    t_ours.push_back(a.seconds);
    t_theirs.push_back(b.seconds);
    p.ours.mem_mib = std::max(p.ours.mem_mib, a.mem_mib);
    p.theirs.mem_mib = std::max(p.theirs.mem_mib, b.mem_mib);
  }
  std::sort(t_ours.begin(), t_ours.end());
  std::sort(t_theirs.begin(), t_theirs.end());
  p.ours.seconds = t_ours[t_ours.size() / 2];
  p.theirs.seconds = t_theirs[t_theirs.size() / 2];
  return p;
}

void FillRandom(std::string& s, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    const uint64_t v = x * 0x2545F4914F6CDD1Dull;
    memcpy(&s[i], &v, 8);
  }
  for (; i < s.size(); ++i) s[i] = static_cast<char>(i * 131 + seed);
}

bool WriteFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wbe");
  if (f == nullptr) return false;
  const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

bool ReadFile(const std::string& path, std::string& out) {
  FILE* f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return false;
  out.clear();
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

void CheckSame(const std::string& path, const std::string& expected, const std::string& what) {
  std::string got;
  if (!ReadFile(path, got) || got != expected) Fail(what);
}

// librsync's whole-file calls over stdio streams.
bool WithFiles(const std::vector<std::pair<std::string, const char*>>& files,
               const std::function<rs_result(std::vector<FILE*>&)>& fn) {
  std::vector<FILE*> fs;
  bool ok = true;
  for (const auto& [path, mode] : files) {
    FILE* f = fopen(path.c_str(), mode);
    if (f == nullptr) ok = false;
    fs.push_back(f);
  }
  if (ok) ok = fn(fs) == RS_DONE;
  for (FILE* f : fs) {
    if (f != nullptr && fclose(f) != 0) ok = false;
  }
  return ok;
}

bool LibSignature(const std::string& in, const std::string& sig) {
  return WithFiles({{in, "rbe"}, {sig, "wbe"}},
                   [](std::vector<FILE*>& f) { return rs_sig_file(f[0], f[1], 2048, 8, RS_MD4_SIG_MAGIC, nullptr); });
}

bool LibDelta(const std::string& sig, const std::string& in, const std::string& delta) {
  return WithFiles({{sig, "rbe"}, {in, "rbe"}, {delta, "wbe"}}, [](std::vector<FILE*>& f) {
    rs_signature_t* sums = nullptr;
    rs_result r = rs_loadsig_file(f[0], &sums, nullptr);
    if (r == RS_DONE) r = rs_build_hash_table(sums);
    if (r == RS_DONE) r = rs_delta_file(sums, f[1], f[2], nullptr);
    if (sums != nullptr) rs_free_sumset(sums);
    return r;
  });
}

bool LibPatch(const std::string& basis, const std::string& delta, const std::string& out) {
  return WithFiles({{basis, "rbe"}, {delta, "rbe"}, {out, "wbe"}},
                   [](std::vector<FILE*>& f) { return rs_patch_file(f[0], f[1], f[2], nullptr); });
}

bool OurSignature(const std::string& in, const std::string& sig) {
  SimpleFileReader r;
  r.setFile(in.c_str());
  r.setSignature(sig.c_str(), 2048, 8);
  return r.readFile() == 0;
}

bool OurDelta(const std::string& sig, const std::string& in, const std::string& delta) {
  SimpleFileReader r;
  r.setFile(in.c_str());
  r.setDelta(delta.c_str(), sig.c_str());
  return r.readFile() == 0;
}

bool OurPatch(const std::string& basis, const std::string& delta, const std::string& out) {
  DeltaFileReader r;
  r.setFile(delta.c_str(), basis.c_str());
  r.setNewFile(out.c_str());
  return r.readFile() == 0;
}

struct Row {
  unsigned size_mib;
  std::string op;
  std::string scenario;
  Pair p;
};

std::vector<Row> g_rows;

void Report(unsigned size, const std::string& op, const std::string& scenario, const Pair& p) {
  printf("%4u MiB  %-9s %-9s  ours %8.4f s  librsync %8.4f s  speed-up %5.2fx  memory ours %+7.2f MiB  librsync "
         "%+7.2f MiB\n",
         size, op.c_str(), scenario.c_str(), p.ours.seconds, p.theirs.seconds, p.theirs.seconds / p.ours.seconds,
         p.ours.mem_mib, p.theirs.mem_mib);
  fflush(stdout);
  g_rows.push_back({size, op, scenario, p});
}

void RunSize(const Options& opt, const std::string& dir, unsigned size_mib) {
  const size_t size = size_mib * kMiB;
  std::string basis(size, '\0');
  FillRandom(basis, size_mib);
  const std::string b = dir + "/basis";
  if (!WriteFile(b, basis)) {
    Fail("cannot write " + b);
    return;
  }

  // Signature of the basis.
  const std::string sig_ours = dir + "/basis.sig.ours", sig_lib = dir + "/basis.sig.librsync";
  if (opt.Has("signature")) {
    Report(size_mib, "signature", "random",
           Compare(
               opt, [&] { return OurSignature(b, sig_ours); }, [&] { return LibSignature(b, sig_lib); },
               "signature"));
  } else if (!OurSignature(b, sig_ours) || !LibSignature(b, sig_lib)) {
    Fail("signature");
  }
  std::string s1, s2;
  if (!ReadFile(sig_ours, s1) || !ReadFile(sig_lib, s2) || s1 != s2) Fail("signatures differ");

  struct Scenario {
    const char* name;
    std::function<std::string()> make;
  };
  const Scenario scenarios[] = {
      {"identical", [&] { return basis; }},
      {"no-match",
       [&] {
         std::string s(size, '\0');
         FillRandom(s, 1000 + size_mib);
         return s;
       }},
      {"sparse",
       [&] {
         std::string s;
         s.reserve(size + 50 * 100);
         std::string insert(100, '\0');
         const size_t step = size / 50;
         for (size_t i = 0; i < 50; ++i) {
           s.append(basis, i * step, step);
           FillRandom(insert, 2000 + i);
           s += insert;
         }
         s.append(basis, 50 * step, std::string::npos);
         return s;
       }},
      {"dense",
       [&] {
         std::string s = basis;
         std::string change(16, '\0');
         for (size_t at = 0; at + 16 <= s.size(); at += 8192) {
           FillRandom(change, at);
           s.replace(at, 16, change);
         }
         return s;
       }},
  };
  for (const Scenario& sc : scenarios) {
    const std::string fresh = sc.make();
    const std::string n = dir + "/new";
    if (!WriteFile(n, fresh)) {
      Fail("cannot write " + n);
      continue;
    }
    const std::string d_ours = dir + "/delta.ours", d_lib = dir + "/delta.librsync";
    if (opt.Has("delta")) {
      Report(size_mib, "delta", sc.name,
             Compare(
                 opt, [&] { return OurDelta(sig_ours, n, d_ours); }, [&] { return LibDelta(sig_lib, n, d_lib); },
                 "delta"));
    } else if (!OurDelta(sig_ours, n, d_ours) || !LibDelta(sig_lib, n, d_lib)) {
      Fail("delta");
    }
    const std::string o_ours = dir + "/out.ours", o_lib = dir + "/out.librsync";
    // Both patchers on the same librsync-made delta.
    if (opt.Has("patch")) {
      Report(size_mib, "patch", sc.name,
             Compare(
                 opt, [&] { return OurPatch(b, d_lib, o_ours); }, [&] { return LibPatch(b, d_lib, o_lib); },
                 "patch"));
    } else if (!OurPatch(b, d_lib, o_ours) || !LibPatch(b, d_lib, o_lib)) {
      Fail("patch");
    }
    CheckSame(o_ours, fresh, std::string("our patch of librsync's delta, ") + sc.name);
    CheckSame(o_lib, fresh, std::string("librsync's patch of its delta, ") + sc.name);
    if (!LibPatch(b, d_ours, o_lib)) Fail(std::string("librsync cannot patch our delta, ") + sc.name);
    CheckSame(o_lib, fresh, std::string("librsync's patch of our delta, ") + sc.name);
    for (const std::string& f : {d_ours, d_lib, o_ours, o_lib, n}) unlink(f.c_str());
  }
  for (const std::string& f : {b, sig_ours, sig_lib}) unlink(f.c_str());
}

// The targets at 256 MiB: speed-ups and memory growth beyond librsync's,
// apart from the 1 MiB buffers of the design (input chunk; for patching the
// delta ring and the transfer buffer).
bool CheckTargets() {
  bool met = true;
  bool any = false;
  for (const Row& r : g_rows) {
    if (r.size_mib != 256) continue;
    any = true;
    const double speedup = r.p.theirs.seconds / r.p.ours.seconds;
    double need = 0;
    if (r.op == "signature" || r.op == "patch") need = 1.0;
    if (r.op == "delta" && (r.scenario == "no-match" || r.scenario == "sparse")) need = 1.5;
    const double allowance = r.op == "patch" ? 2.0 : 1.0;
    const bool speed_ok = speedup >= need;
    const bool mem_ok = r.p.ours.mem_mib <= r.p.theirs.mem_mib + allowance;
    printf("target %-9s %-9s speed-up %5.2fx (need %.1fx) %s, memory %+.2f MiB vs %+.2f MiB + %.0f MiB %s\n",
           r.op.c_str(), r.scenario.c_str(), speedup, need, speed_ok ? "met" : "MISSED", r.p.ours.mem_mib,
           r.p.theirs.mem_mib, allowance, mem_ok ? "met" : "MISSED");
    met = met && speed_ok && mem_ok;
  }
  return !any || met;
}

bool ParseOptions(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--enforce") {
      opt.enforce = true;
    } else if (i + 1 < argc && a == "--runs") {
      opt.runs = atoi(argv[++i]);
    } else if (i + 1 < argc && a == "--ops") {
      opt.ops = argv[++i];
    } else if (i + 1 < argc && a == "--dir") {
      opt.dir = argv[++i];
      opt.dir_given = true;
    } else if (i + 1 < argc && a == "--sizes") {
      opt.sizes.clear();
      std::string list = argv[++i];
      for (size_t at = 0; at < list.size();) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        opt.sizes.push_back(static_cast<unsigned>(atoi(list.substr(at, comma - at).c_str())));
        at = comma + 1;
      }
    } else {
      fprintf(stderr, "usage: %s [--sizes 1,16,256] [--runs 5] [--ops signature,delta,patch] [--dir /dev/shm] [--enforce]\n", argv[0]);
      return false;
    }
  }
  return opt.runs >= 1 && !opt.sizes.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, opt)) return 64;
  benchsupport::FreshPagesPerRun();
  std::string dir;
  if (!benchsupport::MakeScratchDir(opt.dir, "delta-bench", opt.dir_given, dir)) {
    perror("mkdtemp");
    return 1;
  }
  for (unsigned size : opt.sizes) RunSize(opt, dir, size);
  rmdir(dir.c_str());

  const bool met = CheckTargets();
  if (g_failures > 0) {
    fprintf(stderr, "%d check(s) failed\n", g_failures);
    return 1;
  }
  return opt.enforce && !met ? 2 : 0;
}
