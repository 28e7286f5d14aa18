// Helpers of the protocol tests: a channel whose far end the test drives,
// byte strings, files and a captured log.
#ifndef TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_
#define TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/logger.h"
#include "transport/channel.h"

namespace ptest {

// Bytes from a list of byte values and strings: B({0x10, 0x00, 0x02}) + "ab".
inline std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// "41 40" style text of bytes, for failure messages.
inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// A TCP socket on 127.0.0.1 bound to a free port and listening; -1 on
// failure. A `rcvbuf` above 0 is the receive buffer of accepted connections.
inline int ListenAnyPort(int* port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

// A blocking connect to 127.0.0.1:port; -1 on failure. A `rcvbuf` above 0
// sets the receive buffer first, so that a single-threaded test can send a
// body that large before the far end reads.
inline int ConnectTo(int port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// One loopback TCP connection: `ch` owns one end, the test drives `peer`.
// Each direction holds about 1 MiB before anyone reads it.
class ChannelPair {
 public:
  explicit ChannelPair(size_t capacity = 81920) : ch(capacity) {
    int port = 0;
    int l = ListenAnyPort(&port, 2 << 20);
    if (l < 0) return;
    peer = ConnectTo(port, 2 << 20);
    int mine = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
    if (mine >= 0 && ch.Open(mine, true) != 0) close(mine);
  }
  ~ChannelPair() { ClosePeer(); }
  ChannelPair(const ChannelPair&) = delete;
  ChannelPair& operator=(const ChannelPair&) = delete;

  bool ok() const { return peer >= 0 && !ch.IsClosed(); }

  // Sends all of `bytes` from the far end; with `finish`, then ends its
  // output so that a reader meets the end of the stream.
  bool PeerSend(const std::string& bytes, bool finish = true) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = send(peer, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return !finish || shutdown(peer, SHUT_WR) == 0;
  }

  // Everything the far end receives until `ch` is closed (closing flushes).
  std::string CloseAndCollect() {
    // A failed flush shows as missing bytes in what the caller compares.
    (void)ch.Close();
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(peer, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
    }
  }

  // True when the far end has bytes to read within `ms`.
  bool PeerReadable(int ms) {
    pollfd p{peer, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

  void ClosePeer() {
    if (peer >= 0) close(peer);
    peer = -1;
  }

  Channel ch;
  int peer = -1;
};

// The content of a file, or "<missing>".
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

// Bytes 0, 1, 2, ... wrapping at 251, so that a shifted copy shows.
inline std::string Pattern(size_t n, size_t start = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((start + i) % 251);
  return s;
}

// Sends the log to a file in `dir` with the given "component=level" lines.
// Each test runs in its own process, so the logger is set up once per test.
class LogCapture {
 public:
  LogCapture(const std::string& dir, const std::string& levels) : path_(dir + "/test.log") {
    std::string level_path = dir + "/levels.conf";
    std::ofstream(level_path) << levels;
    EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, path_.c_str(), level_path.c_str(), 50));
  }
  std::string Text() const { return FileBytes(path_); }
  bool Has(const std::string& piece) const { return Text().find(piece) != std::string::npos; }

 private:
  std::string path_;
};

}  // namespace ptest

#endif  // TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_
