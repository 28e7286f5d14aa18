// The socket side of the plain channel: opening, connecting, and the plain
// read and write operations.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "foundation/logger.h"
#include "platform/socket.h"
#include "transport/channel.h"
#include "transport/channel_internal.h"

namespace transport_internal {

ErrorCode WaitWithTimeout(int sock, unsigned want, timeval const& timeout, const std::atomic<int>* abort_flag,
                          unsigned* ready) {
  long long ms = static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000;
  int timeout_ms = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
  int error = 0;
  switch (platform::WaitSocket(sock, want, timeout_ms, abort_flag, ready, &error)) {
    case platform::WaitStatus::kReady:
      return ERR_OK;
    case platform::WaitStatus::kAborted:
      return ERR_INT;
    case platform::WaitStatus::kTimeout:
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): select: timeout\n", __LINE__);
      return ERR_TIMEOUT;
    case platform::WaitStatus::kError:
      break;
  }
  Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): select: Error code %d\n", __LINE__,
                 error);
  return ERR_SYS;
}

ErrorCode WaitReady(int sock, unsigned want, timeval const& timeout, const std::atomic<int>* abort_flag, const char* op,
                    const char* exception) {
  unsigned ready = 0;
  ErrorCode rc = WaitWithTimeout(sock, want | platform::kWaitExcept, timeout, abort_flag, &ready);
  if (rc != ERR_OK) return rc;
  if (ready & platform::kWaitExcept) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): %s: %s\n", __LINE__, op, exception);
    return ERR_IO;
  }
  if (!(ready & want)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): %s: select but fd [%d] not ready\n",
                   __LINE__, op, sock);
    return ERR_SYS;
  }
  return ERR_OK;
}

}  // namespace transport_internal

using transport_internal::kComponent;
using transport_internal::WaitReady;
using transport_internal::WaitWithTimeout;

namespace {

// The I/O of one call is bounded so that its count fits the int result.
size_t ClampLen(size_t len) { return std::min<size_t>(len, INT_MAX); }

// errno values after a ready wait that only mean "not now".
bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int plain_get_fd(void* context) { return context ? *static_cast<int*>(context) : -1; }

bool plain_is_invalid(void* context) { return plain_get_fd(context) < 0; }

int plain_close(void* context) {
  int* fd = static_cast<int*>(context);
  if (fd == nullptr) return 0;
  transport_internal::ShutdownAndClose(*fd);
  delete fd;
  return 0;
}

}  // namespace

namespace transport_internal {

void ShutdownAndClose(int fd) {
  if (fd < 0) return;
  int err = platform::ShutdownSocket(fd);
  if (err != 0) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Channel: shutdown: %s\n", __LINE__,
                   platform::ErrorText(err).c_str());
  }
  // The descriptor is released whatever close reports; nothing to retry.
  (void)platform::CloseSocket(fd);
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Channel: socket %d closed\n", __LINE__,
                 fd);
}

}  // namespace transport_internal

ErrorCode Channel::Open(int fd, bool nonblock) {
  if (!IsClosed()) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: Channel already opened [%d]\n",
                   __LINE__, PlainSocket());
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: %s\n", __LINE__,
                   GetErrorString(ERR_INVAL));
    return ERR_INVAL;
  }
  if (fd < 0) return ERR_INVAL;
  if (nonblock) {
    int err = platform::SetSocketLinger(fd, 1);
    if (err != 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): Open: SetLinger to socket [%d] failed, %s\n", __LINE__, fd,
                     platform::ErrorText(err).c_str());
      return ERR_SYS;
    }
    err = platform::SetSocketNonBlocking(fd);
    if (err != 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): Open: SetNonBlock to socket [%d] failed, %s\n", __LINE__, fd,
                     platform::ErrorText(err).c_str());
      return ERR_SYS;
    }
  }
  // A leftover context (a subclass's socket -1) is released first.
  if (m_ops.context != nullptr) (void)m_ops.close(m_ops.context);
  m_ops.context = NewPlainContext(fd);
  ClearRead();
  ClearWrite();
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Channel: opening socket %d\n", __LINE__, fd);
  return ERR_OK;
}

