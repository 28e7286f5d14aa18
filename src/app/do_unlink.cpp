// "unlink", and the second half of "stop": stops and joins every task and
// tears the shared environment down. The process stays.
#include "app/app.h"

#include "foundation/logger.h"

int VelkoraApp::do_unlink() {
  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): unlink daemon\n", __LINE__);
  stop_all();
  destroy_tasks();
  destroy_env();
  return 0;
}
