#include "server/syncer_error.h"

#include "session/ui_ipc.h"
#include "transport/error_code.h"

namespace syncer_error {

namespace {

// Indexed by -err, ERR_OK to ERR_VIEW_PATH.
constexpr Row kTable[kRows] = {
    {Action::kDone, ErrorType::kNone},         // ERR_OK
    {Action::kRetry, ErrorType::kNone},        // ERR_INT
    {Action::kRetry, ErrorType::kNone},        // ERR_IO
    {Action::kRetry, ErrorType::kNone},        // ERR_SYS
    {Action::kGiveUp, ErrorType::kNone},       // ERR_INVAL
    {Action::kGiveUp, ErrorType::kNone},       // ERR_PROTO
    {Action::kRetry, ErrorType::kConnection},  // ERR_AUTH
    {Action::kRetry, ErrorType::kNone},        // ERR_SERVER
    {Action::kGiveUp, ErrorType::kNone},       // ERR_CONFLICT
    {Action::kRetry, ErrorType::kNone},        // ERR_TIMEOUT
    {Action::kRetry, ErrorType::kConnection},  // ERR_VERSION
    {Action::kGiveUp, ErrorType::kNone},       // ERR_NOENT
    {Action::kGiveUp, ErrorType::kNone},       // ERR_USER
    {Action::kGiveUp, ErrorType::kNone},       // ERR_PASSWORD
    {Action::kRetry, ErrorType::kSession},     // ERR_QXVDISABLE
    {Action::kGiveUp, ErrorType::kNone},       // ERR_QUOTA
    {Action::kGiveUp, ErrorType::kNone},       // ERR_DISKFULL
    {Action::kGiveUp, ErrorType::kNone},       // ERR_SYNCFOLDER_MISS
    {Action::kRetry, ErrorType::kSession},     // ERR_VIEW
    {Action::kRetry, ErrorType::kSession},     // ERR_PERMISS
    {Action::kRetry, ErrorType::kNone},        // ERR_VIEW_PATH
};
static_assert(-ErrorNumber(ERR_VIEW_PATH) + 1 == kRows, "one row per code from ERR_OK to ERR_VIEW_PATH");

}  // namespace

const Row* Find(ErrorCode err) {
  const int n = ErrorNumber(err);
  if (n > 0 || n < ErrorNumber(ERR_VIEW_PATH)) return nullptr;
  return &kTable[-n];
}

Action HandleError(ErrorCode err, const Log& log, UiReporter& ui, uint64_t conn_id, uint64_t sess_id,
                   Connection& connection) {
  if (err == ERR_OK) connection.endVerifyFailure();
  if (err == ERR_SSL_VERIFY_FAIL) {
    log.Handling(err);
    // Every retry fails alike until the certificate or the settings change:
    // one report tells the user why nothing syncs.
    if (connection.beginVerifyFailure()) (void)ui.ReportConnectionErrorToUI(conn_id, sess_id, err);
    return Action::kRetry;
  }
  const Row* row = Find(err);
  if (row == nullptr) {
    log.UnknownError(err);
    return Action::kGiveUp;
  }
  log.Handling(err);
  // The notifier logs its own failures; a lost report changes nothing here.
  switch (row->type) {
    case ErrorType::kSession:
      (void)ui.ReportSessionErrorToUI(conn_id, sess_id, err);
      break;
    case ErrorType::kConnection:
      (void)ui.ReportConnectionErrorToUI(conn_id, sess_id, err);
      break;
    default:
      log.NoType(err);
      break;
  }
  if (row->action == Action::kGiveUp) log.UnexpectedError(err);
  return row->action;
}

std::chrono::milliseconds ActionWait(Action action, const Log& log, const DaemonTiming& timing) {
  if (static_cast<int>(action) < 0) log.Abort();
  switch (action) {
    case Action::kDone:
      return std::chrono::milliseconds(0);
    case Action::kRetryLongWait:
      return timing.syncer_long_wait;
    default:
      return timing.syncer_retry_wait;
  }
}

}  // namespace syncer_error
