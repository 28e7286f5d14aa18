#include "session/signature_name.h"

int path_convert(uint64_t id, char* out) {
  static const char kHex[] = "0123456789abcdef";
  int top = 7;
  while (top > 0 && ((id >> (8 * top)) & 0xff) == 0) --top;
  int n = 0;
  for (int i = top; i >= 0; --i) {
    unsigned byte = static_cast<unsigned>((id >> (8 * i)) & 0xff);
    if (i == 0) out[n++] = '.';
    out[n++] = kHex[byte >> 4];
    out[n++] = kHex[byte & 0xf];
    if (i > 0) out[n++] = '/';
  }
  out[n] = '\0';
  return n;
}

bool IsSignatureFileName(const char* name) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  return name[0] == '.' && hex(name[1]) && hex(name[2]) && name[3] == '\0';
}
