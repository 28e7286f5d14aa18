// PatchCommand and Block: one decoded delta command, and one basis range
// found again in a rebuilt file (for the reverse delta).
#ifndef DELTA_PATCH_COMMAND_H_
#define DELTA_PATCH_COMMAND_H_

#include <cstdint>

struct PatchCommand {
  // Copy: offset in the basis. Literal: offset in the delta (after the
  // magic) of the literal's first data byte.
  uint64_t start = 0;
  uint64_t length = 0;
  bool is_literal = false;

  void setLiteral(uint64_t s, uint64_t l) {
    start = s;
    length = l;
    is_literal = true;
  }
  void setCopy(uint64_t s, uint64_t l) {
    start = s;
    length = l;
    is_literal = false;
  }
  bool isLiteral() const { return is_literal; }
  bool isCopy() const { return !is_literal; }
};

struct Block {
  uint64_t start = 0;      // offset in the basis
  uint64_t length = 0;
  uint64_t new_start = 0;  // offset of the same bytes in the rebuilt file
};

#endif  // DELTA_PATCH_COMMAND_H_
