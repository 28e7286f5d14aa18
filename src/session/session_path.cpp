#include "session/session_path.h"

#include <cstddef>
#include <string_view>

#include "platform/ascii_case.h"

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
    if (first && platform::AsciiEqualIgnoringCase(component, kWorkingDirName)) return false;
    first = false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsRecycleItemPath(const ustring& path) {
  // "/" alone would be the recycle folder itself.
  if (path == "/" || !IsSafeSessionPath(path)) return false;
  return path.find_last_of("/") == 0;
}
