// Bytes -> PObject: receives one value from raw wire bytes, for the fuzz
// targets and tests of everything that decodes messages.
//
// Header-only on purpose: the test_support library stays free of the code
// under test; only executables that already link `protocol` include this.
#ifndef TESTS_SUPPORT_POBJECT_FROM_BYTES_H_
#define TESTS_SUPPORT_POBJECT_FROM_BYTES_H_

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "transport/channel.h"

namespace testsupport {

// What RecvFromBytes returns when the sockets cannot be set up.
constexpr int kNoSockets = INT_MIN;

// Writes `size` bytes into one end of a socketpair, shuts that end and lets
// `stream` receive one value from the other end, through a Channel of
// `capacity` bytes, into `target` (merging, as PStream::Recv does). The
// stream's result as its number (StreamCodeNumber), or kNoSockets. Inputs
// larger than the socket buffer are written from a second thread.
inline int RecvFromBytes(const uint8_t* data, size_t size, PStream& stream, PObject& target,
                         size_t capacity = 81920) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return kNoSockets;
  auto write_all = [data, size](int fd) {
    size_t off = 0;
    while (off < size) {
      ssize_t n = send(fd, data + off, size - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the reader has gone: it has seen enough
      off += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
  };
  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  bool fits = getsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) == 0 && sndbuf > 0 &&
              size < static_cast<size_t>(sndbuf) / 4;
  std::thread writer;
  if (fits) {
    write_all(fds[0]);
  } else {
    writer = std::thread(write_all, fds[0]);
  }
  int rc = kNoSockets;
  {
    Channel ch(capacity);
    if (ch.Open(fds[1], true) == ERR_OK) {
      rc = StreamCodeNumber(stream.Recv(ch, target));
      // Unblocks a writer still sending what the stream did not read.
      (void)ch.Close();
    } else {
      close(fds[1]);
    }
  }
  if (writer.joinable()) writer.join();
  close(fds[0]);
  return rc;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_POBJECT_FROM_BYTES_H_
