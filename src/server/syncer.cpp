#include "server/syncer.h"

#include <chrono>
#include <thread>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "server/pull_common.h"
#include "server/syncer_error.h"
#include "server/syncer_road_profile.h"
#include "session/event_generator.h"
#include "session/file_event_db.h"
#include "transport/error_code.h"

namespace {

using ull = unsigned long long;

constexpr char kComp[] = "syncer_debug";

#define SYNCER_TASK_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

}  // namespace

Syncer::Syncer(TaskManager* owner, const SyncerCollaborators& with, const DaemonTiming& timing)
    : FlaggedTask(owner, nullptr),
      registry_(with.registry),
      connections_(with.connections),
      events_(with.events),
      progress_(with.progress),
      ui_(with.ui),
      generator_(with.generator),
      timing_(timing),
      road_(SyncerRoadProfile(), abort_flag_, context_.connection, context_.entry) {}

void Syncer::DoTask() {
  while (true) {
    const State state = GetState();
    if (state == STOP) break;
    if (state == PAUSE) {
      std::this_thread::sleep_for(timing_.pause_poll);
      continue;
    }
    DropRemovedAwaited();
    if (UpdateContext() < 0 || !IsSessionReady()) {
      DropConnection();
      Wait(timing_.syncer_idle_wait);
      continue;
    }
    const syncer_error::Action action = HandleError(PullEvent());
    DropConnection();
    Wait(syncer_error::ActionWait(action, SyncerRoadLog(), timing_));
  }
  if (!awaiting_.empty()) {
    SYNCER_TASK_LOG(L_WARNING, "[WARNING] syncer(%d): Program stopped while syncing files ...\n");
    pull::LogInterrupted(kComp);
  }
  SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): Syncer: stop working, now on view_id %llu, sync_id %llu.\n",
                  static_cast<ull>(context_.entry.view_id), static_cast<ull>(context_.sync_id));
}

void Syncer::AddRescanEvent(uint64_t sess_id, bool merge_mode) {
  std::lock_guard<std::mutex> lock(rescan_events_lock_);
  rescan_events_[sess_id] = merge_mode;
}

int Syncer::UpdateContext() {
  Registry::Entry entry;
  if (registry_.FindNext(context_.entry.sess_id, entry) == 0) {
    SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): invalid session id %llu\n",
                    static_cast<ull>(context_.entry.sess_id));
    context_.entry.clear();
    context_.connection.clear();
    return -1;
  }
  Connection connection;
  if (connections_.get(entry.conn_id, connection) != 0) {
    SYNCER_TASK_LOG(L_ERR, "[ERROR] syncer(%d): invalid connection id %llu\n", static_cast<ull>(entry.conn_id));
    context_.entry.clear();
    context_.connection.clear();
    // Keep the skipped session's id: FindNext then moves past it. With the
    // cleared id 0 the next round would begin again at the first session,
    // and a first session without a connection (kept by "unlink_connection")
    // would hold every later one back for good.
    context_.entry.sess_id = entry.sess_id;
    return -1;
  }
  context_.sync_id = 0;
  context_.entry = entry;
  context_.connection = connection;
  return 0;
}

bool Syncer::IsSessionReady() {
  const uint64_t sess_id = context_.entry.sess_id;
  if (progress_.isInProgrssCache(sess_id)) {
    SYNCER_TASK_LOG(L_INFO, "[INFO] syncer(%d): session '%llu' is in ProgrssCache.\n", static_cast<ull>(sess_id));
    return false;
  }
  if (context_.entry.pause) {
    SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): session '%llu' is paused.\n", static_cast<ull>(sess_id));
    return false;
  }
  return true;
}

ErrorCode Syncer::PullEvent() {
  // An interrupted wait is an interrupted round.
  if (const int settled = SettleAwaited(); settled != 0) return settled < 0 ? ERR_INT : ERR_OK;
  PObject reply;
  ErrorCode r = PullEventFromServer(reply);
  if (r == ERR_OK) r = ProcessEvents(reply);
  spool_.Clear();  // what a refused or unusable reply left
  return r;
}

ErrorCode Syncer::PullEventFromServer(PObject& reply) {
  const Registry::Entry& entry = context_.entry;
  uint64_t id = 0;
  if (!entry.event_db || entry.event_db->getSyncId(id) != 0) {
    SYNCER_TASK_LOG(L_ERR, "[ERROR] syncer(%d): Syncer: cannot read the sync id of session %llu.\n",
                    static_cast<ull>(entry.sess_id));
    return ERR_SYS;
  }
  context_.sync_id = id;
  PObject request;
  pull::BuildRequest(request, context_.connection.getConnectionInfo(), entry, id);
  SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): Syncer: pull event by session %llu (%llu:%s) since %llu\n",
                  static_cast<ull>(entry.sess_id), static_cast<ull>(entry.view_id),
                  entry.remote_path.c_str_utf8(), static_cast<ull>(id));
  ErrorCode r = ERR_OK;
  {
    const pull::SpoolScope changes_to_spool(road_, spool_);
    r = ProtoPullEvent(request, reply);
  }
  if (r != ERR_OK) return r;
  return pull::ReplyError(reply, road_, kComp);
}

