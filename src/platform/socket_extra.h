// Socket services beyond the channel's own layer (socket.h), for the
// HTTP-proxy client: name resolution, Nagle off, and a peek that leaves the
// bytes queued.
//
// Results are errno-style like socket.h. Nothing here logs.
#ifndef PLATFORM_SOCKET_EXTRA_H_
#define PLATFORM_SOCKET_EXTRA_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

namespace platform {

// The first IPv4 address of `host` (a name or a dotted address) through
// getaddrinfo(AF_INET, SOCK_STREAM). true and *addr set, or false when the
// name is null, empty or does not resolve. Thread-safe; DNS itself has no
// time-out, so a dead resolver blocks the caller as long as the resolver's
// own retries last.
bool ResolveIPv4(const char* host, in_addr* addr);

// TCP_NODELAY on. 0 or errno.
int SetSocketNoDelay(int fd);

// recv(MSG_PEEK): copies up to `len` queued bytes without taking them. The
// count (0: the peer closed), or -1 with errno set.
ssize_t SocketPeek(int fd, void* buf, size_t len);

}  // namespace platform

#endif  // PLATFORM_SOCKET_EXTRA_H_
