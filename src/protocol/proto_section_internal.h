// Shared by the section protocol's source files only.
#ifndef PROTOCOL_PROTO_SECTION_INTERNAL_H_
#define PROTOCOL_PROTO_SECTION_INTERNAL_H_

#include <cstddef>
#include <string>

#include "protocol/proto_section.h"

class Channel;

namespace proto_section_internal {

constexpr const char* kComponent = "proto_common_debug";

// Longest text the string readers take: 8192 bytes.
constexpr unsigned kMaxStringBytes = 8192;

// Writes `len` bytes into the channel in pieces no larger than its capacity
// (a single Write refuses more). 0, or the channel's code.
ErrorCode PutBytes(Channel& ch, const char* bytes, size_t len);

// Reads one id byte: 0; the channel's code; ERR_PROTO after the ERROR line
// naming both ids when it is not attr.id.
ErrorCode ReadSectionId(Channel& ch, const SYNC_SECTION_ATTR& attr);

// The system's text for errno value `err` (thread-safe).
std::string ErrnoText(int err);

}  // namespace proto_section_internal

#endif  // PROTOCOL_PROTO_SECTION_INTERNAL_H_
