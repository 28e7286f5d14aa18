#include "transport/channel.h"

#include <endian.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "foundation/logger.h"
#include "platform/socket.h"
#include "transport/channel_internal.h"

namespace transport_internal {

int WaitWithTimeout(int sock, unsigned want, timeval const& timeout,
                    const std::atomic<int>* abort_flag, unsigned* ready) {
  long long ms = static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000;
  int timeout_ms = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
  int error = 0;
  switch (platform::WaitSocket(sock, want, timeout_ms, abort_flag, ready, &error)) {
    case platform::WaitStatus::kReady:
      return 0;
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

bool SecondsPassed(std::chrono::steady_clock::time_point since, uint32_t seconds) {
  return seconds != 0 && std::chrono::steady_clock::now() - since >= std::chrono::seconds(seconds);
}

}  // namespace transport_internal

using transport_internal::kComponent;
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

std::string Channel::m_cert_path = "/tmp/.trelvik_certs";
std::string Channel::m_key_path = "/tmp/.trelvik_server.key";
ustring Channel::m_ca_path = "/certs.pem";

Channel::Channel(size_t capacity)
    : m_ops{},
      w_buf(new char[capacity]),
      w_head(0),
      w_size(0),
      r_buf(new char[capacity]),
      r_head(0),
      r_size(0),
      capacity(capacity),
      m_timeout{1, 0},
      channel_timeout(60),
      flag(nullptr),
      m_isSSL(false),
      m_is_allowing_untrust(true),
      m_ssl_hostname() {
  SwitchChannelOp(CHANNEL_PLAIN_MODE);
}

Channel::~Channel() {
  // Result deliberately dropped: nothing can be done about a failed flush here.
  (void)Channel::Close();
}

int Channel::Open(char const*) { return 0; }

int Channel::Open(int fd, bool nonblock) {
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
  return 0;
}

int Channel::Open(char const* ip, int port) {
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
  int rc = 0;
  if (SetLinger(sock, 1) < 0 || SetNonBlock(sock) < 0) {
    rc = ERR_SYS;
  } else if (ConnectWithTimeout(sock, ip, port) < 0) {
    rc = ERR_IO;
  }
  if (rc != 0) {
    // The socket never became the channel's; close it without shutdown.
    (void)platform::CloseSocket(sock);
    return rc;
  }
  ClearRead();
  ClearWrite();
  if (m_ops.context != nullptr) (void)m_ops.close(m_ops.context);
  m_ops.context = NewPlainContext(sock);
  return 0;
}

int Channel::Close() {
  int rc = 0;
  if (!IsClosed()) {
    rc = FlushWrite(0);
    if (rc < 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): FlushWrite: %s\n", __LINE__,
                     GetErrorString(rc));
      ClearRead();
      ClearWrite();
    }
  }
  if (m_ops.context != nullptr) {
    // The close operations report nothing useful: the stream is gone either way.
    (void)m_ops.close(m_ops.context);
    m_ops.context = nullptr;
  }
  m_isSSL = false;
  SwitchChannelOp(CHANNEL_PLAIN_MODE);
  return rc < 0 ? rc : 0;
}

void Channel::SetTimeout(uint32_t timeout) { channel_timeout = timeout; }

void Channel::SetFlag(const std::atomic<int>* f) { flag = f; }

int Channel::ReadByte(uint8_t* i) {
  uint8_t v;
  int rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == 0) *i = v;
  return rc;
}

int Channel::ReadInt16(uint16_t* i) {
  uint16_t v;
  int rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == 0) *i = Convert(v);
  return rc;
}

int Channel::ReadInt32(uint32_t* i) {
  uint32_t v;
  int rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == 0) *i = Convert(v);
  return rc;
}

int Channel::ReadInt64(uint64_t* i) {
  uint64_t v;
  int rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == 0) *i = Convert(v);
  return rc;
}

int Channel::WriteByte(uint8_t i) { return Write(reinterpret_cast<char const*>(&i), sizeof i); }

