// The comparisons of the filter tests: ASCII case ignored, every other byte
// compared as it stands. Entries are NUL-terminated rule texts; the tested
// text is a string_view over the caller's bytes. Nothing here allocates.
#ifndef FILTER_RULE_COMPARE_H_
#define FILTER_RULE_COMPARE_H_

#include <cstdint>
#include <string_view>

#include "filter/value_type.h"
#include "platform/ascii_case.h"

namespace rule_compare {

// `text` equals `entry`.
inline bool Equals(std::string_view text, const char* entry) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char e = static_cast<unsigned char>(entry[i]);
    if (e == 0) return false;
    if (platform::AsciiFold(static_cast<unsigned char>(text[i])) != platform::AsciiFold(e)) return false;
  }
  return entry[text.size()] == '\0';
}

// `text` begins with `entry`; returns the entry's length through *len.
inline bool StartsWith(std::string_view text, const char* entry, size_t* len) {
  size_t i = 0;
  for (; entry[i] != '\0'; ++i) {
    if (i == text.size()) return false;
    if (platform::AsciiFold(static_cast<unsigned char>(text[i])) !=
        platform::AsciiFold(static_cast<unsigned char>(entry[i]))) {
      return false;
    }
  }
  *len = i;
  return true;
}

inline bool AnyEquals(const value_type_string_set& set, std::string_view text) {
  for (size_t i = 0; i < set.used; ++i) {
    if (Equals(text, set.set[i])) return true;
  }
  return false;
}

inline bool AnyPrefix(const value_type_string_set& set, std::string_view text) {
  size_t len;
  for (size_t i = 0; i < set.used; ++i) {
    if (StartsWith(text, set.set[i], &len)) return true;
  }
  return false;
}

// The path equals an entry, or begins with it followed by "/": an entry for
// a folder covers it and everything below, not a sibling "a-b" of "a".
inline bool AnyFolderPrefix(const value_type_string_set& set, std::string_view path) {
  size_t len;
  for (size_t i = 0; i < set.used; ++i) {
    if (StartsWith(path, set.set[i], &len) && (len == path.size() || path[len] == '/')) return true;
  }
  return false;
}

// The extension of a name: the text after its last ".", where a "." in the
// first position does not count. Empty when there is none.
inline std::string_view Extension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

// A set of bytes as 256 bits, built from a black_char text (each byte of it
// counts by itself, so a multi-byte UTF-8 character blocks each of its bytes).
class ByteSet {
 public:
  ByteSet() = default;
  explicit ByteSet(const char* chars) {
    if (chars == nullptr) return;
    for (const char* p = chars; *p != '\0'; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      bits_[c >> 6] |= uint64_t{1} << (c & 63);
      empty_ = false;
    }
  }

  bool empty() const { return empty_; }

  bool AnyIn(std::string_view text) const {
    if (empty_) return false;
    for (char ch : text) {
      unsigned char c = static_cast<unsigned char>(ch);
      if (bits_[c >> 6] & (uint64_t{1} << (c & 63))) return true;
    }
    return false;
  }

 private:
  uint64_t bits_[4] = {0, 0, 0, 0};
  bool empty_ = true;
};

// The folded first bytes of a set's entries: a text whose first byte is not
// among them can neither equal nor begin with any entry, so the set need not
// be scanned. An empty entry (never parsed, but possible through direct
// editing) disables the shortcut for its set.
class FirstBytes {
 public:
  FirstBytes() = default;
  explicit FirstBytes(const value_type_string_set& set) {
    for (size_t i = 0; i < set.used; ++i) {
      unsigned char c = platform::AsciiFold(static_cast<unsigned char>(set.set[i][0]));
      if (c == 0) any_ = true;
      bits_[c >> 6] |= uint64_t{1} << (c & 63);
    }
  }

  // False only when no entry can equal or prefix `text`.
  bool MayMatch(std::string_view text) const {
    if (any_ || text.empty()) return true;
    unsigned char c = platform::AsciiFold(static_cast<unsigned char>(text[0]));
    return (bits_[c >> 6] & (uint64_t{1} << (c & 63))) != 0;
  }

 private:
  uint64_t bits_[4] = {0, 0, 0, 0};
  bool any_ = false;
};

}  // namespace rule_compare

#endif  // FILTER_RULE_COMPARE_H_
