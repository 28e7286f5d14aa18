#include "protocol/ipc_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "ipc";
constexpr int kBacklog = 8;

// A non-blocking TCP socket: a connection that goes away between isReady and
// accept then gives EAGAIN instead of blocking the control loop.
int NewSocket() {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): %s: Error Code: %d\n", __LINE__, "socket", err);
    return sock;
  }
  // Without it, a port whose last connections linger in TIME_WAIT (a daemon
  // just restarted, or any recent loopback client) cannot be bound, and the
  // daemon moves to another port than the one it would normally take. It
  // never lets two listeners share a port.
  int on = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] ipc(%d): %s: Error Code: %d\n", __LINE__, "setsockopt",
                   err);
  }
  return sock;
}

// bind to 127.0.0.1:port; 0 or errno.
int BindLoopback(int sock, int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

}  // namespace

IPCListener::IPCListener(std::chrono::milliseconds wait) : wait_(wait), fd(-1) {}

IPCListener::~IPCListener() { close(); }

int IPCListener::prepare(int port) {
  close();
  int sock = NewSocket();
  if (sock < 0) return -1;
  int bound = do_bind(sock, port);
  if (bound < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): find available port failed.\n", __LINE__);
    (void)CloseSocket(sock);  // never listened: nothing to lose
    return -1;
  }
  if (listen(sock, kBacklog) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): %s: Error Code: %d\n", __LINE__, "listen", err);
    (void)CloseSocket(sock);
    return -1;
  }
  fd = sock;
  Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc(%d): listening on port %d\n", __LINE__, bound);
  return bound;
}

int IPCListener::prepare(const std::string& path) {
  (void)path;
  return -1;
}

bool IPCListener::isReady() {
  if (fd < 0) return false;
  long long ms = static_cast<long long>(wait_.count());
  if (ms < 0) ms = 0;
  if (ms > INT_MAX) ms = INT_MAX;
  pollfd p{fd, POLLIN, 0};
  // A signal that cuts the wait short counts as a time-out: the control loop
  // simply waits again.
  int n = poll(&p, 1, static_cast<int>(ms));
  return n > 0 && (p.revents & POLLIN) != 0;
}

int IPCListener::accept() {
  if (fd < 0) return -1;
  // The accepted socket is blocking: whoever adopts it sets its own mode.
  int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] ipc(%d): %s: Error Code: %d\n", __LINE__, "accept",
                   err);
    return -1;
  }
  return conn;
}

void IPCListener::close() {
  if (fd < 0) return;
  // Close results only report on a socket that is gone either way.
  if (socket_path.empty()) {
    (void)CloseSocket(fd);
  } else {
    (void)CloseDomainSocket(fd);
  }
  fd = -1;
  socket_path.clear();
}

int IPCListener::CloseSocket(int sock) {
  if (sock < 0) return -1;
  // A listening socket has no connection to shut down (ENOTCONN); the
  // shutdown matters only for an accepted one.
  (void)shutdown(sock, SHUT_RDWR);
  (void)::close(sock);  // Linux releases the descriptor even on error
  return 0;
}

int IPCListener::OpenSocket(int port) {
  if (port < 1 || port > 65535) return -1;
  int sock = NewSocket();
  if (sock < 0) return -1;
  int err = BindLoopback(sock, port);
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): %s: Error Code: %d\n", __LINE__, "bind", err);
    (void)CloseSocket(sock);
    return -1;
  }
  if (listen(sock, kBacklog) != 0) {
    err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): %s: Error Code: %d\n", __LINE__, "listen", err);
    (void)CloseSocket(sock);
    return -1;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] ipc(%d): listening on port %d\n", __LINE__, port);
  return sock;
}

int IPCListener::OpenDomainSocket(const std::string& path) {
  (void)path;
  return -1;
}

int IPCListener::CloseDomainSocket(int sock) {
  (void)sock;
  return -1;
}

int IPCListener::do_bind(int sock, int port) {
  for (;; ++port) {
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc(%d): Try to bind port: %d\n", __LINE__, port);
    if (port > 65535) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): Port number exceeds 65536\n", __LINE__);
      return -1;
    }
    if (port < 1) {
      // 0 would bind a port of the kernel's choosing, and a negative port
      // would wrap: neither is what the user interface was told.
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): Port number %d is below 1\n", __LINE__, port);
      return -1;
    }
    int err = BindLoopback(sock, port);
    if (err == 0) {
      Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc(%d): Bind port %d success\n", __LINE__, port);
      return port;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] ipc(%d): %s: Error Code: %d\n", __LINE__, "bind", err);
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] ipc(%d): Bind port %d failed, try next one\n", __LINE__,
                   port);
  }
}
