// "link": prepares the shared environment and starts the task set.
#include "app/app.h"

#include "foundation/logger.h"

int VelkoraApp::do_link(const PObject& req, PObject& rsp) {
  (void)req;  // carries nothing that is read
  if (!task.empty()) {
    // A second table over the first would leave the first one's threads
    // running with nothing to stop them: start again from unlinked.
    Logger::LogMsg(Logger::L_WARNING, "client_debug", "[WARNING] app(%d): already linked, unlinking first\n",
                   __LINE__);
    (void)do_unlink();
  }
  if (init_env() < 0) {
    // Whatever init_env opened stays open until the next "unlink".
    Logger::LogMsg(Logger::L_ERR, "client_debug", "[ERROR] app(%d): failed to initialize environment\n", __LINE__);
    rsp["error"] = "Failed to initialize environment";
    return -1;
  }
  // init_tasks cannot fail.
  (void)init_members();
  start_all();
  return 0;
}
