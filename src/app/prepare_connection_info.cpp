#include "app/prepare_connection_info.h"

#include <string>

namespace {

// The UTF-8 bytes of a string member ("" when absent or of another kind;
// an integer's decimal text).
std::string Bytes(const PObject& req, const char* key) {
  const ustring text = req[key].asString();
  return std::string(text.c_str_utf8(), text.length());
}

}  // namespace

void prepare_connection_info(const PObject& req, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel) {
  info.session = req["session"].asString();
  info.server_ip = req["server_ip"].asString();
  info.server_port = req["server_port"].asInt32();
  info.conn_id = req["connection_id"].asUInt64();
  info.c_mode = req["connection_mode"].asInt32();
  info.username = req["username"].asString();
  info.computer_name = req["computer_name"].asString();
  info.use_ssl = req["use_ssl"].asBool();
  info.version_info.build_number = static_cast<int32_t>(req["package_version"].asInt64());
  info.version_info.major = req["package_major"].asInt32();
  info.version_info.minor = req["package_minor"].asInt32();
  info.ssl_allow_untrust = req["ssl_allow_untrust"].asBool();
  info.server_name = req["ssl_server_hostname"].asString();

  proxy.use_proxy = req["use_proxy"].asBool();
  proxy.use_sys_proxy = req["use_sys_proxy"].asBool();
  proxy.proxy_ip = Bytes(req, "proxy_ip");
  proxy.proxy_port = req["proxy_port"].asUInt16();
  proxy.user_name = Bytes(req, "proxy_username");
  proxy.password = Bytes(req, "proxy_password");
  proxy.domain = Bytes(req, "proxy_domain");
  proxy.host = Bytes(req, "proxy_host");

  tunnel.use_tunnel = req["use_tunnel"].asBool();
  tunnel.tunnel_ip = Bytes(req, "tunnel_ip");
  tunnel.tunnel_port = req["tunnel_port"].asUInt16();
}
