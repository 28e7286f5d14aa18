// RecordingTask: a Task that records the event queue's SetAbort calls, for
// the tests of everything that aborts a running task.
//
// Header-only on purpose: the test_support library stays free of the code
// under test; only executables that already link `session` include this.
#ifndef TESTS_SUPPORT_RECORDING_TASK_H_
#define TESTS_SUPPORT_RECORDING_TASK_H_

#include <atomic>

#include "session/task.h"

namespace testsupport {

// Keeps its abort flag in a std::atomic<int>, as a worker does, and counts
// the calls; SetAbort takes no lock and never blocks, as the event queue
// requires of every override (it calls it under its own lock). Never run as
// a thread: tests drive the queue from their own threads with its address.
class RecordingTask : public Task {
 public:
  RecordingTask() : Task(nullptr, nullptr) {}

  int SetAbort(bool abort) override {
    abort_flag.store(abort ? 1 : 0, std::memory_order_release);
    (abort ? abort_calls : clear_calls).fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  std::atomic<int> abort_flag{0};
  std::atomic<int> abort_calls{0};  // SetAbort(true)
  std::atomic<int> clear_calls{0};  // SetAbort(false)
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_RECORDING_TASK_H_
