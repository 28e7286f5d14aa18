// Raw loopback sockets for tests that check the daemon's bytes exactly:
// no Channel, no PStream, only what travels.
#ifndef TESTS_APP_RAW_PEER_H_
#define TESTS_APP_RAW_PEER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

namespace apptest {

// A close-on-exec TCP socket bound to 127.0.0.1:`port` (0: any), listening
// when `listen_too`. The descriptor and the bound port, or -1 with errno set.
inline int BindLoopback(int port, bool listen_too, int* bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof sa;
  if (listen_too) {
    // Outgoing loopback connections of parallel tests leave their local ports
    // in TIME_WAIT; a listener may take such a port, as the daemon's does.
    // A listener still excludes every other listener on it.
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (listen_too && listen(fd, 16) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    int err = errno;  // the caller tells a taken port from other failures
    close(fd);
    errno = err;
    return -1;
  }
  *bound = ntohs(sa.sin_port);
  return fd;
}

// Reads until the peer closes, at most `timeout`. false on a time-out.
inline bool ReadAll(int fd, std::string* out, std::chrono::milliseconds timeout) {
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

// Accepts one connection on `listen_fd` and reads it to its end.
inline bool AcceptAndReadAll(int listen_fd, std::string* out, std::chrono::milliseconds timeout) {
  pollfd p{listen_fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ReadAll(fd, out, timeout);
  close(fd);
  return ok;
}

// A blocking close-on-exec connection to 127.0.0.1:`port`, or -1.
inline int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends what it can of `bytes` (a peer that stops reading early is no
// error: hostile inputs are refused part-way).
inline void SendSome(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// One request as raw bytes: connect, send, end the sending side, read the
// answer to its end. Empty when nothing came back. `ok` is false when the
// connection failed or the answer did not end in time.
inline std::string Exchange(int port, const std::string& bytes, bool* ok = nullptr,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::string answer;
  int fd = Connect(port);
  bool good = fd >= 0;
  if (good) {
    SendSome(fd, bytes);
    shutdown(fd, SHUT_WR);
    good = ReadAll(fd, &answer, timeout);
    close(fd);
  }
  if (ok != nullptr) *ok = good;
  return answer;
}

// Wire encodings of the values the tests write by hand.
inline std::string Str(const std::string& s) {
  return std::string("\x10", 1) + static_cast<char>(s.size() >> 8) + static_cast<char>(s.size() & 0xFF) + s;
}
inline std::string MapOf(const std::string& members) { return "\x42" + members + "\x40"; }
inline std::string Action(const std::string& action) { return MapOf(Str("action") + Str(action)); }

}  // namespace apptest

#endif  // TESTS_APP_RAW_PEER_H_
