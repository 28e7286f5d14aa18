// "reload_connection": replaces the settings of a server connection.
#include "app/app.h"

int VelkoraApp::reload_connection(const PObject& req, PObject& rsp) {
  // Nothing is set up for it yet: the reply carries only the "ack".
  (void)req;
  (void)rsp;
  return 0;
}
