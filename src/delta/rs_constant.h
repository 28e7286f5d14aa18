// The librsync file formats: magic numbers, the delta command table and the
// width rule by which commands are written.
#ifndef DELTA_RS_CONSTANT_H_
#define DELTA_RS_CONSTANT_H_

#include <cstdint>

struct RSConstant {
  static constexpr uint32_t MAGIC_SIGNATURE = 0x72730136u;  // MD4 signature
  static constexpr uint32_t MAGIC_DELTA = 0x72730236u;

  static constexpr unsigned char OP_END = 0x00;
  static constexpr unsigned char OP_LITERAL_N1 = 0x41;
  static constexpr unsigned char OP_LITERAL_N2 = 0x42;
  static constexpr unsigned char OP_LITERAL_N4 = 0x43;
  static constexpr unsigned char OP_LITERAL_N8 = 0x44;
  static constexpr unsigned char OP_COPY_N1_N1 = 0x45;
  static constexpr unsigned char OP_COPY_N2_N1 = 0x49;
  static constexpr unsigned char OP_COPY_N4_N1 = 0x4D;
  static constexpr unsigned char OP_COPY_N8_N1 = 0x51;

  enum CmdType : unsigned char { CMD_END = 0, CMD_LITERAL = 1, CMD_COPY = 2, CMD_RESERVED = 3 };

  // One row per command byte. `immediate` is a literal length carried by the
  // byte itself (else 0); len_1 and len_2 are the widths in bytes of the
  // first and second parameter (0 when absent).
  struct CmdInfo {
    unsigned char type;
    unsigned char immediate;
    unsigned char len_1;
    unsigned char len_2;
  };

  static const CmdInfo& getInfo(unsigned char cmd) noexcept;

  // Longest encodings of the commands below, in bytes.
  static constexpr unsigned MAX_LITERAL_HEADER = 9;
  static constexpr unsigned MAX_COPY_COMMAND = 17;

  // Writes the header of a literal of `length` (1 or more) bytes: the byte
  // `length` itself up to 64, else OP_LITERAL_N* and the length in the
  // smallest of 1, 2, 4, 8 bytes that holds it. Returns the bytes written.
  static unsigned putLiteralHeader(unsigned char* out, uint64_t length) noexcept;

  // Writes a copy command, offset and length each in the smallest of 1, 2,
  // 4, 8 bytes that holds it. Returns the bytes written.
  static unsigned putCopyCommand(unsigned char* out, uint64_t offset, uint64_t length) noexcept;
};

#endif  // DELTA_RS_CONSTANT_H_
