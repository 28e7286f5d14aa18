// The server request framing: the 8-byte request header, the members every
// request carries, and the command, response and error numbers of the server
// protocol.
//
// A request is ProtoWriteHeader(ch, 0, command), then PStream::Send of the
// request map (whose final flush sends both); the reply is one PObject with no
// header.
#ifndef PROTOCOL_PROTO_COMMON_H_
#define PROTOCOL_PROTO_COMMON_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "protocol/pobject.h"
#include "transport/error_code.h"  // the daemon's ERR_* codes and GetErrorString

class Channel;

// The first four bytes of every request header.
inline constexpr uint32_t PROTO_MAGIC = 0x7c4e9a13u;

// The protocol version sent in every header: 70 unless ProtoInit changed it.
extern std::atomic<unsigned char> PROTO_VERSION;

// Command byte of the request header.
typedef enum {
  SCMD_REQUEST = 1,
  SCMD_KEEP_ALIVE = 2,
  SCMD_AUTH = 3,
  SCMD_NOTIFY = 4,
  SCMD_LOGOUT = 5,
  SCMD_EVT_PULL = 6,  // "pull_event"
  SCMD_EVT_RECV = 7,
  SCMD_NEW_EVT_INFO = 8,
  SCMD_EVT_SEND = 9,
  SCMD_USER_CTRL = 10,
  SCMD_TEST_CONN = 11,
  SCMD_RESPONSE = 12,
  SCMD_USER_CHECK = 13,
  SCMD_REQUEST_CONNECT = 14,  // "connect"
  SCMD_EVT_REMOVE = 15,       // "remove"
  SCMD_GET_FILTER = 16,
  SCMD_LIST_VIEW = 17,
  SCMD_AUTH_2 = 18,
  SCMD_EVT_RECV_2 = 19,
  SCMD_REQUEST_SSL = 20,
  SCMD_EVT_RECV_3 = 21,
  SCMD_REQUEST_SSL_2 = 22,  // "encrypt_channel"
  SCMD_EVT_RECV_4 = 23,     // "upload"
  SCMD_EVT_SEND_2 = 24,     // "download"
  SCMD_QUERY_SERVER_INFO = 25,
  SCMD_LIST = 26,
  SCMD_RESUME_TRANSFER = 27,  // the resumable-transfer requests
  SCMD_LIST_VERSION = 28,
  SCMD_SHARE_LINK = 29,
} SYNC_PROTO_CMD;

// Response codes of the server.
typedef enum {
  SPROTO_RES_OK = 1,
  SPROTO_RES_ERR = 2,
  SPROTO_RES_INVALID = 3,
  SPROTO_RES_USRERR = 4,
  SPROTO_RES_PASSERR = 5,
  SPROTO_RES_CLIENTERR = 6,
  SPROTO_RES_SESSIONERR = 7,
  SPROTO_RES_IDERR = 8,
  SPROTO_RES_CONFLICT = 9,
  SPROTO_RES_UPGRADE = 10,
  SPROTO_RES_NOENT = 11,
  SPROTO_RES_USERDISABLED = 12,
  SPROTO_RES_QXVDISABLED = 13,
  SPROTO_RES_QUOTA = 14,
  SPROTO_RES_DISKFULL = 15,
  SPROTO_RES_UPTODATE = 16,
  SPROTO_RES_WAIT = 17,
  SPROTO_RES_FILTER_VERSION = 18,
  SPROTO_RES_INVALID_VIEW = 19,
  SPROTO_RES_SHARE_DISABLED = 20,
  SPROTO_RES_SHARE_QXV_DISABLED = 21,
  SPROTO_RES_SHARE_ACCESS_DENIED = 22,
} SYNC_PROTO_RESPONSE;

