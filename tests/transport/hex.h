// Hex text of bytes and back, for known-answer tests.
#ifndef TESTS_TRANSPORT_HEX_H_
#define TESTS_TRANSPORT_HEX_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace hex {

inline std::string Encode(const void* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

inline std::string Encode(const std::string& bytes) { return Encode(bytes.data(), bytes.size()); }

inline std::string Decode(const std::string& text) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1]));
  }
  return out;
}

}  // namespace hex

#endif  // TESTS_TRANSPORT_HEX_H_
