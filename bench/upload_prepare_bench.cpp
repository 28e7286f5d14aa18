// The upload's preparation of a large known file, side by side with the
// tools that make the same outputs: Worker::PrepareFileBlock of a file whose
// record has a stored signature and which changed in 1 of every 100 blocks
// (16 bytes inside each), against `openssl dgst -md4` (the content hash),
// `rdiff signature` (the new signature) and `rdiff delta` (the delta against
// the recorded signature) on the same file. The worker reads the file once
// for all three; the target is at most 0.9x the sum of the three tools.
//
// One warm-up, then `runs` alternating runs; medians of the times. CPU time
// is the process's own (getrusage) for ours and the children's (wait4) for
// the tools. Memory is PrepareFileBlock's peak resident growth (VmHWM after
// it minus VmRSS before it, the peak reset through /proc/self/clear_refs):
// the recorded signature loaded for the delta, with the read buffers; beside
// it the peak resident size of `rdiff delta`, which loads the same
// signature.
//
// Outside the timing the results are checked: our hash equals openssl's,
// our signature equals rdiff's byte for byte, and `rdiff patch` of the basis
// with our delta gives the new file. A failed check makes the exit status 1;
// with --enforce, a missed target makes it 2.
//
//   upload_prepare_bench [--mib 256] [--runs 5] [--dir /dev/shm] [--enforce]
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "foundation/temp_file.h"
#include "protocol/pobject.h"
#include "session/file_event_db.h"
#include "support/command.h"
#include "support/worker_rig.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMiB = 1u << 20;
constexpr size_t kBlock = 2048;     // the signature's block size
constexpr size_t kChangeEvery = 100;  // blocks: 1% changed
constexpr size_t kChangeBytes = 16;

struct Options {
  unsigned mib = 256;
  int runs = 5;
  std::string dir = "/dev/shm";
  bool dir_given = false;
  bool enforce = false;
};

int g_failures = 0;

void Fail(const std::string& what) {
  fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
  ++g_failures;
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

double CpuSeconds(const rusage& ru) { return Seconds(ru.ru_utime) + Seconds(ru.ru_stime); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool Spill(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return out.good();
}

// Deterministic pseudo-random bytes (xorshift64*), 8 at a time.
void FillRandom(char* at, size_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; i += 8) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    const uint64_t v = x * 0x2545F4914F6CDD1Dull;
    memcpy(at + i, &v, std::min<size_t>(8, n - i));
  }
}

// One run of a tool: its wall time, its CPU time and its peak resident size.
struct ToolRun {
  double seconds = 0;
  double cpu = 0;
  double max_rss_mib = 0;
};

// Runs argv (looked up in PATH) with standard output into `out`, without a
// shell, and waits for it.
ToolRun RunTool(const std::vector<std::string>& argv, const std::string& out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ToolRun run;
  const auto start = Clock::now();
  pid_t pid = -1;
  int status = -1;
  rusage ru{};
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0 || wait4(pid, &status, 0, &ru) != pid) {
    Fail("cannot run " + argv[0]);
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail(argv[0] + " " + argv[1] + " failed");
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  run.cpu = CpuSeconds(ru);
  run.max_rss_mib = ru.ru_maxrss / 1024.0;  // KiB on Linux
  return run;
}

// The same outputs by the three tools: hash text, new signature, delta.
struct AnchorRun {
  ToolRun md4, signature, delta;
  double Seconds() const { return md4.seconds + signature.seconds + delta.seconds; }
  double Cpu() const { return md4.cpu + signature.cpu + delta.cpu; }
};

AnchorRun RunAnchor(const std::string& file, const std::string& basis_sig, const std::string& work) {
  AnchorRun a;
  a.md4 = RunTool({"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r", file},
                  work + "/anchor.md4");
  a.signature = RunTool({"rdiff", "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", file,
                         work + "/anchor.sig"},
                        "/dev/null");
  a.delta = RunTool({"rdiff", "-f", "delta", basis_sig, file, work + "/anchor.delta"}, "/dev/null");
  return a;
}

// One PrepareFileBlock of the known file, as an upload's worker makes it.
struct OurRun {
  double seconds = 0;
  double cpu = 0;
  double mem_mib = 0;
  std::string hash;
  std::string signature;  // the bytes of the new signature
  std::string delta;      // the delta file's path, left on disk
};

