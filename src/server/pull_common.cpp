#include "server/pull_common.h"

#include <chrono>
#include <thread>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "session/event.h"
#include "transport/error_code.h"

namespace pull {

namespace {

using ull = unsigned long long;

#define PULL_LOG(level, ...) LOG_WITH_LINE(level, comp, __VA_ARGS__)

}  // namespace

void BuildRequest(PObject& request, const ConnectionInfo& info, const Registry::Entry& session, uint64_t sync_id) {
  InitRequest(request, "pull_event");
  request["sync_id"] = static_cast<unsigned long long>(sync_id);
  request["session"] = info.session;
  request["path"] = session.remote_path;
  request["view_id"] = static_cast<unsigned long long>(session.view_id);
  request["node_id"] = static_cast<unsigned long long>(session.node_id);
  request["recursive"] = session.recursive;  // the integer 0 or 1
  request["file"]["offset"] = 0;
  request["mtime"]["offset"] = 0;
}

ErrorCode ReplyError(const PObject& reply, const RequestRoad& road, const char* comp) {
  if (!reply.hasMember("error")) return ERR_OK;
  const PObject& error = reply["error"];
  PULL_LOG(L_ERR, "[ERROR] pull(%d): PullEvent: response: %s.\n", error.toString().c_str_utf8());
  const ErrorCode code = road.MapServerCode(error["code"].asUInt32());
  return code != ERR_OK ? code : ERR_SERVER;
}

ErrorCode NextSyncId(const PObject& reply, uint64_t& next, const char* comp) {
  const PObject& value = reply["next_sync_id"];
  if (!value.isInteger() || value.asUInt64() > MAX_SYNC_ID) {
    PULL_LOG(L_ERR, "[ERROR] pull(%d): PullEvent: invalid next_sync_id in response: %s.\n",
             value.toString().c_str_utf8());
    return ERR_PROTO;
  }
  next = value.asUInt64();
  return ERR_OK;
}

int WaitForWorkers(Task& task, EventManager& events, Registry& registry, uint64_t sess_id, const char* comp,
                   const DaemonTiming& timing, bool until_only_deferred) {
  Registry::Entry fresh;
  while (true) {
    const size_t pending = events.GetPendingServerEvent(sess_id);
    if (pending == 0) {
      if (registry.Find(sess_id, fresh) == 1) return 0;
      PULL_LOG(L_WARNING, "[WARNING] pull(%d): session %llu is removed, events might be dropped\n",
               static_cast<ull>(sess_id));
      return -1;
    }
    const Task::State state = task.GetState();
    if (state == Task::STOP) {
      PULL_LOG(L_WARNING, "[WARNING] pull(%d): Program stopped while syncing files ...\n");
      return -1;
    }
    if (state == Task::PAUSE) std::this_thread::sleep_for(timing.pause_poll);
    if (registry.Find(sess_id, fresh) != 1) {
      PULL_LOG(L_WARNING, "[WARNING] pull(%d): session %llu is removed while there are events\n",
               static_cast<ull>(sess_id));
      return -1;
    }
    if (fresh.pause) {
      PULL_LOG(L_NOTICE, "[NOTE] pull(%d): session %llu is paused while there are events\n",
               static_cast<ull>(sess_id));
      return -1;
    }
    PULL_LOG(L_DEBUG, "[DEBUG] pull(%d): Wait for workers (still %d pending server events).\n",
             static_cast<int>(pending));
    if (until_only_deferred && events.GetDeferredServerEvent(sess_id) >= pending) {
      PULL_LOG(L_INFO, "[INFO] pull(%d): session %llu: its %d pending server events wait for the local folder\n",
               static_cast<ull>(sess_id), static_cast<int>(pending));
      return 1;
    }
    (void)task.Wait(timing.syncer_idle_wait);  // cut short by a pause or stop; the loop looks at the state
  }
}

int PushInSlices(const std::function<int(PObject&)>& next, size_t slice,
                 const std::function<void(const PObject&)>& push, const std::function<int()>& wait) {
  if (slice == 0) slice = 1;
  PObject change;
  size_t pushed = 0;
  for (;;) {
    const int got = next(change);
    if (got < 0) return -1;
    if (got == 0) return 0;
    // A full slice is carried out before the next change is pushed.
    if (pushed != 0 && pushed % slice == 0 && wait() < 0) return -1;
    push(change);
    change.clear();
    ++pushed;
  }
}

SpoolScope::SpoolScope(RequestRoad& road, ChangeSpool& spool) : road_(road) {
  spool.Clear();
  road_.stream().SetArraySink("event_list", [&spool](PObject& change) { return spool.Append(change); });
}

SpoolScope::~SpoolScope() { road_.stream().SetArraySink("", nullptr); }

int PushSpooled(ChangeSpool& spool, PObject& reply, size_t slice, const std::function<void(const PObject&)>& push,
                const std::function<int()>& wait, const char* comp) {
  int result = 0;
  if (reply.hasMember("event_list") && reply["event_list"].isArray()) {
    for (PObject& change : reply["event_list"].asArray()) {
      if (spool.Append(change) != 0) result = -1;
    }
    PObject::array_type().swap(reply["event_list"].asArray());
  }
  if (result == 0) result = spool.Rewind();
  if (result != 0) {
    PULL_LOG(L_ERR, "[ERROR] pull(%d): ProcessEvents: cannot keep the changes of the reply\n");
    spool.Clear();
    return -1;
  }
  bool unreadable = false;
  result = PushInSlices(
      [&](PObject& change) {
        const int r = spool.Next(change);
        unreadable = r < 0;
        return r;
      },
      slice, push, wait);
  if (unreadable) PULL_LOG(L_ERR, "[ERROR] pull(%d): ProcessEvents: cannot read back the changes of the reply\n");
  spool.Clear();
  return result;
}

void LogInterrupted(const char* comp) {
  PULL_LOG(L_NOTICE, "[NOTE] pull(%d): ProcessEvents: interrupted while waiting events being done ...\n");
}

int PushSpooledAndWait(ChangeSpool& spool, PObject& reply, size_t slice,
                       const std::function<void(const PObject&)>& push, const std::function<int()>& wait,
                       const char* comp) {
  const int pushed = PushSpooled(spool, reply, slice, push, wait, comp);
  const int waited = pushed < 0 ? -1 : wait();
  if (waited < 0) LogInterrupted(comp);
  return waited;
}

}  // namespace pull
