#include "transport/proxy_tunnel_channel.h"

#include "foundation/logger.h"
#include "transport/tunnel_channel.h"

namespace {

constexpr char kComponent[] = "channel_debug";

}  // namespace

ProxyTunnelChannel::ProxyTunnelChannel(ProxyInfo proxy, TunnelInfo tunnel)
    : ProxyChannel(std::move(proxy)), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

ProxyTunnelChannel::~ProxyTunnelChannel() = default;

ErrorCode ProxyTunnelChannel::Open(char const* ip, int port) {
  ErrorCode ret;
  if (!IsClosed()) {
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] proxy_tunnel_channel(%d): Open: Channel already opened\n", __LINE__);
    ret = ERR_INVAL;
  } else if (ip == nullptr || port < 1 || port > 65535) {
    // A null target would otherwise reach the request text.
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] proxy_tunnel_channel(%d): Invalid argumants (ip: %s, port: %d\n", __LINE__,
                   ip ? ip : "(null)", port);
    ret = ERR_INVAL;
  } else if (ProxyChannel::Open(tunnel_address.c_str(), tunnel_port) != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proxy_tunnel_channel(%d): Open proxy failed\n", __LINE__);
    ret = ERR_IO;
  } else {
    ret = TunnelChannel::UpgradeThroughRelay("proxy_tunnel_channel", m_ops.get_fd(m_ops.context), m_timeout,
                                             channel_timeout, flag, ip, port);
    if (ret != ERR_OK) {
      if (!IsClosed()) (void)Close();  // closing a failed path; its flush has nothing to send
      ret = ERR_IO;
    } else {
      ClearRead();
      ClearWrite();
    }
  }
  Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proxy_tunnel_channel(%d): ProxyTunnelChannel[%d]: ret = %d\n",
                 __LINE__, __LINE__, ErrorNumber(ret));
  return ret;
}

ErrorCode ProxyTunnelChannel::Close() { return Channel::Close(); }
