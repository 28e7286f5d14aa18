// FlaggedTask: a Task that owns the abort flag handed to every channel it
// uses, so that Pause and Stop break off a blocked exchange at once.
//
// Threads: Pause, Resume and Stop come from the controlling thread; the
// task's own thread reads the flag through its channels, without a lock.
#ifndef SERVER_FLAGGED_TASK_H_
#define SERVER_FLAGGED_TASK_H_

#include <atomic>

#include "session/task.h"

class FlaggedTask : public Task {
 public:
  using Task::Task;

  // Flag 1, then the Task operation.
  int Pause() override {
    abort_flag_.store(1);
    return Task::Pause();
  }
  int Stop() override {
    abort_flag_.store(1);
    return Task::Stop();
  }
  // Flag 0, then Task::Resume.
  int Resume() override {
    abort_flag_.store(0);
    return Task::Resume();
  }

 protected:
  std::atomic<int> abort_flag_{0};
};

#endif  // SERVER_FLAGGED_TASK_H_
