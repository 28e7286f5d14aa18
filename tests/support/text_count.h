// CountOf: how often a piece of text occurs, for tests that count log lines
// or messages.
#ifndef TESTS_SUPPORT_TEXT_COUNT_H_
#define TESTS_SUPPORT_TEXT_COUNT_H_

#include <cstddef>
#include <string>

namespace testsupport {

// The occurrences of `piece` in `text` (overlapping ones too); 0 for an
// empty piece.
inline size_t CountOf(const std::string& text, const std::string& piece) {
  if (piece.empty()) return 0;
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEXT_COUNT_H_
