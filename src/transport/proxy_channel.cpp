#include "transport/proxy_channel.h"

#include <openssl/crypto.h>

#include "foundation/logger.h"
#include "transport/zarq_proxy_client.h"

namespace {

constexpr char kComponent[] = "channel_debug";
constexpr size_t kCapacity = 81920;

}  // namespace

ProxyChannel::ProxyChannel(ProxyInfo info)
    : Channel(kCapacity),
      proxy_address(info.proxy_ip),
      proxy_port(info.proxy_port),
      user_name(info.user_name),
      user_password(info.password),
      user_domain(info.domain),
      user_host(info.host) {}

ProxyChannel::~ProxyChannel() {
  if (!user_password.empty()) OPENSSL_cleanse(user_password.data(), user_password.size());
}

ErrorCode ProxyChannel::Open(char const* ip, int port) {
  if (!IsClosed()) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] proxy_channel(%d): Open: Channel already opened\n",
                   __LINE__);
    return ERR_INVAL;
  }
  if (ip == nullptr || port < 1 || port > 65535) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] proxy_channel(%d): Invalid argumants (ip: %s, port: %d\n",
                   __LINE__, ip ? ip : "(null)", port);
    return ERR_INVAL;
  }
  PROXY_SERVER_INFO server{const_cast<char*>(proxy_address.c_str()), proxy_port};
  PROXY_TARGET_INFO target{const_cast<char*>(ip), static_cast<uint16_t>(port)};
  PROXY_AUTH_INFO auth{const_cast<char*>(user_name.c_str()), const_cast<char*>(user_password.c_str()),
                       const_cast<char*>(user_domain.c_str()), const_cast<char*>(user_host.c_str()),
                       PROXY_AUTO_AUTH};
  int sock = ZARQProxyTunnelOpen(&server, &target, &auth);
  ClearRead();
  ClearWrite();
  if (sock < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proxy_channel(%d): ProxyChannel::Open: fail to connect to proxy server (%s:%d)\n",
                   __LINE__, proxy_address.c_str(), proxy_port);
    return ERR_IO;
  }
  Logger::LogMsg(Logger::L_WARNING, kComponent,
                 "[WARNING] proxy_channel(%d): ProxyChannel::Open: socket %d has been connect to proxy (%s:%d)\n",
                 __LINE__, sock, proxy_address.c_str(), proxy_port);
  // A leftover closed context (socket -1) is released first.
  if (m_ops.context != nullptr) (void)m_ops.close(m_ops.context);
  m_ops.context = NewPlainContext(sock);
  return ERR_OK;
}

ErrorCode ProxyChannel::Close() { return Channel::Close(); }
