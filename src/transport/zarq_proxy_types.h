// Records and codes of the HTTP-proxy client (CONNECT through an HTTP proxy
// with no authentication, Basic, NTLMv1 or NTLMv2).
//
// Result codes of the client's functions (negative = failure):
//   -1 connection or I/O failure     -2 authentication refused
//   -3 method not usable             -4 allocation or encoding failure
//   -5 unexpected HTTP status or bad status line
//   -6 bad parameters                -8 line too long
// The entry point ZARQProxyTunnelOpen reduces them to -6 or -2.
#ifndef TRANSPORT_ZARQ_PROXY_TYPES_H_
#define TRANSPORT_ZARQ_PROXY_TYPES_H_

#include <cstdint>

enum {
  ZARQ_PROXY_ERR_IO = -1,
  ZARQ_PROXY_ERR_AUTH = -2,
  ZARQ_PROXY_ERR_UNUSABLE = -3,
  ZARQ_PROXY_ERR_NOMEM = -4,
  ZARQ_PROXY_ERR_STATUS = -5,
  ZARQ_PROXY_ERR_PARAM = -6,
  ZARQ_PROXY_ERR_TOO_LONG = -8,
};

// All text is UTF-8 and NUL-terminated; every pointer is borrowed.
typedef struct {
  char* szProxyAddress;  // host name or dotted IPv4 address
  uint16_t ProxyPort;
} PROXY_SERVER_INFO, *pPROXY_SERVER_INFO;

typedef struct {
  char* szTargetAddress;
  uint16_t TargetPort;
} PROXY_TARGET_INFO, *pPROXY_TARGET_INFO;

typedef enum {
  PROXY_NO_AUTH = 0,
  PROXY_BASIC_AUTH = 1,
  PROXY_NTLM_AUTH = 2,
  PROXY_NTLMv2_AUTH = 3,
  PROXY_AUTO_AUTH = 4,  // all four at once, see ZARQProxyTunnelOpen
} PROXY_AUTH_TYPE;

typedef struct {
  char* szUserName;
  char* szUserPasswd;
  char* szUserDomain;
  char* szUserHost;
  PROXY_AUTH_TYPE AuthType;
} PROXY_AUTH_INFO, *pPROXY_AUTH_INFO;

// The credentials handed to one method. The strings are borrowed from the
// caller; the hash flags say which responses an NTLM message carries and are
// set by the NTLM methods on their own copy.
typedef struct {
  char* szUserName;
  char* szUserPasswd;
  char* szDomainName;
  char* szHostName;
  int hashntlm2;
  int hashnt;
  int hashlm;
  uint32_t flags;  // always 0
} ZARQ_PROXY_AUTH_DATA, *pZARQ_PROXY_AUTH_DATA;

// One method on a socket connected to the proxy: 0 or more when the proxy
// finally answered 200 to CONNECT (the socket then carries the target's
// stream), negative on failure. The method never closes the socket.
typedef int (*PROXY_AUTH_CB)(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target);

typedef struct {
  PROXY_AUTH_TYPE type;
  char const* auth_str;
  PROXY_AUTH_CB auth_cb;
} ZARQ_PROXY_AUTH_CONTROL;

// The argument of one method thread of the race: copies of the records
// (their strings still borrowed).
typedef struct {
  PROXY_AUTH_TYPE auth_type;
  PROXY_SERVER_INFO server_info;
  PROXY_TARGET_INFO target_info;
  ZARQ_PROXY_AUTH_DATA auth_info;
} PROXY_AUTH_INFO_PACK;

// Log levels of the module's hook.
enum {
  PROXY_EMERG = 0,
  PROXY_ALERT = 1,
  PROXY_CRIT = 2,
  PROXY_ERR = 3,
  PROXY_WARNING = 4,
  PROXY_NOTICE = 5,
  PROXY_INFO = 6,
  PROXY_DEBUG = 7,
};

#endif  // TRANSPORT_ZARQ_PROXY_TYPES_H_
