// The syncers' error policy: what the Syncer and the ProgressSyncer do with
// the daemon code of a round (ERR_*, transport/error_code.h): an action, a
// report to the user interface, and the wait before the next round.
//
// The worker has its own actions and table (value 2 means something else
// there), so these live in their own namespace.
#ifndef SERVER_SYNCER_ERROR_H_
#define SERVER_SYNCER_ERROR_H_

#include <chrono>
#include <cstdint>

#include "foundation/daemon_timing.h"
#include "server/connection.h"
#include "server/error_type.h"
#include "transport/error_code.h"

class UiReporter;

namespace syncer_error {

// Actions of a round. Their own type: the worker's actions
// (WorkerAction) mean other things, and neither is a daemon code. A value
// outside these, negative or not, is waited on as ActionWait says.
enum class Action {
  kGiveUp = -1,
  kDone = 0,
  kRetry = 1,
  kRetryLongWait = 2,
};

// One row of the table.
struct Row {
  Action action;
  ErrorType type;
};

// Rows for ERR_OK (index 0) down to ERR_VIEW_PATH (index 20).
inline constexpr int kRows = 21;

// The row of `err`, or null for a code outside the 21 rows (above 0, or
// below ERR_VIEW_PATH, ERR_CH_CONNECTION_ABORT included).
const Row* Find(ErrorCode err);

// The lines of HandleError and of the wait, one function each; a syncer's
// log class implements them with its literal texts (see road_log.h).
class Log {
 public:
  virtual ~Log() = default;
  virtual void UnknownError(ErrorCode err) const = 0;     // CRIT
  virtual void Handling(ErrorCode err) const = 0;         // DEBUG
  virtual void NoType(ErrorCode err) const = 0;           // DEBUG
  virtual void UnexpectedError(ErrorCode err) const = 0;  // CRIT, negative action
  virtual void Abort() const = 0;                   // CRIT "abort()"
};

// HandleError of the syncers: a code outside the table logs UnknownError and
// gives Action::kGiveUp. Else Handling; then by the row's type a session or connection
// error report to the user interface (through `ui`) with the ids of the
// current session (handed to the notifier, which sends it in order; a failure is logged
// there and ignored), or NoType; UnexpectedError when the action is negative; the
// row's action. ERR_SSL_VERIFY_FAIL (a server certificate or host name that
// does not verify) is retried as ERR_IO is, and reported as a connection
// error only when it starts a spell on `connection` (beginVerifyFailure);
// 0 ends the spell. Calling thread; no lock.
Action HandleError(ErrorCode err, const Log& log, UiReporter& ui, uint64_t conn_id, uint64_t sess_id,
                   Connection& connection);

// The wait after `action`: none for kDone, timing.syncer_retry_wait for
// kRetry, timing.syncer_long_wait for kRetryLongWait, syncer_retry_wait for
// any other value, after log.Abort() when it is negative (kGiveUp).
std::chrono::milliseconds ActionWait(Action action, const Log& log, const DaemonTiming& timing);

}  // namespace syncer_error

#endif  // SERVER_SYNCER_ERROR_H_
