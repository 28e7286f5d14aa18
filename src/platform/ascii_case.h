// ASCII-only case folding for names, rule entries and host names: A-Z to
// a-z, every other byte (all of 0x80-0xFF included) unchanged. Never the C
// library's tolower or strcasecmp: the daemon sets the locale from the
// environment, and a comparison must give the same answer whatever it is.
#ifndef PLATFORM_ASCII_CASE_H_
#define PLATFORM_ASCII_CASE_H_

#include <cstddef>
#include <string_view>

namespace platform {

// `c` with A-Z turned into a-z.
constexpr unsigned char AsciiFold(unsigned char c) {
  return static_cast<unsigned char>(c - 'A') < 26u ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr char AsciiFold(char c) { return static_cast<char>(AsciiFold(static_cast<unsigned char>(c))); }

// Whether `a` and `b` hold the same bytes once A-Z are folded; an embedded
// NUL is an ordinary byte.
constexpr bool AsciiEqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiFold(a[i]) != AsciiFold(b[i])) return false;
  }
  return true;
}

}  // namespace platform

#endif  // PLATFORM_ASCII_CASE_H_
