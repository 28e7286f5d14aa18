// VelkoraApp: the application object, its request queue and the application
// thread that carries out every control request.
#ifndef APP_APP_H_
#define APP_APP_H_

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/daemon_timing.h"
#include "foundation/ustring.h"
#include "protocol/pobject.h"
#include "session/registry.h"
#include "session/task.h"
#include "worker/worker.h"

// Bounds of the control protocol, whatever the servers do (keep-alives
// for ever, bodies stalled, silence). Tests hold the daemon to them.

// What an interruption of the workers may take beyond one reply time-out
// (DaemonTiming::worker_reply_timeout): an upload whose reply is awaited
// holds the interruption up to that time-out on purpose (a committed upload
// is not broken off, or it would be sent twice); the margin covers the
// way from a broken-off transfer to the top of the worker's loop (a
// failed exchange given back, a report, a resume record written).
inline constexpr std::chrono::seconds kInterruptMargin{5};
// How long "reload_connection" waits, once the tasks that use the
// connection are interrupted, for its lent channels to come back; past it
// the connection is left as it was and the request says so.
inline constexpr std::chrono::seconds kChannelReturnWait{5};
// What a handler's own work may take beyond its waits for tasks (folders
// made or sent to the trash, databases opened or closed, tasks joined) on
// a loaded machine.
inline constexpr std::chrono::seconds kHandlerWork{10};
// "stop", and SIGTERM or SIGINT, end the daemon within this: a stop cuts
// even the wait for an upload's reply.
inline constexpr std::chrono::seconds kStopBound{10};

// The bound of an interruption of the workers (WorkerHold).
constexpr std::chrono::milliseconds InterruptBound(const DaemonTiming& timing) {
  return timing.worker_reply_timeout + kInterruptMargin;
}
// Every control request is answered within this.
constexpr std::chrono::milliseconds ControlRequestBound(const DaemonTiming& timing) {
  return InterruptBound(timing) + kChannelReturnWait + kHandlerWork;
}

