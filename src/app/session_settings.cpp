// "reload_session": the read-only and recursive settings of a session.
#include "app/app.h"

void VelkoraApp::change_permission(Registry::Entry& ent, bool read_only) {
  (void)ent;
  (void)read_only;
}

void VelkoraApp::change_recursive(Registry::Entry& ent, bool recursive) {
  (void)ent;
  (void)recursive;
}

void VelkoraApp::remove_all_dir(const ustring& path) { (void)path; }
