#include "app/app.h"

#include <cstring>

#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "client_debug";

// How often a sender waiting for its handler looks at the stop watch.
constexpr std::chrono::milliseconds kStopWatchPoll{100};

}  // namespace

VelkoraApp::VelkoraApp()
    : app_running(0), task(), msg_thread(), thread_started(false), thread_alive(false) {}

VelkoraApp::~VelkoraApp() {
  // An owner that forgot kill would leave a thread running on a destroyed
  // object; joining here costs nothing when kill has run.
  kill();
  // Handlers called without the thread (tests) may leave tasks running;
  // deleting a task whose thread still runs is undefined.
  stop_all();
  destroy_tasks();
}

int VelkoraApp::run() {
  std::lock_guard<std::mutex> guard(msg_lock);
  if (thread_started || app_running.load() != 0) return -1;
  app_running.store(1);
  thread_alive = true;
  int rc = pthread_create(&msg_thread, nullptr, &VelkoraApp::run_thread, this);
  if (rc != 0) {
    thread_alive = false;
    // app_running stays 1: a later run is refused like a second one.
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): pthread_create: %s (%d)\n", __LINE__,
                   std::strerror(rc), rc);
    return -1;
  }
  thread_started = true;
  return 0;
}

void VelkoraApp::kill() {
  // Lives until the join: the application thread handles or drops the
  // entry before it ends.
  PObject stop;
  stop["action"] = "stop";
  {
    std::lock_guard<std::mutex> guard(msg_lock);
    if (!thread_started) return;
    // A thread that has ended (after a "stop" from the user interface) would
    // never take the entry, and it would point at this frame after return.
    if (thread_alive) msg_queue.push_back(msg_t{&stop, nullptr, nullptr, nullptr, nullptr});
  }
  msg_cond.notify_one();
  int rc = pthread_join(msg_thread, nullptr);
  if (rc != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): pthread_join: %s (%d)\n", __LINE__,
                   std::strerror(rc), rc);
  }
  std::lock_guard<std::mutex> guard(msg_lock);
  thread_started = false;
}

int VelkoraApp::send_message(const PObject& req, PObject& rsp) {
  std::mutex mutex;
  std::condition_variable cond;
  int done = 0;
  // Held from before the entry is queued until the wait releases it, so the
  // application thread cannot signal before this thread waits.
  std::unique_lock<std::mutex> own(mutex);
  {
    std::lock_guard<std::mutex> guard(msg_lock);
    if (!thread_alive) return -1;
    msg_queue.push_back(msg_t{&req, &rsp, &mutex, &cond, &done});
  }
  msg_cond.notify_one();
  if (stop_watch_ == nullptr) {
    cond.wait(own, [&done] { return done != 0; });
  } else {
    while (!cond.wait_for(own, kStopWatchPoll, [&done] { return done != 0; })) {
      if (stop_watch_->load() != 0) cut();
    }
  }
  return done > 0 ? 0 : -1;
}

int VelkoraApp::send_message(const PObject& req) {
  PObject scratch;
  return send_message(req, scratch);
}

int VelkoraApp::do_main_loop() {
  Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app(%d): main thread starts receiving messages\n", __LINE__);
  while (app_running.load() != 0) {
    msg_t entry;
    {
      std::unique_lock<std::mutex> guard(msg_lock);
      if (msg_queue.empty()) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): waiting for instructions\n", __LINE__);
        msg_cond.wait(guard, [this] { return !msg_queue.empty(); });
      }
      entry = msg_queue.front();
      msg_queue.pop_front();
    }
    // The "stop" of kill writes nothing into its reply.
    PObject scratch;
    handle_control(*entry.msg, entry.result != nullptr ? *entry.result : scratch);
    if (entry.result != nullptr && entry.mutex != nullptr && entry.cond != nullptr && entry.done != nullptr) {
      (*entry.result)["ack"] = "ok";
      std::lock_guard<std::mutex> sender(*entry.mutex);
      *entry.done = 1;
      entry.cond->notify_one();
    }
  }

  // Requests queued behind the "stop" are not handled; their senders are
  // released with -1 instead of waiting for ever.
  std::deque<msg_t> left;
  {
    std::lock_guard<std::mutex> guard(msg_lock);
    thread_alive = false;
    left.swap(msg_queue);
  }
  for (const msg_t& entry : left) {
    if (entry.mutex == nullptr || entry.cond == nullptr || entry.done == nullptr) continue;
    std::lock_guard<std::mutex> sender(*entry.mutex);
    *entry.done = -1;
    entry.cond->notify_one();
  }
  Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app(%d): main thread down\n", __LINE__);
  return 0;
}

void* VelkoraApp::run_thread(void* app) {
  // The loop's result is always 0: nothing to hand back.
  (void)static_cast<VelkoraApp*>(app)->do_main_loop();
  return nullptr;
}
