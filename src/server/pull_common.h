// What the Syncer and the ProgressSyncer share around a "pull_event": the
// request, the checks of its reply, and the wait for the workers to carry
// out the pushed changes. Lines go to the component the caller names, in
// the same words for both tasks.
#ifndef SERVER_PULL_COMMON_H_
#define SERVER_PULL_COMMON_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "foundation/daemon_timing.h"
#include "protocol/pobject.h"
#include "server/change_spool.h"
#include "server/connection_info.h"
#include "server/request_road.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "session/task.h"

namespace pull {

// Builds "pull_event" (InitRequest) for `session` from `sync_id`: "sync_id",
// "session" (info.session), "path" (remote_path), "view_id", "node_id",
// "recursive" (integer 0/1), "file" {"offset": 0}, "mtime" {"offset": 0}.
// The ProgressSyncer adds "condition" afterwards.
void BuildRequest(PObject& request, const ConnectionInfo& info, const Registry::Entry& session, uint64_t sync_id);

// The daemon code of a reply that carries "error": logs ERROR "PullEvent:
// response: %s." with the member as text, then maps "error"."code" with the
// road's rules. A code the daemon has no mapping for (0: class 7, an
// unhandled class, a code above 16 bits) gives ERR_SERVER: such a reply
// holds no changes, so it must not be processed as one (0 would store
// "next_sync_id" 0 and restart the session's pulls from the beginning, or
// re-pull at once without a wait for as long as the server answers so).
// 0 when the reply has no "error".
ErrorCode ReplyError(const PObject& reply, const RequestRoad& road, const char* comp);

// Reads the reply's "next_sync_id". 0 with `next`; ERR_PROTO after an ERROR
// line when it is absent, not an integer, or above MAX_SYNC_ID (such an id
// cannot be stored exactly by the databases: above 2^63 - 1 it reads back
// as the forced-download mark).
ErrorCode NextSyncId(const PObject& reply, uint64_t& next, const char* comp);

// Waits, in steps of task.Wait(timing.syncer_idle_wait), until the session has no server
// event queued or in a worker's hands. 0; -1 after a WARNING or NOTE line
// when the task is stopped, the session is removed or paused meanwhile
// (a pause of the task holds the wait in sleeps of timing.pause_poll). Lines:
// "session %llu is removed, events might be dropped", "Program stopped
// while syncing files ...", "session %llu is removed while there are
// events", "session %llu is paused while there are events", DEBUG "Wait for
// workers (still %d pending server events).".
// With `until_only_deferred`, the wait also ends, with 1, once every
// pending server event of the session is a deferred one
// (EventManager::DeferEvent: a change that waits for a local folder): such
// events may not drain for long, and other sessions must not wait for them.
int WaitForWorkers(Task& task, EventManager& events, Registry& registry, uint64_t sess_id, const char* comp,
                   const DaemonTiming& timing, bool until_only_deferred = false);

// Changes pushed before each wait for the workers. A reply may hold every
// change of a large tree; pushed in slices, its records and their queue
// entries are held for one slice at a time, not for the whole reply.
constexpr size_t kPullSlice = 1000;

// Pushes the changes that `next` hands out (1 with a change, 0 after the
// last, negative for a failure) in order through `push`, releasing each
// record once it is pushed, and calls `wait` after every full `slice` of
// changes except the last (a `slice` of 0 counts as 1). 0 once every change
// is pushed: the caller then waits for the last slice itself and only then
// stores the reply's sync id, so that an interrupted reply is pulled again
// whole. -1 as soon as a wait is negative or `next` fails (the rest is not
// pushed).
int PushInSlices(const std::function<int(PObject&)>& next, size_t slice,
                 const std::function<void(const PObject&)>& push, const std::function<int()>& wait);

// While it lives, the changes ("event_list") of the replies `road` receives
// go to `spool` as they arrive, not into the reply (the spool is emptied
// first).
class SpoolScope {
 public:
  SpoolScope(RequestRoad& road, ChangeSpool& spool);
  ~SpoolScope();
  SpoolScope(const SpoolScope&) = delete;
  SpoolScope& operator=(const SpoolScope&) = delete;

 private:
  RequestRoad& road_;
};

// The changes of a pull in slices (PushInSlices): those in `spool`, then
// any the reply itself still holds. The spool and the reply's "event_list"
// are empty afterwards. 0, or -1 (an ERROR line when the spool could not be
// read back).
int PushSpooled(ChangeSpool& spool, PObject& reply, size_t slice, const std::function<void(const PObject&)>& push,
                const std::function<int()>& wait, const char* comp);

// NOTE "ProcessEvents: interrupted while waiting events being done ...".
void LogInterrupted(const char* comp);

// PushSpooled, then `wait` once more for what the last slice left: -1 when
// either failed or was interrupted (the NOTE above is logged), else what
// `wait` answered (0 every change done, > 0 only deferred ones remain).
int PushSpooledAndWait(ChangeSpool& spool, PObject& reply, size_t slice,
                       const std::function<void(const PObject&)>& push, const std::function<int()>& wait,
                       const char* comp);

}  // namespace pull

#endif  // SERVER_PULL_COMMON_H_