ErrorCode Syncer::ProtoPullEvent(const PObject& request, PObject& reply) {
  return road_.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply);
}

ErrorCode Syncer::ProcessEvents(PObject& reply) {
  const uint64_t sess_id = context_.entry.sess_id;
  uint64_t next = 0;
  if (const ErrorCode r = pull::NextSyncId(reply, next, kComp); r != ERR_OK) return r;

  if (next == context_.sync_id) {
    SendRescanEvent(sess_id);
    uptodate_set_.insert(sess_id);
    SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): session '%llu' is uptodate.\n", static_cast<ull>(sess_id));
    // Sessions waiting for their local folder have nothing to pull either.
    if (registry_.Size() > uptodate_set_.size() + awaiting_.size()) return ERR_OK;
    SYNCER_TASK_LOG(L_DEBUG, "[DEBUG] syncer(%d): all session is uptodate, wait for 5 seconds.\n");
    uptodate_set_.clear();
    // The pull verified: the spell ends as HandleError would end it after
    // the rest, which no longer holds the copy.
    context_.connection.endVerifyFailure();
    DropConnection();
    Wait(timing_.syncer_up_to_date_rest);
    return ERR_OK;
  }

  uptodate_set_.erase(sess_id);
  // Dropped changes (unsafe paths, echoes) are logged by the generator; the
  // sync id still advances past them.
  const int waited = pull::PushSpooledAndWait(
      spool_, reply, pull_slice_,
      [this](const PObject& change) { (void)generator_.PushEvent(context_.entry, change); },
      [this] { return WaitForWorkers(); }, kComp);
  if (waited < 0) return ERR_INT;
  if (waited > 0) {
    // Stored once they are done, never before: see SettleAwaited.
    awaiting_[sess_id] = next;
    return ERR_OK;
  }
  // A failed store only means the same changes are pulled again.
  (void)context_.entry.event_db->setSyncId(next);
  return ERR_OK;
}

int Syncer::WaitForWorkers() {
  return pull::WaitForWorkers(*this, events_, registry_, context_.entry.sess_id, kComp, timing_,
                              /*until_only_deferred=*/true);
}

int Syncer::SettleAwaited() {
  const uint64_t sess_id = context_.entry.sess_id;
  const auto it = awaiting_.find(sess_id);
  if (it == awaiting_.end()) return 0;
  const uint64_t next = it->second;
  const int waited = WaitForWorkers();
  if (waited > 0) {
    // Every session either waits like this one or is up to date: rest a
    // step rather than turn over at once.
    if (uptodate_set_.size() + awaiting_.size() >= registry_.Size()) {
      DropConnection();
      Wait(timing_.syncer_idle_wait);
    }
    return 1;
  }
  awaiting_.erase(sess_id);
  if (waited < 0) {
    pull::LogInterrupted(kComp);
    return -1;
  }
  // A failed store only means the same changes are pulled again.
  (void)context_.entry.event_db->setSyncId(next);
  SYNCER_TASK_LOG(L_INFO, "[INFO] syncer(%d): session %llu: pulled changes done, sync id %llu stored\n",
                  static_cast<ull>(sess_id), static_cast<ull>(next));
  return 0;
}

void Syncer::DropRemovedAwaited() {
  for (auto it = awaiting_.begin(); it != awaiting_.end();) {
    Registry::Entry entry;
    if (registry_.Find(it->first, entry) == 1) {
      ++it;
      continue;
    }
    SYNCER_TASK_LOG(L_WARNING, "[WARNING] syncer(%d): session %llu is removed while there are events\n",
                    static_cast<ull>(it->first));
    it = awaiting_.erase(it);
  }
}

void Syncer::DropConnection() { context_.connection.clear(); }

void Syncer::SendRescanEvent(uint64_t sess_id) {
  bool merge = false;
  {
    std::lock_guard<std::mutex> lock(rescan_events_lock_);
    auto it = rescan_events_.find(sess_id);
    if (it == rescan_events_.end()) return;
    merge = it->second;
    rescan_events_.erase(it);
  }
  SYNCER_TASK_LOG(L_INFO, "[INFO] syncer(%d): session #%llu is up-to-date, issue rescan\n", static_cast<ull>(sess_id));
  events_.IssueRescan(sess_id, "/", merge);
}

syncer_error::Action Syncer::HandleError(ErrorCode err) {
  return syncer_error::HandleError(err, SyncerRoadLog(), ui_, context_.entry.conn_id, context_.entry.sess_id,
                                   context_.connection);
}

int Syncer::GetFilesystemInfo(const Event& event, FILE_INFO& info) const {
  ustring path = context_.entry.local_path;
  if (event.m_path != "/") path += event.m_path;
  return FSStat(path, info, true) == 0 ? 0 : -1;
}