// Error codes of the server, carried as "error"."code" of a reply: 16 bits,
// the top four the class, the low twelve the detail (see SProtoErrClass).
typedef enum {
  SPROTO_ERR_OK = 1,
  SPROTO_ERR_ERR = 2,
  SPROTO_ERR_UPGRADE = 10,
  SPROTO_ERR_USER = 0x1000,
  SPROTO_ERR_USER_DISABLE = 0x1001,
  SPROTO_ERR_USER_QXV_DISABLE = 0x1002,
  SPROTO_ERR_USER_HOME_DISABLE = 0x1003,
  SPROTO_ERR_USER_PASSWD = 0x1004,
  SPROTO_ERR_USER_ADMIN_REQUIRED = 0x1005,
  SPROTO_ERR_SESSION = 0x2000,
  SPROTO_ERR_SESSION_MISS = 0x2001,
  SPROTO_ERR_VIEW = 0x3000,
  SPROTO_ERR_INVALID_VIEW_ID = 0x3001,
  SPROTO_ERR_ACCESS_DENY = 0x3002,
  SPROTO_ERR_VIEW_INVALID_PATH = 0x3003,
  SPROTO_ERR_READ_ONLY = 0x3004,
  SPROTO_ERR_SYSTEM = 0x4000,
  SPROTO_ERR_QUOTA = 0x4001,
  SPROTO_ERR_DISKFULL = 0x4002,
  SPROTO_ERR_VERSION = 0x5000,
  SPROTO_ERR_VERSION_TOO_LOW = 0x5001,
  SPROTO_ERR_VERSION_TOO_HIGH = 0x5002,
  SPROTO_ERR_CONFLICT = 0x6000,
  SPROTO_ERR_CONFLICT_MAC_ATTR = 0x6001,
  SPROTO_ERR_INTERNAL = 0x7000,
  SPROTO_ERR_DOWNLOAD = 0x8000,
  SPROTO_ERR_DOWNLOAD_NOFILE = 0x8001,
  SPROTO_ERR_UPLOAD = 0x9000,
  SPROTO_ERR_UPLOAD_NOBASE = 0x9001,
  SPROTO_ERR_UPLOAD_BASE_CHANGED = 0x9002,
  SPROTO_ERR_REMOVE = 0xA000,
  SPROTO_ERR_REMOVE_NOFILE = 0xA001,
  SPROTO_ERR_REMOVE_MODIFIED = 0xA002,
  SPROTO_ERR_RESUME = 0xB000,
  SPROTO_ERR_RESUME_NOTOKEN = 0xB001,
} SYNC_PROTO_ERR;

// The class of a server error code: its top four bits as a number, 0x0 to
// 0xF (0x7 for SPROTO_ERR_INTERNAL 0x7000). A value that does not fit 16 bits
// is no server code and has no class: -1, which matches no class table row.
// The one way to take a class: compare SProtoErrClass(code) with
// SProtoErrClass(SPROTO_ERR_...), never a mask of the code.
constexpr int SProtoErrClass(uint64_t code) { return code > 0xFFFF ? -1 : static_cast<int>(code >> 12); }

// Keep-alive options.
enum {
  KEEP_ALIVE_CONTROL = 1,
  KEEP_ALIVE_END = 2,
  KEEP_ALIVE_CONTROL_ONE_SHOT = 3,
};

// Results of ProtoCheck.
typedef enum {
  PV_MATCH_SUPPORT = 0,
  PV_UNMATCH_SUPPORT = 1,
  PV_UNSUPPORT_OLD_SERVER = 2,
  PV_UNSUPPORT_OLD_CLIENT = 3,
} PV_TEST_CODE;

// Writes the header (magic, version, command, payload length, big-endian)
// into the channel's write buffer; nothing is flushed. 0, or the channel's
// negative code of the first write that failed (logged on
// "proto_common_debug").
ErrorCode ProtoWriteHeader(Channel& ch, unsigned short pkt_len, unsigned char cmd);

// Reads a header. Sets the channel's time-out to 10 seconds once the magic
// has arrived, and leaves it so. 0; the channel's negative code of a failed
// read; ERR_PROTO (-5) when the magic is wrong.
ErrorCode ProtoReadHeader(Channel& ch, unsigned short& pkt_len, unsigned char& cmd, unsigned char& version);

// Sets "_action" to `action` and "_agent" to the client's platform and
// version through non-const key access: a request that is not a map becomes
// one, other members stay.
void InitRequest(PObject& request, const std::string& action);

// Replaces PROTO_VERSION.
void ProtoInit(unsigned char version);

// The peer's protocol version against ours (70): PV_MATCH_SUPPORT for 70,
// PV_UNMATCH_SUPPORT for 71 to 79, PV_UNSUPPORT_OLD_SERVER below 70,
// PV_UNSUPPORT_OLD_CLIENT for 80 and up.
int ProtoCheck(int peer_version);

// Channel::Open(ip, port): 0, or -1 when it fails.
int ProtoConnect(Channel& ch, const char* ip, int port);
// Channel::Close(); 0.
int ProtoDisconnect(Channel& ch);

// The name the header log line gives a command ("Unknown command" for 0 and
// above 24; 23 and 24 carry older names). Never null.
const char* ProtoCmd2String(unsigned char cmd);

// Texts of protocol outcomes 0 to 4, else "Unknown protocol error". Never null.
const char* ProtoGetErroString(int code);

#endif  // PROTOCOL_PROTO_COMMON_H_
