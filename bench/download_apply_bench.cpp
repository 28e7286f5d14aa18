// The worker's application of a downloaded delta beside rdiff's patch of the
// same delta: a timed side-by-side program, not a Google Benchmark.
//
// The basis is random; the new file is the basis with 1% of its 2048-byte
// blocks changed (every 100th, 64 bytes each). rdiff makes the signature (in
// the worker's format) and the delta once. Then, alternately, runs of:
//  - anchor: `rdiff -f patch basis delta out`;
//  - worker: Worker::ProcessDownloadFile of a delta reply for the local file
//    (the basis, recorded): the rebuild with its MD4 and new signature, the
//    conflict test's MD4 of the basis, the fsync and the rename into place.
// The median of the runs after a warm-up. Outside the timing, each result is
// compared with the new file and the local file is put back to the basis.
// The worker's bytes read and written (/proc/self/io rchar and wchar) are
// reported per MiB of the file, and for scale the time of one MD4 of the
// file (the worker makes two: of the result and of the basis). Target:
// worker at most 2.0x the anchor.
//
//   download_apply_bench [--size 256] [--runs 5] [--dir /dev/shm] [--enforce]
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "delta/simple_file_reader.h"
#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "foundation/temp_file.h"
#include "server/connection_manager.h"
#include "session/detector.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"
#include "session/session_path.h"
#include "worker/worker.h"

namespace {

using Clock = std::chrono::steady_clock;
using ull = unsigned long long;
constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kBlock = 2048;
constexpr uint32_t kMtime = 1600000000;

struct Options {
  unsigned size_mib = 256;
  int runs = 5;
  std::string dir = "/dev/shm";
  bool dir_given = false;
  bool enforce = false;
};

bool ParseOptions(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--size" && has_value) {
      opt.size_mib = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--runs" && has_value) {
      opt.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && has_value) {
      opt.dir = argv[++i];
      opt.dir_given = true;
    } else if (a == "--enforce") {
      opt.enforce = true;
    } else {
      fprintf(stderr, "usage: %s [--size MiB] [--runs N] [--dir DIR] [--enforce]\n", argv[0]);
      return false;
    }
  }
  return opt.size_mib > 0;
}

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "CHECK FAILED: %s\n", what);
    ++g_failures;
  }
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Run(const std::string& command) { return std::system(command.c_str()); }

// This process's bytes read and written through system calls.
void ProcIo(ull& rchar, ull& wchar) {
  rchar = wchar = 0;
  FILE* f = fopen("/proc/self/io", "re");
  if (f == nullptr) return;
  char key[32];
  ull value;
  while (fscanf(f, "%31s %llu", key, &value) == 2) {
    if (std::strcmp(key, "rchar:") == 0) rchar = value;
    if (std::strcmp(key, "wchar:") == 0) wchar = value;
  }
  fclose(f);
}

std::string Md4(const std::string& path, const std::string& sign = "") {
  ustring md4;
  SimpleFileReader reader;
  reader.setFile(path.c_str());
  reader.setHashString(md4);
  if (!sign.empty()) reader.setSignature(sign.c_str(), kBlock, 8);
  return reader.readFile() < 0 ? std::string() : std::string(md4.c_str_utf8());
}

// The process-wide queue, registry, connections and rules, as the daemon
// hands them to its workers, with a generator on that queue, a reporter on
// the process-wide notifier and the process-wide file-status rows.
Worker::Collaborators ProcessCollaborators() {
  static EventGenerator generator(*EventManager::getInstance());
  static UiReporter ui(UiNotifier::getInstance());
  static FileStatusDBRows file_status;
  return Worker::Collaborators{*EventManager::getInstance(),      Registry::getInstance(),
                               *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                               *BlackList2::getInstance(),        file_status,
                               ui,                                generator};
}

