// "reload_session" with "do_reload_filter": the session's rule lists read
// again, reconciled, and the held-back local events queued again.
#include "app/app.h"

int VelkoraApp::reload_filter(Registry::Entry& ent, PObject& rsp) {
  (void)ent;
  (void)rsp;
  return -1;
}

void VelkoraApp::reload_local_events(Registry::Entry& reg) { (void)reg; }
