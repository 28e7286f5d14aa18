// UiNotifier: notifications leave the caller at once and in order, a user
// interface that listens and never accepts costs dropped lines (each logged
// and counted) but never a caller's time, and the event queue's pushes, pulls
// and dones keep their pace against such a user interface.
#include "session/ui_notifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "event_queue_fixture.h"
#include "session/ui_ipc.h"
#include "support/text_count.h"
#include "support/recording_task.h"
#include "support/stuck_listener.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

using testsupport::CountOf;

PObject Numbered(int thread, int seq) {
  PObject msg;
  msg["notify"] = "test";
  msg["thread"] = thread;
  msg["seq"] = seq;
  return msg;
}

// The user interface is the fixture's stand-in unless a case points the
// settings at a stuck listener. Warnings of the notifier only: a stuck one
// logs a line per dropped notification.
class UiNotifierTest : public EventQueueTest {
 protected:
  std::string LogLevels() const override { return "channel_ui_debug=4\n"; }

  void UseUiPort(int port) {
    WriteFile("ui.conf", "ui_port=" + std::to_string(port) + "\n");
    ASSERT_EQ(Settings::getInstance()->loadConfigSettings(Path("ui.conf").c_str()), 0);
  }
  std::string Log() { return ReadFile("test.log"); }
};

TEST_F(UiNotifierTest, NotificationsOfEachThreadArriveInTheOrderPosted) {
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  UiNotifier notifier(kThreads * kEach);
  ASSERT_TRUE(notifier.Start());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&notifier, t] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(notifier.Post(Numbered(t, i)), 0);
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(ui_->waitFor([](const std::vector<PObject>& m) { return m.size() >= kThreads * kEach; }, 30s))
      << ui_->messages().size() << " of " << kThreads * kEach << " arrived";
  notifier.Stop();

  std::map<int, int> next;
  for (const PObject& msg : ui_->messages()) {
    const int t = static_cast<int>(msg["thread"].asUInt64());
    EXPECT_EQ(static_cast<int>(msg["seq"].asUInt64()), next[t]++) << "thread " << t;
  }
  EXPECT_EQ(ui_->messages().size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(notifier.delivered(), static_cast<uint64_t>(kThreads * kEach));
  EXPECT_EQ(notifier.dropped(), 0u);
  EXPECT_EQ(notifier.failed(), 0u);
  EXPECT_FALSE(notifier.running());
}

TEST_F(UiNotifierTest, AStuckUserInterfaceCostsDroppedLinesNeverTheCallersTime) {
  testsupport::StuckListener stuck;
  ASSERT_TRUE(stuck.ok()) << stuck.error();
  UseUiPort(stuck.port());
  constexpr size_t kCapacity = 8;
  constexpr int kThreads = 2;
  constexpr int kEach = 50;
  UiNotifier notifier(kCapacity);
  ASSERT_TRUE(notifier.Start());

  // One delivery waits out the connect time-out (about 20 s); the posts must
  // not wait with it.
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&notifier, t] {
      for (int i = 0; i < kEach; ++i) (void)notifier.Post(Numbered(t, i));
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LT(Since(start), 3s);
  constexpr uint64_t kPosted = kThreads * kEach;
  // The queue holds kCapacity; at most one more is with the sender.
  EXPECT_GE(notifier.dropped(), kPosted - kCapacity - 1);
  EXPECT_EQ(CountOf(Log(), "notification dropped (the queue is full"), notifier.dropped()) << Log();

  const uint64_t dropped_full = notifier.dropped();
  const Clock::time_point stop = Clock::now();
  notifier.Stop();
  EXPECT_LT(Since(stop), UiNotifier::kStopGrace + 3s);
  EXPECT_FALSE(notifier.running());
  // Every notification is accounted for: none reached the user interface;
  // each was dropped (queue full, or left at the stop) or failed in delivery
  // (the one in flight, aborted by the stop).
  EXPECT_EQ(notifier.delivered(), 0u);
  EXPECT_EQ(notifier.dropped() + notifier.failed(), kPosted);
  EXPECT_LE(notifier.failed(), 1u);
  const std::string log = Log();
  EXPECT_EQ(CountOf(log, "notification dropped (the sender stopped"), notifier.dropped() - dropped_full) << log;
  EXPECT_EQ(CountOf(log, "is not sent"), notifier.failed()) << log;
}

