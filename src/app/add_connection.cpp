// "link_connection": a new server connection.
#include "app/app.h"

#include "app/connection_common.h"
#include "app/prepare_connection_info.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"

int VelkoraApp::add_connection(const PObject& req, PObject& rsp) {
  if (!HasConnectionKeys(req, rsp)) return -1;
  ConnectionInfo info;
  ProxyInfo proxy;
  TunnelInfo tunnel;
  prepare_connection_info(req, info, proxy, tunnel);
  // A proxy without an address is no proxy here (a reload hands it on).
  const ProxyInfo* use_proxy = proxy.use_proxy && !proxy.proxy_ip.empty() ? &proxy : nullptr;
  const TunnelInfo* use_tunnel = tunnel.use_tunnel ? &tunnel : nullptr;
  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): connection #%llu is added:\n", __LINE__,
                 static_cast<unsigned long long>(info.conn_id));
  LogConnectionSettings(info, use_proxy, use_tunnel);
  if (ConnectionManager::getInstance()->add(info, use_proxy, use_tunnel) < 0) {
    // The id is taken; the user interface is not told.
    Logger::LogMsg(Logger::L_WARNING, "client_debug", "[WARNING] app(%d): connection #%llu (%s:%d) is not added\n",
                   __LINE__, static_cast<unsigned long long>(info.conn_id), info.server_ip.c_str_utf8(),
                   info.server_port);
    return -1;
  }
  return 0;
}
