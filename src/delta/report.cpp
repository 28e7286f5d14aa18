#include "delta/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

void delta_report(const char* format, ...) {
  const int saved = errno;
  va_list args;
  va_start(args, format);
  // A lost diagnostic line must not change the engine's result: the return
  // value of vfprintf is deliberately not looked at.
  vfprintf(stderr, format, args);
  va_end(args);
  errno = saved;
}
