// HTTP-proxy client: a TCP socket through which an HTTP proxy has agreed,
// after CONNECT, to relay a raw byte stream to a target host and port.
//
// Waits are 2-s polls, at most 6 per step, so a silent proxy costs about 12 s
// per step. Name resolution (getaddrinfo) has no time-out of its own.
#ifndef TRANSPORT_ZARQ_PROXY_CLIENT_H_
#define TRANSPORT_ZARQ_PROXY_CLIENT_H_

#include <cstdint>

#include "transport/zarq_proxy_types.h"

// Connects through the proxy to the target. With PROXY_AUTO_AUTH the four
// methods race on four connections in four threads, all joined before the
// return; the first method in AuthControlList order that got a 200 is kept
// (so a proxy that lets anybody through is used without credentials) and
// every other socket is closed. Any other type runs that one method.
// Returns the socket (>= 0: non-blocking, linger 1 s, no delay,
// close-on-exec; owned by the caller), -6 for bad parameters (a null record,
// an empty proxy or target address, a target with a blank or control
// character, a null credential string), or -2 when no
// method got a 200. Thread-safe.
int ZARQProxyTunnelOpen(pPROXY_SERVER_INFO pProxyServerInfo, pPROXY_TARGET_INFO pProxyTargetInfo,
                        pPROXY_AUTH_INFO pProxyAuthInfo);

// Shuts the socket down and closes it (also when the shutdown fails).
void ZARQProxyTunnelClose(int sock);

// Resolves `address` (IPv4) and connects to it: the connected socket
// (non-blocking, linger 1 s, no delay, close-on-exec), or -1 when the name
// does not resolve, a socket option fails, the connect is refused or 6 waits
// pass. Every failure closes the socket.
int ZARQProxyConnect(char const* address, uint16_t port);

// One method on a fresh connection: the socket when the method got a 200;
// -6 bad parameters, -1 no connection, -3 no such method, -2 refused. The
// socket is closed on every failure.
int HandleProxyAuthByProto(pPROXY_SERVER_INFO server, pPROXY_TARGET_INFO target, pZARQ_PROXY_AUTH_DATA auth,
                           PROXY_AUTH_TYPE type);

// The race of all methods: the kept socket, -6, or -1 when none succeeded.
int HandleProxyAnyAuth(pPROXY_SERVER_INFO server, pPROXY_TARGET_INFO target, pZARQ_PROXY_AUTH_DATA auth);

#endif  // TRANSPORT_ZARQ_PROXY_CLIENT_H_
