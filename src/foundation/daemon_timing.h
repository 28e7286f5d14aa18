// DaemonTiming: every wait that the daemon's tasks let pass between their
// passes (rests after a failure, polls while paused or idle), in one place.
// main builds it once at start-up and hands a copy to each task it makes;
// the values below are the daemon's own and a daemon run by a user keeps
// them. Test rigs give shorter ones so that a test need not sit them out; a
// test of one of these waits itself keeps the default.
#ifndef FOUNDATION_DAEMON_TIMING_H_
#define FOUNDATION_DAEMON_TIMING_H_

#include <chrono>

struct DaemonTiming {
  using ms = std::chrono::milliseconds;

  // Every task's poll of its state while it is paused.
  ms pause_poll{1000};
  // Worker: the rest when the queue has no event for it, after a failure
  // that is retried (or has no action), and after an event is given back.
  ms worker_idle_rest{1000};
  ms worker_retry_rest{3000};
  ms worker_redo_rest{2000};
  // Syncer and ProgressSyncer: the wait when no session is ready, and each
  // step of the wait for the workers to carry out pulled changes.
  ms syncer_idle_wait{1000};
  // Syncer: the rest once every session was found up to date.
  ms syncer_up_to_date_rest{5000};
  // Syncer and ProgressSyncer: the wait after a failed round, by the action
  // of its error (syncer_error.h): retry soon, or wait long.
  ms syncer_retry_wait{3000};
  ms syncer_long_wait{120000};
  // RecycleCleaner: the wait after a pass that found no session or failed,
  // and between passes.
  ms cleaner_retry_wait{3000};
  ms cleaner_pass_wait{1000};
  // The control loop's wait for a connection: how late it sees a stop
  // signal at most.
  ms control_poll{3000};
  // Detector: the wait for a change, and the rest without any watched
  // folder or after a failed wait.
  ms detector_wait{1000};
  // Worker: the first wait before a server change that could not be put in
  // place locally (a read-only folder, a full disk, a refused move) is tried
  // again; each further failure doubles it, up to the second value.
  ms worker_pending_rest{10000};
  ms worker_pending_max_rest{300000};
  // Worker: how long it waits for reply data, and for an upload's reply
  // once it was interrupted.
  std::chrono::seconds worker_reply_timeout{90};
};

#endif  // FOUNDATION_DAEMON_TIMING_H_
