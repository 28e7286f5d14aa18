#include "session/task.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

// Guards Task::task_count; constant-initialised, so usable from static
// constructors of other files.
std::mutex g_task_count_mutex;

}  // namespace

int Task::task_count = 0;

Task::Task(TaskManager* owner, TaskContext* ctx)
    : m_owner(owner), m_ctx(ctx), m_state(STOP), m_tid(), m_task_id(-1) {
  // Kept for derived tasks; nothing in the base reads them.
  (void)m_owner;
  (void)m_ctx;
}

Task::~Task() {
  // A live thread would run DoTask on a destroyed object.
  assert(m_task_id.load() < 0 && "Stop and Join a task before deleting it");
  Task::Stop();
}

int Task::Init() { return 0; }

int Task::Pause() {
  SetState(PAUSE);
  return 0;
}

int Task::Resume() {
  SetState(RUN);
  return 0;
}

int Task::Stop() {
  SetState(STOP);
  return 0;
}

int Task::SetAbort(bool /*abort*/) { return 0; }

void Task::DoTask() {}

void Task::LockState() { m_state_mutex.lock(); }

void Task::UnlockState() { m_state_mutex.unlock(); }

void Task::SetState(State state) {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  m_state = state;
}

Task::State Task::GetState() {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_state;
}

int Task::Run() {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  if (m_task_id.load(std::memory_order_relaxed) >= 0) return -1;
  m_state = RUN;
  // Before the thread exists: a worker logs its id and uses it as its
  // barrier number from the first line of DoTask.
  m_task_id.store(CreateTaskId(), std::memory_order_release);
  if (pthread_create(&m_tid, nullptr, &Task::Exec, this) != 0) {
    m_state = STOP;
    m_task_id.store(-1, std::memory_order_release);
    return -1;
  }
  return 0;
}

void* Task::Exec(void* arg) {
  Task* task = static_cast<Task*>(arg);
  task->DoTask();
  task->SetState(STOP);
  // A plain return rather than pthread_exit: its forced unwind would meet
  // any catch-all in DoTask and abort the process.
  return nullptr;
}

int Task::Join() {
  pthread_t tid;
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    if (m_task_id.load(std::memory_order_relaxed) < 0) return -1;
    tid = m_tid;
  }
  // Any error (EDEADLK from the task's own thread, ESRCH, EINVAL) leaves the
  // thread as it was: keep the id so that Run cannot start a second one.
  if (pthread_join(tid, nullptr) != 0) return -1;
  std::lock_guard<std::mutex> lock(m_state_mutex);
  m_task_id.store(-1, std::memory_order_release);
  return 0;
}

int Task::Wait(unsigned seconds) { return Wait(std::chrono::milliseconds(static_cast<uint64_t>(seconds) * 1000)); }

int Task::Wait(std::chrono::milliseconds time) {
  constexpr std::chrono::milliseconds kStep(100);
  for (auto left = time; left.count() > 0; left -= kStep) {
    if (GetState() != RUN) return -1;
    std::this_thread::sleep_for(std::min(left, kStep));
  }
  return 0;
}

int Task::CreateTaskId() {
  std::lock_guard<std::mutex> lock(g_task_count_mutex);
  return task_count++;
}
