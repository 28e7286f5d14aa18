// "pause": pauses the selected sessions after interrupting their workers.
#include <vector>

#include "app/app.h"
#include "app/session_selection.h"
#include "app/worker_hold.h"

int VelkoraApp::pause_session(const PObject& req, PObject& rsp) {
  (void)rsp;  // nothing to report
  const Worker::AbortFilter filter = SessionSelection(req);
  const WorkerHold hold(workers(), filter, InterruptBound(timing_));
  std::vector<Registry::Entry> all;
  Registry& registry = Registry::getInstance();
  registry.GetAll(all);
  for (const Registry::Entry& entry : all) {
    // In place: a worker's recycle time recorded meanwhile stays.
    if (IsSelected(filter, entry)) (void)registry.SetPause(entry.sess_id, true);
  }
  return 0;
}