ErrorCode Channel::Open(char const* ip, int port) {
  if (!IsClosed()) {
    // Opening over an open channel would leak its socket.
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: Channel already opened [%d]\n",
                   __LINE__, PlainSocket());
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: %s\n", __LINE__,
                   GetErrorString(ERR_INVAL));
    return ERR_INVAL;
  }
  if (ip == nullptr || port < 1 || port > 65535) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Invalid argumants (ip: %s, port: %d\n",
                   __LINE__, ip ? ip : "(null)", port);
    return ERR_INVAL;
  }
  int sock = CreateSock();
  if (sock < 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): socket: %s\n", __LINE__,
                   platform::ErrorText(errno).c_str());
    return ERR_IO;
  }
  ErrorCode rc = ERR_OK;
  if (SetLinger(sock, 1) < 0 || SetNonBlock(sock) < 0) {
    rc = ERR_SYS;
  } else if (ConnectWithTimeout(sock, ip, port) != ERR_OK) {
    rc = ERR_IO;
  }
  if (rc != ERR_OK) {
    // The socket never became the channel's; close it without shutdown.
    (void)platform::CloseSocket(sock);
    return rc;
  }
  ClearRead();
  ClearWrite();
  if (m_ops.context != nullptr) (void)m_ops.close(m_ops.context);
  m_ops.context = NewPlainContext(sock);
  return ERR_OK;
}

int Channel::CreateSock() { return platform::CreateTcpSocket(); }

void Channel::Discard() {
  ClearRead();
  ClearWrite();
  if (m_ops.context != nullptr && !m_ops.isInvalid(m_ops.context)) {
    const int fd = m_ops.get_fd(m_ops.context);
    // Linger 0: close resets the connection at once.
    if (fd >= 0) (void)platform::SetSocketLinger(fd, 0);
  }
  // Nothing is left to flush: the close cannot fail usefully.
  (void)Close();
}

int Channel::SetLinger(int sock, int sec) {
  int err = platform::SetSocketLinger(sock, sec);
  if (err == 0) return 0;
  Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): setsockopt: %s\n", __LINE__,
                 platform::ErrorText(err).c_str());
  return -1;
}

int Channel::SetNonBlock(int sock) {
  int err = platform::SetSocketNonBlocking(sock);
  if (err == 0) return 0;
  Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ioctl: Error code: %d\n", __LINE__, err);
  return -1;
}

ErrorCode Channel::ConnectWithTimeout(int sock, char const* pszIP, int port) {
  in_addr addr;
  if (sock < 0 || pszIP == nullptr || port < 1 || port > 65535 || !platform::ParseIPv4(pszIP, &addr)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Invalid argumants (ip: %s, port: %d\n",
                   __LINE__, pszIP ? pszIP : "(null)", port);
    return ERR_INVAL;
  }
  int err = platform::StartConnect(sock, addr, static_cast<uint16_t>(port));
  if (err == 0) return ERR_OK;
  if (err != EINPROGRESS) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): connect: Error Code: %d\n", __LINE__, err);
    return ERR_SYS;
  }
  // Each timed-out wait counts 3 s whatever its real length, so the default
  // 60 gives up after 20 waits.
  uint32_t elapsed = 0;
  unsigned ready = 0;
  for (;;) {
    ErrorCode rc = WaitWithTimeout(sock, platform::kWaitWrite | platform::kWaitExcept, m_timeout, flag, &ready);
    if (rc == ERR_OK) {
      if (ready & platform::kWaitExcept) {
        Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): connect: exception set\n", __LINE__);
        return ERR_IO;
      }
      break;
    }
    if (rc != ERR_TIMEOUT) return rc;
    elapsed += 3;
    if (channel_timeout != 0 && elapsed >= channel_timeout) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): Channel timed out during connect (%u seconds), abort anyway\n", __LINE__,
                     elapsed);
      return ERR_TIMEOUT;
    }
  }
  if (!(ready & platform::kWaitWrite)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): connect: write fd is not set\n", __LINE__);
    return ERR_SYS;
  }
  // Writable alone does not mean connected: a refused connect is writable too.
  int so_error = 0;
  err = platform::PendingSocketError(sock, &so_error);
  if (err != 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): getsockopt: %s\n", __LINE__,
                   platform::ErrorText(err).c_str());
    return ERR_SYS;
  }
  if (so_error != 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): connect: %s\n", __LINE__,
                   platform::ErrorText(so_error).c_str());
    return ERR_IO;
  }
  return ERR_OK;
}

