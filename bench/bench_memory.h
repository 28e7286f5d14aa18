// Resident memory of the running process for the timed comparison programs:
// the figures of /proc/self/status and a reset of the resident peak, so that
// an operation's peak growth is VmHWM after it minus VmRSS before it.
#ifndef BENCH_BENCH_MEMORY_H_
#define BENCH_BENCH_MEMORY_H_

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace benchmem {

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

}  // namespace benchmem

#endif  // BENCH_BENCH_MEMORY_H_
