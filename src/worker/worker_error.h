// The worker's error policy: what the loop does with an operation's result
// and which report the user interface gets. The codes are the daemon's ERR_*
// (transport/error_code.h, with GetErrorString for their texts).
#ifndef WORKER_WORKER_ERROR_H_
#define WORKER_WORKER_ERROR_H_

#include <cstdint>

#include "server/error_type.h"
#include "transport/error_code.h"

// What the loop does with the event in hand. The worker's own type: the
// syncers' actions (syncer_error::Action) mean other things, and neither is
// a daemon code.
enum class WorkerAction {
  kNone = -1,        // no action: the loop logs CRIT "abort()" and retries after 3 s
  kDone = 0,
  kRetry = 1,        // wait 3 s, carry out the same event again
  kReturnEvent = 2,  // hand the event back to the queue
};

struct WorkerErrorRow {
  WorkerAction action;
  ErrorType report;  // which report the result raises
};

// The row of `code` (0 to ERR_PERMISS_READ_ONLY); {WorkerAction::kNone, ErrorType::kNone}
// for any other value. Constant, any thread.
WorkerErrorRow WorkerErrorRowOf(ErrorCode code);

// File status (FSTAT_* of the file-status database) recorded for a finished
// event of each notify type; Worker::NotifyEventType values 0 to 5.
int WorkerFileStatusOf(int notify_type);
// The event type reported for each notify type (EV_EMPTY: nothing).
int WorkerReportedEventTypeOf(int notify_type);

#endif  // WORKER_WORKER_ERROR_H_
