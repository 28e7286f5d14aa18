#include "delta/rs_constant.h"

#include <array>

namespace {

using CmdInfo = RSConstant::CmdInfo;

constexpr unsigned char kWidths[4] = {1, 2, 4, 8};

constexpr std::array<CmdInfo, 256> MakeTable() {
  std::array<CmdInfo, 256> t{};
  t[0] = {RSConstant::CMD_END, 0, 0, 0};
  for (unsigned i = 0x01; i <= 0x40; ++i) t[i] = {RSConstant::CMD_LITERAL, static_cast<unsigned char>(i), 0, 0};
  for (unsigned i = 0; i < 4; ++i) t[0x41 + i] = {RSConstant::CMD_LITERAL, 0, kWidths[i], 0};
  for (unsigned i = 0; i < 4; ++i) {
    for (unsigned j = 0; j < 4; ++j) t[0x45 + 4 * i + j] = {RSConstant::CMD_COPY, 0, kWidths[i], kWidths[j]};
  }
  for (unsigned i = 0x55; i <= 0xFF; ++i) t[i] = {RSConstant::CMD_RESERVED, 0, 0, 0};
  return t;
}

constexpr std::array<CmdInfo, 256> kTable = MakeTable();

// Index 0..3 of the smallest width of kWidths that holds `v`.
unsigned WidthIndex(uint64_t v) {
  if (v <= 0xFFu) return 0;
  if (v <= 0xFFFFu) return 1;
  if (v <= 0xFFFFFFFFu) return 2;
  return 3;
}

unsigned PutBigEndian(unsigned char* out, uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out[i] = static_cast<unsigned char>(v >> (8 * (width - 1 - i)));
  return width;
}

}  // namespace

const RSConstant::CmdInfo& RSConstant::getInfo(unsigned char cmd) noexcept { return kTable[cmd]; }

unsigned RSConstant::putLiteralHeader(unsigned char* out, uint64_t length) noexcept {
  if (length >= 1 && length <= 64) {
    out[0] = static_cast<unsigned char>(length);
    return 1;
  }
  const unsigned w = WidthIndex(length);
  out[0] = static_cast<unsigned char>(OP_LITERAL_N1 + w);
  return 1 + PutBigEndian(out + 1, length, kWidths[w]);
}

unsigned RSConstant::putCopyCommand(unsigned char* out, uint64_t offset, uint64_t length) noexcept {
  const unsigned wo = WidthIndex(offset);
  const unsigned wl = WidthIndex(length);
  out[0] = static_cast<unsigned char>(OP_COPY_N1_N1 + 4 * wo + wl);
  unsigned n = 1 + PutBigEndian(out + 1, offset, kWidths[wo]);
  return n + PutBigEndian(out + n, length, kWidths[wl]);
}
