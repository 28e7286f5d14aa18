// "resume": lets the selected sessions sync again.
#include <vector>

#include "app/app.h"
#include "app/session_selection.h"

int VelkoraApp::resume_session(const PObject& req, PObject& rsp) {
  (void)rsp;  // nothing to report
  const Worker::AbortFilter filter = SessionSelection(req);
  std::vector<Registry::Entry> all;
  Registry& registry = Registry::getInstance();
  registry.GetAll(all);
  for (const Registry::Entry& entry : all) {
    if (IsSelected(filter, entry)) (void)registry.SetPause(entry.sess_id, false);
  }
  return 0;
}
