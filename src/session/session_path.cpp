#include "session/session_path.h"

#include <cstddef>
#include <string_view>

namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IsSafeSessionPath(const ustring& path) {
  // length() counts every byte, an embedded NUL included.
  std::string_view p(path.c_str_utf8(), path.length());
  if (p.empty() || p[0] != '/') return false;
  if (p.size() == 1) return true;
  if (p.find('\0') != std::string_view::npos) return false;

  bool first = true;
  size_t start = 1;
  while (true) {
    size_t end = p.find('/', start);
    std::string_view component = p.substr(start, end == std::string_view::npos ? p.npos : end - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (first && EqualsIgnoringAsciiCase(component, kWorkingDirName)) return false;
    first = false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}
