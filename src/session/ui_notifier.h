// UiNotifier: the queue between the threads that notify the user interface
// and the one thread that delivers the notifications.
#ifndef SESSION_UI_NOTIFIER_H_
#define SESSION_UI_NOTIFIER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/pobject.h"

// Every notification of UI_IPC goes through Post. A delivery opens a
// loopback connection, and a user interface that listens but stops
// accepting makes each one wait out the connect time-out (about 20 s); the
// event queue posts under its lock and the workers and syncers between
// transfers, so that wait must never be theirs. While the sender runs, Post
// only copies the notification into a bounded queue; the sender thread
// delivers them one by one in the order they were posted, so the user
// interface sees them in the order they were made. A notification that
// finds the queue full is dropped, logged (WARNING on "channel_ui_debug",
// with its text) and counted: a stuck user interface costs the user lines,
// never the sync.
//
// Life: the application starts the sender when it links, before any task
// runs, and stops it after every task has been joined. While no sender runs
// (unlinked, and programs or tests that start none) Post delivers on the
// caller's thread, synchronously, as UI_IPC::Deliver.
//
// Threads: Post and the counters from any thread; Start and Stop from one
// thread at a time (the application thread). `mutex_` is a leaf: nothing
// else is taken and nothing is logged while it is held, so a caller may post
// while holding any lock (the event queue's m_lock).
class UiNotifier {
 public:
  // Notifications that may wait for the sender; the next one is dropped.
  static constexpr size_t kDefaultCapacity = 1024;
  // How long Stop lets the sender deliver what is queued before it aborts
  // the delivery in progress and drops the rest.
  static constexpr std::chrono::milliseconds kStopGrace{2000};

  // The process-wide notifier (kDefaultCapacity), made on first use
  // (thread-safe), stopped and destroyed at process exit. Never null.
  static UiNotifier& getInstance();

  // How one notification reaches the user interface: 0 delivered, -1 not;
  // gives up early once `*abort` is not 0 (null: never).
  using Delivery = std::function<int(const PObject& msg, const std::atomic<int>* abort)>;

  // A stopped notifier whose queue holds up to `capacity` notifications (0
  // is taken as 1), delivering through `deliver` (UI_IPC::Deliver when
  // empty). The daemon uses getInstance() only; tests make their own.
  explicit UiNotifier(size_t capacity = kDefaultCapacity, Delivery deliver = {});
  // Stop().
  ~UiNotifier();
  UiNotifier(const UiNotifier&) = delete;
  UiNotifier& operator=(const UiNotifier&) = delete;

  // Starts the sender thread; nothing when it runs already. false when the
  // thread cannot be made (logged; Post then keeps delivering inline).
  bool Start();
  // Gives the sender up to kStopGrace to deliver what is queued (a post
  // meanwhile still joins the queue), then aborts the delivery in
  // progress (its connect or send ends within about a second), joins the
  // thread and drops what is left, each logged and counted. Returns at once
  // when no sender runs. Afterwards Post delivers inline until the next
  // Start.
  void Stop();

  // Hands `msg` to the user interface. With the sender running: 0 when
  // queued, -1 when the queue was full and `msg` was dropped. Without it:
  // the delivery's result, on this thread.
  int Post(PObject msg);

  bool running() const;
  // Notifications dropped so far: found the queue full, or left in it at
  // Stop.
  uint64_t dropped() const { return dropped_.load(); }
  // Notifications the sender delivered, and those whose delivery failed
  // (UI_IPC::Deliver logs why).
  uint64_t delivered() const { return delivered_.load(); }
  uint64_t failed() const { return failed_.load(); }

 private:
  enum class State { kStopped, kRunning, kStopping };

  // The sender thread's loop.
  void Run();

  const size_t capacity_;
  const Delivery deliver_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // a notification queued, or Stop
  std::condition_variable drained_;  // the sender finished one delivery
  std::deque<PObject> queue_;        // guarded by mutex_
  State state_ = State::kStopped;    // guarded by mutex_
  bool sending_ = false;             // guarded by mutex_: a delivery runs
  // Raised by Stop after the grace: the delivery in progress gives up and
  // the sender ends. The channel of that delivery polls it.
  std::atomic<int> abort_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> failed_{0};
  std::thread thread_;  // Start and Stop only
};

#endif  // SESSION_UI_NOTIFIER_H_
