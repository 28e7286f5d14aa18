#include "server/road_clock.h"

#include <time.h>

#include <atomic>

namespace road_clock {

namespace {
constexpr uint32_t kBase = uint32_t{1} << 30;
std::atomic<uint32_t> test_offset{0};
}  // namespace

uint32_t Now() {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return kBase + static_cast<uint32_t>(ts.tv_sec) + test_offset.load(std::memory_order_relaxed);
}

void AdvanceForTest(uint32_t seconds) { test_offset.fetch_add(seconds, std::memory_order_relaxed); }

}  // namespace road_clock
