// Shared by the stream's source files only.
#ifndef PROTOCOL_PSTREAM_INTERNAL_H_
#define PROTOCOL_PSTREAM_INTERNAL_H_

#include <cstdint>

namespace pstream_internal {

constexpr const char* kComponent = "stream";

// Wire tags.
constexpr uint8_t kTagNull = 0x00;
constexpr uint8_t kTagInteger = 0x01;
constexpr uint8_t kTagString = 0x10;
constexpr uint8_t kTagBinary = 0x30;
constexpr uint8_t kTagEnd = 0x40;
constexpr uint8_t kTagArray = 0x41;
constexpr uint8_t kTagMap = 0x42;

// Progress of a binary is logged at whole multiples of this many bytes.
constexpr uint64_t kProgressStep = 104857600;

}  // namespace pstream_internal

#endif  // PROTOCOL_PSTREAM_INTERNAL_H_
