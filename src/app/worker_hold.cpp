#include "app/worker_hold.h"

#include <utility>

#include "foundation/logger.h"

WorkerHold::WorkerHold(std::vector<Worker*> workers, const Worker::AbortFilter& filter,
                       std::chrono::milliseconds bound)
    : workers_(std::move(workers)) {
  // Paused before the interruption: a worker the interruption does not find
  // (one that has just taken an event) sees the pause and holds off.
  for (Worker* w : workers_) (void)w->Pause();
  (void)Interrupt(workers_, filter, bound);  // a time-out is logged there
}

WorkerHold::~WorkerHold() {
  for (Worker* w : workers_) (void)w->Resume();
}

bool WorkerHold::Interrupt(const std::vector<Worker*>& workers, const Worker::AbortFilter& filter,
                           std::chrono::milliseconds bound) {
  // Each matching worker registers on the barrier and signals it from the
  // top of its next pass; an idle one never registers, so this cannot wait
  // on it.
  Worker::Barrier barrier;
  for (Worker* w : workers) w->SetAbort(filter, &barrier);
  if (barrier.wait_for(bound)) return true;
  // The barrier dies with this frame: no worker may signal it later.
  for (Worker* w : workers) w->ForgetBarrier(&barrier);
  Logger::LogMsg(Logger::L_WARNING, "client_debug",
                 "[WARNING] app(%d): an interrupted worker is not back after %lld ms, going on without it\n",
                 __LINE__, static_cast<long long>(bound.count()));
  return false;
}

TaskPause::TaskPause(const std::vector<Task*>& tasks) {
  for (Task* t : tasks) {
    // Only the application thread changes a task's state: what runs now
    // is what this hold pauses, and only that is resumed.
    if (t == nullptr || t->GetState() != Task::RUN) continue;
    (void)t->Pause();
    paused_.push_back(t);
  }
}

TaskPause::~TaskPause() {
  for (Task* t : paused_) (void)t->Resume();
}
