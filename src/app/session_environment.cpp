// The folders of a session.
#include "app/app.h"

int VelkoraApp::create_session_environment(const ustring& local_path, const ustring& config_path) {
  (void)local_path;
  (void)config_path;
  return -1;
}

bool VelkoraApp::is_dir(const ustring& path) {
  (void)path;
  return false;
}
