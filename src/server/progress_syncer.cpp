#include "server/progress_syncer.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "filter/filter_codes.h"
#include "filter/filter_reconcile.h"
#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "server/progress_syncer_road_profile.h"
#include "server/pull_common.h"
#include "server/syncer_error.h"
#include "session/event_generator.h"
#include "transport/error_code.h"

namespace {

using ull = unsigned long long;

constexpr char kComp[] = "progress_syncer_debug";

#define PROGRESS_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

}  // namespace

void ProgressSyncer::Context::clear() {
  row_id = 0;
  progress_entry.row_id = 0;
  progress_entry.condition.sess_id = 0;
  progress_entry.condition.sync_id = 0;
  progress_entry.condition.filter_type = 0;
  progress_entry.condition.filter_desc.clear();
  connection.clear();
  reg_entry.clear();
}

ProgressSyncer::ProgressSyncer(TaskManager* owner, const SyncerCollaborators& with, const DaemonTiming& timing)
    : FlaggedTask(owner, nullptr),
      registry_(with.registry),
      connections_(with.connections),
      events_(with.events),
      progress_(with.progress),
      filters_(with.filters),
      ui_(with.ui),
      generator_(with.generator),
      timing_(timing),
      road_(ProgressSyncerRoadProfile(), abort_flag_, context_.connection, context_.reg_entry) {}

void ProgressSyncer::DoTask() {
  PROGRESS_LOG(L_DEBUG, "[DEBUG] progress-syncer(%d): ProgressSyncer START.\n");
  while (true) {
    const State state = GetState();
    if (state == STOP) break;
    if (state == PAUSE) {
      std::this_thread::sleep_for(timing_.pause_poll);
      continue;
    }
    (void)SettleAwaited();
    if (UpdateContext() < 0 || !IsSessionReady()) {
      DropConnection();
      Wait(timing_.syncer_idle_wait);
      continue;
    }
    const syncer_error::Action action = HandleError(PullEvent());
    DropConnection();
    Wait(syncer_error::ActionWait(action, ProgressSyncerRoadLog(), timing_));
  }
  if (!awaiting_.empty()) {
    // Nothing kept aside is recorded: the same changes are pulled again.
    PROGRESS_LOG(L_WARNING, "[WARNING] progress-syncer(%d): Program stopped while syncing files ...\n");
    pull::LogInterrupted(kComp);
  }
  PROGRESS_LOG(L_DEBUG,
               "[DEBUG] progress-syncer(%d): ProgressSyncer : stop working, now on sess_id = %llu, sync_id = %llu.\n",
               static_cast<ull>(context_.progress_entry.condition.sess_id),
               static_cast<ull>(context_.progress_entry.condition.sync_id));
}

bool ProgressSyncer::IsWorkable(uint64_t sess_id) {
  if (awaiting_.count(sess_id) != 0) return false;
  Registry::Entry entry;
  if (registry_.Find(sess_id, entry) != 1 || entry.pause) return false;
  Connection connection;
  if (connections_.get(entry.conn_id, connection) != 0) return false;
  return events_.GetPendingServerEvent(sess_id) == 0;
}

int ProgressSyncer::UpdateContext() {
  std::vector<ProgressCache::Entry> entries;
  progress_.getProgressEntries(entries);
  if (entries.empty()) {
    context_.clear();
    return -1;
  }
  // Among the conditions that can be worked now, the first of the session
  // whose last pull failed longest ago (0: never); else the oldest, which
  // then waits (its lines tell why). Eligibility and turn are per session,
  // so a session's conditions keep their order.
  const ProgressCache::Entry* chosen = nullptr;
  uint64_t chosen_turn = 0;
  std::map<uint64_t, uint64_t> still_failed;
  for (const ProgressCache::Entry& e : entries) {
    const uint64_t sess_id = e.condition.sess_id;
    const auto failed = failed_turn_.find(sess_id);
    const uint64_t turn = failed == failed_turn_.end() ? 0 : failed->second;
    if (turn != 0) still_failed[sess_id] = turn;
    // Only a condition that would win is asked whether it can be worked
    // (three locks each): none after a workable one of a session that
    // never failed.
    if (chosen != nullptr && turn >= chosen_turn) continue;
    if (!IsWorkable(sess_id)) continue;
    chosen = &e;
    chosen_turn = turn;
  }
  failed_turn_.swap(still_failed);  // sessions without a condition are forgotten
  return TakeCondition(chosen != nullptr ? *chosen : entries.front());
}

void ProgressSyncer::RecordOutcome(ErrorCode code) {
  const uint64_t sess_id = context_.reg_entry.sess_id;
  if (code == ERR_OK) {
    failed_turn_.erase(sess_id);
  } else {
    failed_turn_[sess_id] = ++turn_;
  }
}