class ApplyWorker : public Worker {
 public:
  ApplyWorker() : Worker(nullptr, nullptr, ProcessCollaborators()) {}
  using Worker::context;
  using Worker::ProcessDownloadFile;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// What the working folder holds beyond its (empty) recycle folder, which the
// worker makes when it checks the folder before a write.
std::vector<std::string> LeftInWorkingFolder(const std::string& work) {
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(work)) {
    if (e.path().filename() == kRecycleDirName && e.is_directory() && std::filesystem::is_empty(e.path())) continue;
    left.push_back(e.path().filename().string());
  }
  return left;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, opt)) return 64;
  std::string dir = opt.dir + "/download-apply-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    const char* base = getenv("TMPDIR");
    dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/download-apply-bench-XXXXXX";
    if (opt.dir_given || mkdtemp(dir.data()) == nullptr) {
      perror("mkdtemp");
      return 1;
    }
  }
  const std::string local = dir + "/local";
  const std::string work = local + "/" + kWorkingDirName;
  const std::string sign_dir = dir + "/sign";
  for (const std::string& d : {local, work, sign_dir}) mkdir(d.c_str(), 0700);
  WriteAll(dir + "/levels", "");
  if (Logger::Initialize(Logger::FILE_LOGGER, (dir + "/log").c_str(), (dir + "/levels").c_str(), 2) != 0) return 1;

  // The files and rdiff's delta.
  const size_t size = size_t{opt.size_mib} * kMiB;
  std::string basis(size, '\0');
  uint64_t x = 88172645463325252ull;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&basis[i], &x, 8);
  }
  std::string fresh = basis;
  size_t changed = 0;
  for (size_t b = 0; b * kBlock < size; b += 100, ++changed) {
    for (size_t k = 0; k < 64; ++k) fresh[b * kBlock + 100 + k] ^= 0x5A;
  }
  const std::string basis_path = dir + "/basis";
  const std::string new_path = dir + "/new";
  const std::string delta = dir + "/delta";
  const std::string out = dir + "/out";
  Check(WriteAll(basis_path, basis) && WriteAll(new_path, fresh), "write the files");
  // The worker's signature format: MD4 sums of 8 bytes, blocks of 2048.
  Check(Run("rdiff -H md4 -b 2048 -S 8 signature '" + basis_path + "' '" + dir + "/basis.sig'") == 0 &&
            Run("rdiff delta '" + dir + "/basis.sig' '" + new_path + "' '" + delta + "'") == 0,
        "rdiff signature and delta");
  struct stat dst;
  Check(stat(delta.c_str(), &dst) == 0, "the delta exists");
  const std::string new_md4 = Md4(new_path);
  const std::string basis_md4 = Md4(basis_path);
  printf("file %u MiB, %zu of %zu blocks changed, delta %.2f MiB\n", opt.size_mib, changed, size / kBlock,
         static_cast<double>(dst.st_size) / kMiB);

  // The worker: the local file is the recorded basis.
  ApplyWorker w;
  w.context.root_entry.local_path = local.c_str();  // its working folder is checked before each write
  w.context.working_directory = work.c_str();
  w.context.sign_directory = sign_dir.c_str();
  w.context.full_path = (local + "/f").c_str();
  w.context.current_event.m_path = "/f";
  DBFileInfo& rec = w.context.database_record;
  rec.isExist = 1;
  rec.syncID = 5;
  rec.maxSyncID = 5;
  rec.fileSize = size;
  rec.fileModTime = kMtime;
  rec.path = "/f";
  rec.fileCheckSum = basis_md4.c_str();
  auto put_back = [&] {
    Check(FSCopy(basis_path.c_str(), (local + "/f").c_str(), false) == 0, "copy the basis into place");
    Check(FSUTime((local + "/f").c_str(), kMtime, kMtime) == 0, "the basis's time");
  };

  std::vector<double> anchor_s;
  std::vector<double> worker_s;
  std::vector<double> md4_s;
  double read_per_mib = 0;
  double written_per_mib = 0;
  for (int run = 0; run <= opt.runs; ++run) {  // run 0 warms up
    const auto a0 = Clock::now();
    const int rc = Run("rdiff -f patch '" + basis_path + "' '" + delta + "' '" + out + "'");
    const double a = std::chrono::duration<double>(Clock::now() - a0).count();
    Check(rc == 0 && ReadAll(out) == fresh, "rdiff's output is the new file");
    unlink(out.c_str());

    put_back();
    PObject reply;
    reply["is_dir"] = 0ull;
    reply["file"]["size"] = static_cast<ull>(size);
    reply["file"]["hash"] = new_md4.c_str();
    reply["file"]["is_delta"] = 1ull;
    PObject::binary_type& body = reply["file"]["data"].asBinary();
    body.path = delta.c_str();
    body.length = static_cast<uint64_t>(dst.st_size);
    reply["mtime"]["mtime"] = static_cast<ull>(kMtime + 10);
    TempFile signature(sign_dir.c_str());
    ull r0, w0, r1, w1;
    ProcIo(r0, w0);
    const auto t0 = Clock::now();
    const auto result = w.ProcessDownloadFile(reply, signature);
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    ProcIo(r1, w1);
    Check(result.code == ERR_OK, "ProcessDownloadFile succeeds");
    Check(ReadAll(local + "/f") == fresh, "the worker's result is the new file");
    Check(Md4(new_path, dir + "/check.sig") == new_md4 && ReadAll(signature.getPath().c_str_utf8()) ==
                                                           ReadAll(dir + "/check.sig"),
          "the new signature is the new file's");
    Check(LeftInWorkingFolder(work).empty(), "nothing left in the working folder");
    const auto m0 = Clock::now();
    Check(Md4(new_path) == new_md4, "the MD4 again");
    const double m = std::chrono::duration<double>(Clock::now() - m0).count();
    if (run == 0) continue;
    md4_s.push_back(m);
    anchor_s.push_back(a);
    worker_s.push_back(t);
    read_per_mib = static_cast<double>(r1 - r0) / size;
    written_per_mib = static_cast<double>(w1 - w0) / size;
  }

  const double anchor = Median(anchor_s);
  const double worker = Median(worker_s);
  const double ratio = worker / anchor;
  printf("rdiff patch        median %8.3f s  (%.0f MiB/s)\n", anchor, opt.size_mib / anchor);
  printf("ProcessDownloadFile median %8.3f s  (%.0f MiB/s)\n", worker, opt.size_mib / worker);
  printf("worker / rdiff     %.2fx (target <= 2.00x)%s\n", ratio, ratio <= 2.0 ? "" : "  MISSED");
  printf("one MD4 of the file median %.3f s\n", Median(md4_s));
  printf("worker I/O per MiB of file: %.2f MiB read, %.2f MiB written\n", read_per_mib, written_per_mib);
  Logger::Destroy();
  std::filesystem::remove_all(dir);
  if (g_failures > 0) {
    fprintf(stderr, "%d check(s) failed\n", g_failures);
    return 1;
  }
  return opt.enforce && ratio > 2.0 ? 2 : 0;
}