OurRun RunOurs(testsupport::WorkerRig& rig, const std::string& rel, bool known = true) {
  testsupport::ScriptedWorker& w = rig.holding(rig.localEvent(Event::EV_MODIFY, rel));
  PObject request;
  TempFile sign(w.context.sign_directory);
  OurRun run;
  if (!benchsupport::ResetPeak()) Fail("cannot reset the resident peak");
  const long before = benchsupport::StatusKiB("VmRSS");
  rusage ru0{}, ru1{};
  getrusage(RUSAGE_SELF, &ru0);
  const auto start = Clock::now();
  const ErrorCode rc = w.PrepareFileBlock(request, sign);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  getrusage(RUSAGE_SELF, &ru1);
  run.mem_mib = (benchsupport::StatusKiB("VmHWM") - before) / 1024.0;
  run.cpu = CpuSeconds(ru1) - CpuSeconds(ru0);
  if (rc != ERR_OK) {
    Fail("PrepareFileBlock returned " + std::to_string(ErrorNumber(rc)));
    return run;
  }
  const PObject& file = request["file"];
  if (file["is_delta"].asBool() != known) Fail(known ? "PrepareFileBlock made no delta" : "a delta without a record");
  run.hash = file["hash"].asString().c_str_utf8();
  run.signature = Slurp(sign.getPath().c_str_utf8());
  if (known) run.delta = file["data"].asBinary().path.c_str_utf8();
  return run;
}

bool ParseOptions(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--enforce") {
      opt.enforce = true;
    } else if (i + 1 < argc && a == "--runs") {
      opt.runs = atoi(argv[++i]);
    } else if (i + 1 < argc && a == "--mib") {
      opt.mib = static_cast<unsigned>(atoi(argv[++i]));
    } else if (i + 1 < argc && a == "--dir") {
      opt.dir = argv[++i];
      opt.dir_given = true;
    } else {
      fprintf(stderr, "usage: %s [--mib 256] [--runs 5] [--dir /dev/shm] [--enforce]\n", argv[0]);
      return false;
    }
  }
  return opt.runs >= 1 && opt.mib >= 1;
}

