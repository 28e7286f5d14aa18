// One session out of the registry, the folder watch and the progress cache.
#include "app/app.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"
#include "session/detector.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::remove_one_session(uint64_t sess_id, PObject& rsp) {
  const unsigned long long id = sess_id;
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): remove_one_session '%llu'.\n", id);
  Registry& registry = Registry::getInstance();
  {
    Registry::Entry entry;
    if (registry.Find(sess_id, entry) != 1) {
      LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): invalid session %llu, stop remove\n", id);
      rsp["error"] = "Invalid session.";
      return -1;
    }
  }
  // The rule lists and the event database close with their last holder.
  registry.Clear(sess_id);
  // While unlinked there is no watch to stop.
  if (Detector* watcher = detector(); watcher != nullptr) watcher->RemoveWatch(sess_id);
  // One call removes every entry of the session; -1: there was none.
  if (ProgressCache::getInstance()->rmProgressEntryBySessionId(sess_id) == 0) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): session '%llu' is removed from progress cache.\n", id);
  }
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): session '%llu' is removed.\n", id);
  return 0;
}
