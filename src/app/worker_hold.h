// WorkerHold: the workers held around a change that none of them may meet
// half-way (a session replaced or removed, a connection reloaded or
// removed, a session paused, its sub-folders sent to the trash).
//
// Construction pauses every worker given, then interrupts those whose event
// in hand `filter` selects and waits until each of them is back at the top
// of its loop: from then on no worker acts on anything `filter` selects (a
// worker that takes an event meanwhile finds itself paused and holds off;
// one busy with another event finishes it, then holds off). Destruction
// resumes every worker given, on every way out of the scope.
//
// Application thread only, like the handlers that use it. The workers must
// outlive the hold.
#ifndef APP_WORKER_HOLD_H_
#define APP_WORKER_HOLD_H_

#include <vector>

#include "worker/worker.h"

class WorkerHold {
 public:
  WorkerHold(std::vector<Worker*> workers, const Worker::AbortFilter& filter);
  ~WorkerHold();
  WorkerHold(const WorkerHold&) = delete;
  WorkerHold& operator=(const WorkerHold&) = delete;

  // Raises the abort flag of every worker of `workers` whose event in hand
  // `filter` selects and waits until each of them has signalled from the
  // top of its loop; at once when none matches.
  static void Interrupt(const std::vector<Worker*>& workers, const Worker::AbortFilter& filter);

 private:
  std::vector<Worker*> workers_;
};

#endif  // APP_WORKER_HOLD_H_
