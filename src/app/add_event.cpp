// "add_event": queues an upload or a remove of one path of a session.
#include "app/app.h"
#include "foundation/logger.h"
#include "session/event_generator.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::add_event(const PObject& req, PObject& rsp) {
  (void)rsp;  // an unknown session is logged only, as the user interface expects
  const uint64_t sess_id = req["session_id"].asUInt64();
  const ustring type = req["type"].asString();
  const ustring path = req["path"].asString();
  const bool is_dir = req["is_dir"].asBool();
  Registry::Entry entry;
  if (Registry::getInstance().Find(sess_id, entry) != 1) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): invalid session id %llu\n",
                  static_cast<unsigned long long>(sess_id));
    return -1;
  }
  // The generator drops a path that would lead outside the session (logged
  // as a WARNING); its result says only whether something was queued.
  if (type == "upload") {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): add upload event '%s'\n", path.c_str_utf8());
    (void)PushUploadEvent(entry, path, is_dir);
  } else if (type == "remove") {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): add remove event '%s'\n", path.c_str_utf8());
    (void)PushLocalRemoveEvent(entry, path, is_dir);
  }
  return 0;
}
