// Soak of the event queue: three sessions with real event databases, the
// real file-status database and a user-interface stand-in; four producers
// push random local and server events, expands and now and then a rescan of
// "/" over about 200 paths per session (file and folder pairs of one name
// included); six tasks pull, finish (following hand-overs) or give back
// events; one thread polls the counts.
//
// Checked: no (session, path, kind) is with two tasks at once; after the
// producers stop everything drains; every path's last push is followed by a
// hand-out of that path unless a later removal of an ancestor folder may
// have pruned it (see Ledger::Pushed); SetAbort reaches only tasks holding
// a local create or modify or an expand; every syncing report arrives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "event_manager_view.h"
#include "event_queue_fixture.h"
#include "session/event_manager.h"
#include "support/recording_task.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kSessions = 3;
constexpr int kProducers = 4;
constexpr int kWorkers = 6;

// Seconds the producers run; SOAK_SECONDS overrides.
int SoakSeconds() {
  const char* s = std::getenv("SOAK_SECONDS");
  int v = s ? std::atoi(s) : 0;
  return v > 0 ? v : 10;
}

// One entry of a session: a path and its kind.
struct Target {
  std::string path;
  bool is_dir;
};

// About 200 entries: ten folders, each with 15 files, a sub-folder with 3
// files, and a name used both as a file and as a folder.
std::vector<Target> Targets() {
  std::vector<Target> t;
  for (int d = 0; d < 10; ++d) {
    const std::string dir = "/d" + std::to_string(d);
    t.push_back({dir, true});
    for (int f = 0; f < 15; ++f) t.push_back({dir + "/f" + std::to_string(f), false});
    t.push_back({dir + "/s", true});
    for (int g = 0; g < 3; ++g) t.push_back({dir + "/s/g" + std::to_string(g), false});
    t.push_back({dir + "/pair", false});
    t.push_back({dir + "/pair", true});
  }
  return t;
}

using Key = std::tuple<uint64_t, std::string, bool>;  // session, path, is_dir

Key KeyOf(const Event& ev) { return {ev.m_sess_id, ev.m_path.c_str_utf8(), ev.isDir()}; }

bool Abortable(const Event& ev) {
  return ev.isExpand() ||
         (ev.isLocalEvent() && (ev.m_type == Event::EV_CREATE || ev.m_type == Event::EV_MODIFY));
}

// A recording task that checks, inside SetAbort, what its thread holds.
// `holding` is written by the task's own thread around every queue call
// (kTransition during the call, when the queue may still see either
// event); SetAbort reads it without a lock, as an override must.
class SoakTask : public testsupport::RecordingTask {
 public:
  enum { kNone = 0, kAbortable = 1, kOther = 2, kTransition = 3 };

  int SetAbort(bool abort) override {
    (void)RecordingTask::SetAbort(abort);
    if (!abort) return 0;  // the task's own clearing
    const int h = holding.load(std::memory_order_acquire);
    if (h == kTransition) {
      transition_aborts.fetch_add(1, std::memory_order_relaxed);
    } else if (h != kAbortable) {
      wrong_aborts.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
  }

  std::atomic<int> holding{kNone};
  std::atomic<int> transition_aborts{0};
  std::atomic<int> wrong_aborts{0};
};

// What the threads record, under one mutex.
struct Ledger {
  std::mutex mu;
  std::atomic<uint64_t> clock{0};
  std::map<Key, uint64_t> last_push;
  std::map<std::pair<uint64_t, std::string>, uint64_t> last_dir_remove;
  std::map<std::pair<uint64_t, std::string>, uint64_t> server_dir_remove_sync;  // highest sync id
  std::map<Key, uint64_t> last_handout;
  std::set<Key> held;
  std::vector<std::string> double_holds;
  size_t reports = 0;  // pushes that must reach the user interface

  // Before a push: the push happens after this number.
  void Pushing(const Event& ev, bool reported) {
    const uint64_t seq = ++clock;
    std::lock_guard<std::mutex> lock(mu);
    if (!ev.isExpand()) last_push[KeyOf(ev)] = seq;
    if (reported) ++reports;
  }

  // After a push returned: it happened before this number. A folder remove
  // prunes the pending events below it that it supersedes, and a server
  // folder event older than a pending server remove of that folder leaves
  // the remove in place and prunes again. Either is stamped here, not in
  // Pushing: producers queue on the manager's lock, so a remove stamped
  // first may still be merged after a push below it that was stamped later.
  // A push below whose number is smaller may have been pruned by it.
  void Pushed(const Event& ev) {
    const uint64_t seq = ++clock;
    if (!ev.isDir() || ev.isExpand()) return;
    std::lock_guard<std::mutex> lock(mu);
    const std::pair<uint64_t, std::string> folder{ev.m_sess_id, ev.m_path.c_str_utf8()};
    const bool server = ev.isServerEvent();
    bool prunes = ev.m_type == Event::EV_REMOVE;
    if (server) {
      uint64_t& newest = server_dir_remove_sync[folder];
      if (prunes && ev.m_sync_id > newest) newest = ev.m_sync_id;
      if (!prunes && ev.m_sync_id < newest) prunes = true;
    }
    if (prunes) last_dir_remove[folder] = seq;
  }

