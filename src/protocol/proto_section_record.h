// Records in the section encoding and the keep-alive request.
//
// Each record is a fixed sequence of sections (proto_section.h). Writers put
// them into the channel's write buffer without a flush (the keep-alive
// request flushes) and give 0. Readers give 0 and fill the record only when
// every section arrived; a failed reader leaves the record as it was.
// Failures are the first negative code met, after an ERROR line where one is
// named: the channel's code, ERR_INVAL, or ERR_PROTO for a wrong section id,
// an oversized count or a version text that does not parse.
#ifndef PROTOCOL_PROTO_SECTION_RECORD_H_
#define PROTOCOL_PROTO_SECTION_RECORD_H_

#include <cstdint>

#include "foundation/ustring.h"
#include "protocol/proto_section.h"

class Channel;

struct CommonAttributeBlock {
  uint32_t mtime = 0;
};

struct View {
  uint64_t view_id = 0;
  bool is_ro = false;  // not carried on the wire: readers leave it
  ustring name;
};

struct ObjectID {
  uint64_t sync_id = 0;
  ustring path;
};

struct ObjectMetadata {
  uint32_t mtime = 0;
  uint64_t size = 0;
  ustring hash;
};

struct FilterVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

struct ProtocolVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// Longest version text a reader accepts: "4294967295.4294967295.4294967295".
inline constexpr unsigned kMaxVersionText = 32;

// SPROTO_ID_FILETIME (mtime).
ErrorCode ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& block);
ErrorCode ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& block);

// SPROTO_ID_VIEW_ID, SPROTO_ID_VIEW_NAME.
ErrorCode ProtoWriteView(Channel& ch, const View& view);
ErrorCode ProtoReadView(Channel& ch, View& view);

// SPROTO_ID_SID (sync_id), SPROTO_ID_PATH.
ErrorCode ProtoWriteObjectId(Channel& ch, const ObjectID& id);
ErrorCode ProtoReadObjectId(Channel& ch, ObjectID& id);

// SPROTO_ID_FILESIZE, SPROTO_ID_FILETIME, SPROTO_ID_FILEHASH.
ErrorCode ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& meta);
ErrorCode ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& meta);

// One variable section holding the text "major.minor.build" in decimal:
// SPROTO_ID_FILTER_VERSION, SPROTO_ID_PROTO_VERSION_2. Readers take at most
// kMaxVersionText bytes and want three unsigned 32-bit decimal numbers
// joined by "." (digits only; text after the third is ignored); anything
// else is ERR_PROTO.
ErrorCode ProtoWriteFilterVersion(Channel& ch, const FilterVersion& version);
ErrorCode ProtoReadFilterVersion(Channel& ch, FilterVersion& version);
ErrorCode ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& version);
ErrorCode ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& version);

// The keep-alive request: the header with SCMD_KEEP_ALIVE and payload length
// 0, SPROTO_ID_KEEP_ALIVE_OPTION 0, SPROTO_ID_KEEP_ALIVE_CONTROL
// KEEP_ALIVE_CONTROL, SPROTO_ID_ALIVE `time`, then a flush. 0, or the
// channel's code.
ErrorCode ProtoWriteKeepAliveControl(Channel& ch, unsigned time);

#endif  // PROTOCOL_PROTO_SECTION_RECORD_H_
