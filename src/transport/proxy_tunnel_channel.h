// A Channel that reaches the relay through the HTTP proxy (the proxy is
// asked to CONNECT to the relay) and then runs the relay steps of
// TunnelChannel on that socket.
#ifndef TRANSPORT_PROXY_TUNNEL_CHANNEL_H_
#define TRANSPORT_PROXY_TUNNEL_CHANNEL_H_

#include <cstdint>
#include <string>

#include "transport/proxy_channel.h"
#include "transport/proxy_info.h"

class ProxyTunnelChannel : public ProxyChannel {
 public:
  // Copies both settings. `tunnel_ip` may be a name: the proxy resolves it.
  ProxyTunnelChannel(ProxyInfo proxy, TunnelInfo tunnel);
  ~ProxyTunnelChannel() override;

  // As TunnelChannel::Open, with the relay reached through the proxy. Every
  // return, success included, writes an ERROR line with the result.
  [[nodiscard]] ErrorCode Open(char const* ip, int port) override;
  // Channel::Close.
  [[nodiscard]] ErrorCode Close() override;

  using Channel::Open;

 protected:
  std::string tunnel_address;
  uint16_t tunnel_port;
};

#endif  // TRANSPORT_PROXY_TUNNEL_CHANNEL_H_
