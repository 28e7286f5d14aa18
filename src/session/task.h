// Task: the base of every background activity, one POSIX thread running the
// virtual DoTask, with a run state that other threads set to pause, resume
// or stop it. DoTask polls its own state (GetState, Wait) and returns once
// the state is STOP.
//
// Threads: one owner thread calls Run and Join (never two at once); any
// thread may call Pause, Resume, Stop, SetState, GetState, GetId and Wait.
// The state is read and written under the state mutex only; the id is
// atomic, so GetId() needs no lock and is valid inside DoTask from its first
// line on.
//
// Lifetime: the owner Stops and Joins a task before deleting it. ~Task cannot
// join (the derived part is already gone by then); a debug build asserts
// that no thread is left.
#ifndef SESSION_TASK_H_
#define SESSION_TASK_H_

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>

// Passed through to Task only; the daemon gives null for both.
class TaskManager;
class TaskContext;

class Task {
 public:
  enum State { RUN = 0, PAUSE = 1, STOP = 2 };

  // State STOP, id -1, no thread.
  Task(TaskManager* owner, TaskContext* ctx);
  // Sets the state to STOP. The thread must have been joined (see above).
  virtual ~Task();

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // 0; no subclass needs it.
  virtual int Init();
  // SetState(PAUSE), SetState(RUN), SetState(STOP); each returns 0.
  // Overrides call these and add their own work.
  virtual int Pause();
  virtual int Resume();
  virtual int Stop();
  // Asks a running task to give up its current piece of work (true) or
  // clears that request (false); the base does nothing and returns 0. The
  // event queue calls SetAbort(true) on any thread while it holds its own
  // lock, so an override must take no lock and never block: it only stores
  // into an atomic flag (std::atomic<int>) that the task, its channel and
  // its delta readers test without a lock. It cannot fail.
  virtual int SetAbort(bool abort);
  // The thread body; the base does nothing.
  virtual void DoTask();

  void LockState();
  void UnlockState();
  void SetState(State state);
  State GetState();

  // The id drawn by the last successful Run; -1 while no thread exists.
  int GetId() const { return m_task_id.load(std::memory_order_acquire); }

  // Starts the thread when none exists: state RUN, a new id, then the
  // thread. 0; -1 when a thread already exists (nothing changes) or the
  // thread cannot be created (state back to STOP, id -1). Two concurrent
  // calls start at most one thread.
  int Run();

  // Waits for the thread to end. 0, the id then -1 and the task startable
  // again; -1 when no thread exists or pthread_join fails (the id is kept,
  // so Run still refuses: the thread may be alive, e.g. Join called from
  // the task's own thread).
  int Join();

  // Sleeps up to `seconds` in steps of 100 ms, checking the state before
  // each step: -1 as soon as the state is not RUN (paused or stopped), 0
  // when the time is up; 0 at once for 0 seconds.
  int Wait(unsigned seconds);
  // The same for any length; the last step is what is left of it.
  int Wait(std::chrono::milliseconds time);

  // The next task id (0 first), process-wide, never reused.
  static int CreateTaskId();

 private:
  static void* Exec(void* arg);

  TaskManager* m_owner;
  TaskContext* m_ctx;
  State m_state;              // guarded by m_state_mutex
  std::mutex m_state_mutex;   // guards m_state and the start of the thread
  pthread_t m_tid;            // valid while m_task_id >= 0; written under m_state_mutex
  // Drawn under m_state_mutex before the thread is created, so the thread
  // never sees -1; -1 again when creation fails or after Join.
  std::atomic<int> m_task_id;

  static int task_count;  // guarded by a process-wide mutex
};

#endif  // SESSION_TASK_H_
