// Channel: the buffered TCP byte stream under every message of the daemon,
// plain or TLS.
#ifndef TRANSPORT_CHANNEL_H_
#define TRANSPORT_CHANNEL_H_

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/ustring.h"
#include "transport/error_code.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The current I/O of a channel. `context` is null while the channel is
// closed; in plain mode it is a heap int holding the socket, in SSL mode the
// SSL*. read/write move at most `len` bytes in one wait and return the count
// (> 0) or the number of a negative ERR_* code (ERR_TIMEOUT: the wait passed
// without progress, retry); CodeOfStatus reads such a result as a code.
struct CHANNEL_OPS {
  void* context;
  int (*read)(void* context, void* buf, size_t len, timeval const& wait,
              const std::atomic<int>* abort_flag);
  int (*write)(void* context, void const* buf, size_t len, timeval const& wait,
               const std::atomic<int>* abort_flag);
  int (*get_fd)(void* context);
  int (*close)(void* context);
  bool (*isInvalid)(void* context);
};

// A TCP stream with a write ring (sent only on a flush) and a read ring, both
// of `capacity` bytes; big-endian integers; per-step time-outs; an abort flag;
// and an in-place switch to TLS.
//
// Results: ERR_OK for success, else one of the other codes of error_code.h.
// No operation throws, and no I/O error closes the channel: the caller
// decides.
//
// Threads: no lock. One thread uses a channel at a time; only the abort flag
// is shared with another thread.
//
// Time-outs: one wait is a poll of `m_timeout` (1 s). A flush, read or TLS
// handshake gives up with ERR_TIMEOUT after `channel_timeout` seconds without
// progress (0: never); a connect counts 3 s per timed-out wait.
class Channel {
 public:
  // Argument of SwitchChannelOp.
  enum { CHANNEL_SSL_MODE = 0, CHANNEL_PLAIN_MODE = 1 };

  // A closed plain channel with two rings of `capacity` bytes (0 is taken as
  // 1); the daemon passes 81920. `capacity` is also the largest block Write accepts.
  explicit Channel(size_t capacity);
  // Closes the channel (Channel::Close, not an override) and frees the rings.
  virtual ~Channel();

  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Named-socket open: not provided. Does nothing and returns 0.
  virtual ErrorCode Open(char const* domain_sock);
  // Adopts a connected or accepted socket. With `nonblock` it first sets
  // linger 1 s and O_NONBLOCK (ERR_SYS on failure). ERR_INVAL when `fd` < 0
  // or the channel is already open. On failure the caller still owns `fd`;
  // on success the channel closes it.
  [[nodiscard]] virtual ErrorCode Open(int fd, bool nonblock);
  // Connects to a dotted IPv4 address (no name resolution) and a port in
  // 1..65535. ERR_INVAL, channel unchanged, when `ip` is null, the port is
  // out of range or the channel is already open; ERR_IO when the socket
  // cannot be made, the address is bad, or the connect fails, times out or is
  // aborted; ERR_SYS when a socket option fails. The new socket is closed on
  // every failure.
  [[nodiscard]] virtual ErrorCode Open(char const* ip, int port);
  // Flushes pending output when open, closes the plain or TLS stream and
  // returns to plain mode. A failed flush drops the unsent and unread bytes
  // and its code is the result (the channel is closed all the same); else 0.
  // Harmless on a closed channel.
  [[nodiscard]] virtual ErrorCode Close();
  // Closes without trying to deliver anything: the buffered bytes are
  // dropped, and so are those the kernel still holds for a peer that stopped
  // reading (the peer sees a reset), so it never waits out the socket's
  // 1-s linger. For a channel whose exchange failed. Harmless on a closed
  // channel.
  void Discard();
  // Seconds without progress before a flush, read or handshake gives up.
  virtual void SetTimeout(uint32_t timeout);
  // The abort flag (null detaches it). While *f != 0 every wait returns
  // ERR_INT. Owned by the caller; must outlive its use by this channel.
  virtual void SetFlag(const std::atomic<int>* f);
  // Upgrades the open plain channel to TLS in place (client, or server with
  // the static certificate and key). 0 (also when already TLS), ERR_IO, or
  // ERR_SSL_VERIFY_FAIL when the certificate or host name is refused. On
  // failure the socket stays open and the channel stays plain.
  [[nodiscard]] virtual ErrorCode ConvertToSSLChannel(bool isServer);

  // Big-endian integers. A read stores into *i only when it returns 0.
  [[nodiscard]] virtual ErrorCode ReadByte(uint8_t* i);
  [[nodiscard]] virtual ErrorCode ReadInt16(uint16_t* i);
  [[nodiscard]] virtual ErrorCode ReadInt32(uint32_t* i);
  [[nodiscard]] virtual ErrorCode ReadInt64(uint64_t* i);
  [[nodiscard]] virtual ErrorCode WriteByte(uint8_t i);
  [[nodiscard]] virtual ErrorCode WriteInt16(uint16_t i);
  [[nodiscard]] virtual ErrorCode WriteInt32(uint32_t i);
  [[nodiscard]] virtual ErrorCode WriteInt64(uint64_t i);

