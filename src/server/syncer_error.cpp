#include "server/syncer_error.h"

#include "session/ui_ipc.h"
#include "transport/error_code.h"

namespace syncer_error {

namespace {

// Indexed by -err, ERR_OK to ERR_VIEW_PATH.
constexpr Row kTable[kRows] = {
    {ACTION_DONE, ERR_NONE},         // ERR_OK
    {ACTION_RETRY, ERR_NONE},        // ERR_INT
    {ACTION_RETRY, ERR_NONE},        // ERR_IO
    {ACTION_RETRY, ERR_NONE},        // ERR_SYS
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_INVAL
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_PROTO
    {ACTION_RETRY, ERR_CONNECTION},  // ERR_AUTH
    {ACTION_RETRY, ERR_NONE},        // ERR_SERVER
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_CONFLICT
    {ACTION_RETRY, ERR_NONE},        // ERR_TIMEOUT
    {ACTION_RETRY, ERR_CONNECTION},  // ERR_VERSION
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_NOENT
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_USER
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_PASSWORD
    {ACTION_RETRY, ERR_SESSION},     // ERR_QXVDISABLE
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_QUOTA
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_DISKFULL
    {ACTION_GIVE_UP, ERR_NONE},      // ERR_SYNCFOLDER_MISS
    {ACTION_RETRY, ERR_SESSION},     // ERR_VIEW
    {ACTION_RETRY, ERR_SESSION},     // ERR_PERMISS
    {ACTION_RETRY, ERR_NONE},        // ERR_VIEW_PATH
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
    case ERR_SESSION:
      (void)UI_IPC::ReportSessionErrorToUI(conn_id, sess_id, err);
      break;
    case ERR_CONNECTION:
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
