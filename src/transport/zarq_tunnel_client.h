// Relay-tunnel client: over a TLS session with the relay, an HTTP upgrade
// request that names the target, and the relay's verdict.
//
// Request (one write):
//   GET /zarq-tunnel HTTP/1.1\r\n
//   Host: <kZarqTunnelHost>\r\n
//   Upgrade: ZarqelonTunnel\r\n
//   X-Target-Host: <host>\r\n
//   X-Target-Port: <port>\r\n
//   X-AuthToken: <Base64 of ZARQCryptoEncrypt("<host>:<port>" and its NUL)>\r\n
//   \r\n
// Answer: header lines up to a blank line; "X-Target-Status: N" carries the
// relay's verdict (0: connected; the raw socket is the target's stream from
// the byte after the blank line on).
//
// Threads: no shared state; one thread per SSL session.
#ifndef TRANSPORT_ZARQ_TUNNEL_CLIENT_H_
#define TRANSPORT_ZARQ_TUNNEL_CLIENT_H_

#include <sys/time.h>

#include <cstdint>

typedef struct ssl_st SSL;

enum {
  ZARQTUNNEL_OK = 0,
  ZARQTUNNEL_ERR_UNKNOWN = 400,       // also: a status value that cannot be read
  ZARQTUNNEL_ERR_BAD_TARGET = 401,
  ZARQTUNNEL_ERR_CONN_FAILED = 402,   // negated: local socket or TLS failure, end of stream
  ZARQTUNNEL_ERR_CONN_TIMEOUT = 403,  // negated: local time-out
};

// The relay service's fixed name in the "Host" header (not the address the
// socket is connected to). Binding on the relay like the token constants.
inline constexpr char kZarqTunnelHost[] = "relay.zarqelon.net";

// Longest answer line piece: a longer line is taken as several lines.
inline constexpr int kZarqTunnelLineMax = 1023;

// Sends the upgrade request for `pszTargetHost`:`targetPort` and reads the
// answer. 0 when the header block ended without a status line of its own
// or with "X-Target-Status: 0"; the relay's positive status (400 when its
// value is not a number); -402 on a local write or read failure or an end of
// stream before the blank line; -403 when `channel_timeout` seconds pass
// without the next byte (0 allows one wait of `timeout`). -402 also for a
// null argument or a port outside 0..65535. Sizes follow the input: nothing
// is truncated.
int ZARQTunnelClientHandshake(SSL* ssl, char const* pszTargetHost, int targetPort, timeval timeout,
                              uint32_t channel_timeout);

// Writes all `len` bytes, waiting `m_timeout` at a time for writability. 0,
// -402 on a failure, -403 when the waits add up to `channel_timeout`.
int ZARQTunnelNonBlockingWrite(SSL* ssl, char const* buffer, int len, timeval m_timeout, uint32_t channel_timeout);

#endif  // TRANSPORT_ZARQ_TUNNEL_CLIENT_H_
