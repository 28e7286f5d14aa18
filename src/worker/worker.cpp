// Worker: the loop, its steps, interruption and the current-work record.
#include "worker/worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <string_view>
#include <thread>
#include <utility>

#include "filter/file_status_db.h"
#include "server/connection_manager.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/session_path.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// Event modes that make a folder event an expansion or a rescan of some kind.
constexpr uint32_t kExpandOrRescanBits = Event::F_EXPAND | Event::F_RESCAN | Event::kSubDirRescanBits;

uint32_t NowSeconds() { return static_cast<uint32_t>(time(nullptr)); }

}  // namespace

// ---- Barrier, context ----

void Worker::Barrier::increase(int task_id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
  }
  WORKER_LOG(L_INFO, "[INFO] worker(%d): worker %d register barrier\n", task_id);
}

void Worker::Barrier::signal(int task_id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (count > 0) --count;
    cond.notify_all();
  }
  WORKER_LOG(L_INFO, "[INFO] worker(%d): worker %d reach barrier\n", task_id);
}

void Worker::Barrier::wait() {
  std::unique_lock<std::mutex> lock(mutex);
  cond.wait(lock, [this] { return count == 0; });
}

bool Worker::Barrier::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex);
  return cond.wait_for(lock, timeout, [this] { return count == 0; });
}

void Worker::EventContext::clear() {
  current_event.clear();
  root_entry.clear();
  database_record.Clear();
  working_directory.clear();
  sign_directory.clear();
  full_path.clear();
}

// ---- Construction and the Task overrides ----

Worker::Worker(TaskManager* owner, TaskContext* ctx, const Collaborators& with)
    : Task(owner, ctx),
      events_(with.events),
      registry_(with.registry),
      connections_(with.connections),
      filters_(with.filters),
      system_rules_(with.system_rules),
      file_status_(with.file_status),
      ui_(with.ui),
      generator_(with.generator),
      whole_body_asks_(with.whole_body_asks),
      timing_(with.timing),
      stop_flag_(with.stop_flag != nullptr ? with.stop_flag : &own_stop_flag_),
      road_log_(*this),
      road_(WorkerRoadProfile(&road_log_, static_cast<uint32_t>(with.timing.worker_reply_timeout.count()),
                              with.channel_timeout), abort_flag, context.connection,
            context.root_entry, this) {
  assert(&generator_.events() == &events_);
  ClearCache();
}

Worker::~Worker() { ClearCache(); }

int Worker::Pause() { return Task::Pause(); }

int Worker::Resume() { return Task::Resume(); }

int Worker::Stop() {
  // The state first, then the flag: the loop clears the flag at the top of
  // each pass and then reads the state again, so a stop is either seen there
  // or leaves the flag raised for the transfer that follows.
  const int rc = Task::Stop();
  stop_flag_->store(1);
  abort_flag.store(1);
  return rc;
}

int Worker::SetAbort(bool abort) {
  abort_flag.store(abort ? 1 : 0);
  return 0;
}

// ---- Interruption ----

void Worker::SetAbort(const AbortFilter& filter, Barrier* barrier) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  if (m_current_event.session_id == 0) return;
  if (!filter.matchSession(m_current_event.session_id) && !filter.matchConnection(m_current_event.connection_id)) {
    return;
  }
  abort_flag.store(1);
  if (barrier != nullptr) {
    barrier->increase(GetId());
    abort_done_barrier = barrier;
  }
}

void Worker::NotifyAbortDone() {
  // Signalled under worker_state_lock: a waiter that gave up forgets the
  // barrier under the same lock, so it is either signalled whole before or
  // never. The waiter may free the barrier as soon as the count reaches 0;
  // nothing here touches it afterwards.
  std::lock_guard<std::mutex> lock(worker_state_lock);
  Barrier* barrier = std::exchange(abort_done_barrier, nullptr);
  if (barrier != nullptr) barrier->signal(GetId());
}

void Worker::ForgetBarrier(const Barrier* barrier) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  if (abort_done_barrier == barrier) abort_done_barrier = nullptr;
}

// ---- The current-work record ----

void Worker::SetCurrentProcessEventInfo(uint64_t conn_id, uint64_t sess_id, const ustring& path,
                                        WorkingType type) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  m_current_event.connection_id = conn_id;
  m_current_event.session_id = sess_id;
  m_current_event.path = path;
  m_current_event.working_type = type;
}

