// Byte classes of the rule files (their case folding is platform::AsciiFold).
// Locale-independent on purpose: the daemon sets the locale from the
// environment, and a rule must parse the same whatever it is.
#ifndef FILTER_ASCII_H_
#define FILTER_ASCII_H_

namespace filter_ascii {

// Space, tab, vertical tab, form feed, carriage return (not line feed).
inline bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

inline bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

inline bool IsHexDigit(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline int HexValue(unsigned char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Letters, digits, "-" and "_": the bytes of section and key names.
inline bool IsNameChar(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

}  // namespace filter_ascii

#endif  // FILTER_ASCII_H_