class Detector;
class ProgressSyncer;
class RecycleCleaner;
class Syncer;

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
  // Joins the application thread (kill), then stops, joins and deletes any
  // task left in the table (handlers called directly, without the thread);
  // the shared environment is left as it is.
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

  // "link": init_env, then init_members, then start_all. A second "link"
  // while linked unlinks first. 0; -1 when the environment cannot be
  // prepared ("error" written, no task started).
  int do_link(const PObject& req, PObject& rsp);
  // "unlink" and the second half of "stop": stop_all, destroy_tasks,
  // destroy_env. 0; harmless while unlinked.
  int do_unlink();

  // --- Linking and the task set (task_set.cpp, environment.cpp) ---
  // Certificate path, filter database, file-status database (emptied),
  // system filter. 0, or -1 after an ERROR line.
  static int init_env();
  // Closes the databases and clears every process-wide store.
  static void destroy_env();
  // The settings at DEBUG level.
  static void print_settings();
  // init_tasks' result.
  int init_members();
  // Builds the table: Detector, RecycleCleaner, Syncer, ProgressSyncer,
  // then worker_count - 1 workers. 0.
  int init_tasks();
  // destroy_tasks.
  void destroy_members();
  // Deletes every task (each stopped and joined before) and empties the
  // table.
  void destroy_tasks();
  // Starts the user-interface notifier's sender, then Run on every task, in
  // table order.
  void start_all();
  // Stop on every task, then Join on every task, in table order, then stops
  // the notifier's sender (UiNotifier::Stop). Nothing with an empty table.
  void stop_all();
  void pause_all();
  void resume_all();
  // Pause / Resume on every worker.
  void pause_worker();
  // Aborts the event in hand of every worker that `filter` selects and
  // waits, up to InterruptBound, until each of them is back at the top of
  // its loop; at once when none matches or while unlinked.
  void interrupt_worker(const Worker::AbortFilter& filter);

  // The tasks of the table, each null while unlinked.
  Detector* detector() const;
  RecycleCleaner* recycle_cleaner() const;
  Syncer* syncer() const;
  ProgressSyncer* progress_syncer() const;
  // The workers in table order; empty while unlinked.
  std::vector<Worker*> workers() const;
  // The waits of the tasks that later links build and of the control loop
  // (DaemonTiming's defaults unless changed): main sets them once before
  // run; tests shorten them. Owning thread, before run.
  void set_timing(const DaemonTiming& timing) { timing_ = timing; }
  // A flag that another party raises to end the daemon (the stop signal's,
  // stop_signal.h); null: none. While send_message waits for a handler it
  // looks at the flag every 100 ms and, once it is raised, cuts the work in
  // hand (cut), so the "stop" that follows is not held behind a handler that
  // waits for an upload's reply. Owning thread, before run.
  void set_stop_watch(const std::atomic<int>* flag) { stop_watch_ = flag; }
  // Raises the stop flag of every worker: each ends even the wait for an
  // upload's reply within a second. Any thread; lowered by start_all.
  void cut() { workers_stop_.store(1); }
  const DaemonTiming& timing() const { return timing_; }

  // --- Connections and status (add_connection.cpp ... get_status.cpp) ---
  int add_connection(const PObject& req, PObject& rsp);
  int reload_connection(const PObject& req, PObject& rsp);
  int remove_connection(const PObject& req, PObject& rsp);
  // Writes "session_list", "connection_list" and "worker_list"; a list
  // without entries stays null.
  int get_status(const PObject& req, PObject& rsp);
  int get_session_status(PObject& list);
  int get_connection_status(PObject& list);
  int get_worker_status(PObject& list);

  // --- Session creation (add_session.cpp and its helpers) ---
  int add_session(const PObject& req, PObject& rsp);
  // 0 when the session is registered, -1 when it is not.
  int create_registry_entry(const PObject& create_info);
  // The session's folders: sync and config folders checked, signature
  // folder made, working and recycle folders made anew. 0 or -1.
  int create_session_environment(const ustring& local_path, const ustring& config_path);
  // FSStat (case-exact) succeeds with the type FT_DIR.
  bool is_dir(const ustring& path);
  // Replaces the session's progress-cache entries by its stored resume
  // conditions, in row-id order. 0, or -1 when they cannot be read.
  int load_resume_condition(uint64_t sess_id);

  // --- Session control (reload_session.cpp, remove_session.cpp, ...) ---
  int reload_session(const PObject& req, PObject& rsp);
  // Reloads the session's three rule lists and reconciles them; "error"
  // written on failure. 0 or -1.
  int reload_filter(Registry::Entry& ent, PObject& rsp);
  // Queues again the session's local events held back by filters.
  void reload_local_events(Registry::Entry& reg);
  void change_permission(Registry::Entry& ent, bool read_only);
  void change_recursive(Registry::Entry& ent, bool recursive);
  // Moves every sub-folder of `path` but the working folder to the user's
  // trash (that of its own volume when the home trash is on another file
  // system); a folder that no trash takes, or only a trash inside the
  // session (a session folder that is a mount point), stays. The number
  // that stayed; -1 when the folder cannot be listed (every one stays).
  int remove_all_dir(const ustring& path);
  int remove_session(const PObject& req, PObject& rsp);
  int remove_one_session(uint64_t sess_id, PObject& rsp);
  int pause_session(const PObject& req, PObject& rsp);
  int resume_session(const PObject& req, PObject& rsp);
  int add_event(const PObject& req, PObject& rsp);

 private:
  // 1 from run until "stop" is handled; read by the application thread
  // between requests.
  std::atomic<int> app_running;
  // The task table built by "link"; empty while unlinked. Slots 0 to 3 hold
  // the Detector, RecycleCleaner, Syncer and ProgressSyncer, the rest
  // workers. Application thread only.
  std::vector<std::unique_ptr<Task>> task;
  DaemonTiming timing_;
  // The stop flag shared by the workers (Worker::Collaborators::stop_flag):
  // raised by their Stop and by cut, lowered by start_all.
  std::atomic<int> workers_stop_{0};
  const std::atomic<int>* stop_watch_ = nullptr;  // see set_stop_watch

  std::deque<msg_t> msg_queue;
  std::mutex msg_lock;               // guards msg_queue, thread_alive, thread_started
  std::condition_variable msg_cond;  // signalled when a request is queued
  pthread_t msg_thread;
  bool thread_started;  // run made msg_thread and kill has not joined it
  bool thread_alive;    // the application thread still takes requests
};

#endif  // APP_APP_H_