int Channel::WriteInt16(uint16_t i) {
  uint16_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

int Channel::WriteInt32(uint32_t i) {
  uint32_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

int Channel::WriteInt64(uint64_t i) {
  uint64_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

int Channel::Read(char* buf, size_t len) {
  size_t total = 0;
  return Read(buf, len, total);
}

int Channel::Read(char* buf, size_t len, size_t& total) {
  total = 0;
  if (IsClosed()) return ERR_IO;

  // Serve what is buffered first, in at most two pieces around the ring's end.
  size_t n = std::min(len, r_size);
  size_t first = std::min(n, capacity - r_head);
  std::memcpy(buf, r_buf.get() + r_head, first);
  std::memcpy(buf + first, r_buf.get(), n - first);
  r_size -= n;
  r_head = r_size == 0 ? 0 : (r_head + n) % capacity;
  total = n;

  // From here on the ring is empty and starts at 0.
  while (total < len) {
    size_t w = std::min(len - total, capacity);
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): want = %zu, len = %zu, total = %zu, capacity = %zu\n",
                   __LINE__, w, len, total, capacity);
    int rc = ReadMore(w);
    if (rc < 0) {
      // Deliver the bytes that did arrive before the failure.
      std::memcpy(buf + total, r_buf.get(), r_size);
      total += r_size;
      r_head = r_size = 0;
      return rc;
    }
    std::memcpy(buf + total, r_buf.get(), w);
    total += w;
    r_size -= w;
    r_head = r_size == 0 ? 0 : w;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Read: read %zu bytes, head = %zu, size = %zu\n",
                 __LINE__, total, r_head, r_size);
  return 0;
}

int Channel::Write(char const* buf, size_t len) {
  if (IsClosed()) return ERR_IO;
  if (len > capacity) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Write: Exceed maximum data block size\n",
                   __LINE__);
    return ERR_INVAL;
  }
  // Checked before subtracting: w_size + len - capacity would wrap in size_t.
  if (w_size + len > capacity) {
    int rc = FlushWrite(w_size + len - capacity);
    if (rc < 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Write: FlushWrite failed\n", __LINE__);
      return rc;
    }
  }
  size_t tail = (w_head + w_size) % capacity;
  size_t first = std::min(len, capacity - tail);
  std::memcpy(w_buf.get() + tail, buf, first);
  std::memcpy(w_buf.get(), buf + first, len - first);
  w_size += len;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Write: write %zu bytes\n", __LINE__, len);
  return 0;
}

void Channel::ClearRead() { r_head = r_size = 0; }

void Channel::ClearWrite() { w_head = w_size = 0; }

int Channel::FlushWrite(size_t want) {
  // More than is buffered cannot be sent; asking for it means "all".
  size_t target = (want == 0 || want > w_size) ? w_size : want;
  if (target > 0 && IsClosed()) return ERR_IO;
  auto start = std::chrono::steady_clock::now();
  size_t sent = 0;
  while (sent < target) {
    if (FlagRaised()) return ERR_INT;
    size_t chunk = std::min(w_size, capacity - w_head);
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): WriteFd: from %zu, len %zu\n", __LINE__,
                   w_head, chunk);
    int n = m_ops.write(m_ops.context, w_buf.get() + w_head, chunk, m_timeout, flag);
    if (n == ERR_TIMEOUT) {
      if (transport_internal::SecondsPassed(start, channel_timeout)) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel(%d): FlushWrite: Channel timeout for %u seconds\n", __LINE__,
                       channel_timeout);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (n < 0) return n;
    start = std::chrono::steady_clock::now();
    size_t moved = static_cast<size_t>(n);
    sent += moved;
    w_head += moved;
    w_size -= moved;
    if (w_head == capacity || w_size == 0) w_head = 0;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): FlushWrite: flush at least %zu bytes\n",
                 __LINE__, target);
  return 0;
}

int Channel::GetPeerInfo(std::string&, int&) const { return ERR_SYS; }

bool Channel::IsClosed() const { return m_ops.isInvalid(m_ops.context); }

void Channel::SetAllowUntrust(bool is_allowing) { m_is_allowing_untrust = is_allowing; }

bool Channel::IsAllowingUntrust() const { return m_is_allowing_untrust; }

void Channel::SetSSLHostname(ustring const& hostname) { m_ssl_hostname = hostname; }

int Channel::ReadMore(size_t want) {
  if (want < 1) return 0;
  auto start = std::chrono::steady_clock::now();
  size_t total = 0;
  for (;;) {
    if (FlagRaised()) return ERR_INT;
    size_t tail = r_head + r_size;
    size_t pos, len;
    if (tail < capacity) {
      pos = tail;
      len = capacity - tail;
    } else {
      pos = tail - capacity;
      len = capacity - r_size;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] channel(%d): ReadMore: want = %zu, total = %zu, len = %zu, r_head = %zu, r_size = %zu\n",
                   __LINE__, want, total, len, r_head, r_size);
    int n = m_ops.read(m_ops.context, r_buf.get() + pos, len, m_timeout, flag);
    if (n == ERR_TIMEOUT) {
      if (transport_internal::SecondsPassed(start, channel_timeout)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadMore: Channel timeout for %u seconed\n",
                       __LINE__, channel_timeout);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (n < 0) return n;
    total += static_cast<size_t>(n);
    r_size += static_cast<size_t>(n);
    start = std::chrono::steady_clock::now();
    if (total >= want) {
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadMore: read at least %zu bytes\n",
                     __LINE__, want);
      return 0;
    }
  }
}

