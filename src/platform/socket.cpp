#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

WaitStatus WaitSocket(int fd, unsigned want, int timeout_ms, const std::atomic<int>* abort_flag,
                      unsigned* ready, int* error) {
  *ready = 0;
  *error = 0;
  if (abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0) {
    return WaitStatus::kAborted;
  }
  struct pollfd p;
  p.fd = fd;
  p.events = 0;
  if (want & kWaitRead) p.events |= POLLIN;
  if (want & kWaitWrite) p.events |= POLLOUT;
  if (want & kWaitExcept) p.events |= POLLPRI;  // POLLERR and POLLHUP are always reported
  p.revents = 0;
  int n = poll(&p, 1, timeout_ms);
  if (n < 0) {
    // A signal only shortens this wait; the caller's loop re-checks its flag.
    if (errno == EINTR) return WaitStatus::kTimeout;
    *error = errno;
    return WaitStatus::kError;
  }
  if (n == 0) return WaitStatus::kTimeout;
  unsigned got = 0;
  if ((want & kWaitRead) && (p.revents & (POLLIN | POLLHUP))) got |= kWaitRead;
  if ((want & kWaitWrite) && (p.revents & POLLOUT)) got |= kWaitWrite;
  if ((want & kWaitExcept) && (p.revents & (POLLERR | POLLPRI))) got |= kWaitExcept;
  if (p.revents & POLLNVAL) {
    *error = EBADF;
    return WaitStatus::kError;
  }
  *ready = got;
  return WaitStatus::kReady;
}

int CreateTcpSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int SetSocketLinger(int fd, int seconds) {
  struct linger l;
  l.l_onoff = 1;
  l.l_linger = seconds;
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : errno;
}

int SetSocketNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  if (flags & O_NONBLOCK) return 0;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : errno;
}

bool ParseIPv4(const char* text, in_addr* addr) { return text != nullptr && inet_aton(text, addr) != 0; }

int StartConnect(int fd, in_addr addr, uint16_t port) {
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0) return 0;
  // An interrupted connect goes on in the background, like EINPROGRESS.
  if (errno == EINTR) return EINPROGRESS;
  return errno;
}

int PendingSocketError(int fd, int* so_error) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return errno;
  *so_error = value;
  return 0;
}

ssize_t SocketSend(int fd, const void* buf, size_t len) { return send(fd, buf, len, MSG_NOSIGNAL); }

ssize_t SocketRecv(int fd, void* buf, size_t len) { return recv(fd, buf, len, 0); }

int ShutdownSocket(int fd) { return shutdown(fd, SHUT_RDWR) == 0 ? 0 : errno; }

int CloseSocket(int fd) { return close(fd) == 0 ? 0 : errno; }

namespace {

// strerror_r comes in two flavours; the overloads pick whichever this libc has.
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }

}  // namespace

std::string ErrorText(int err) {
  char buf[256];
  buf[0] = '\0';
  return StrerrorResult(strerror_r(err, buf, sizeof buf), buf);
}

}  // namespace platform
