// VelkoraApp: the application object, its request queue and the application
// thread that carries out every control request.
#ifndef APP_APP_H_
#define APP_APP_H_

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "protocol/pobject.h"

class Task;

// One object, owned by `main` (there is no process-wide instance to look up:
// nothing but main and its control loop reaches it). The control loop (main thread) hands each
// request to send_message, which queues it and blocks until the application
// thread has run its handler and filled the reply; so every change to links,
// connections, sessions and tasks happens on the application thread, one
// request after the other.
//
// Threads: run and kill are called by one owning thread (main). send_message
// may be called from any thread but the application thread itself (which
// would wait for itself).
// handle_control and the handlers run on the application thread only.
// `msg_lock` guards the queue and the thread's liveness; it is never held
// while a request is handled. Not copyable: queued entries point into it.
class VelkoraApp {
 public:
  // One queued request. Every pointer refers to the sender's stack frame,
  // which stays until the entry has been handled or dropped. `result`,
  // `mutex`, `cond` and `done` are all null for the "stop" of kill, which
  // nobody waits for.
  struct msg_t {
    const PObject* msg;
    PObject* result;
    std::mutex* mutex;
    std::condition_variable* cond;
    // Written under *mutex: 1 once handled, -1 when the thread ended
    // without handling it; the sender waits while it is 0, so a spurious
    // wake-up never returns a half-filled reply.
    int* done;
  };

  VelkoraApp();
  // Leaves the task table alone ("unlink" or "stop" has emptied it). The
  // application thread must have been joined (kill) if it was started.
  ~VelkoraApp();
  VelkoraApp(const VelkoraApp&) = delete;
  VelkoraApp& operator=(const VelkoraApp&) = delete;

  // Starts the application thread. -1 when it runs already or has not been
  // joined yet (no second thread is made), or when the thread cannot be
  // created (logged "pthread_create: %s (%d)"); else 0.
  int run();

  // Queues a "stop" that expects no reply while the application thread runs,
  // then joins the thread. Returns at once when no thread was started or it
  // has been joined; after a "stop" from the user interface it only joins.
  void kill();

  // Queues `req` and blocks until the application thread has handled it:
  // `rsp` then holds the handler's reply with "ack": "ok". 0; -1 when the
  // application thread is not running or ended before handling the request
  // (`rsp` then untouched). `req` and `rsp` must not be touched by anyone
  // else meanwhile.
  int send_message(const PObject& req, PObject& rsp);
  // The same with a scratch reply that is dropped.
  int send_message(const PObject& req);

  // The body of the application thread: handles queued requests until one of
  // them is "stop". 0.
  int do_main_loop();
  // pthread entry: do_main_loop on the VelkoraApp `app`; null.
  static void* run_thread(void* app);

  // Dispatches one request by its "action" (see handle_control.cpp). Runs on
  // the application thread. Writes the handler's keys into `rsp`; the "ack"
  // is added by do_main_loop.
  void handle_control(const PObject& req, PObject& rsp);

  // --- Handlers, one source file each, run on the application thread. ---
  // Each reports a failure by an "error" text in `rsp`; results are not
  // looked at by the dispatcher.
  int do_link(const PObject& req, PObject& rsp);
  // "unlink" and the second half of "stop". 0.
  int do_unlink();
  int pause_session(const PObject& req, PObject& rsp);
  int resume_session(const PObject& req, PObject& rsp);
  int add_connection(const PObject& req, PObject& rsp);
  int reload_connection(const PObject& req, PObject& rsp);
  int remove_connection(const PObject& req, PObject& rsp);
  int reload_session(const PObject& req, PObject& rsp);
  int add_session(const PObject& req, PObject& rsp);
  int remove_session(const PObject& req, PObject& rsp);
  // Writes "session_list", "connection_list" and "worker_list"; a list
  // without entries stays null.
  int get_status(const PObject& req, PObject& rsp);
  int get_session_status(PObject& list);
  int get_connection_status(PObject& list);
  int get_worker_status(PObject& list);
  int add_event(const PObject& req, PObject& rsp);

 private:
  // 1 from run until "stop" is handled; read by the application thread
  // between requests.
  std::atomic<int> app_running;
  // The task table built by "link"; null and 0 while unlinked. Application
  // thread only.
  Task** task;
  uint32_t task_count;

  std::deque<msg_t> msg_queue;
  std::mutex msg_lock;               // guards msg_queue, thread_alive, thread_started
  std::condition_variable msg_cond;  // signalled when a request is queued
  pthread_t msg_thread;
  bool thread_started;  // run made msg_thread and kill has not joined it
  bool thread_alive;    // the application thread still takes requests
};

#endif  // APP_APP_H_
