// A Channel whose socket is opened through an HTTP proxy (CONNECT, with the
// four authentication methods raced). After Open it is an ordinary plain
// channel to the target.
#ifndef TRANSPORT_PROXY_CHANNEL_H_
#define TRANSPORT_PROXY_CHANNEL_H_

#include <cstdint>
#include <string>

#include "transport/channel.h"
#include "transport/proxy_info.h"

class ProxyChannel : public Channel {
 public:
  // Copies the settings; keeps no reference to `info`.
  explicit ProxyChannel(ProxyInfo info);
  ~ProxyChannel() override;

  // Connects to the proxy and has it CONNECT to `ip`:`port` (the storage
  // server; the proxy resolves a name). Starts and joins up to four threads.
  // 0, ERR_INVAL (channel open already, null `ip`, port outside 1..65535;
  // nothing done), or ERR_IO (no method got a 200; the channel stays closed
  // with empty rings). The socket keeps the proxy client's options
  // (non-blocking, linger 1 s, no delay).
  [[nodiscard]] ErrorCode Open(char const* ip, int port) override;
  // Channel::Close.
  [[nodiscard]] ErrorCode Close() override;

  using Channel::Open;

 protected:
  std::string proxy_address;
  uint16_t proxy_port;
  std::string user_name;
  std::string user_password;
  std::string user_domain;
  std::string user_host;
};

#endif  // TRANSPORT_PROXY_CHANNEL_H_