  // After a hand-out: it happened before this number.
  void HandedOut(const Event& ev) {
    const uint64_t seq = ++clock;
    if (ev.isExpand()) return;
    std::lock_guard<std::mutex> lock(mu);
    last_handout[KeyOf(ev)] = seq;
    if (!held.insert(KeyOf(ev)).second && double_holds.size() < 10) {
      double_holds.push_back(ev.toString().c_str_utf8());
    }
  }

  // Before the task lets go: the set never holds more than the queue does.
  void LettingGo(const Event& ev) {
    if (ev.isExpand()) return;
    std::lock_guard<std::mutex> lock(mu);
    held.erase(KeyOf(ev));
  }
};

class EventManagerSoak : public EventQueueTest {
 protected:
  // Warnings and errors only: the queue logs every push at debug level.
  std::string LogLevels() const override { return ""; }
};

TEST_F(EventManagerSoak, ProducersAndTasksAgree) {
  for (uint64_t s = 1; s <= kSessions; ++s) AddSession(s, Path("s" + std::to_string(s)), true);
  EventManager& em = *EventManager::getInstance();
  const std::vector<Target> targets = Targets();
  Ledger ledger;
  std::atomic<bool> producing{true};
  std::atomic<bool> working{true};
  std::atomic<uint64_t> sync_ids{1};
  std::atomic<uint64_t> pushes{0};
  std::atomic<uint64_t> polls{0};

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      std::mt19937 rng(1000u + static_cast<unsigned>(p));
      while (producing.load()) {
        const uint64_t sess = 1 + rng() % kSessions;
        const unsigned roll = rng() % 1000;
        if (roll < 2) {
          Event root;  // the rescan's root modify, for the ledger
          root.m_type = Event::EV_MODIFY;
          root.m_mode = Event::F_DIR;
          root.m_path = "/";
          root.m_sess_id = sess;
          ledger.Pushing(root, true);
          em.IssueRescan(sess, "/", (rng() & 1) != 0);
          continue;
        }
        const Target& t = targets[rng() % targets.size()];
        if (roll < 40) {
          if (!t.is_dir) continue;
          em.IssueExpand(sess, t.path.c_str());  // a local expand: not reported
          continue;
        }
        Event ev;
        ev.m_sess_id = sess;
        ev.m_path = t.path.c_str();
        ev.m_mode = t.is_dir ? Event::F_DIR : 0u;
        const unsigned kind = rng() % 3;
        ev.m_type = kind == 0 ? Event::EV_CREATE : kind == 1 ? Event::EV_MODIFY : Event::EV_REMOVE;
        const bool server = (rng() & 1) != 0;
        if (server) {
          ev.m_sync_id = sync_ids.fetch_add(1);
          ev.m_mode |= Event::F_SERVER;
        } else {
          ev.m_data_size = rng() % 4096;
        }
        ledger.Pushing(ev, true);
        if (server) {
          em.PushServerEvent(ev);
        } else {
          em.PushLocalEvent(ev);
        }
        ledger.Pushed(ev);
        pushes.fetch_add(1);
      }
    });
  }

  std::vector<std::unique_ptr<SoakTask>> tasks;
  std::atomic<int> wrong_transition_aborts{0};
  for (int w = 0; w < kWorkers; ++w) tasks.push_back(std::make_unique<SoakTask>());
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      SoakTask& task = *tasks[w];
      std::mt19937 rng(2000u + static_cast<unsigned>(w));
      Event ev;
      while (working.load()) {
        task.holding.store(SoakTask::kTransition, std::memory_order_release);
        int aborts = task.transition_aborts.load();
        if (em.PullEvent(&task, ev) != 0) {
          task.holding.store(SoakTask::kNone, std::memory_order_release);
          if (task.transition_aborts.load() != aborts) wrong_transition_aborts.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          continue;
        }
        task.holding.store(Abortable(ev) ? SoakTask::kAbortable : SoakTask::kOther, std::memory_order_release);
        if (task.transition_aborts.load() != aborts && !Abortable(ev)) wrong_transition_aborts.fetch_add(1);
        ledger.HandedOut(ev);
        while (true) {
          task.SetAbort(false);  // a worker clears the flag before each event
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
          const bool was_abortable = Abortable(ev);
          ledger.LettingGo(ev);
          aborts = task.transition_aborts.load();
          task.holding.store(SoakTask::kTransition, std::memory_order_release);
          if (!ev.isExpand() && rng() % 10 == 0) {
            EXPECT_EQ(em.RedoEvent(&task, ev), 0) << ev.toString().c_str_utf8();
            task.holding.store(SoakTask::kNone, std::memory_order_release);
            if (task.transition_aborts.load() != aborts && !was_abortable) wrong_transition_aborts.fetch_add(1);
            break;
          }
          Event next;
          const int rc = em.DoneEvent(&task, next);
          if (rc == 0) {
            task.holding.store(SoakTask::kNone, std::memory_order_release);
            if (task.transition_aborts.load() != aborts && !was_abortable) wrong_transition_aborts.fetch_add(1);
            break;
          }
          EXPECT_EQ(rc, -1);
          ev = next;
          task.holding.store(Abortable(ev) ? SoakTask::kAbortable : SoakTask::kOther, std::memory_order_release);
          if (task.transition_aborts.load() != aborts && !was_abortable && !Abortable(ev)) {
            wrong_transition_aborts.fetch_add(1);
          }
          ledger.HandedOut(ev);
        }
      }
    });
  }

  std::atomic<bool> polling{true};
  std::thread poller([&] {
    while (polling.load()) {
      for (uint64_t s = 1; s <= kSessions + 1; ++s) {
        (void)em.GetAllPendingEventCount(s);
        (void)em.GetPendingServerEvent(s);
      }
      polls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });

  std::this_thread::sleep_for(std::chrono::seconds(SoakSeconds()));
  producing.store(false);
  for (int p = 0; p < kProducers; ++p) threads[p].join();

  // Everything drains.
  auto drained = [&] {
    for (uint64_t s = 1; s <= kSessions; ++s) {
      if (em.GetAllPendingEventCount(s) != 0 || !EventManagerInspector::Expands(em, s).empty()) return false;
    }
    return EventManagerInspector::Held(em) == 0;
  };
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  bool done = false;
  while (!(done = drained()) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  working.store(false);
  for (int w = kProducers; w < kProducers + kWorkers; ++w) threads[w].join();
  polling.store(false);
  poller.join();

  ASSERT_TRUE(done) << "not drained; left: " << ::testing::PrintToString(EventManagerInspector::TreeLeftovers(em));
  for (uint64_t s = 1; s <= kSessions; ++s) {
    EXPECT_EQ(em.GetAllPendingEventCount(s), 0u);
    EXPECT_EQ(em.GetPendingServerEvent(s), 0u);
  }
  EXPECT_EQ(EventManagerInspector::TreeLeftovers(em), std::vector<std::string>{});
  EXPECT_EQ(ledger.double_holds, std::vector<std::string>{});

  // Every path's last push was handed out after it, unless a later removal
  // of an ancestor folder may have pruned it.
  std::vector<std::string> missed;
  for (const auto& [key, pushed] : ledger.last_push) {
    auto h = ledger.last_handout.find(key);
    if (h != ledger.last_handout.end() && h->second > pushed) continue;
    const auto& [sess, path, is_dir] = key;
    bool covered = false;
    for (size_t cut = path.rfind('/'); cut != std::string::npos && cut > 0 && !covered;
         cut = path.rfind('/', cut - 1)) {
      auto r = ledger.last_dir_remove.find({sess, path.substr(0, cut)});
      covered = r != ledger.last_dir_remove.end() && r->second > pushed;
    }
    if (!covered && missed.size() < 10) missed.push_back(std::to_string(sess) + " " + path + (is_dir ? " dir" : " file"));
  }
  EXPECT_EQ(missed, std::vector<std::string>{});

  int wrong = wrong_transition_aborts.load();
  int aborts = 0;
  for (auto& t : tasks) {
    wrong += t->wrong_aborts.load();
    aborts += t->abort_calls.load();
  }
  EXPECT_EQ(wrong, 0);

  // Every accepted non-expand event was reported; the stand-in reads them
  // all (nothing failed to connect or decode).
  const size_t reports = ledger.reports;
  EXPECT_TRUE(ui_->waitFor([reports](const std::vector<PObject>& m) { return m.size() >= reports; },
                           std::chrono::seconds(60)))
      << ui_->messages().size() << " of " << reports;
  EXPECT_EQ(ui_->decodeFailures(), 0u);
  EXPECT_EQ(ReadFile("test.log").find("[ERROR]"), std::string::npos);

  std::printf("soak: %llu pushes, %zu reports, %d aborts, %llu count polls\n",
              static_cast<unsigned long long>(pushes.load()), reports, aborts,
              static_cast<unsigned long long>(polls.load()));
}

}  // namespace
