// Helpers of the protocol tests: a channel whose far end the test drives,
// byte strings, files and a captured log.
#ifndef TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_
#define TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_

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
#include "support/loopback.h"
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
  return testsupport::loopback::BindLoopback(0, 4, port, rcvbuf);
}

// A blocking connect to 127.0.0.1:port; -1 on failure. A `rcvbuf` above 0
// sets the receive buffer first.
inline int ConnectTo(int port, int rcvbuf = 0) { return testsupport::loopback::ConnectLoopback(port, rcvbuf); }

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
    if (mine >= 0 && ch.Open(mine, true) != ERR_OK) close(mine);
  }
  ~ChannelPair() { ClosePeer(); }
  ChannelPair(const ChannelPair&) = delete;
  ChannelPair& operator=(const ChannelPair&) = delete;

  bool ok() const { return peer >= 0 && !ch.IsClosed(); }

  // Sends all of `bytes` from the far end; with `finish`, then ends its
  // output so that a reader meets the end of the stream.
  bool PeerSend(const std::string& bytes, bool finish = true) {
    if (!testsupport::loopback::SendAll(peer, bytes)) return false;
    return !finish || shutdown(peer, SHUT_WR) == 0;
  }

  // Everything the far end receives until `ch` is closed (closing flushes).
  std::string CloseAndCollect() {
    // A failed flush shows as missing bytes in what the caller compares.
    (void)ch.Close();
    return testsupport::loopback::RecvToEnd(peer);
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

// Sends the log to a file in `dir` with the given "component=level" lines,
// for as long as it lives; then the logger is back at its start state.
class LogCapture {
 public:
  LogCapture(const std::string& dir, const std::string& levels) : path_(dir + "/test.log") {
    std::string level_path = dir + "/levels.conf";
    std::ofstream(level_path) << levels;
    EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, path_.c_str(), level_path.c_str(), 50));
  }
  ~LogCapture() { Logger::ResetForTest(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const { return FileBytes(path_); }
  bool Has(const std::string& piece) const { return Text().find(piece) != std::string::npos; }

 private:
  std::string path_;
};

}  // namespace ptest

#endif  // TESTS_PROTOCOL_PROTOCOL_TEST_UTIL_H_
