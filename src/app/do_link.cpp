// "link": prepares the shared environment and starts the task set.
#include "app/app.h"

int VelkoraApp::do_link(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
