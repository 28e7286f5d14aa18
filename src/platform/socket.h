// Thin POSIX layer under the TCP channels: socket creation and options,
// non-blocking connect, one bounded readiness wait, send and receive.
//
// Results are errno-style: 0 or a count for success, an errno value (or -1
// with errno set, where noted) for failure. Nothing here logs; the callers
// turn these results into their own codes and messages.
#ifndef PLATFORM_SOCKET_H_
#define PLATFORM_SOCKET_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Readiness sets of one wait. Read is POLLIN, with POLLHUP counted as
// readable too (the following recv then returns 0: the peer has gone); write
// is POLLOUT; except is POLLERR or POLLPRI.
enum : unsigned {
  kWaitRead = 1u << 0,
  kWaitWrite = 1u << 1,
  kWaitExcept = 1u << 2,
};

enum class WaitStatus {
  kReady,    // at least one of the asked-for sets is ready; see *ready
  kTimeout,  // nothing happened within the wait (or a signal cut it short)
  kAborted,  // the abort flag was raised before the wait; nothing was polled
  kError,    // poll failed; *error holds errno
};

// One wait on `fd`: reads `*abort_flag` (relaxed; may be null) and returns
// kAborted at once when it is not 0; otherwise runs a single poll of
// `timeout_ms` for the sets in `want`. On kReady, *ready holds the subset of
// `want` that is ready (it may be 0 when only a condition outside `want` was
// reported). Callers loop on kTimeout, which re-reads the flag each time.
WaitStatus WaitSocket(int fd, unsigned want, int timeout_ms, const std::atomic<int>* abort_flag,
                      unsigned* ready, int* error);

// socket(AF_INET, SOCK_STREAM) with close-on-exec. The descriptor, or -1 with
// errno set.
int CreateTcpSocket();

// SO_LINGER on with `seconds`. 0 or errno.
int SetSocketLinger(int fd, int seconds);

// O_NONBLOCK on. 0 or errno.
int SetSocketNonBlocking(int fd);

// Parses a dotted IPv4 address with inet_aton; no name resolution. true on
// success.
bool ParseIPv4(const char* text, in_addr* addr);

// Starts a connect of a non-blocking socket. 0 when already connected,
// EINPROGRESS when the caller must wait for writability and then call
// PendingSocketError, else the errno of the failure.
int StartConnect(int fd, in_addr addr, uint16_t port);

// getsockopt(SO_ERROR): 0 and the pending error (0 = none) in *so_error, or
// the errno of getsockopt.
int PendingSocketError(int fd, int* so_error);

// send(MSG_NOSIGNAL) / recv: the count, or -1 with errno set.
ssize_t SocketSend(int fd, const void* buf, size_t len);
ssize_t SocketRecv(int fd, void* buf, size_t len);

// shutdown(SHUT_RDWR): 0 or errno.
int ShutdownSocket(int fd);

// close(fd): 0 or errno. The descriptor is gone either way (Linux never
// leaves it open after EINTR), so callers never retry.
int CloseSocket(int fd);

// The text of an errno value, from strerror_r.
std::string ErrorText(int err);

}  // namespace platform

#endif  // PLATFORM_SOCKET_H_
