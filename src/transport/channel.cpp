// The buffering of Channel: the two rings, big-endian integers, the flush
// and read loops, and Close.
#include "transport/channel.h"

#include <endian.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/logger.h"
#include "transport/channel_internal.h"

namespace transport_internal {

bool SecondsPassed(std::chrono::steady_clock::time_point since, uint32_t seconds) {
  return seconds != 0 && std::chrono::steady_clock::now() - since >= std::chrono::seconds(seconds);
}

}  // namespace transport_internal

using transport_internal::kComponent;

std::string Channel::m_cert_path = "/tmp/.trelvik_certs";
std::string Channel::m_key_path = "/tmp/.trelvik_server.key";
ustring Channel::m_ca_path = "/certs.pem";

// A zero capacity would make every read loop for ever; it is taken as 1.
Channel::Channel(size_t capacity)
    : m_ops{},
      w_buf(new char[std::max<size_t>(capacity, 1)]),
      w_head(0),
      w_size(0),
      r_buf(new char[std::max<size_t>(capacity, 1)]),
      r_head(0),
      r_size(0),
      capacity(std::max<size_t>(capacity, 1)),
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

ErrorCode Channel::Open(char const*) { return ERR_OK; }

ErrorCode Channel::Close() {
  ErrorCode rc = ERR_OK;
  if (!IsClosed()) {
    rc = FlushWrite(0);
    if (rc != ERR_OK) {
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
  return rc;
}

void Channel::SetTimeout(uint32_t timeout) { channel_timeout = timeout; }

void Channel::SetFlag(const std::atomic<int>* f) { flag = f; }

ErrorCode Channel::ReadByte(uint8_t* i) {
  uint8_t v;
  ErrorCode rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == ERR_OK) *i = v;
  return rc;
}

ErrorCode Channel::ReadInt16(uint16_t* i) {
  uint16_t v;
  ErrorCode rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == ERR_OK) *i = Convert(v);
  return rc;
}

ErrorCode Channel::ReadInt32(uint32_t* i) {
  uint32_t v;
  ErrorCode rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == ERR_OK) *i = Convert(v);
  return rc;
}

ErrorCode Channel::ReadInt64(uint64_t* i) {
  uint64_t v;
  ErrorCode rc = Read(reinterpret_cast<char*>(&v), sizeof v);
  if (rc == ERR_OK) *i = Convert(v);
  return rc;
}

ErrorCode Channel::WriteByte(uint8_t i) { return Write(reinterpret_cast<char const*>(&i), sizeof i); }

ErrorCode Channel::WriteInt16(uint16_t i) {
  uint16_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

ErrorCode Channel::WriteInt32(uint32_t i) {
  uint32_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

ErrorCode Channel::WriteInt64(uint64_t i) {
  uint64_t v = Convert(i);
  return Write(reinterpret_cast<char const*>(&v), sizeof v);
}

ErrorCode Channel::Read(char* buf, size_t len) {
  size_t total = 0;
  return Read(buf, len, total);
}

ErrorCode Channel::Read(char* buf, size_t len, size_t& total) {
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
    if (len - total >= capacity) {
      // A whole ring or more is read straight into the caller's buffer: that
      // saves a copy, and since nothing can be over-read, nothing is left
      // that would have to stay buffered.
      return ReadDirect(buf, len, total);
    }
    size_t w = std::min(len - total, capacity);
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): want = %zu, len = %zu, total = %zu, capacity = %zu\n",
                   __LINE__, w, len, total, capacity);
    ErrorCode rc = ReadMore(w);
    if (rc != ERR_OK) {
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
  return ERR_OK;
}

ErrorCode Channel::Write(char const* buf, size_t len) {
  if (IsClosed()) return ERR_IO;
  if (len > capacity) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Write: Exceed maximum data block size\n",
                   __LINE__);
    return ERR_INVAL;
  }
  if (len == 0) return ERR_OK;
  // Checked before subtracting: w_size + len - capacity would wrap in size_t.
  if (w_size + len > capacity) {
    ErrorCode rc = FlushWrite(w_size + len - capacity);
    if (rc != ERR_OK) {
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
  return ERR_OK;
}

void Channel::ClearRead() { r_head = r_size = 0; }

void Channel::ClearWrite() { w_head = w_size = 0; }

ErrorCode Channel::FlushWrite(size_t want) {
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
    if (CodeOfStatus(n) == ERR_TIMEOUT) {
      if (transport_internal::SecondsPassed(start, channel_timeout)) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel(%d): FlushWrite: Channel timeout for %u seconds\n", __LINE__,
                       channel_timeout);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (n < 0) return CodeOfStatus(n);
    start = std::chrono::steady_clock::now();
    size_t moved = static_cast<size_t>(n);
    sent += moved;
    w_head += moved;
    w_size -= moved;
    if (w_head == capacity || w_size == 0) w_head = 0;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): FlushWrite: flush at least %zu bytes\n",
                 __LINE__, target);
  return ERR_OK;
}

ErrorCode Channel::GetPeerInfo(std::string&, int&) const { return ERR_SYS; }

bool Channel::IsClosed() const { return m_ops.isInvalid(m_ops.context); }

void Channel::SetAllowUntrust(bool is_allowing) { m_is_allowing_untrust = is_allowing; }

bool Channel::IsAllowingUntrust() const { return m_is_allowing_untrust; }

void Channel::SetSSLHostname(ustring const& hostname) { m_ssl_hostname = hostname; }

ErrorCode Channel::ReadDirect(char* buf, size_t len, size_t& total) {
  auto start = std::chrono::steady_clock::now();
  while (total < len) {
    if (FlagRaised()) return ERR_INT;
    int n = m_ops.read(m_ops.context, buf + total, len - total, m_timeout, flag);
    if (CodeOfStatus(n) == ERR_TIMEOUT) {
      if (transport_internal::SecondsPassed(start, channel_timeout)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Read: Channel timeout for %u seconed\n",
                       __LINE__, channel_timeout);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (n < 0) return CodeOfStatus(n);
    total += static_cast<size_t>(n);
    start = std::chrono::steady_clock::now();
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): Read: read %zu bytes directly\n", __LINE__,
                 total);
  return ERR_OK;
}

ErrorCode Channel::ReadMore(size_t want) {
  if (want < 1) return ERR_OK;
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
    if (CodeOfStatus(n) == ERR_TIMEOUT) {
      if (transport_internal::SecondsPassed(start, channel_timeout)) {
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadMore: Channel timeout for %u seconed\n",
                       __LINE__, channel_timeout);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (n < 0) return CodeOfStatus(n);
    total += static_cast<size_t>(n);
    r_size += static_cast<size_t>(n);
    start = std::chrono::steady_clock::now();
    if (total >= want) {
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadMore: read at least %zu bytes\n",
                     __LINE__, want);
      return ERR_OK;
    }
  }
}

uint64_t Channel::Convert(uint64_t x) { return htobe64(x); }
uint32_t Channel::Convert(uint32_t x) { return htobe32(x); }
uint16_t Channel::Convert(uint16_t x) { return htobe16(x); }

void Channel::SwitchChannelOp(int mode) {
  if (mode == CHANNEL_PLAIN_MODE) {
    ChannelOps::InstallPlain(m_ops);
  } else {
    ChannelOps::InstallSSL(m_ops);
  }
}


bool Channel::FlagRaised() const { return flag != nullptr && flag->load(std::memory_order_relaxed) != 0; }

int Channel::PlainSocket() const { return m_ops.get_fd(m_ops.context); }
