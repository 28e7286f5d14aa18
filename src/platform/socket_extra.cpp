#include "platform/socket_extra.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool ResolveIPv4(const char* host, in_addr* addr) {
  if (host == nullptr || host[0] == '\0') return false;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  bool found = false;
  for (const struct addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      *addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

int SetSocketNoDelay(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : errno;
}

ssize_t SocketPeek(int fd, void* buf, size_t len) {
  for (;;) {
    ssize_t n = recv(fd, buf, len, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

}  // namespace platform