int Run(const Options& opt, const std::string& root) {
  testsupport::WorkerRig::Options rig_options;
  rig_options.log_levels = "";  // the default thresholds: no line per block
  testsupport::WorkerRig rig(root, rig_options);
  const std::string work = root + "/bench";
  if (mkdir(work.c_str(), 0700) != 0) {
    Fail("cannot make " + work);
    return 1;
  }
  const std::string rel = "/big";
  const std::string file = rig.local(rel);
  const std::string basis = work + "/basis", basis_sig = work + "/basis.sig";
  const size_t size = opt.mib * kMiB;
  size_t changed = 0;
  {
    std::string bytes(size, '\0');
    FillRandom(bytes.data(), size, opt.mib);
    if (!Spill(basis, bytes)) Fail("cannot write " + basis);
    for (size_t at = 0; at < size; at += kChangeEvery * kBlock, ++changed) {
      FillRandom(bytes.data() + at + kBlock / 2, kChangeBytes, 1000 + at);
    }
    if (!Spill(file, bytes)) Fail("cannot write " + file);
  }
  // The record of the basis as an earlier upload left it: its hash, size
  // and an older time, and rdiff's signature of it (the same bytes ours).
  const auto sig = testsupport::RunCommand(
      {"rdiff", "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", basis, basis_sig});
  const auto md4 = testsupport::RunCommand(
      {"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r", basis});
  if (sig.exit_code != 0 || md4.exit_code != 0) {
    Fail("rdiff or openssl: " + sig.err + md4.err);
    return 1;
  }
  const std::string recorded_sig = work + "/recorded.sig";
  std::filesystem::copy_file(basis_sig, recorded_sig);
  DBFileInfo record;
  record.path = rel.c_str();
  record.syncID = record.maxSyncID = 100;
  record.fileSize = size;
  record.fileModTime = 1000000000;
  record.fileCheckSum = md4.out.substr(0, md4.out.find(' ')).c_str();
  record.signaturePath = recorded_sig.c_str();  // moved into the signature folder
  if (rig.eventDb().setEventInfo(record) != 0) Fail("cannot store the record");

  std::vector<double> ours_s, ours_cpu, anchor_s, anchor_cpu, md4_s, sig_s, delta_s;
  double ours_mem = 0, rdiff_delta_rss = 0;
  std::string first_hash;
  for (int i = 0; i <= opt.runs; ++i) {
    const AnchorRun a = RunAnchor(file, basis_sig, work);
    const OurRun o = RunOurs(rig, rel);
    if (i == 0) {
      first_hash = o.hash;
      // The first run's outputs against the tools'.
      const std::string anchor_md4 = Slurp(work + "/anchor.md4");
      if (o.hash.empty() || anchor_md4.compare(0, o.hash.size() + 1, o.hash + " ") != 0) {
        Fail("hash " + o.hash + " differs from openssl's " + anchor_md4);
      }
      if (o.signature.empty() || o.signature != Slurp(work + "/anchor.sig")) Fail("signature differs from rdiff's");
      const std::string patched = work + "/patched";
      const auto patch = testsupport::RunCommand({"rdiff", "-f", "patch", basis, o.delta, patched});
      const auto cmp = testsupport::RunCommand({"cmp", patched, file});
      if (patch.exit_code != 0 || cmp.exit_code != 0) Fail("rdiff patch of our delta: " + patch.err + cmp.out);
      unlink(patched.c_str());
    }
    if (!o.delta.empty()) unlink(o.delta.c_str());
    if (i == 0) continue;  // warm-up
    ours_s.push_back(o.seconds);
    ours_cpu.push_back(o.cpu);
    anchor_s.push_back(a.Seconds());
    anchor_cpu.push_back(a.Cpu());
    md4_s.push_back(a.md4.seconds);
    sig_s.push_back(a.signature.seconds);
    delta_s.push_back(a.delta.seconds);
    ours_mem = std::max(ours_mem, o.mem_mib);
    rdiff_delta_rss = std::max(rdiff_delta_rss, a.delta.max_rss_mib);
  }
  // The same file without a record (a hard link of it): hash and signature
  // alone, no signature loaded.
  const std::string unknown = "/unknown";
  if (link(file.c_str(), rig.local(unknown).c_str()) != 0) Fail("cannot link " + unknown);
  const OurRun plain = RunOurs(rig, unknown, false);
  if (plain.hash != first_hash) Fail("the hash differs without a record");
  if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) Fail("the worker rig reported a failure");

  const double ours = Median(ours_s), anchor = Median(anchor_s);
  const double ratio = ours / anchor;
  const bool met = ratio <= 0.9;
  struct stat st{};
  const double sig_mib = stat(basis_sig.c_str(), &st) == 0 ? st.st_size / static_cast<double>(kMiB) : 0;
  printf("PrepareFileBlock of %u MiB, %zu of %zu blocks changed, median of %d runs\n", opt.mib, changed,
         (size + kBlock - 1) / kBlock, opt.runs);
  printf("  ours    %8.4f s  %7.1f MiB/s  CPU %8.4f s  peak resident growth %+.2f MiB (signature file %.2f MiB)\n",
         ours, opt.mib / ours, Median(ours_cpu), ours_mem, sig_mib);
  printf("  without a record (hash and signature, nothing loaded): %.4f s, peak resident growth %+.2f MiB; "
         "the loaded signature thus %+.2f MiB\n",
         plain.seconds, plain.mem_mib, ours_mem - plain.mem_mib);
  printf("  anchor  %8.4f s  %7.1f MiB/s  CPU %8.4f s  (openssl md4 %.4f s, rdiff signature %.4f s, rdiff delta "
         "%.4f s; rdiff delta peak resident %.2f MiB)\n",
         anchor, opt.mib / anchor, Median(anchor_cpu), Median(md4_s), Median(sig_s), Median(delta_s),
         rdiff_delta_rss);
  printf("target ours / anchor %.3f (need <= 0.90) %s\n", ratio, met ? "met" : "MISSED");
  for (const char* f : {"/basis", "/basis.sig", "/anchor.md4", "/anchor.sig", "/anchor.delta"}) {
    unlink((work + f).c_str());
  }
  if (g_failures > 0) {
    fprintf(stderr, "%d check(s) failed\n", g_failures);
    return 1;
  }
  return opt.enforce && !met ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, opt)) return 64;
  benchsupport::FreshPagesPerRun();
  std::string root;
  if (!benchsupport::MakeScratchDir(opt.dir, "upload-prepare-bench", opt.dir_given, root)) {
    perror("mkdtemp");
    return 1;
  }
  const int rc = Run(opt, root);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return rc;
}
