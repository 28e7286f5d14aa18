// The worker's error policy, its reports and the status report.
#include "worker/worker_error.h"

#include "filter/file_status_db.h"
#include "session/ui_ipc.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

// Indexed by minus the code, ERR_OK to ERR_PERMISS_READ_ONLY.
constexpr WorkerErrorRow kRows[] = {
    {WorkerAction::kDone, ErrorType::kNone},               // ERR_OK
    {WorkerAction::kReturnEvent, ErrorType::kNone},        // ERR_INT
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_IO
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_SYS (see the counters)
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_INVAL
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_PROTO
    {WorkerAction::kReturnEvent, ErrorType::kConnection},  // ERR_AUTH
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_SERVER
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_CONFLICT
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_TIMEOUT
    {WorkerAction::kReturnEvent, ErrorType::kConnection},  // ERR_VERSION
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_NOENT
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_USER
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_PASSWORD
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_QXVDISABLE
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_QUOTA
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_DISKFULL
    {WorkerAction::kNone, ErrorType::kNone},               // ERR_SYNCFOLDER_MISS
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_VIEW
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_PERMISS
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_VIEW_PATH
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_CH_CONNECTION_ABORT
    {WorkerAction::kReturnEvent, ErrorType::kSession},     // ERR_LOCAL_DISKFULL
    {WorkerAction::kReturnEvent, ErrorType::kFile},        // ERR_LOCKED_FILE
    {WorkerAction::kRetry, ErrorType::kNone},              // ERR_SSL_VERIFY_FAIL (as ERR_IO; the syncers report it)
    {WorkerAction::kDone, ErrorType::kSession},            // ERR_PERMISS_READ_ONLY
};
static_assert(sizeof kRows / sizeof kRows[0] == -ErrorNumber(ERR_MAX), "one row per code");

bool InTable(ErrorCode code) { return ErrorNumber(code) <= 0 && ErrorNumber(code) > ErrorNumber(ERR_MAX); }

const WorkerErrorRow& RowOf(ErrorCode code) { return kRows[-ErrorNumber(code)]; }

}  // namespace

WorkerErrorRow WorkerErrorRowOf(ErrorCode code) {
  if (!InTable(code)) return {WorkerAction::kNone, ErrorType::kNone};
  return RowOf(code);
}

int WorkerFileStatusOf(int notify_type) {
  switch (notify_type) {
    case Worker::NOTIFY_FILTERED:
      return FSTAT_UNSUPPORT;
    case Worker::NOTIFY_SERVER_REMOVE:
    case Worker::NOTIFY_CLIENT_REMOVE:
      return FSTAT_UNKNOWN;
    default:
      return FSTAT_SYNCED;
  }
}

int WorkerReportedEventTypeOf(int notify_type) {
  switch (notify_type) {
    case Worker::NOTIFY_SERVER_MODIFY:
    case Worker::NOTIFY_CLIENT_MODIFY:
      return Event::EV_MODIFY;
    case Worker::NOTIFY_SERVER_REMOVE:
    case Worker::NOTIFY_CLIENT_REMOVE:
      return Event::EV_REMOVE;
    default:
      return Event::EV_EMPTY;
  }
}

