// "remove_session": removes one session, or all.
#include "app/app.h"

int VelkoraApp::remove_session(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
