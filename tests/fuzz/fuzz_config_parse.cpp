// One line of a key=value file through Config::parse. An entry's key holds
// only key bytes, its value only value bytes, and both come from the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/config.h"

namespace {

bool IsKeyByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
         c == '_';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > Config::kMaxLine + 1) return 0;
  // A buffer of exactly the input's size, so reading past `len` is caught.
  std::vector<char> line(data, data + size);
  ustring key("unset key");
  ustring value("unset value");
  int result = Config::parse(line.data(), static_cast<int>(size), key, value);
  if (result == Config::EMPTY || result == Config::INVALID) {
    if (std::strcmp(key.c_str_utf8(), "unset key") != 0) std::abort();
    if (std::strcmp(value.c_str_utf8(), "unset value") != 0) std::abort();
    return 0;
  }
  if (result != Config::OK) std::abort();

  std::string_view input(line.data(), size);
  std::string_view k(key.c_str_utf8(), key.length());
  std::string_view v(value.c_str_utf8(), value.length());
  for (unsigned char c : k) {
    if (!IsKeyByte(c)) std::abort();
  }
  for (unsigned char c : v) {
    if (c < 0x20 || c == 0x7F) std::abort();
  }
  // The key starts the line after its leading blanks; "=" follows it after
  // more blanks; the value lies further on.
  size_t i = 0;
  while (i < size && ((line[i] >= 0x09 && line[i] <= 0x0D) || line[i] == ' ')) ++i;
  if (input.substr(i, k.size()) != k) std::abort();
  i += k.size();
  while (i < size && ((line[i] >= 0x09 && line[i] <= 0x0D) || line[i] == ' ')) ++i;
  if (i == size || line[i] != '=') std::abort();
  if (input.find(v, i + 1) == std::string_view::npos) std::abort();
  return 0;
}
