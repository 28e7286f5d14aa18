// "resume": lets the selected sessions sync again.
#include "app/app.h"

int VelkoraApp::resume_session(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
