// "unlink_connection": one connection, or every one for id 0 or none.
#include "app/app.h"

#include "app/worker_hold.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"

int VelkoraApp::remove_connection(const PObject& req, PObject& rsp) {
  (void)rsp;  // nothing to report: an unknown id changes nothing
  const uint64_t conn_id = req["connection_id"].asUInt64();
  Worker::AbortFilter filter;
  filter.setConnection(conn_id);
  const WorkerHold hold(workers(), filter, InterruptBound(timing_));
  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): connection #%llu is removed\n", __LINE__,
                 static_cast<unsigned long long>(conn_id));
  if (conn_id == 0) {
    ConnectionManager::getInstance()->clear();
  } else {
    ConnectionManager::getInstance()->remove(conn_id);
  }
  return 0;
}
