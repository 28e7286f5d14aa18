// Settings of a connection's HTTP proxy and relay tunnel, filled by the
// daemon application from "link_connection" and copied by the channels.
#ifndef TRANSPORT_PROXY_INFO_H_
#define TRANSPORT_PROXY_INFO_H_

#include <cstdint>
#include <string>

// The HTTP proxy. Keys: "use_proxy", "use_sys_proxy", "proxy_ip",
// "proxy_port", "proxy_username", "proxy_password", "proxy_domain",
// "proxy_host".
struct ProxyInfo {
  ProxyInfo();
  ProxyInfo(const ProxyInfo&) = default;
  ProxyInfo& operator=(const ProxyInfo&) = default;
  ~ProxyInfo() = default;

  // Restores every default.
  void clear();

  bool use_proxy;
  bool use_sys_proxy;  // carried only: no channel consults it
  std::string proxy_ip;  // host name or dotted IPv4 address
  uint16_t proxy_port;
  std::string user_name;  // UTF-8
  std::string password;   // UTF-8
  std::string domain;     // NTLM domain
  std::string host;       // this computer's name, for NTLM
};

// The relay. Keys: "use_tunnel", "tunnel_ip", "tunnel_port".
struct TunnelInfo {
  bool use_tunnel = false;
  std::string tunnel_ip;  // dotted IPv4 for TunnelChannel; any name through a proxy
  uint16_t tunnel_port = 0;
};

#endif  // TRANSPORT_PROXY_INFO_H_
