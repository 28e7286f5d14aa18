// A Channel whose socket reaches the storage server through the relay
// tunnel: TLS to the relay (any certificate accepted), the upgrade request
// for the target, then the TLS session is dropped without a close-notify and
// the raw socket is the target's stream. After Open it is an ordinary plain
// channel; ConvertToSSLChannel then runs TLS end to end with the server.
#ifndef TRANSPORT_TUNNEL_CHANNEL_H_
#define TRANSPORT_TUNNEL_CHANNEL_H_

#include <cstdint>
#include <string>

#include "transport/channel.h"
#include "transport/proxy_info.h"

class TunnelChannel : public Channel {
 public:
  // Copies the settings; keeps no reference to `info`. `tunnel_ip` must be
  // a dotted IPv4 address.
  explicit TunnelChannel(TunnelInfo info);
  ~TunnelChannel() override;

  // Connects to the relay and has it connect to `ip`:`port`. 0, ERR_INVAL
  // (channel open already, null `ip`, port outside 1..65535; nothing done),
  // or ERR_IO (any step failed; one ERROR line names it and the relay's or
  // the local code; the channel is left closed).
  [[nodiscard]] ErrorCode Open(char const* ip, int port) override;
  // Channel::Close.
  [[nodiscard]] ErrorCode Close() override;

  using Channel::Open;

 protected:
  std::string tunnel_address;
  uint16_t tunnel_port;

 private:
  friend class ProxyTunnelChannel;

  // The relay steps on the open plain socket `fd`: TLS handshake, upgrade
  // request, quiet drop of the TLS session (the socket stays open). 0 or
  // ERR_IO after an ERROR line to "channel_debug" prefixed with `who`.
  static ErrorCode UpgradeThroughRelay(const char* who, int fd, timeval wait, uint32_t channel_timeout,
                                       const std::atomic<int>* abort_flag, char const* ip, int port);
};

#endif  // TRANSPORT_TUNNEL_CHANNEL_H_
