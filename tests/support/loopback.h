// Loopback TCP sockets for tests that play a peer by hand: a listener and a
// connector on 127.0.0.1, a connected pair, and raw send and receive
// helpers. What the channel, server, worker and end-to-end tests drive the
// code under test with; no Channel, no PStream, only bytes.
//
// Header-only on purpose: POSIX alone, so that the ui_stand_in library and
// its console program use it without linking test_support.
#ifndef TESTS_SUPPORT_LOOPBACK_H_
#define TESTS_SUPPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace testsupport::loopback {

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  // Gives up ownership (e.g. to a channel).
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return sa;
}

// A close-on-exec TCP socket bound to 127.0.0.1:`port` (0: one the kernel
// picks), listening with `backlog` unless backlog < 0 (then only bound:
// connects to it are refused). A `rcvbuf` above 0 is the receive buffer of
// accepted connections. The descriptor with the bound port in *bound, or -1
// with errno set (a caller may tell a taken port from other failures).
inline int BindLoopback(int port, int backlog, int* bound, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (backlog >= 0 && port != 0) {
    // Outgoing loopback connections of parallel tests leave their local
    // ports in TIME_WAIT; a listener on a given port may take such a port,
    // as the daemon's does. A listener still excludes every other listener
    // on it.
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  sockaddr_in sa = LoopbackAddress(port);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (backlog >= 0 && listen(fd, backlog) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  *bound = ntohs(sa.sin_port);
  return fd;
}

// BindLoopback on a free port, owned.
inline Fd Listener(int backlog, int* port, int rcvbuf = 0) { return Fd(BindLoopback(0, backlog, port, rcvbuf)); }

// A blocking close-on-exec connection to 127.0.0.1:`port`, or -1. A `rcvbuf`
// above 0 sets the receive buffer first, so that a single-threaded test can
// send a body that large before the far end reads.
inline int ConnectLoopback(int port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa = LoopbackAddress(port);
  while (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno == EINTR) continue;
    close(fd);
    return -1;
  }
  return fd;
}

inline Fd Connect(int port) { return Fd(ConnectLoopback(port)); }

// Two connected ends of one loopback TCP connection (both -1 on failure).
struct Pair {
  Fd a, b;
};

inline Pair MakePair() {
  int port = 0;
  Fd l = Listener(1, &port);
  Pair p;
  if (l.get() < 0) return p;
  p.a = Connect(port);
  p.b = Fd(accept4(l.get(), nullptr, nullptr, SOCK_CLOEXEC));
  return p;
}

// Shrinks both kernel buffers of `fd`, so that a peer that does not read
// blocks the writer after little data.
inline void SmallBuffers(int fd) {
  int size = 4096;
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Sends all of `bytes` (blocking socket). false when the peer stopped
// taking them; a hostile input may be refused part-way, so a caller that
// only feeds bytes may ignore it.
inline bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

inline bool SendAll(int fd, const std::string& bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

// Receives exactly `len` bytes (blocking socket); fewer at the end of the
// stream.
inline std::string RecvExactly(int fd, size_t len) {
  std::string out(len, '\0');
  size_t off = 0;
  while (off < len) {
    ssize_t n = recv(fd, &out[off], len - off, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  out.resize(off);
  return out;
}

// Receives until the peer closes (blocking socket).
inline std::string RecvToEnd(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Appends what the peer sends until it closes, waiting at most `timeout` in
// all. false on a time-out or an error; a reset counts as the end (what
// came is kept).
inline bool RecvToEndWithin(int fd, std::string* out, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

// Accepts one connection on `listen_fd` and reads it to its end, waiting at
// most `timeout` for each.
inline bool AcceptAndRecvToEnd(int listen_fd, std::string* out, std::chrono::milliseconds timeout) {
  pollfd p{listen_fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  Fd fd(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  return fd.get() >= 0 && RecvToEndWithin(fd.get(), out, timeout);
}

// One request as raw bytes: connect, send, end the sending side, read the
// answer to its end. Empty when nothing came back. `ok` is false when the
// connection failed or the answer did not end in time.
inline std::string Exchange(int port, const std::string& bytes, bool* ok = nullptr,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::string answer;
  Fd fd = Connect(port);
  bool good = fd.get() >= 0;
  if (good) {
    (void)SendAll(fd.get(), bytes);  // a peer that stops reading early is no error
    shutdown(fd.get(), SHUT_WR);
    good = RecvToEndWithin(fd.get(), &answer, timeout);
  }
  if (ok != nullptr) *ok = good;
  return answer;
}

}  // namespace testsupport::loopback

#endif  // TESTS_SUPPORT_LOOPBACK_H_
