// WorkerHold: the workers held around a change that none of them may meet
// half-way (a session replaced or removed, a connection reloaded or
// removed, a session paused, its sub-folders sent to the trash).
//
// Construction pauses every worker given, then interrupts those whose event
// in hand `filter` selects and waits, up to `bound`, until each of them is
// back at the top of its loop: from then on no worker acts on anything
// `filter` selects (a worker that takes an event meanwhile finds itself
// paused and holds off; one busy with another event finishes it, then holds
// off). A worker that is not back in time (only a wait the interruption
// does not cut: an upload's reply, up to one reply time-out) is logged and
// left to end its step; the control request is not held for it. Destruction
// resumes every worker given, on every way out of the scope.
//
// Application thread only, like the handlers that use it. The workers must
// outlive the hold.
#ifndef APP_WORKER_HOLD_H_
#define APP_WORKER_HOLD_H_

#include <chrono>
#include <vector>

#include "worker/worker.h"

class WorkerHold {
 public:
  WorkerHold(std::vector<Worker*> workers, const Worker::AbortFilter& filter, std::chrono::milliseconds bound);
  ~WorkerHold();
  WorkerHold(const WorkerHold&) = delete;
  WorkerHold& operator=(const WorkerHold&) = delete;

  // Raises the abort flag of every worker of `workers` whose event in hand
  // `filter` selects and waits, up to `bound`, until each of them has
  // signalled from the top of its loop; at once when none matches. true
  // when all did; false on time-out (WARNING; no worker touches the
  // barrier afterwards).
  static bool Interrupt(const std::vector<Worker*>& workers, const Worker::AbortFilter& filter,
                        std::chrono::milliseconds bound);

 private:
  std::vector<Worker*> workers_;
};

// TaskPause: tasks held around a change they may meet in the middle of an
// exchange (the syncers around a reload of the connection whose channel
// they may hold). Construction pauses each given task that runs (null and
// paused or stopped ones are skipped): a paused syncer's abort flag breaks
// off its exchange in hand, which gives its channel back within a second,
// and it starts none until resumed. Destruction resumes the tasks it
// paused, on every way out of the scope. Application thread only.
class TaskPause {
 public:
  explicit TaskPause(const std::vector<Task*>& tasks);
  ~TaskPause();
  TaskPause(const TaskPause&) = delete;
  TaskPause& operator=(const TaskPause&) = delete;

 private:
  std::vector<Task*> paused_;
};

#endif  // APP_WORKER_HOLD_H_
