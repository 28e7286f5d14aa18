// "get_status": the sessions, connections and busy workers, one list each.
#include "app/app.h"

int VelkoraApp::get_status(const PObject& req, PObject& rsp) {
  (void)req;  // carries nothing that is read
  // Each key is made here, null, and becomes an array only when its builder
  // appends a first entry: the user interface expects null for "none".
  (void)get_session_status(rsp["session_list"]);
  (void)get_connection_status(rsp["connection_list"]);
  (void)get_worker_status(rsp["worker_list"]);
  return 0;
}

// No session, connection or worker exists yet: the builders append nothing.
int VelkoraApp::get_session_status(PObject& list) {
  (void)list;
  return 0;
}

int VelkoraApp::get_connection_status(PObject& list) {
  (void)list;
  return 0;
}

int VelkoraApp::get_worker_status(PObject& list) {
  (void)list;
  return 0;
}
