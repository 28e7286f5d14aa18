// Syncer: the task that brings the server's changes into the daemon. It
// visits the registered sessions in turn; for each ready one it pulls the
// changes since the session's stored sync id ("pull_event"), hands each to
// the event generator (PushEvent, which checks the path and queues a server
// event), waits until the workers have carried out the session's server
// events, and only then stores the reply's "next_sync_id". A large reply is
// pushed in slices, the workers drained after each, so that memory follows
// the slice, not the reply. A pull that is
// interrupted (stop, session paused or removed) stores nothing, so the
// same changes are pulled again. A session with no new changes is up to
// date: a rescan requested for it (AddRescanEvent) is issued then, once;
// when every session was found up to date, the task rests 5 seconds.
//
// Not ready: a paused session, and one with a resume condition in the
// ProgressCache (the ProgressSyncer works those off first).
//
// Errors of a round go through HandleError (syncer_error.h): a report to the
// user interface for session and connection errors, and the wait before the
// next round (0, 3 or 120 s). An "error" reply the daemon has no code for
// is ERR_SERVER, and a reply without a valid "next_sync_id" ERR_PROTO:
// nothing is queued or stored for either.
//
// Threads: DoTask and the operations it calls run on the task's thread and
// own `context`. The application thread calls Pause, Resume, Stop and
// AddRescanEvent; `rescan_events` is guarded by `rescan_events_lock`, which
// is released before the event queue is called. The task reaches the
// Registry, ConnectionManager, EventManager, ProgressCache and the
// session's FileEventDB only through their own locked operations and holds
// at most one pooled channel, for one request (never while it calls the
// ConnectionManager).
//
// Log component "syncer_debug".
#ifndef SERVER_SYNCER_H_
#define SERVER_SYNCER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include "filter/progress_cache.h"
#include "foundation/daemon_timing.h"
#include "foundation/file_op.h"
#include "protocol/pobject.h"
#include "server/connection.h"
#include "server/change_spool.h"
#include "server/connection_manager.h"
#include "server/pull_common.h"
#include "server/request_road.h"
#include "server/syncer_collaborators.h"
#include "server/syncer_error.h"
#include "session/event.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "server/flagged_task.h"

class Syncer : public FlaggedTask {
 public:
  struct Context {
    Registry::Entry entry;  // copy of the session being served
    Connection connection;  // its connection, sharing the pool
    uint64_t sync_id = 0;   // the sync id the current pull started from
  };

  // Serves the registry, connections, queue and cache of `with`, which
  // must outlive the task; pushes changes through `with.generator` and
  // reports errors through `with.ui`.
  Syncer(TaskManager* owner, const SyncerCollaborators& with, const DaemonTiming& timing = DaemonTiming());
  ~Syncer() override = default;

  Syncer(const Syncer&) = delete;
  Syncer& operator=(const Syncer&) = delete;

  // The loop described above. Ends with a DEBUG line once the state is STOP.
  void DoTask() override;

  // Asks for a rescan of "/" (merge mode as given) of the session the first
  // time it is found up to date; replaces an earlier request. Any thread.
  void AddRescanEvent(uint64_t sess_id, bool merge_mode);

  // Moves to the session after the current one (wrapping). 0 with its entry
  // and connection; -1 for an empty registry (context cleared) or a session
  // whose connection is unknown (ERROR; the context keeps that session's
  // id, so the next round moves on to the session after it).
  int UpdateContext();
  // False (after an INFO line) for a session in the ProgressCache, or
  // (after a DEBUG line) a paused one.
  bool IsSessionReady();
  // PullEventFromServer, then ProcessEvents when it gave 0. A daemon code.
  ErrorCode PullEvent();
  // Reads the stored sync id (ERR_SYS when it cannot: nothing is sent),
  // sends "pull_event" from it. 0 with `reply`; the road's code; the code of
  // an "error" reply (pull::ReplyError).
  ErrorCode PullEventFromServer(PObject& reply);
  // The pooled exchange of "pull_event" (command 6).
  ErrorCode ProtoPullEvent(const PObject& request, PObject& reply);
  // Up to date (next_sync_id equals the request's): 0, after the rescan and
  // the 5-s rest when due. Else pushes every change in slices (the workers
  // drained after each, pull::PushInSlices), releasing the reply's records
  // as they go, and stores next_sync_id once the last slice is carried out,
  // or later (SettleAwaited) when only deferred events remain: 0; ERR_INT when a
  // wait was interrupted (nothing stored, so the whole reply is pulled
  // again); ERR_PROTO for a missing or invalid next_sync_id (nothing pushed
  // or stored). The reply's "event_list" is empty afterwards.
  ErrorCode ProcessEvents(PObject& reply);
  // pull::WaitForWorkers for the context's session, ending (1) once only
  // deferred events remain.
  int WaitForWorkers();
  // For a session in awaiting_: waits for its workers again; once they are
  // done stores its sync id (0: pull on); 1 when only deferred events remain
  // (nothing to do now); -1 when the wait was interrupted (the entry goes,
  // nothing stored). 0 for any other session.
  int SettleAwaited();
  // Drops the awaiting_ entries of sessions no longer registered (WARNING).
  void DropRemovedAwaited();
  // Lets go of the context's copy of the connection before a rest, so that
  // a connection removed meanwhile (its pool and open channels) goes at
  // once, not at the next round. The next round takes it again.
  void DropConnection();
  // Issues the session's pending rescan request, if any.
  void SendRescanEvent(uint64_t sess_id);
  // syncer_error::HandleError with the context's ids: the action.
  syncer_error::Action HandleError(ErrorCode err);

  // The context connection's settings.
  const ConnectionInfo& GetConnectionInfo() const { return context_.connection.getConnectionInfo(); }
  // FSStat (case-exact) of local_path ("/") or local_path + the event's
  // path. 0, or -1 when it fails.
  int GetFilesystemInfo(const Event& event, FILE_INFO& info) const;

  const Context& context() const { return context_; }

  // Changes pushed before each wait for the workers (pull::kPullSlice at
  // first). Set it before the task runs.
  void set_pull_slice(size_t changes) { pull_slice_ = changes; }

 private:
  Registry& registry_;
  ConnectionManager& connections_;
  EventManager& events_;
  ProgressCache& progress_;
  UiReporter& ui_;
  EventGenerator& generator_;
  const DaemonTiming timing_;

  Context context_;
  std::mutex rescan_events_lock_;
  std::map<uint64_t, bool> rescan_events_;  // guarded by rescan_events_lock_
  std::set<uint64_t> uptodate_set_;         // up to date since the last rest
  // Sessions whose pulled changes are queued but wait for their local
  // folder (deferred events only): the next sync id to store once they are
  // done. The Syncer serves the other sessions meanwhile and pulls such a
  // session again only after the store.
  std::map<uint64_t, uint64_t> awaiting_;
  RequestRoad road_;                        // bound to context_ and abort_flag_
  size_t pull_slice_ = pull::kPullSlice;
  // The changes of the reply in hand, compact until pushed (ProcessEvents).
  ChangeSpool spool_;
};

#endif  // SERVER_SYNCER_H_
