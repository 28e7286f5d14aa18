// The four authentication methods of the proxy client. Each runs on its own
// socket already connected to the proxy, sends one or two CONNECT requests
// for the target and returns 0 when the proxy finally answered 200 (the
// socket then carries the target's stream), else a negative code of
// zarq_proxy_types.h. No method closes its socket.
//
// Threads: the methods share nothing; the race runs them side by side.
#ifndef TRANSPORT_ZARQ_PROXY_AUTH_H_
#define TRANSPORT_ZARQ_PROXY_AUTH_H_

#include <string>

#include "transport/zarq_proxy_http.h"
#include "transport/zarq_proxy_types.h"

// The methods in race order; the first one in this order that succeeds is
// kept.
inline constexpr int kAuthControlCount = 4;
extern const ZARQ_PROXY_AUTH_CONTROL AuthControlList[kAuthControlCount];

// The CONNECT head for the target (host and port twice), without the final
// blank line; its size follows the input.
std::string ZARQProxyClientConnectHead(pPROXY_TARGET_INFO target);

// Both records given, a non-empty target address and user name, and
// non-null password, domain and host: 0, else -6.
int auth_parameter_valid_check(pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);

// No credentials. -1 when the request cannot be sent or the answer is not
// 200 (a 407 included), else 0. `auth` is not used.
int ZARQProxyClientHandleNoAuth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);
// Basic with "user:password". -6 (parameters), -1 (request not sent), -2
// (any answer but 200), 0.
int ZARQProxyClientHandleBASICAuth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);
// NTLM with LM and NT version-1 responses. -6, -1 (NEGOTIATE not sent), -2, 0.
int ZARQProxyClientHandleNTLMv1Auth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);
// NTLM with NTLMv2 and LMv2 responses. As v1.
int ZARQProxyClientHandleNTLMv2Auth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);

// The challenge step after a 407 to a NEGOTIATE: takes the first
// "Proxy-Authenticate" header whose value begins with "NTLM " (none: -3),
// decodes it (not Base64: -4; fewer than 32 bytes: -5), sends the
// AUTHENTICATE message on the same socket (cannot build or send: -4) and
// reads the answer: 200 gives 0, anything else -2.
int ZARQProxyClientHandleNTLMResponse(int sock, pPROXY_TARGET_INFO target, pPROXY_HTTP_HEADER_ENTRY headers,
                                      pZARQ_PROXY_AUTH_DATA auth);

#endif  // TRANSPORT_ZARQ_PROXY_AUTH_H_
