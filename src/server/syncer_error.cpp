#include "server/syncer_error.h"

#include "session/ui_ipc.h"
#include "transport/error_code.h"

namespace syncer_error {

namespace {

// Indexed by -err, ERR_OK to ERR_VIEW_PATH.
constexpr Row kTable[kRows] = {
    {ACTION_DONE, ErrorType::kNone},         // ERR_OK
    {ACTION_RETRY, ErrorType::kNone},        // ERR_INT
    {ACTION_RETRY, ErrorType::kNone},        // ERR_IO
    {ACTION_RETRY, ErrorType::kNone},        // ERR_SYS
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_INVAL
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_PROTO
    {ACTION_RETRY, ErrorType::kConnection},  // ERR_AUTH
    {ACTION_RETRY, ErrorType::kNone},        // ERR_SERVER
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_CONFLICT
    {ACTION_RETRY, ErrorType::kNone},        // ERR_TIMEOUT
    {ACTION_RETRY, ErrorType::kConnection},  // ERR_VERSION
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_NOENT
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_USER
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_PASSWORD
    {ACTION_RETRY, ErrorType::kSession},     // ERR_QXVDISABLE
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_QUOTA
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_DISKFULL
    {ACTION_GIVE_UP, ErrorType::kNone},      // ERR_SYNCFOLDER_MISS
    {ACTION_RETRY, ErrorType::kSession},     // ERR_VIEW
    {ACTION_RETRY, ErrorType::kSession},     // ERR_PERMISS
    {ACTION_RETRY, ErrorType::kNone},        // ERR_VIEW_PATH
};
static_assert(-ERR_VIEW_PATH + 1 == kRows, "one row per code from ERR_OK to ERR_VIEW_PATH");

}  // namespace

const Row* Find(int err) {
  if (err > 0 || err < ERR_VIEW_PATH) return nullptr;
  return &kTable[-err];
}

int HandleError(int err, const Log& log, uint64_t conn_id, uint64_t sess_id, Connection& connection) {
  if (err == ERR_OK) connection.endVerifyFailure();
  if (err == ERR_SSL_VERIFY_FAIL) {
    log.Handling(err);
    // Every retry fails alike until the certificate or the settings change:
    // one report tells the user why nothing syncs.
    if (connection.beginVerifyFailure()) (void)UI_IPC::ReportConnectionErrorToUI(conn_id, sess_id, err);
    return ACTION_RETRY;
  }
  const Row* row = Find(err);
  if (row == nullptr) {
    log.UnknownError(err);
    return ACTION_GIVE_UP;
  }
  log.Handling(err);
  // The notifier logs its own failures; a lost report changes nothing here.
  switch (row->type) {
    case ErrorType::kSession:
      (void)UI_IPC::ReportSessionErrorToUI(conn_id, sess_id, err);
      break;
    case ErrorType::kConnection:
      (void)UI_IPC::ReportConnectionErrorToUI(conn_id, sess_id, err);
      break;
    default:
      log.NoType(err);
      break;
  }
  if (row->action < 0) log.UnexpectedError(err);
  return row->action;
}

std::chrono::milliseconds ActionWait(int action, const Log& log, const DaemonTiming& timing) {
  if (action < 0) log.Abort();
  switch (action) {
    case 0:
      return std::chrono::milliseconds(0);
    case 2:
      return timing.syncer_long_wait;
    default:
      return timing.syncer_retry_wait;
  }
}

}  // namespace syncer_error
