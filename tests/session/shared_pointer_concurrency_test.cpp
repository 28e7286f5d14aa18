#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "session/shared_pointer.h"

namespace {

struct Counted {
  static std::atomic<int> live;
  Counted() { ++live; }
  ~Counted() { --live; }
  std::atomic<int> uses{0};
};
std::atomic<int> Counted::live{0};

TEST(SharedPointerConcurrencyTest, CopiesAcrossEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    {
      shared_pointer<Counted> origin;
      origin = new Counted;
      for (int t = 0; t < kThreads; ++t) {
        // Each thread gets its own copy, then copies, assigns and drops
        // further copies while the others do the same.
        threads.emplace_back([mine = origin]() mutable {
          shared_pointer<Counted> local;
          for (int i = 0; i < 50; ++i) {
            shared_pointer<Counted> copy(mine);
            local = copy;
            local->uses.fetch_add(1, std::memory_order_relaxed);
          }
        });
      }
      // The origin goes first: the threads' copies keep the object.
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(0, Counted::live.load()) << "round " << round;
  }
}

}  // namespace