void Worker::ClearCurrentProcessEventInfo() {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  m_current_event.clear();
}

void Worker::GetCurrentProcessEventInfo(ProcessEvent_T& out) {
  std::lock_guard<std::mutex> lock(worker_state_lock);
  out = m_current_event;
}

void Worker::AdjustCurrentProcessEventInfo() {
  const Event& ev = context.current_event;
  if (ev.isExpand() || ev.isRescan()) {
    ClearCurrentProcessEventInfo();
    return;
  }
  // A pulled event is resolved only later (UpdateContext): its connection
  // comes from the registry here, so that an interruption by connection
  // finds the worker from the pull on.
  uint64_t conn_id = context.root_entry.conn_id;
  if (context.root_entry.sess_id != ev.m_sess_id) {
    Registry::Entry entry;
    conn_id = registry_.Find(ev.m_sess_id, entry) == 1 ? entry.conn_id : 0;
  }
  SetCurrentProcessEventInfo(conn_id, ev.m_sess_id, ev.m_path, W_TYPE_NONE);
}

// ---- The loop ----

void Worker::DoTask() {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d) up\n", GetId());
  // A worker run again after a stop starts with its own flag lowered; a
  // stop that lands meanwhile has set the state, which the loop reads
  // before any transfer. A shared flag is its owner's to lower.
  if (stop_flag_ == &own_stop_flag_) own_stop_flag_.store(0);
  while (true) {
    DropConnection();
    NotifyAbortDone();
    const State state = GetState();
    if (state == STOP) {
      ClearCache();
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d) down\n", GetId());
      return;
    }
    if (state == PAUSE) {
      std::this_thread::sleep_for(timing_.pause_poll);
      continue;
    }
    OnPassStart();
    m_start_time = 0;
    // Cleared before the pull, not after it: an abort that the event queue
    // raises once it has handed this worker the event (a local remove of the
    // path just pulled) must stay raised for the operation.
    (void)SetAbort(false);
    // A stop that came after the look above raised the flag just cleared
    // (Stop sets the state first): look again, or it would be erased and
    // the worker would carry a whole transfer out before it ends.
    if (GetState() != RUN) continue;
    if (GetEvent() < 0) {
      ClearCurrentProcessEventInfo();
      Rest(timing_.worker_idle_rest);
      continue;
    }
    OnEventInHand();
    if (UpdateContext() < 0) continue;

    const Event& ev = context.current_event;
    if (ev.isRescan()) {
      (void)Rescan();  // its outcome is in the events it pushed
      (void)DoneEvent();
      continue;
    }
    if (ev.isExpand()) {
      (void)Expand();
      (void)DoneEvent();
      continue;
    }
    m_start_time = NowSeconds();
    pending_apply_ = PendingApply();
    const ErrorCode result = ProcessEvent();
    ClearCurrentProcessEventInfo();
    if (pending_apply_.set) {
      DeferPending(result);
      continue;
    }
    const WorkerAction action = HandleError(result);
    OnEventOutcome(result, action);
    if (action == WorkerAction::kNone) {
      WORKER_LOG(L_CRIT, "[CRIT] worker(%d): abort()\n");
      Rest(timing_.worker_retry_rest);
    } else if (action == WorkerAction::kRetry) {
      Rest(timing_.worker_retry_rest);
    } else if (action == WorkerAction::kReturnEvent) {
      RedoEvent();
    } else {
      (void)DoneEvent();
    }
  }
}

int Worker::GetEvent() {
  if (context.current_event.isValid()) {
    if (worker_log::On(Logger::L_INFO)) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): current event is valid: %s\n",
                 context.current_event.toString().c_str_utf8());
    }
  } else {
    Event ev;
    if (events_.PullEvent(this, ev) < 0) {
      ClearCache();
      context.clear();
      return -1;
    }
    context.current_event = ev;
    ClearCache();
    OnEventPulled();
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): current event: %s\n", GetId(),
                 ev.toString().c_str_utf8());
    }
  }
  // Published first, then the state looked at again. The application
  // pauses the workers before it interrupts those whose record matches: a
  // worker whose record it has not seen yet finds the pause here and acts
  // on nothing until it runs again; one whose record it saw is waited for
  // on the barrier. The event stays in hand: the queue cannot take an
  // expand back, and a retry keeps its resume cache.
  AdjustCurrentProcessEventInfo();
  if (GetState() != RUN) {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): paused or stopping, event kept in hand: %s\n", GetId(),
                 context.current_event.toString().c_str_utf8());
    }
    return -1;
  }
  return 0;
}

