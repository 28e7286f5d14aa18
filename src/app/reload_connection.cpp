// "reload_connection": new settings for a connection, with the workers that
// use it interrupted first.
#include "app/app.h"

#include "app/connection_common.h"
#include "app/prepare_connection_info.h"
#include "app/worker_hold.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "server/progress_syncer.h"
#include "server/syncer.h"

int VelkoraApp::reload_connection(const PObject& req, PObject& rsp) {
  if (!HasConnectionKeys(req, rsp)) return -1;
  ConnectionInfo info;
  ProxyInfo proxy;
  TunnelInfo tunnel;
  prepare_connection_info(req, info, proxy, tunnel);
  // Unlike an add, an empty proxy address is handed on.
  const ProxyInfo* use_proxy = proxy.use_proxy ? &proxy : nullptr;
  const TunnelInfo* use_tunnel = tunnel.use_tunnel ? &tunnel : nullptr;

  // Held from before the interruption until after the change, so no
  // worker takes the connection up half-way.
  Worker::AbortFilter filter;
  filter.setConnection(info.conn_id);
  const WorkerHold hold(workers(), filter, InterruptBound(timing_));
  // The syncers may hold a channel of the connection too, in a reply wait
  // that keep-alives can stretch for ever: they are broken off as well.
  const TaskPause syncers({syncer(), progress_syncer()});

  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): connection #%llu is reloaded:\n", __LINE__,
                 static_cast<unsigned long long>(info.conn_id));
  LogConnectionSettings(info, use_proxy, use_tunnel);
  const int rc = ConnectionManager::getInstance()->reload(info, use_proxy, use_tunnel, kChannelReturnWait);
  if (rc == -2) {
    Logger::LogMsg(Logger::L_WARNING, "client_debug",
                   "[WARNING] app(%d): connection #%llu (%s:%d) is not reloaded, a channel is still in use\n",
                   __LINE__, static_cast<unsigned long long>(info.conn_id), info.server_ip.c_str_utf8(),
                   info.server_port);
    rsp["error"] = "The connection is busy, try again.";
    return -1;
  }
  if (rc < 0) {
    Logger::LogMsg(Logger::L_WARNING, "client_debug",
                   "[WARNING] app(%d): connection #%llu (%s:%d) is not reloaded\n", __LINE__,
                   static_cast<unsigned long long>(info.conn_id), info.server_ip.c_str_utf8(), info.server_port);
    return -1;
  }
  return 0;
}
