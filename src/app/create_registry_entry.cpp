// The session record of "add_session": folders, event database, rule lists,
// folder watch, registry entry, reconciliation and the first rescan.
#include "app/app.h"

int VelkoraApp::create_registry_entry(const PObject& create_info) {
  (void)create_info;
  return -1;
}
