#include "app/connection_common.h"

#include "foundation/logger.h"

bool HasConnectionKeys(const PObject& req, PObject& rsp) {
  if (req.hasMember("connection_id") && req.hasMember("server_ip") && req.hasMember("server_port") &&
      req.hasMember("session") && req["connection_id"].asUInt64() != 0) {
    return true;
  }
  Logger::LogMsg(Logger::L_ERR, "client_debug", "[ERROR] app(%d): invalid parameters.\n", __LINE__);
  rsp["error"] = "Invalid parameters";
  return false;
}

void LogConnectionSettings(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): server = %s:%u\n", __LINE__,
                 info.server_ip.c_str_utf8(), static_cast<unsigned>(info.server_port));
  Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): ssl = %u:%u\n", __LINE__,
                 static_cast<unsigned>(info.use_ssl), static_cast<unsigned>(info.ssl_allow_untrust));
  if (proxy != nullptr) {
    Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): proxy: %s:%u\n", __LINE__,
                   proxy->proxy_ip.c_str(), static_cast<unsigned>(proxy->proxy_port));
  }
  if (tunnel != nullptr) {
    Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): tunnel: %s:%u\n", __LINE__,
                   tunnel->tunnel_ip.c_str(), static_cast<unsigned>(tunnel->tunnel_port));
  }
}
