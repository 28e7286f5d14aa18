// EventManager: the event queue between the producers of events (folder
// watcher, event generator, change pulling, workers, application) and the
// worker tasks that carry them out.
//
// One pool per session: the session's pending-event tree (EventList2), into
// which every non-expand event is merged path by path, and the session's
// list of expand events. Pools with work stand in a ready queue served round
// robin, one event per PullEvent. For each task the manager records the
// event it processes and, when a newer event of the same path arrives
// meanwhile, that event as "waiting"; DoneEvent then hands the task the
// path's newer state at once (-1), so one path is never with two tasks.
//
// Every accepted non-expand event (and every accepted server event) is
// written as syncing to the file-status database and reported to the user
// interface as "syncing_file", under m_lock, on the pushing thread. The row
// is written under the lock so that a worker's removal of it when the event
// is done can never come first. The report is only queued for the
// notifier's sender (UiNotifier): a user interface that stops accepting
// never holds m_lock, so it never holds a push, PullEvent or DoneEvent; and
// queueing under the lock keeps the reports in the order the events were
// taken.
//
// Paths: an event whose path is not valid UTF-8 or fails IsSafeSessionPath
// is dropped with a WARNING. A name that is not valid UTF-8 (a Latin-1 name
// on disk) is therefore never synchronised.
//
// Locks, in order: m_lock; while it is held the registry's mutex, a tree's
// mutex (then its counter lock), the file-status database, the notifier's
// queue lock (a leaf: no connection is made under it) and a task's SetAbort
// (which must not block); m_pool_index_lock last. No user-interface
// connection is opened under m_lock while the notifier's sender runs (from
// link to unlink; a sender that cannot be started is logged, and then the
// notifications go out inline, under the lock, as before there was one). The
// count queries take only m_pool_index_lock and a tree's counter lock, never
// m_lock, so a status report never waits for a push.
//
// Log component "event_mgr_debug".
#ifndef SESSION_EVENT_MANAGER_H_
#define SESSION_EVENT_MANAGER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "foundation/ustring.h"
#include "session/event.h"

class Task;

class EventManager {
 public:
  // The process-wide queue, built on first use (thread-safe), destroyed at
  // process exit. Never null.
  static EventManager* getInstance();

  // An empty queue. The daemon uses getInstance() only; tests and
  // benchmarks may make their own.
  EventManager();
  // Clear().
  ~EventManager();
  EventManager(const EventManager&) = delete;
  EventManager& operator=(const EventManager&) = delete;

  // Queue one event of session ev.m_sess_id (looked up in the Registry;
  // an unknown session drops the event with an ERROR). A task processing
  // the same session and path gets a non-expand `ev` as its waiting event.
  // The local push also aborts (SetAbort(true)) a task whose local create
  // or modify of the same path and kind a local remove makes obsolete, and
  // a task expanding the same folder with the same mode bits as a new
  // expand. The server push works on a copy with F_SERVER set and aborts
  // nothing.
  void PushLocalEvent(const Event& ev);
  void PushServerEvent(const Event& ev);

  // The next event of the pool at the front of the ready queue, recorded as
  // the task's event in hand. 0 with `out`; -1 when the queue is empty or
  // that pool has nothing to hand out this turn (no other pool is tried,
  // unless that pool held only deferred events whose pause runs).
  [[nodiscard]] int PullEvent(Task* task, Event& out);

  // The task has finished its event in hand. 0: done, the task holds
  // nothing (also when it held nothing). -1: a newer event of the same path
  // and kind was merged in meanwhile; it is in `out` and is now the task's
  // event in hand. An expand event is simply let go (0).
  [[nodiscard]] int DoneEvent(Task* task, Event& out);

  // Gives the task's event in hand back to waiting in its session's tree;
  // `ev` must be that event (same session, path and F_DIR). 0, the task
  // holds nothing. -1: `ev` is not the task's event in hand, the session has
  // no pool, or the tree cannot reset the path (the task keeps its event);
  // or the event is an expand, which has no place in the tree (let go).
  [[nodiscard]] int RedoEvent(Task* task, const Event& ev);

