// "reload_session": new settings, and perhaps new rules, for one session.
#include "app/app.h"
#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::reload_session(const PObject& req, PObject& rsp) {
  if (!req.hasMember("session_id")) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Invalid parameter\n.\n");
    rsp["error"] = "Invalid parameter";
    return -1;
  }
  const uint64_t sess_id = req["session_id"].asUInt64();
  const unsigned long long id = sess_id;
  Registry::Entry entry;
  if (Registry::getInstance().Find(sess_id, entry) != 1) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): invalid session %llu, stop reload\n", id);
    rsp["error"] = "Invalid session.";
    return -1;
  }
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): session #%llu is reloaded, info = %s\n", id,
                req.toString().c_str_utf8());
  // Each change goes to the registry through a field setter at once:
  // writing the whole copy back would undo a recycle time that a worker
  // recorded meanwhile (the workers keep running). "perm_mode" changes
  // nothing: a session keeps the mode it was created with.
  if (req.hasMember("read_only")) change_permission(entry, req["read_only"].asBool());
  if (req["do_reload_filter"].asBool()) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): reload_session with reload_filter\n");
    // A failure has written "error"; the other settings still apply.
    (void)reload_filter(entry, rsp);
  }
  if (req.hasMember("recursive")) change_recursive(entry, req["recursive"].asBool());

  Worker::AbortFilter filter;
  filter.setSession(sess_id);
  interrupt_worker(filter);
  return 0;
}