int Worker::Finish() {
  ClearCurrentProcessEventInfo();
  (void)DoneEvent();
  return -1;
}

bool Worker::PathIsUsable() const {
  const Event& ev = context.current_event;
  if (!IsSafeSessionPath(ev.m_path)) return false;
  if (ev.m_path == "/") return ev.isDir();
  // Every existing folder between the session folder and the last component
  // must be a real folder: a link there (a user's link to elsewhere) would
  // take downloads, renames and removes outside the session.
  std::string_view rel(ev.m_path.c_str_utf8(), ev.m_path.length());
  std::string prefix(context.root_entry.local_path.c_str_utf8(), context.root_entry.local_path.length());
  size_t start = 1;
  while (true) {
    const size_t slash = rel.find('/', start);
    if (slash == std::string_view::npos) return true;
    prefix.append(rel.substr(start - 1, slash - start + 1));
    struct stat st;
    if (lstat(prefix.c_str(), &st) != 0) return true;  // nothing further exists below
    if (!S_ISDIR(st.st_mode)) return false;
    start = slash + 1;
  }
}

bool Worker::RootIsPresent() const {
  struct stat st;
  return !context.root_entry.local_path.empty() && stat(context.root_entry.local_path.c_str_utf8(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

int Worker::UpdateContext() {
  Event& ev = context.current_event;
  Registry::Entry entry;
  if (registry_.Find(ev.m_sess_id, entry) != 1) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): registry entry (with session %llu) is removed\n",
               static_cast<ull>(ev.m_sess_id));
    return Finish();
  }
  if (connections_.get(entry.conn_id, context.connection) < 0) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): connection (with connection id %llu) is removed\n",
               static_cast<ull>(entry.conn_id));
    return Finish();
  }
  context.root_entry = entry;

  context.sign_directory = entry.config_path;
  context.sign_directory += "/db/sign";
  context.full_path = entry.local_path;
  if (ev.m_path != "/") context.full_path += ev.m_path;
  context.working_directory = entry.local_path;
  context.working_directory += "/";
  context.working_directory += kWorkingDirName;

  // The queue checks paths as they are pushed; an event that reaches a
  // worker another way is checked here again before anything touches disk.
  if (!IsSafeSessionPath(ev.m_path) || (ev.m_path == "/" && !ev.isDir())) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): unusable path '%s', drop event\n", GetId(),
               ev.m_path.c_str_utf8());
    return Finish();
  }
  // A missing or unmounted session folder must never turn into server
  // removes or a re-created root: the event waits in the queue.
  if (!RootIsPresent()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): session folder '%s' is missing, event given back\n",
               GetId(), entry.local_path.c_str_utf8());
    ClearCurrentProcessEventInfo();
    RedoEvent();
    return -1;
  }
  if (!PathIsUsable()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): unusable path '%s', drop event\n", GetId(),
               ev.m_path.c_str_utf8());
    return Finish();
  }

  if ((ev.m_mode & kExpandOrRescanBits) == 0) {
    if (entry.read_only && ev.isLocalEvent()) {
      WORKER_LOG(L_NOTICE,
                 "[NOTICE] worker(%d): registry entry (with session id %llu) is read-only, ignore event\n",
                 static_cast<ull>(ev.m_sess_id));
      return Finish();
    }
    if (ev.isDir() && ev.m_path == "/") {
      WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Ignore root folder event: sess_id = '%llu'\n",
                 static_cast<ull>(ev.m_sess_id));
      return Finish();
    }
  }
  if (entry.pause && !ev.isExpand() && !ev.isRescan()) {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): session %llu is paused, process this event (%s) later\n",
                 GetId(), static_cast<ull>(ev.m_sess_id), ev.toString().c_str_utf8());
    }
    ClearCurrentProcessEventInfo();
    RedoEvent();
    return -1;
  }
  if (worker_log::On(Logger::L_INFO)) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): current event: %s\n", GetId(), ev.toString().c_str_utf8());
  }
  if (!entry.recursive) {
    size_t slashes = 0;
    for (size_t i = 0; i < ev.m_path.length(); ++i) slashes += ev.m_path[i] == '/' ? 1 : 0;
    if ((ev.isDir() && ev.m_path != "/") || slashes >= 2) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): filter out recursive events (%s, %s)\n", ev.m_path.c_str_utf8(),
                 ev.isDir() ? "dir" : "file");
      return Finish();
    }
  }
  DBFileInfo record;
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr || db->getEventInfo(ev.m_path, record) != 1) record.Clear();
  context.database_record = record;
  return 0;
}