WorkerAction Worker::HandleError(ErrorCode code) {
  if (!InTable(code)) {
    WORKER_LOG(L_CRIT, "[CRIT] worker(%d): worker: unknown error code [%d].\n", ErrorNumber(code));
    return WorkerAction::kNone;
  }
  const uint64_t conn_id = context.root_entry.conn_id;
  const uint64_t sess_id = context.root_entry.sess_id;
  const WorkerErrorRow row = RowOf(code);
  WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): HandleError: %s.\n", GetId(), GetErrorString(code));
  if (row.action == WorkerAction::kNone) {
    WORKER_LOG(L_CRIT, "[CRIT] worker(%d): Worker (%d): unexpected error code [%d].\n", GetId(), ErrorNumber(code));
    return WorkerAction::kNone;
  }
  WorkerAction action = row.action;
  if (code == ERR_SYS) {
    ClearCache();
    if (++sys_err_count > 3) {
      sys_err_count = 0;
      action = WorkerAction::kReturnEvent;
    }
    if (patch_err_count > 0 && WholeBodyAsked()) {
      // The whole body failed its check too: the change cannot be applied.
      // The event ends, so the session moves past it: never without the
      // user being told which file stays as it was.
      WORKER_LOG(L_ERR,
                 "[ERROR] worker(%d): Worker (%d): whole body of '%s' is wrong too, event ends unapplied and is "
                 "reported.\n",
                 GetId(), context.current_event.m_path.c_str_utf8());
      ReportFileError(code, "server content fails its checksum");
      whole_body_asks_.Drop(context.current_event);
      patch_err_count = 0;
      sys_err_count = 0;
      action = WorkerAction::kDone;
    } else if (patch_err_count > 2) {
      // Deltas against an unchanged local copy keep failing: once more,
      // with no basis at all. A fresh count for that request.
      WORKER_LOG(L_ERR,
                 "[ERROR] worker(%d): Worker (%d): patch error count has reached limit, asking for the whole body.\n",
                 GetId());
      // Marked where every worker looks: the event may go back to the
      // queue and reach another worker, which must not count anew.
      whole_body_asks_.Ask(context.current_event);
      patch_err_count = 0;
      sys_err_count = 0;
      action = WorkerAction::kRetry;
    }
  } else {
    sys_err_count = 0;
    patch_err_count = 0;
    if (action == WorkerAction::kDone) whole_body_asks_.Drop(context.current_event);
    if (code == ERR_LOCAL_DISKFULL) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): get disk full\n");
      ClearCache();
    }
  }
  // The reports go through the notifier; their failures are only logged there.
  switch (row.report) {
    case ErrorType::kSession:
      (void)ui_.ReportSessionErrorToUI(conn_id, sess_id, code);
      break;
    case ErrorType::kConnection:
      (void)ui_.ReportConnectionErrorToUI(conn_id, sess_id, code);
      break;
    case ErrorType::kFile:
      ReportFileError(code, "file locked");
      break;
    case ErrorType::kNone:
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): No type for error: %d\n", ErrorNumber(code));
      break;
  }
  return action;
}

bool Worker::WholeBodyAsked() const { return whole_body_asks_.Asked(context.current_event); }

void Worker::ReportFileError(ErrorCode code, const char* reason) {
  Event file;
  file.m_path = context.current_event.m_path;
  file.m_sess_id = context.current_event.m_sess_id;
  file.m_mode = context.current_event.m_mode;
  // Through the notifier; a failure is only logged there.
  (void)ui_.ReportFileErrorToUI(file, code, reason);
}

int Worker::NotifyEvent(NotifyEventType type) {
  Event ev;
  ev.m_type = static_cast<Event::Type>(WorkerReportedEventTypeOf(type));
  ev.m_path = context.current_event.m_path;
  ev.m_sess_id = context.current_event.m_sess_id;
  ev.m_mode = context.current_event.m_mode;
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): event type = %d, path = %s\n", static_cast<int>(ev.m_type),
             ev.m_path.c_str_utf8());
  if (ev.m_type != Event::EV_EMPTY) (void)ui_.ReportFileEventToUI(ev);
  return 0;
}

void Worker::GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& w_type, uint64_t& sent,
                              uint64_t& total_size) {
  const State state = GetState();
  if (state == PAUSE || state == STOP) {
    session_id = 0;
    path = "";
    w_type = W_TYPE_NONE;
    sent = 0;
    total_size = 0;
    return;
  }
  ustring key_path;
  unsigned long long done = 0;
  unsigned long long total = 0;
  road_.stream().GetStatus(key_path, done, total);
  if (key_path == "file.file.data") {
    sent = done;
    total_size = total;
  } else {
    sent = 0;
    total_size = 0;
  }
  ProcessEvent_T record;
  GetCurrentProcessEventInfo(record);
  session_id = record.session_id;
  path = record.path;
  w_type = record.working_type;
}
