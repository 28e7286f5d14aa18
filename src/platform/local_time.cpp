#include "platform/local_time.h"

#include <locale.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<time_t (*)()> g_clock{nullptr};

// One "C" locale object for the life of the process; never freed, so it stays
// valid for loggers that run during static destruction.
locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

time_t CurrentTime() {
  time_t (*clock)() = g_clock.load(std::memory_order_acquire);
  return clock ? clock() : time(nullptr);
}

void SetClockForTest(time_t (*clock)()) { g_clock.store(clock, std::memory_order_release); }

int FormatLocalTime(time_t t, const char* format, char* buf, size_t size) {
  if (size == 0) return -1;
  buf[0] = '\0';
  struct tm tm_local;
  if (localtime_r(&t, &tm_local) == nullptr) return -1;
  locale_t loc = CLocale();
  if (loc == static_cast<locale_t>(0)) return -1;
  // strftime_l: unlike strftime, -Wformat=2 accepts a non-literal format here.
  size_t n = strftime_l(buf, size, format, &tm_local, loc);
  if (n == 0 && format[0] != '\0') {
    buf[0] = '\0';
    return -1;
  }
  return static_cast<int>(n);
}

}  // namespace platform