ErrorCode Worker::ProcessEvent() {
  const Event& ev = context.current_event;
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): processEvent %s...\n", GetId(), ev.m_path.c_str_utf8());
  if (ev.isSubDirRescan()) return ExpandDeleteEvent();
  if (ev.isServerEvent()) return ev.m_type == Event::EV_REMOVE ? RemoveLocal() : DownloadRemote();
  return ev.m_type == Event::EV_REMOVE ? RemoveRemote() : UploadLocal();
}

int Worker::DoneEvent() {
  notify_file_status = WorkerFileStatusOf(notify_event_type);
  if (notify_event_type > NOTIFY_FILTERED) {
    (void)NotifyEvent(notify_event_type);
    notify_event_type = NOTIFY_NONE;
  }
  Event next;
  if (events_.DoneEvent(this, next) < 0) {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): processing event '%s' not yet done.\n", GetId(),
                 context.current_event.toString().c_str_utf8());
    }
    context.current_event = next;
    ClearCache();
    return -1;
  }
  if (notify_file_status != -1) {
    ustring stored = context.full_path;
    stored.replace('/', '\\');
    (void)file_status_.rmFileStatByPath(stored);  // 0 once open; a failed delete is logged there
    notify_file_status = -1;
  }
  if (context.current_event.isSubDirRescan()) CreateDirSelfEvent();
  if (worker_log::On(Logger::L_DEBUG)) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): processing event '%s' done\n", GetId(),
               context.current_event.toString().c_str_utf8());
  }
  ClearCache();
  context.clear();
  return 0;
}

void Worker::RedoEvent() {
  if (events_.RedoEvent(this, context.current_event) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): failed to redo event\n", GetId());
  }
  ClearCache();
  context.clear();
  Rest(timing_.worker_redo_rest);
}

void Worker::DeferPending(ErrorCode result) {
  const PendingApply pending = pending_apply_;
  pending_apply_ = PendingApply();
  // Not a failure of the kind the counters weigh: the change waits for the
  // folder, and its body (if one came) waits in the recycle folder.
  sys_err_count = 0;
  patch_err_count = 0;
  const Event ev = context.current_event;
  const int deferrals = events_.DeferEvent(this, ev, timing_.worker_pending_rest, timing_.worker_pending_max_rest);
  if (deferrals < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): failed to redo event\n", GetId());
  } else {
    WORKER_LOG(L_WARNING,
               "[WARNING] worker(%d): Worker (%d): '%s' cannot be put in place (%s), kept pending (attempt %d)\n",
               GetId(), ev.m_path.c_str_utf8(), pending.reason, deferrals);
  }
  // Once per spell: the spell ends when the change is carried out.
  if (deferrals == 1) ReportFileError(pending.code, pending.reason);
  ClearCache();
  context.clear();
  OnEventOutcome(result, WorkerAction::kReturnEvent);
  // No rest: the queue holds the event back, and other events may be due.
  NotifyAbortDone();
}

ErrorCode Worker::KeepPending(ErrorCode code, const char* reason) {
  pending_apply_ = PendingApply{true, code, reason};
  return code;
}

void Worker::Rest(std::chrono::milliseconds time) {
  DropConnection();
  // Idle from here to the next pass: an application waiting on this
  // worker's barrier need not wait out the pause as well.
  NotifyAbortDone();
  (void)Wait(time);  // -1 only means the state changed; the loop looks at it
}

void Worker::DropConnection() {
  // UpdateContext takes a fresh copy for every event, so nothing between two
  // operations needs this one. Kept, it would hold a removed connection's
  // pool, and with it the pool's open channels, for as long as the worker
  // idles or rests.
  context.connection.clear();
}

// ---- Accessors ----

int Worker::GetDatabaseInfo(DBFileInfo& out) const {
  out = context.database_record;
  return 0;
}

int Worker::GetFilesystemInfo(FILE_INFO& info) const {
  if (FSStat(context.full_path, info, true) < 0) return -1;
  if (context.root_entry.isMSDOS) info.mtime &= ~1u;
  return 0;
}
