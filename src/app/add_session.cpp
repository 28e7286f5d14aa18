// "add_session": creates a session and registers it, paused.
#include "app/app.h"

int VelkoraApp::add_session(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
