#include "app/worker_hold.h"

#include <utility>

WorkerHold::WorkerHold(std::vector<Worker*> workers, const Worker::AbortFilter& filter)
    : workers_(std::move(workers)) {
  // Paused before the interruption: a worker the interruption does not find
  // (one that has just taken an event) sees the pause and holds off.
  for (Worker* w : workers_) (void)w->Pause();
  Interrupt(workers_, filter);
}

WorkerHold::~WorkerHold() {
  for (Worker* w : workers_) (void)w->Resume();
}

void WorkerHold::Interrupt(const std::vector<Worker*>& workers, const Worker::AbortFilter& filter) {
  // Each matching worker registers on the barrier and signals it from the
  // top of its next pass; an idle one never registers, so this cannot wait
  // on it.
  Worker::Barrier barrier;
  for (Worker* w : workers) w->SetAbort(filter, &barrier);
  barrier.wait();
}
