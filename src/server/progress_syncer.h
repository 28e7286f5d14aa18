// ProgressSyncer: the task that works off the resume conditions which
// loosened selective-sync rules leave in the filter database and the
// ProgressCache. For a condition it sends "pull_event" from the
// condition's own sync id with a "condition" member (the extension, prefix,
// name or size range now let through), pushes every returned change,
// waits for the workers, and stores "next_sync_id" as the condition's new
// sync id; when the server answers with the condition's own sync id the
// condition is done and removed. While a session has a condition cached,
// the Syncer does not pull it.
//
// Choice of condition: among those whose session is registered, has a
// connection, is not paused and has no server event pending, the one whose
// session failed its last pull longest ago, sessions without a failed pull
// first, the oldest first among equals; when none is workable, the oldest
// of all (which then waits, with its log lines). So a paused session, a
// lost connection or a server that keeps failing (a certificate that does
// not verify, a server that is down) never holds back other sessions'
// conditions (and with them their normal pulls): failing sessions take
// their turns after the others. Within a session the order stays oldest
// first, and a condition whose pulls keep failing is still retried before
// the session's later ones.
//
// A change the session's local folder refuses (a read-only folder, a full
// disk) is deferred by the workers and may wait for long. The wait for the
// workers therefore ends once only deferred events remain: the condition's
// new sync id is kept aside (awaiting_) and recorded only once the
// session's events are done (SettleAwaited), so that a stop or crash
// meanwhile pulls the same changes again; other sessions' conditions are
// served meanwhile, and no condition of that session is pulled before.
//
// Errors go through HandleError (the Syncer's table, "Progress syncer"
// texts). An "error" reply the daemon has no code for is ERR_SERVER (waits
// 3 s), and a reply without a valid "next_sync_id" ERR_PROTO: nothing is
// pushed, stored or removed for either.
//
// Threads: as the Syncer (syncer.h): DoTask's thread owns `context`; the
// application thread calls Pause, Resume and Stop. The ProgressCache,
// FilterDB, Registry, ConnectionManager and EventManager lock themselves.
//
// Log component "progress_syncer_debug".
#ifndef SERVER_PROGRESS_SYNCER_H_
#define SERVER_PROGRESS_SYNCER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>

#include "filter/filter_db.h"
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

class ProgressSyncer : public FlaggedTask {
 public:
  struct Context {
    uint64_t row_id = 0;                   // the condition in hand
    ProgressCache::Entry progress_entry;   // copy of its cache entry
    Connection connection;                 // its session's connection
    Registry::Entry reg_entry;             // its session's record

    // Ids, type and description zeroed; connection and entry cleared.
    void clear();
  };

  // Serves the objects of `with`, which must outlive the task; pushes
  // changes through `with.generator` and reports errors through `with.ui`.
  ProgressSyncer(TaskManager* owner, const SyncerCollaborators& with, const DaemonTiming& timing = DaemonTiming());
  ~ProgressSyncer() override = default;

  ProgressSyncer(const ProgressSyncer&) = delete;
  ProgressSyncer& operator=(const ProgressSyncer&) = delete;

  void DoTask() override;

  // Takes the condition to work on (see above) with its session and
  // connection. 0; -1 with the context cleared when the cache is empty, or
  // the chosen condition's session or connection is gone (ERROR).
  int UpdateContext();
  // False (DEBUG) for a paused session, one with pending server events, or
  // one whose condition's changes still wait for its folder (awaiting_).
  bool IsSessionReady();
  // One pull for the condition in hand: 0 or a daemon code.
  ErrorCode PullEvent();
  // "pull_event" from the condition's sync id, with its "condition".
  void PrepareRequest(PObject& request);
  // The pooled exchange (command 6).
  ErrorCode ProtoPullEvent(const PObject& request, PObject& reply);
  // Removes the condition when next_sync_id equals its sync id (0); else
  // pushes the changes in slices (the workers drained after each,
  // pull::PushInSlices), releasing the reply's records as they go, and
  // stores next_sync_id once the last slice is carried out (0), or keeps it
  // in awaiting_ when only deferred events remain (0; SettleAwaited records
  // it); ERR_INT when a wait was interrupted (the condition keeps its sync
  // id) or the store failed (both are retried); ERR_PROTO for an invalid next_sync_id. The reply's
  // "event_list" is empty afterwards.
  ErrorCode ProcessEvents(PObject& reply);
  // pull::WaitForWorkers for the session in hand, ending (1) once only
  // deferred events remain.
  int WaitForWorkers();
  // Records the kept sync id of every awaiting_ condition whose session has
  // no server event left (INFO), without waiting; drops the entries of
  // sessions no longer registered and of conditions gone from the cache
  // (WARNING, nothing recorded). Returns how many entries remain.
  size_t SettleAwaited();
  // The action for a pull's `code` (syncer_error::HandleError); a failure
  // also gives the session in hand its turn after the others (see above).
  syncer_error::Action HandleError(ErrorCode code);

  const ConnectionInfo& GetConnectionInfo() const { return context_.connection.getConnectionInfo(); }
  // FSStat (case-exact) of the event's path below the session's folder.
  int GetFilesystemInfo(const Event& event, FILE_INFO& info) const;

  const Context& context() const { return context_; }

  // Changes pushed before each wait for the workers (pull::kPullSlice at
  // first). Set it before the task runs.
  void set_pull_slice(size_t changes) { pull_slice_ = changes; }

 private:
  // Fills the context for `entry`: 0, or -1 (ERROR, context cleared) when
  // its session or connection is gone.
  int TakeCondition(const ProgressCache::Entry& entry);
  // Records `next` as the sync id of condition `row_id`: 0, or -1 (ERROR).
  int StoreSyncId(uint64_t row_id, uint64_t next);
  // Whether a condition of `sess_id` could be pulled now.
  bool IsWorkable(uint64_t sess_id);
  // Lets go of the context's copy of the connection before a rest, so that
  // a connection removed meanwhile (its pool and open channels) goes at
  // once, not at the next round. The next round takes it again.
  void DropConnection();
  // Stamps the session in hand as failed now (a non-zero `code`), or
  // forgets its failure (0).
  void RecordOutcome(ErrorCode code);

  Registry& registry_;
  ConnectionManager& connections_;
  EventManager& events_;
  ProgressCache& progress_;
  FilterDB& filters_;
  UiReporter& ui_;
  EventGenerator& generator_;
  const DaemonTiming timing_;

  Context context_;
  // Session id -> the turn of its last failed pull; DoTask's thread only.
  std::map<uint64_t, uint64_t> failed_turn_;
  uint64_t turn_ = 0;
  // A condition whose pulled changes wait for the local folder: the sync id
  // to record once they are done.
  struct Awaited {
    uint64_t row_id = 0;
    uint64_t next_sync_id = 0;
  };
  // Session id -> its awaiting condition; DoTask's thread only.
  std::map<uint64_t, Awaited> awaiting_;
  RequestRoad road_;  // bound to context_ and abort_flag_
  size_t pull_slice_ = pull::kPullSlice;
  // The changes of the reply in hand, compact until pushed (ProcessEvents).
  ChangeSpool spool_;
};

#endif  // SERVER_PROGRESS_SYNCER_H_
