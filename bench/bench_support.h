// Helpers of the timed comparison programs: resident memory of the running
// process (the figures of /proc/self/status and a reset of the resident
// peak, so that an operation's peak growth is VmHWM after it minus VmRSS
// before it) and their scratch folder.
#ifndef BENCH_BENCH_SUPPORT_H_
#define BENCH_BENCH_SUPPORT_H_

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace benchsupport {

// Value of a "Name:   123 kB" line of /proc/self/status, in KiB; -1 when
// there is none.
inline long StatusKiB(const char* name) {
  FILE* f = fopen("/proc/self/status", "re");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t len = strlen(name);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, name, len) == 0 && line[len] == ':') {
      value = strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

// Sets VmHWM back to the current VmRSS; false when the kernel refuses.
inline bool ResetPeak() {
  FILE* f = fopen("/proc/self/clear_refs", "we");
  if (f == nullptr) return false;
  const bool ok = fputs("5", f) >= 0;
  return fclose(f) == 0 && ok;
}

// Fixed thresholds: large blocks always come from (and go back to) mmap,
// so every run's growth is measured afresh instead of reusing the heap pages
// an earlier run left behind. Call first in main.
inline void FreshPagesPerRun() {
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

// Makes a new folder <base>/<stem>-XXXXXX into `out`. When that fails and
// the base was not named by the user (no usable /dev/shm: a container may
// lack one), the temporary folder ($TMPDIR, else /tmp) serves instead.
inline bool MakeScratchDir(const std::string& base, const char* stem, bool base_given, std::string& out) {
  auto make = [&out, stem](const std::string& in) {
    std::string t = in + "/" + stem + "-XXXXXX";
    if (mkdtemp(t.data()) == nullptr) return false;
    out = t;
    return true;
  };
  if (make(base)) return true;
  const char* tmp = getenv("TMPDIR");
  return !base_given && make(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
}

}  // namespace benchsupport

#endif  // BENCH_BENCH_SUPPORT_H_
