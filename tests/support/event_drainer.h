// EventDrainer: stands in for the workers in tests of the tasks that queue
// server changes. A thread takes events from the process-wide EventManager
// (PullEvent, then DoneEvent until the path has nothing newer) and records
// each one; Hold() keeps the events pending, so a test can interrupt a task
// that waits for the workers.
//
// Header-only on purpose, like recording_task.h: test_support stays free of
// the code under test; only executables that link `session` include this.
#ifndef TESTS_SUPPORT_EVENT_DRAINER_H_
#define TESTS_SUPPORT_EVENT_DRAINER_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "session/event.h"
#include "session/event_manager.h"
#include "support/recording_task.h"

namespace testsupport {

class EventDrainer {
 public:
  // Starts draining at once (or held when `held`). `on_take`, when given,
  // runs on the drainer's thread for each event as it is taken, before it
  // is reported done: a test looks at what a worker would see then.
  explicit EventDrainer(bool held = false, std::function<void(const Event&)> on_take = {})
      : held_(held), on_take_(std::move(on_take)), thread_([this] { Loop(); }) {}
  ~EventDrainer() { Stop(); }
  EventDrainer(const EventDrainer&) = delete;
  EventDrainer& operator=(const EventDrainer&) = delete;

  // Leave queued events where they are / take them again.
  void Hold() { held_ = true; }
  void Release() { held_ = false; }

  // Events of `path` ("" none) are given back with EventManager::DeferEvent
  // and `pause`, as a worker does with a change its folder refuses, instead
  // of being done.
  void Refuse(const std::string& path, std::chrono::milliseconds pause = std::chrono::milliseconds(100)) {
    std::lock_guard<std::mutex> lock(mu_);
    refused_ = path;
    refuse_pause_ = pause;
  }
  // How often an event was given back so.
  size_t Deferrals() const {
    std::lock_guard<std::mutex> lock(mu_);
    return deferrals_;
  }

  // Ends the thread; the events in the queue stay. Idempotent.
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Every event taken so far, in order (merged follow-ups included).
  std::vector<Event> Taken() const {
    std::lock_guard<std::mutex> lock(mu_);
    return taken_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mu_);
    return taken_.size();
  }
  // The time each event was taken, parallel to Taken().
  std::vector<std::chrono::steady_clock::time_point> Times() const {
    std::lock_guard<std::mutex> lock(mu_);
    return times_;
  }

  // Polls until `n` events were taken; false after `timeout`.
  bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (Count() < n) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  void Loop() {
    EventManager* queue = EventManager::getInstance();
    Event ev;
    while (!stop_) {
      if (held_ || queue->PullEvent(&task_, ev) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      std::string refused;
      std::chrono::milliseconds pause;
      {
        std::lock_guard<std::mutex> lock(mu_);
        refused = refused_;
        pause = refuse_pause_;
      }
      if (!refused.empty() && ev.m_path == refused.c_str()) {
        const bool deferred = queue->DeferEvent(&task_, ev, pause, pause) > 0;
        std::lock_guard<std::mutex> lock(mu_);
        deferrals_ += deferred ? 1 : 0;
        continue;
      }
      do {
        if (on_take_) on_take_(ev);
        std::lock_guard<std::mutex> lock(mu_);
        taken_.push_back(ev);
        times_.push_back(std::chrono::steady_clock::now());
      } while (queue->DoneEvent(&task_, ev) == -1);
    }
  }

  RecordingTask task_;
  std::atomic<bool> held_;
  const std::function<void(const Event&)> on_take_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<Event> taken_;                                   // guarded by mu_
  std::vector<std::chrono::steady_clock::time_point> times_;  // guarded by mu_
  std::string refused_;                                        // guarded by mu_
  std::chrono::milliseconds refuse_pause_{100};                // guarded by mu_
  size_t deferrals_ = 0;                                       // guarded by mu_
  std::thread thread_;  // last: starts after every other member exists
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_EVENT_DRAINER_H_