// The op table's context is untyped; a heap int is the plain one.
void* Channel::NewPlainContext(int fd) { return new int(fd); }

void transport_internal::FreePlainContext(void* context) { delete static_cast<int*>(context); }

int Channel::ReadFd(int* fd, void* buf, size_t len, timeval const& m_timeout, const std::atomic<int>* abort_flag) {
  if (len == 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ReadFd: request 0\n", __LINE__);
    return ErrorNumber(ERR_INVAL);
  }
  int sock = fd ? *fd : -1;
  if (sock < 0) return ErrorNumber(ERR_IO);
  ErrorCode rc = WaitReady(sock, platform::kWaitRead, m_timeout, abort_flag, "ReadFd", "exception set");
  if (rc != ERR_OK) return ErrorNumber(rc);
  ssize_t n = platform::SocketRecv(sock, buf, ClampLen(len));
  if (n < 0 && IsTransient(errno)) return ErrorNumber(ERR_TIMEOUT);
  if (n <= 0) {
    int err = n < 0 ? errno : 0;
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): read: %s\n", __LINE__,
                   platform::ErrorText(err).c_str());
    if (n == 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): Diagnose: select says the socket is readable but actually we can't read "
                     "... connection closed?\n",
                     __LINE__);
    }
    return ErrorNumber(ERR_IO);
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadFd: read %zd bytes\n", __LINE__, n);
  return static_cast<int>(n);
}

int Channel::WriteFd(int* fd, void const* buf, size_t len, timeval const& m_timeout,
                     const std::atomic<int>* abort_flag) {
  int sock = fd ? *fd : -1;
  if (sock < 0) return ErrorNumber(ERR_IO);
  ErrorCode rc = WaitReady(sock, platform::kWaitWrite, m_timeout, abort_flag, "WriteFd", "exception occurs");
  if (rc != ERR_OK) return ErrorNumber(rc);
  ssize_t n = platform::SocketSend(sock, buf, ClampLen(len));
  if (n < 0 && IsTransient(errno)) return ErrorNumber(ERR_TIMEOUT);
  if (n <= 0) {
    int err = n < 0 ? errno : 0;
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): write: %s\n", __LINE__,
                   platform::ErrorText(err).c_str());
    if (n == 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): Diagnose: select says the socket is writeable but actually we can't "
                     "write ... connection closed?\n",
                     __LINE__);
    }
    return ErrorNumber(ERR_IO);
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): WriteFd: write %zd bytes\n", __LINE__, n);
  return static_cast<int>(n);
}

void ChannelOps::InstallPlain(CHANNEL_OPS& ops) {
  ops.read = [](void* context, void* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
    return Channel::ReadFd(static_cast<int*>(context), buf, len, wait, flag);
  };
  ops.write = [](void* context, void const* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
    return Channel::WriteFd(static_cast<int*>(context), buf, len, wait, flag);
  };
  ops.get_fd = plain_get_fd;
  ops.close = plain_close;
  ops.isInvalid = plain_is_invalid;
}
