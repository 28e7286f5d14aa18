// "add_event": queues an upload or a remove of one path of a session.
#include "app/app.h"

int VelkoraApp::add_event(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
