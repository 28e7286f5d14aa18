// "remove_session": removes one session, or all.
#include "app/app.h"
#include "app/worker_hold.h"
#include "foundation/logger.h"

int VelkoraApp::remove_session(const PObject& req, PObject& rsp) {
  // Missing reads as 0: every session.
  const uint64_t sess_id = req["session_id"].asUInt64();
  LOG_WITH_LINE(L_INFO, "client_debug", "[INFO] app(%d): session #%llu is removed\n",
                static_cast<unsigned long long>(sess_id));
  Worker::AbortFilter filter;
  filter.setSession(sess_id);
  const WorkerHold hold(workers(), filter, InterruptBound(timing_));
  if (sess_id == 0) {
    Registry::Entry entry;
    // Each pass removes the entry it found, so the loop ends with the
    // registry empty.
    while (Registry::getInstance().FindNext(0, entry) == 1) (void)remove_one_session(entry.sess_id, rsp);
  } else {
    // An unknown id writes "error" itself.
    (void)remove_one_session(sess_id, rsp);
  }
  return 0;
}
