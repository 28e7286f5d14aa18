// "reload_session": new settings, and perhaps new rules, for one session.
#include "app/app.h"

int VelkoraApp::reload_session(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
