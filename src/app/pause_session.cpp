// "pause": pauses the selected sessions after interrupting their workers.
#include "app/app.h"

int VelkoraApp::pause_session(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
