// "reload_connection": new settings for a connection, with the workers that
// use it interrupted first.
#include "app/app.h"

#include "app/connection_common.h"
#include "app/prepare_connection_info.h"
#include "app/worker_hold.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"

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
  const WorkerHold hold(workers(), filter);

  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): connection #%llu is reloaded:\n", __LINE__,
                 static_cast<unsigned long long>(info.conn_id));
  LogConnectionSettings(info, use_proxy, use_tunnel);
  int rc = 0;
  if (ConnectionManager::getInstance()->reload(info, use_proxy, use_tunnel) < 0) {
    Logger::LogMsg(Logger::L_WARNING, "client_debug",
                   "[WARNING] app(%d): connection #%llu (%s:%d) is not reloaded\n", __LINE__,
                   static_cast<unsigned long long>(info.conn_id), info.server_ip.c_str_utf8(), info.server_port);
    rc = -1;
  }
  return rc;
}