int ProgressSyncer::TakeCondition(const ProgressCache::Entry& entry) {
  context_.progress_entry = entry;
  context_.row_id = entry.row_id;
  const ResumeCondition& c = entry.condition;
  if (registry_.Find(c.sess_id, context_.reg_entry) != 1) {
    PROGRESS_LOG(L_ERR, "[ERROR] progress-syncer(%d): Cannot find corresponding registry entry for sess_id '%llu'.\n",
                 static_cast<ull>(c.sess_id));
    context_.clear();
    return -1;
  }
  Connection connection;
  if (connections_.get(context_.reg_entry.conn_id, connection) != 0) {
    PROGRESS_LOG(L_ERR, "[ERROR] progress-syncer(%d): ProgressSyncer: connection (with id = %llu) is gone\n",
                 static_cast<ull>(context_.reg_entry.conn_id));
    context_.clear();
    return -1;
  }
  context_.connection = connection;
  PROGRESS_LOG(L_DEBUG,
               "[DEBUG] progress-syncer(%d): Find an resume_condition (%llu): sess_id (%llu), sync_id (%llu), type "
               "(%d), desc [%s].\n",
               static_cast<ull>(entry.row_id), static_cast<ull>(c.sess_id), static_cast<ull>(c.sync_id),
               c.filter_type, c.filter_desc.c_str_utf8());
  return 0;
}

bool ProgressSyncer::IsSessionReady() {
  const uint64_t sess_id = context_.reg_entry.sess_id;
  if (context_.reg_entry.pause) {
    PROGRESS_LOG(L_DEBUG, "[DEBUG] progress-syncer(%d): session (%llu) is under pause status.\n",
                 static_cast<ull>(sess_id));
    return false;
  }
  if (awaiting_.count(sess_id) != 0) {
    PROGRESS_LOG(L_DEBUG, "[DEBUG] progress-syncer(%d): session (%llu) still has changes waiting for its folder.\n",
                 static_cast<ull>(sess_id));
    return false;
  }
  const size_t pending = events_.GetPendingServerEvent(sess_id);
  if (pending == 0) return true;
  PROGRESS_LOG(L_DEBUG, "[DEBUG] progress-syncer(%d): session (%llu) still has '%d' pending server events.\n",
               static_cast<ull>(sess_id), static_cast<int>(pending));
  return false;
}

ErrorCode ProgressSyncer::PullEvent() {
  PObject request;
  PObject reply;
  PrepareRequest(request);
  ErrorCode r = ERR_OK;
  {
    const pull::SpoolScope changes_to_spool(road_, spool_);
    r = ProtoPullEvent(request, reply);
  }
  if (r != ERR_OK) {
    PROGRESS_LOG(L_ERR, "[ERROR] progress-syncer(%d): PullEvent: fail to pull events. %d.\n", ErrorNumber(r));
  } else if ((r = pull::ReplyError(reply, road_, kComp)) == ERR_OK) {
    r = ProcessEvents(reply);
    if (r != ERR_OK) {
      PROGRESS_LOG(L_ERR, "[ERROR] progress-syncer(%d): PullEvent: fail to process event.\n");
      r = r == ERR_PROTO ? ERR_PROTO : ERR_INT;
    }
  }
  spool_.Clear();  // what a refused or unusable reply left
  return r;
}

void ProgressSyncer::PrepareRequest(PObject& request) {
  const ResumeCondition& c = context_.progress_entry.condition;
  pull::BuildRequest(request, context_.connection.getConnectionInfo(), context_.reg_entry, c.sync_id);
  switch (c.filter_type) {
    case FILTER_EXT_SELECTIVE_SYNC:
      request["condition"]["extension"] = c.filter_desc;
      break;
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
      request["condition"]["prefix"] = c.filter_desc;
      break;
    case FILTER_NAME_SELECTIVE_SYNC:
      request["condition"]["name"] = c.filter_desc;
      break;
    case FILTER_FILE_SIZE_SELECTIVE_SYNC: {
      uint64_t from = 0;
      uint64_t to = 0;
      if (DecodeResumeSizeFilterDesc(c.filter_desc, from, to) != 0) {
        PROGRESS_LOG(L_ERR, "[ERROR] progress-syncer(%d): Failed to decode resume size filter '%s'\n",
                     c.filter_desc.c_str_utf8());
        break;
      }
      PObject& condition = request["condition"];
      condition["min_size"] = static_cast<unsigned long long>(from);
      condition["max_size"] = static_cast<unsigned long long>(to);
      break;
    }
    default:
      PROGRESS_LOG(L_WARNING, "[WARNING] progress-syncer(%d): Unknow filter type '%d'.\n", c.filter_type);
      break;
  }
}

ErrorCode ProgressSyncer::ProtoPullEvent(const PObject& request, PObject& reply) {
  return road_.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply);
}