TEST_F(UiNotifierTest, AfterStopNotificationsAreDeliveredOnTheCallersThread) {
  UiNotifier notifier(4);
  ASSERT_TRUE(notifier.Start());
  notifier.Stop();
  notifier.Stop();  // harmless
  EXPECT_EQ(notifier.Post(Numbered(0, 0)), 0);
  // Delivered before Post returned: the stand-in has it, or is reading it.
  ASSERT_TRUE(ui_->waitFor([](const std::vector<PObject>& m) { return m.size() == 1; }, 10s));
  EXPECT_EQ(notifier.delivered(), 0u);  // not through the sender
  // And a restart serves again.
  ASSERT_TRUE(notifier.Start());
  EXPECT_EQ(notifier.Post(Numbered(0, 1)), 0);
  ASSERT_TRUE(ui_->waitFor([](const std::vector<PObject>& m) { return m.size() == 2; }, 10s));
  notifier.Stop();
  EXPECT_EQ(notifier.delivered(), 1u);
}

// Two tasks take and finish events while a producer pushes, with the
// daemon's notifier running against a user interface that never accepts:
// each push reports "syncing_file", which used to open the connection under
// the queue's lock, so every push, pull and done waited out its connect
// time-out. Now the whole run takes a fraction of one time-out.
TEST_F(UiNotifierTest, TheEventQueueKeepsItsPaceAgainstAStuckUserInterface) {
  testsupport::StuckListener stuck;
  ASSERT_TRUE(stuck.ok()) << stuck.error();
  UseUiPort(stuck.port());
  AddSession(1, Path("s1"));
  EventManager& em = *EventManager::getInstance();
  UiNotifier& notifier = UiNotifier::getInstance();
  // The process-wide counters run on across the cases of a whole run.
  const uint64_t dropped_before = notifier.dropped();
  const uint64_t failed_before = notifier.failed();
  const uint64_t delivered_before = notifier.delivered();
  const size_t lines_before = CountOf(Log(), "notification dropped (");
  ASSERT_TRUE(notifier.Start());

  constexpr int kEvents = 200;
  std::atomic<int> done{0};
  const Clock::time_point start = Clock::now();
  std::thread producer([&] {
    for (int i = 0; i < kEvents; ++i) {
      Event ev;
      ev.m_sess_id = 1;
      ev.m_type = Event::EV_CREATE;
      ev.m_path = ("/f" + std::to_string(i)).c_str();
      em.PushLocalEvent(ev);
    }
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&] {
      testsupport::RecordingTask task;
      while (done.load() < kEvents && Since(start) < 15s) {
        Event ev;
        if (em.PullEvent(&task, ev) != 0) {
          std::this_thread::yield();
          continue;
        }
        Event newer;
        while (em.DoneEvent(&task, newer) == -1) {
        }
        done.fetch_add(1);
      }
    });
  }
  producer.join();
  for (std::thread& w : workers) w.join();
  const std::chrono::milliseconds took = Since(start);
  EXPECT_EQ(done.load(), kEvents);
  // One connect time-out alone is about 20 s.
  EXPECT_LT(took, 10s);

  notifier.Stop();
  // Every report was queued; at most one was in flight, the rest were
  // dropped at the stop, each with a line.
  const uint64_t dropped = notifier.dropped() - dropped_before;
  const uint64_t failed = notifier.failed() - failed_before;
  EXPECT_EQ(notifier.delivered(), delivered_before);
  EXPECT_EQ(dropped + failed, static_cast<uint64_t>(kEvents));
  EXPECT_LE(failed, 1u);
  EXPECT_EQ(CountOf(Log(), "notification dropped (") - lines_before, dropped);
  EXPECT_EQ(ui_->messages().size(), 0u);
}

}  // namespace