uint64_t Channel::Convert(uint64_t x) { return htobe64(x); }
uint32_t Channel::Convert(uint32_t x) { return htobe32(x); }
uint16_t Channel::Convert(uint16_t x) { return htobe16(x); }

int Channel::CreateSock() { return platform::CreateTcpSocket(); }

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

int Channel::ConnectWithTimeout(int sock, char const* pszIP, int port) {
  in_addr addr;
  if (sock < 0 || pszIP == nullptr || port < 1 || port > 65535 || !platform::ParseIPv4(pszIP, &addr)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Invalid argumants (ip: %s, port: %d\n",
                   __LINE__, pszIP ? pszIP : "(null)", port);
    return ERR_INVAL;
  }
  int err = platform::StartConnect(sock, addr, static_cast<uint16_t>(port));
  if (err == 0) return 0;
  if (err != EINPROGRESS) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): connect: Error Code: %d\n", __LINE__, err);
    return ERR_SYS;
  }
  // Each timed-out wait counts 3 s whatever its real length, so the default
  // 60 gives up after 20 waits.
  uint32_t elapsed = 0;
  unsigned ready = 0;
  for (;;) {
    int rc = WaitWithTimeout(sock, platform::kWaitWrite | platform::kWaitExcept, m_timeout, flag, &ready);
    if (rc == 0) {
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
  return 0;
}

void Channel::SwitchChannelOp(int mode) {
  if (mode == CHANNEL_PLAIN_MODE) {
    ChannelOps::InstallPlain(m_ops);
  } else {
    ChannelOps::InstallSSL(m_ops);
  }
}

void* Channel::NewPlainContext(int fd) { return new int(fd); }

bool Channel::FlagRaised() const { return flag != nullptr && flag->load(std::memory_order_relaxed) != 0; }

int Channel::PlainSocket() const { return m_ops.get_fd(m_ops.context); }

int Channel::ReadFd(int* fd, void* buf, size_t len, timeval const& m_timeout, const std::atomic<int>* abort_flag) {
  if (len == 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ReadFd: request 0\n", __LINE__);
    return ERR_INVAL;
  }
  int sock = fd ? *fd : -1;
  if (sock < 0) return ERR_IO;
  unsigned ready = 0;
  int rc = WaitWithTimeout(sock, platform::kWaitRead | platform::kWaitExcept, m_timeout, abort_flag, &ready);
  if (rc < 0) return rc;
  if (ready & platform::kWaitExcept) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ReadFd: exception set\n", __LINE__);
    return ERR_IO;
  }
  if (!(ready & platform::kWaitRead)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ReadFd: select but fd [%d] not ready\n",
                   __LINE__, sock);
    return ERR_SYS;
  }
  ssize_t n = platform::SocketRecv(sock, buf, ClampLen(len));
  if (n < 0 && IsTransient(errno)) return ERR_TIMEOUT;
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
    return ERR_IO;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadFd: read %zd bytes\n", __LINE__, n);
  return static_cast<int>(n);
}

int Channel::WriteFd(int* fd, void const* buf, size_t len, timeval const& m_timeout,
                     const std::atomic<int>* abort_flag) {
  int sock = fd ? *fd : -1;
  if (sock < 0) return ERR_IO;
  unsigned ready = 0;
  int rc = WaitWithTimeout(sock, platform::kWaitWrite | platform::kWaitExcept, m_timeout, abort_flag, &ready);
  if (rc < 0) return rc;
  if (ready & platform::kWaitExcept) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): WriteFd: exception occurs\n", __LINE__);
    return ERR_IO;
  }
  if (!(ready & platform::kWaitWrite)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): WriteFd: select but fd [%d] not ready\n",
                   __LINE__, sock);
    return ERR_SYS;
  }
  ssize_t n = platform::SocketSend(sock, buf, ClampLen(len));
  if (n < 0 && IsTransient(errno)) return ERR_TIMEOUT;
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
    return ERR_IO;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): WriteFd: write %zd bytes\n", __LINE__, n);
  return static_cast<int>(n);
}

void ChannelOps::InstallPlain(__tag_CHANNEL_OPS& ops) {
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
