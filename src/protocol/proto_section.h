// The section encoding of the server protocol: after the 8-byte request
// header (proto_common.h) a request is a sequence of sections, each a one-byte
// section id and a value whose shape the id fixes:
//   fixed section     id, then the value in `len` bytes (big-endian)
//   variable section  id, then a uint16 byte count and that many bytes
//                     (no terminator)
// This file holds the section ids, their attribute table and the typed
// section writers and readers. Strings, records and file transfer built on
// them are in proto_section_string.h, proto_section_record.h and
// proto_section_file.h.
//
// Results: writers give 0, readers the number of bytes they consumed (noted
// where it differs); failures are negative ERR_* codes: the channel's own
// code when the channel fails, ERR_INVAL (-4) for a bad argument, ERR_PROTO
// (-5) for a bad attribute, a wrong section id on input or an oversized
// count. After a failed read the channel is out of step: give it up.
// Everything logs on "proto_common_debug".
//
// Threads: no state of its own; one thread uses a channel at a time.
#ifndef PROTOCOL_PROTO_SECTION_H_
#define PROTOCOL_PROTO_SECTION_H_

#include <cstdint>

#include "transport/error_code.h"

class Channel;

// Section ids.
typedef enum {
  SPROTO_ID_RES = 1,
  SPROTO_ID_TYPE = 2,
  SPROTO_ID_USER = 3,
  SPROTO_ID_PASSWD = 4,
  SPROTO_ID_CLIENT = 5,
  SPROTO_ID_SESSION = 6,
  SPROTO_ID_PATH = 7,
  SPROTO_ID_NOTIFY = 8,
  SPROTO_ID_SID = 9,
  SPROTO_ID_PREFIX = 10,
  SPROTO_ID_EVT_COUNT = 11,
  SPROTO_ID_SEQID = 12,
  SPROTO_ID_EVTID = 13,
  SPROTO_ID_FILETYPE = 14,
  SPROTO_ID_FILESTATUS = 15,
  SPROTO_ID_FILEHASH = 16,
  SPROTO_ID_FILETIME = 17,
  SPROTO_ID_FILESIZE = 18,
  SPROTO_ID_FILEUPDATER = 19,
  SPROTO_ID_FILEOP = 20,
  SPROTO_ID_DELTALEN = 21,
  SPROTO_ID_DELTADATA = 22,
  SPROTO_ID_DELTACOUNT = 23,
  SPROTO_ID_DELTAID = 24,
  SPROTO_ID_DELTATYPE = 25,
  SPROTO_ID_USRENABLE = 26,
  SPROTO_ID_SERIAL_NUMBER = 27,
  SPROTO_ID_PROTO_VERSION = 28,
  SPROTO_ID_SERVER_ID = 29,
  SPROTO_ID_ALIVE = 30,
  SPROTO_ID_DATA_BLOCK = 31,
  SPROTO_ID_SYNC_BLOCK = 32,
  SPROTO_ID_MACHASH = 33,
  SPROTO_ID_MACSIZE = 34,
  SPROTO_ID_AUTH_TYPE = 35,
  SPROTO_ID_VIEW_ID = 36,
  SPROTO_ID_VIEW_NAME = 37,
  SPROTO_ID_VIEW_COUNT = 38,
  SPROTO_ID_META_BLOCK = 39,
  SPROTO_ID_FILTER_VERSION = 40,
  SPROTO_ID_PROTO_VERSION_2 = 41,
  SPROTO_ID_KEEP_ALIVE_OPTION = 42,
  SPROTO_ID_KEEP_ALIVE_CONTROL = 43,
  SPROTO_ID_ACK_OPTION = 44,
  SPROTO_ID_SSL_OPTION = 45,
  SPROTO_ID_SSL_RESPONSE_OPTION = 46,
  SPROTO_ID_PKG_MAJOR_VERSION = 47,
  SPROTO_ID_PKG_MINOR_VERSION = 48,
  SPROTO_ID_PKG_BUILDNUM = 49,
  SPROTO_ID_FOLDER_COUNT = 50,
  SPROTO_ID_JOB_TOKEN = 51,
  SPROTO_ID_FILE_OFFSET = 52,
  SPROTO_ID_PATCH_TOKEN = 53,
} SYNC_PROTO_ID;

// The shape of one section id. A fixed section has hasLen false, headLen 1
// and len = the value's width in bytes (1, 2, 4 or 8); a variable section
// has hasLen true, headLen 3 (id and count) and len 0.
typedef struct SYNC_SECTION_ATTR_tag {
  uint8_t id;
  bool hasLen;
  uint16_t headLen;
  uint16_t len;
  const char* name;  // the enumerator's name, for the log; never null
} SYNC_SECTION_ATTR;

// The highest section id.
inline constexpr unsigned char SPROTO_ID_MAX = SPROTO_ID_PATCH_TOKEN;

// Largest byte count a variable section can carry (its count is a uint16).
inline constexpr unsigned kMaxVarData = 65535;

// The attribute row of `id` 1 to 53 (a static constant), or null for 0 and
// for ids above 53.
const SYNC_SECTION_ATTR* ProtoGetSecAttr(unsigned char id);

// ---- Fixed sections ----
// Writers: ERR_PROTO, nothing written, when `id` is not 1 to 53 or its row
// is not a fixed section of the value's width; else the id byte and the
// value go into the channel's write buffer (no flush).
// Readers: the same check (ERR_PROTO, nothing read); ERR_PROTO when the id
// byte read is another one (the line names both). `value` is set only on
// success. 1 + the width.
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned char value);
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned short value);
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned int value);
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned long long value);
int ProtoReadSection(Channel& ch, unsigned char id, unsigned char& value);
int ProtoReadSection(Channel& ch, unsigned char id, unsigned short& value);
int ProtoReadSection(Channel& ch, unsigned char id, unsigned int& value);
int ProtoReadSection(Channel& ch, unsigned char id, unsigned long long& value);

// ---- Variable data (count and bytes, no id) ----
// ERR_INVAL, nothing written, for null `data`, negative `n` or `n` above
// kMaxVarData. 0.
ErrorCode ProtoWriteVarData(Channel& ch, const char* data, int n);
// Reads a count and exactly that many bytes into `buf`, which has room for
// `max` bytes (no terminator is written). ERR_INVAL for null `buf` or `max`
// 0; ERR_PROTO, the bytes left unread, when the count exceeds `max`. The
// count (0 to min(max, 65535)).
int ProtoReadVarData(Channel& ch, char* buf, unsigned max);

// ---- Variable sections of raw bytes ----
// The row of `id` must be a variable section (else ERR_PROTO, nothing
// written or read). The writer refuses null `data` or `n` above kMaxVarData
// with ERR_INVAL before anything is written. The reader stores the count in
// `n` (only on success) and returns 3 + n; ERR_INVAL for null `buf` or `max`
// 0, ERR_PROTO for a count above `max`.
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, const char* data, unsigned n);
int ProtoReadSection(Channel& ch, unsigned char id, char* buf, unsigned max, unsigned& n);

#endif  // PROTOCOL_PROTO_SECTION_H_