ErrorCode ProgressSyncer::ProcessEvents(PObject& reply) {
  const uint64_t row_id = context_.row_id;
  uint64_t next = 0;
  if (const ErrorCode r = pull::NextSyncId(reply, next, kComp); r != ERR_OK) return r;

  if (next == context_.progress_entry.condition.sync_id) {
    PROGRESS_LOG(L_DEBUG, "[DEBUG] progress-syncer(%d): already uptodate for current event pull condition.\n");
    if (filters_.rmResumeCondition(row_id) != 0) {
      PROGRESS_LOG(L_ERR,
                   "[ERROR] progress-syncer(%d): ProcessEvents: fail to remove resume condition for row_id(%llu)\n",
                   static_cast<ull>(row_id));
    }
    // Removed from the cache in any case: the condition is done. A stale
    // row only comes back at the next start.
    (void)progress_.rmProgressEntry(row_id);
    return ERR_OK;
  }

  const int waited = pull::PushSpooledAndWait(
      spool_, reply, pull_slice_,
      [this](const PObject& change) { (void)generator_.PushEvent(context_.reg_entry, change); },
      [this] { return WaitForWorkers(); }, kComp);
  if (waited < 0) return ERR_INT;
  if (waited > 0) {
    // Recorded once they are done, never before: see SettleAwaited.
    awaiting_[context_.reg_entry.sess_id] = Awaited{row_id, next};
    return ERR_OK;
  }
  return StoreSyncId(row_id, next) == 0 ? ERR_OK : ERR_INT;
}

int ProgressSyncer::StoreSyncId(uint64_t row_id, uint64_t next) {
  if (filters_.updateResumeSyncId(row_id, next) != 0) {
    PROGRESS_LOG(L_ERR,
                 "[ERROR] progress-syncer(%d): ProcessEvents: faile to update sync_id (%llu) to filter_resume_table "
                 "for row_id(%llu)\n",
                 static_cast<ull>(next), static_cast<ull>(row_id));
    return -1;
  }
  progress_.updateProgressSyncId(row_id, next);
  return 0;
}

int ProgressSyncer::WaitForWorkers() {
  return pull::WaitForWorkers(*this, events_, registry_, context_.reg_entry.sess_id, kComp, timing_,
                              /*until_only_deferred=*/true);
}

size_t ProgressSyncer::SettleAwaited() {
  if (awaiting_.empty()) return 0;
  std::vector<ProgressCache::Entry> entries;
  progress_.getProgressEntries(entries);
  for (auto it = awaiting_.begin(); it != awaiting_.end();) {
    const uint64_t sess_id = it->first;
    const Awaited awaited = it->second;
    Registry::Entry entry;
    if (registry_.Find(sess_id, entry) != 1) {
      PROGRESS_LOG(L_WARNING, "[WARNING] progress-syncer(%d): session %llu is removed while there are events\n",
                   static_cast<ull>(sess_id));
      it = awaiting_.erase(it);
      continue;
    }
    const bool cached = std::any_of(entries.begin(), entries.end(), [&](const ProgressCache::Entry& e) {
      return e.row_id == awaited.row_id;
    });
    if (!cached) {
      // Removed meanwhile (its rules changed again): nothing left to record.
      PROGRESS_LOG(L_WARNING, "[WARNING] progress-syncer(%d): resume condition (%llu) is gone while there are events\n",
                   static_cast<ull>(awaited.row_id));
      it = awaiting_.erase(it);
      continue;
    }
    if (events_.GetPendingServerEvent(sess_id) != 0) {
      ++it;
      continue;
    }
    // A failed store only means the same changes are pulled again.
    if (StoreSyncId(awaited.row_id, awaited.next_sync_id) == 0) {
      PROGRESS_LOG(L_INFO,
                   "[INFO] progress-syncer(%d): session %llu: pulled changes done, sync id %llu stored for resume "
                   "condition (%llu)\n",
                   static_cast<ull>(sess_id), static_cast<ull>(awaited.next_sync_id),
                   static_cast<ull>(awaited.row_id));
    }
    it = awaiting_.erase(it);
  }
  return awaiting_.size();
}

syncer_error::Action ProgressSyncer::HandleError(ErrorCode code) {
  RecordOutcome(code);
  return syncer_error::HandleError(code, ProgressSyncerRoadLog(), ui_, context_.reg_entry.conn_id,
                                   context_.reg_entry.sess_id, context_.connection);
}

void ProgressSyncer::DropConnection() { context_.connection.clear(); }

int ProgressSyncer::GetFilesystemInfo(const Event& event, FILE_INFO& info) const {
  ustring path = context_.reg_entry.local_path;
  if (event.m_path != "/") path += event.m_path;
  return FSStat(path, info, true) == 0 ? 0 : -1;
}