  // RedoEvent for an event that could not be put in place (a folder that
  // refuses it, a full disk): the path's node is handed out again only once
  // a pause has passed, `first` after the first deferral of the path, twice
  // the previous pause after each further one, at most `longest`. PullEvent
  // passes over a node whose pause runs. The path's deferrals are counted
  // until an event of it is finished (DoneEvent) or the queue is cleared.
  // The number of deferrals of the path so far (1 the first time), or -1
  // as RedoEvent (then nothing is counted).
  [[nodiscard]] int DeferEvent(Task* task, const Event& ev, std::chrono::milliseconds first,
                               std::chrono::milliseconds longest);

  // Queue, as local events, a rescan of the folder `path` (EV_CREATE,
  // F_DIR|F_EXPAND|F_RESCAN, plus F_MERGE with `merge`; for "/" first an
  // EV_MODIFY of "/" with F_DIR, and the rescan replaces every pending
  // expand of the session) or an expand of it (F_DIR|F_EXPAND).
  void IssueRescan(uint64_t sess_id, const ustring& path, bool merge);
  void IssueExpand(uint64_t sess_id, const ustring& path);

  // Queues the rest of a rescan that `from` has carried out in part:
  // `rescan` is its event with m_opt the path its pass stopped at. It goes
  // to the end of its session's expand list, behind every pending event of
  // the tree, and replaces nothing (unlike a new rescan of "/": the expands
  // it would replace may lie in the part already passed). Dropped, with an
  // INFO line, when another task holds a rescan of the same folder or a new
  // one (m_opt "") waits: that one looks at every path again. Aborts no
  // task. Also dropped for a session that is not registered. The same for
  // the rest of an expansion (F_EXPAND without F_RESCAN), against
  // expansions of the folder.
  void ContinueRescan(Task* from, const Event& rescan);

  // Events of the session in its tree, pending or in progress (local plus
  // server; expands not counted), and the server ones alone. 0 for a
  // session without a pool.
  size_t GetAllPendingEventCount(uint64_t sess_id);
  size_t GetPendingServerEvent(uint64_t sess_id);
  // Server events of the session that were deferred (DeferEvent) and are
  // not done yet: changes that wait for a local folder, not for a worker.
  // Takes m_lock (unlike the counts above).
  size_t GetDeferredServerEvent(uint64_t sess_id);

  // Drops every pool, every task's event in hand and the ready queue.
  void Clear();

  // Writes / removes the file-status row of a full local path (stored with
  // every "/" as "\\"). 0, or -1 after an ERROR line.
  [[nodiscard]] int SyncingEvent2FStatDB(const ustring& full_path, bool is_dir);
  [[nodiscard]] int SyncedEvent2FStatDB(const ustring& full_path);

 private:
  friend class EventManagerInspector;  // read-only look for tests

  struct registry_entry_t {
    Event processing;
    Event waiting;  // EV_EMPTY when nothing waits
  };
  class event_pool;

  // The two pushes; `server` selects the server rules. `ev` already has
  // F_SERVER for a server push; `reported` is what the user interface is
  // told.
  void Push(const Event& ev, const Event& reported, bool server);
  // The next event of `pool` that is not deferred with its pause running;
  // `skipped` is set when such a node was passed over. 0 with `out`, or -1.
  // Under m_lock.
  int PopDue(event_pool* pool, Event& out, bool& skipped);
  // RedoEvent's step under m_lock; 0 or -1.
  int RedoLocked(Task* task, const Event& ev);
  // Whether the tree event `ev` is deferred and its pause still runs.
  // Under m_lock.
  bool PauseRuns(const Event& ev) const;

  // A deferred path: session, path, F_DIR.
  struct DeferKey {
    uint64_t sess_id;
    ustring path;
    bool is_dir;
    bool operator<(const DeferKey& o) const {
      if (sess_id != o.sess_id) return sess_id < o.sess_id;
      if (is_dir != o.is_dir) return is_dir < o.is_dir;
      return path < o.path;
    }
  };
  struct Deferral {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds pause{0};
    int count = 0;
    bool server = false;  // F_SERVER
  };
  std::map<DeferKey, Deferral> deferred;  // guarded by m_lock

  std::map<Task*, registry_entry_t> registry;  // guarded by m_lock
  // Owns the pools; guarded by m_lock.
  std::map<uint64_t, std::unique_ptr<event_pool>> pool_index;
  std::deque<event_pool*> ready_queue;  // guarded by m_lock
  std::mutex m_lock;
  // The same pools for the count queries; guarded by m_pool_index_lock.
  std::map<uint64_t, event_pool*> pool_counter_index;
  std::mutex m_pool_index_lock;
};

#endif  // SESSION_EVENT_MANAGER_H_