  // Reads exactly `len` bytes: 0, or a negative code after which `total`
  // holds the bytes that were delivered to `buf` (a failure still delivers
  // what arrived). Bytes beyond `len` stay buffered for the next read.
  [[nodiscard]] virtual ErrorCode Read(char* buf, size_t len);
  [[nodiscard]] virtual ErrorCode Read(char* buf, size_t len, size_t& total);
  // Buffers `len` bytes (at most `capacity`: else ERR_INVAL); sends only as
  // much as needed to make room. ERR_IO when closed.
  [[nodiscard]] virtual ErrorCode Write(char const* buf, size_t len);
  virtual void ClearRead();
  virtual void ClearWrite();
  // Sends at least `want` buffered bytes (0, or more than are buffered: all).
  [[nodiscard]] virtual ErrorCode FlushWrite(size_t want);
  // Not provided: always ERR_SYS.
  virtual ErrorCode GetPeerInfo(std::string& ip, int& port) const;
  // True while no usable stream is open.
  virtual bool IsClosed() const;
  // The size of each ring: the largest block one Write accepts.
  size_t GetCapacity() const { return capacity; }

  void SetAllowUntrust(bool is_allowing);
  void SetSSLHostname(ustring const& hostname);

  // Static TLS settings shared by every channel; set them before any channel
  // converts (not thread-safe). The CA path is stored as given, empty
  // included; there is no fallback to a system store.
  static void SetVerifyCAPath(ustring const& ca_path);
  static void SetCERTPath(std::string cert_path);
  static void SetPriKeyPath(std::string key_path);
  // Load the CA file, the server certificate chain, the server key into
  // `ctx`. 0, or -1 after a WARNING.
  [[nodiscard]] static int InstallVerifyCA(SSL_CTX* ctx);
  [[nodiscard]] static int InstallCERT(SSL_CTX* ctx);
  [[nodiscard]] static int InstallPriKey(SSL_CTX* ctx);

 protected:
  // Reads until at least `want` more bytes are in the read ring.
  [[nodiscard]] ErrorCode ReadMore(size_t want);

  // Between host and network (big-endian) byte order.
  static uint64_t Convert(uint64_t x);
  static uint32_t Convert(uint32_t x);
  static uint16_t Convert(uint16_t x);

  // A TCP socket, or -1.
  [[nodiscard]] int CreateSock();
  // 0, or -1 after a WARNING.
  [[nodiscard]] int SetLinger(int sock, int sec);
  [[nodiscard]] int SetNonBlock(int sock);
  // Connects the non-blocking `sock`: 0, ERR_INVAL (bad socket or address),
  // ERR_SYS, ERR_IO (refused, unreachable), ERR_INT or ERR_TIMEOUT.
  [[nodiscard]] ErrorCode ConnectWithTimeout(int sock, char const* pszIP, int port);
  // CHANNEL_PLAIN_MODE installs the plain operations, anything else the SSL ones.
  void SwitchChannelOp(int mode);
  bool IsAllowingUntrust() const;

  // A plain context holding `fd`, for subclasses that open their own socket.
  static void* NewPlainContext(int fd);

  // Plain operations; `fd` points at the socket.
  [[nodiscard]] static int ReadFd(int* fd, void* buf, size_t len, timeval const& m_timeout,
                                  const std::atomic<int>* abort_flag);
  [[nodiscard]] static int WriteFd(int* fd, void const* buf, size_t len, timeval const& m_timeout,
                                   const std::atomic<int>* abort_flag);

  // TLS helpers, also used by the tunnel channel for its relay session.
  // InitSSL makes a context and an SSL object (client, or server with the
  // static certificate and key) and returns 0, or -1 with both freed.
  [[nodiscard]] static int InitSSL(SSL*& m_ssl, SSL_CTX*& m_ssl_ctx, bool is_server, bool is_allowing_untrust);
  // Frees both (either may be null); sends close_notify only when the
  // handshake finished and `quiet_shutdown` is false. Never closes the socket.
  static void DeinitSSL(SSL*& m_ssl, SSL_CTX*& m_ssl_ctx, bool quiet_shutdown);
  // Runs the handshake to completion: 0, ERR_IO, ERR_SYS, ERR_INT or ERR_TIMEOUT.
  [[nodiscard]] static ErrorCode SSLHandshake(SSL* m_ssl, timeval m_timeout, uint32_t channel_timeout,
                                              const std::atomic<int>* abort_flag);
  [[nodiscard]] static int SSLReadFd(SSL* m_ssl, void* buf, size_t len, timeval const& m_timeout,
                                     const std::atomic<int>* abort_flag);
  [[nodiscard]] static int SSLWriteFd(SSL* m_ssl, void const* buf, size_t len, timeval const& m_timeout,
                                      const std::atomic<int>* abort_flag);

  CHANNEL_OPS m_ops;
  std::unique_ptr<char[]> w_buf;
  size_t w_head;  // first unsent byte
  size_t w_size;  // unsent bytes, from w_head, wrapping at capacity
  std::unique_ptr<char[]> r_buf;
  size_t r_head;  // first unread byte; never left equal to capacity
  size_t r_size;  // buffered unread bytes
  size_t capacity;
  timeval m_timeout;  // one wait; 1 s, never changed
  uint32_t channel_timeout;
  const std::atomic<int>* flag;
  bool m_isSSL;
  bool m_is_allowing_untrust;
  ustring m_ssl_hostname;

  static std::string m_cert_path;
  static std::string m_key_path;
  static ustring m_ca_path;

 private:
  friend struct ChannelOps;

  bool FlagRaised() const;
  int PlainSocket() const;
  // Reads into buf[total, len) until it is full, as ReadMore does into the
  // ring; `total` counts every byte that arrived, also on failure.
  [[nodiscard]] ErrorCode ReadDirect(char* buf, size_t len, size_t& total);
};

#endif  // TRANSPORT_CHANNEL_H_
