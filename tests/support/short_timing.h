// The daemon's waits as the test rigs shorten them: a test need not sit out
// a rest or a poll that is not what it checks. A test of one of these waits
// itself gives DaemonTiming() (the daemon's own) instead.
#ifndef TESTS_SUPPORT_SHORT_TIMING_H_
#define TESTS_SUPPORT_SHORT_TIMING_H_

#include <chrono>

#include "foundation/daemon_timing.h"

namespace testsupport {

inline DaemonTiming ShortTiming() {
  using std::chrono::milliseconds;
  DaemonTiming t;
  t.pause_poll = milliseconds(100);
  t.worker_idle_rest = milliseconds(100);
  t.worker_retry_rest = milliseconds(300);
  t.worker_redo_rest = milliseconds(200);
  t.syncer_idle_wait = milliseconds(100);
  t.syncer_up_to_date_rest = milliseconds(300);
  t.syncer_retry_wait = milliseconds(300);
  // The long wait after a refusal stays: tests count that no retry follows.
  t.cleaner_retry_wait = milliseconds(300);
  t.cleaner_pass_wait = milliseconds(200);
  t.control_poll = milliseconds(200);
  t.detector_wait = milliseconds(200);
  t.worker_pending_rest = milliseconds(300);
  t.worker_pending_max_rest = milliseconds(2400);
  return t;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SHORT_TIMING_H_
