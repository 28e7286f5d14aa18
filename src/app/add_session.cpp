// "add_session": creates a session and registers it, paused.
#include "app/app.h"
#include "app/worker_hold.h"
#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::add_session(const PObject& req, PObject& rsp) {
  static const char* const kRequired[] = {"connection_id", "session_id", "view_id", "config_path", "sync_folder"};
  for (const char* key : kRequired) {
    if (!req.hasMember(key)) {
      LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Invalid parameters.\n");
      rsp["error"] = "Invalid parameters.";
      return -1;
    }
  }
  const uint64_t sess_id = req["session_id"].asUInt64();
  // Id 0 selects every session in "pause", "resume" and "remove_session",
  // and means "no event in hand" in a worker's record: a session of that
  // id could never be told apart, nor its workers interrupted.
  if (sess_id == 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Invalid parameters.\n");
    rsp["error"] = "Invalid parameters.";
    return -1;
  }
  const unsigned long long id = sess_id;
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): session #%llu is added, info = %s\n", id,
                req.toString().c_str_utf8());

  PObject create_info;
  create_info["conn_id"] = static_cast<unsigned long long>(req["connection_id"].asUInt64());
  create_info["sess_id"] = id;
  create_info["view_id"] = static_cast<unsigned long long>(req["view_id"].asUInt64());
  create_info["config_path"] = req["config_path"].asString();
  create_info["local_path"] = req["sync_folder"].asString();
  create_info["node_id"] = static_cast<unsigned long long>(req["view_id"].asUInt64());
  create_info["recursive"] = true;
  create_info["remote_path"] = "/";
  create_info["sync_mode"] = false;
  create_info["read_only"] = false;
  create_info["perm_mode"] = "sync-all";
  if (req.hasMember("node_id")) create_info["node_id"] = static_cast<unsigned long long>(req["node_id"].asUInt64());
  if (req.hasMember("recursive")) create_info["recursive"] = req["recursive"].asBool();
  if (req.hasMember("remote_path")) create_info["remote_path"] = req["remote_path"].asString();
  if (req.hasMember("sync_mode")) create_info["sync_mode"] = req["sync_mode"].asBool();
  if (req.hasMember("read_only")) create_info["read_only"] = req["read_only"].asBool();
  if (req.hasMember("perm_mode")) create_info["perm_mode"] = req["perm_mode"].asString();

  int rc;
  Registry::Entry existing;
  if (Registry::getInstance().Find(sess_id, existing) == 1) {
    // A session of this id runs already: its workers may be writing partial
    // downloads into the working folder that the creation wipes. Take it
    // down as "remove_session" would, with the workers held, then create.
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): session #%llu exists, replacing it\n", id);
    existing.clear();
    Worker::AbortFilter filter;
    filter.setSession(sess_id);
    const WorkerHold hold(workers(), filter, InterruptBound(timing_));
    PObject scratch;  // the id is registered: no error to report
    (void)remove_one_session(sess_id, scratch);
    rc = create_registry_entry(create_info);
  } else {
    rc = create_registry_entry(create_info);
  }
  if (rc < 0) {
    LOG_WITH_LINE(L_WARNING, kComponent, "[WARNING] app(%d): session %llu is not added, failed to create registry entry\n",
                  id);
    rsp["error"] = "Failed to create registry entry.";
    return -1;
  }
  return 0;
}
