#include "transport/tunnel_channel.h"

#include <openssl/ssl.h>

#include "foundation/logger.h"
#include "transport/channel_internal.h"
#include "transport/zarq_tunnel_client.h"

namespace {

constexpr char kComponent[] = "channel_debug";
constexpr size_t kCapacity = 81920;

}  // namespace

TunnelChannel::TunnelChannel(TunnelInfo info)
    : Channel(kCapacity), tunnel_address(info.tunnel_ip), tunnel_port(info.tunnel_port) {}

TunnelChannel::~TunnelChannel() = default;

ErrorCode TunnelChannel::UpgradeThroughRelay(const char* who, int fd, timeval wait, uint32_t channel_timeout,
                                             const std::atomic<int>* abort_flag, char const* ip, int port) {
  SSL* ssl = nullptr;
  SSL_CTX* ctx = nullptr;
  ErrorCode rc = ERR_OK;
  if (InitSSL(ssl, ctx, false, true) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] %s(%d): Open: init ssl failed\n", who, __LINE__);
    rc = ERR_IO;
  } else if (SSL_set_fd(ssl, fd) != 1) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] %s(%d): set fd failed\n", who, __LINE__);
    transport_internal::log_ssl();
    rc = ERR_IO;
  } else if (SSLHandshake(ssl, wait, channel_timeout, abort_flag) != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] %s(%d): Open to SSL connect to tunnel failed\n", who,
                   __LINE__);
    rc = ERR_IO;
  } else {
    int code = ZARQTunnelClientHandshake(ssl, ip, port, wait, channel_timeout);
    if (code != 0) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] %s(%d): ZARQTunnelClientHandshake: failed, code: %d\n",
                     who, __LINE__, code);
      rc = ERR_IO;
    }
  }
  // Success or not, the relay's session goes without a close-notify: after
  // the upgrade the next bytes on the socket belong to the target, and the
  // socket itself is not the SSL object's to close.
  DeinitSSL(ssl, ctx, true);
  return rc;
}

ErrorCode TunnelChannel::Open(char const* ip, int port) {
  if (!IsClosed()) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] tunnel_channel(%d): Open: Channel already opened\n",
                   __LINE__);
    return ERR_INVAL;
  }
  if (ip == nullptr || port < 1 || port > 65535) {
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] tunnel_channel(%d): Invalid argumants (ip: %s, port: %d\n", __LINE__,
                   ip ? ip : "(null)", port);
    return ERR_INVAL;
  }
  ErrorCode rc = Channel::Open(tunnel_address.c_str(), tunnel_port);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] tunnel_channel(%d): Connect failed", __LINE__);
  } else {
    rc = UpgradeThroughRelay("tunnel_channel", m_ops.get_fd(m_ops.context), m_timeout, channel_timeout, flag, ip,
                             port);
  }
  if (rc != ERR_OK) {
    if (!IsClosed()) (void)Close();  // closing a failed path; its flush has nothing to send
    return ERR_IO;
  }
  ClearRead();
  ClearWrite();
  return ERR_OK;
}

ErrorCode TunnelChannel::Close() { return Channel::Close(); }
