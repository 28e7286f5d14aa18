// The pending-event tree under concurrent pushers, tasks and a count
// reader, then drained: it must end as a bare root with zero counts, and no
// event may be handed to two tasks at once.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event_list2_view.h"
#include "foundation/logger.h"
#include "session/event_list2.h"
#include "support/temp_dir.h"

namespace event_list2_test {
namespace {

constexpr int kPushers = 4;
constexpr int kTasks = 4;
constexpr int kPushesEach = 40000;

std::vector<std::string> Paths() {
  std::vector<std::string> paths = {"/"};
  std::vector<std::string> level = {""};
  for (int depth = 1; depth <= 3; ++depth) {
    std::vector<std::string> next;
    for (const std::string& p : level) {
      for (const char* n : {"a", "b", "c"}) next.push_back(p + "/" + n);
    }
    paths.insert(paths.end(), next.begin(), next.end());
    level = next;
  }
  return paths;
}

class HeldSet {
 public:
  // false when another task holds the same node.
  bool Take(const Event& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.insert(Key(e)).second;
  }
  void Give(const Event& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(Key(e));
  }

 private:
  static std::pair<std::string, bool> Key(const Event& e) {
    std::string p = e.m_path.c_str_utf8();
    return {p, p == "/" || e.isDir()};
  }
  std::mutex mutex_;
  std::set<std::pair<std::string, bool>> held_;
};

TEST(EventTreeConcurrencyTest, PushersTasksAndACountReaderThenDrain) {
  // The refused root done events of this mix log warnings: into a file.
  testsupport::TempDir dir;
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, (dir.path() + "/test.log").c_str(), "", 50));
  EventList2 tree;
  const std::vector<std::string> paths = Paths();
  HeldSet held;
  std::atomic<int> pushers_left{kPushers};
  std::atomic<bool> tasks_done{false};
  std::atomic<long> handed{0}, finished{0}, redone{0}, retried{0};

  std::vector<std::thread> threads;
  for (int p = 0; p < kPushers; ++p) {
    threads.emplace_back([&, p] {
      std::mt19937_64 rng(100 + p);
      for (int i = 0; i < kPushesEach; ++i) {
        const std::string& path = paths[rng() % paths.size()];
        const bool dir = path == "/" || rng() % 2 == 0;
        const bool server = rng() % 2 == 0;
        Event e = Ev(path, static_cast<Event::Type>(1 + rng() % 4), (dir ? kDir : 0u) | (server ? kServer : 0u),
                     server ? (rng() % 16 == 0 ? MAX_SYNC_ID : 1 + rng() % 100) : 0);
        EXPECT_EQ(0, tree.Push(e));
        if (i % 8 == 0) std::this_thread::yield();  // let the tasks in between
      }
      --pushers_left;
    });
  }

  for (int t = 0; t < kTasks; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(200 + t);
      for (;;) {
        Event ev;
        if (tree.Pop(ev) != 0) {
          if (pushers_left == 0 && tree.IsEmpty()) return;
          std::this_thread::yield();
          continue;
        }
        ++handed;
        EXPECT_TRUE(held.Take(ev)) << "handed out twice: " << ev.toString().c_str_utf8();
        for (;;) {
          // A little work, so that newer events of the path can merge in.
          for (int k = 0; k < 4; ++k) std::this_thread::yield();
          // Given back before the tree can hand the node to another task.
          held.Give(ev);
          if (rng() % 10 == 0) {
            EXPECT_EQ(0, tree.Redo(ev.m_path, ev.isDir())) << ev.toString().c_str_utf8();
            ++redone;
            break;
          }
          if (tree.DoneEvent(ev) == 0) {
            ++finished;
            break;
          }
          Event next;
          ASSERT_EQ(0, tree.Pop(ev.m_path, ev.isDir(), next)) << ev.toString().c_str_utf8();
          ++retried;
          ev = next;
          EXPECT_TRUE(held.Take(ev)) << "handed out twice: " << ev.toString().c_str_utf8();
        }
      }
    });
  }

  std::thread reader([&] {
    long reads = 0;
    while (!tasks_done) {
      int local = tree.GetLocalEventCount();
      int server = tree.GetServerEventCount();
      EXPECT_GE(local, 0);
      EXPECT_GE(server, 0);
      (void)tree.IsEmpty();
      if (++reads % 32 == 0) std::this_thread::yield();
    }
  });

  for (auto& th : threads) th.join();
  tasks_done = true;
  reader.join();

  Event left;
  EXPECT_EQ(-1, tree.Pop(left));
  EXPECT_EQ(std::vector<std::string>{"D / DONE"}, EventList2Inspector::Shape(tree));
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(0, tree.GetLocalEventCount());
  EXPECT_EQ(0, tree.GetServerEventCount());
  auto nodes = EventList2Inspector::Nodes(tree);
  EXPECT_EQ(0, nodes[0].ref_local);
  EXPECT_EQ(0, nodes[0].ref_server);
  // How much the tasks got between the pushes depends on the scheduler.
  EXPECT_GT(handed.load(), 0);
  EXPECT_GT(finished.load(), 0);
  std::printf("handed %ld, finished %ld, redone %ld, retried %ld\n", handed.load(), finished.load(),
              redone.load(), retried.load());
}

}  // namespace
}  // namespace event_list2_test
