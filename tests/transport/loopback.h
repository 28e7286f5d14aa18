// Loopback TCP sockets for the channel tests.
#ifndef TESTS_TRANSPORT_LOOPBACK_H_
#define TESTS_TRANSPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

namespace loopback {

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

inline int BoundPort(int fd) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

// A socket bound to 127.0.0.1 on a free port, listening with `backlog`
// unless backlog < 0 (then only bound: connects to it are refused).
inline Fd Listener(int backlog, int* port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fd();
  if (backlog >= 0 && listen(fd.get(), backlog) != 0) return Fd();
  *port = BoundPort(fd.get());
  return fd;
}

// A blocking connect to 127.0.0.1:port; -1 on failure.
inline Fd Connect(int port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (fd.get() < 0 || connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fd();
  return fd;
}

// Two connected ends of one loopback TCP connection.
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
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Sends all of `bytes` (blocking socket).
inline bool SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Receives exactly `len` bytes (blocking socket); fewer at the end of the stream.
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
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Seconds since `start`, as a double.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace loopback

#endif  // TESTS_TRANSPORT_LOOPBACK_H_
