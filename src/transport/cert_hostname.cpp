#include "transport/cert_hostname.h"

#include <cstring>
#include <string_view>

#include "platform/ascii_case.h"

namespace {

bool EqualNoCase(const char* a, size_t a_len, const char* b, size_t b_len) {
  return platform::AsciiEqualIgnoringCase(std::string_view(a, a_len), std::string_view(b, b_len));
}

bool Match(const char* pattern, size_t pattern_len, const char* host, size_t host_len) {
  if (pattern_len > 0 && pattern[0] == '*') {
    // Only "*." followed by a name is a wildcard; "*x..." must not lose its
    // second character unchecked.
    if (pattern_len < 3 || pattern[1] != '.') return false;
    const char* rest = pattern + 2;
    size_t rest_len = pattern_len - 2;
    if (EqualNoCase(rest, rest_len, host, host_len)) return true;
    const char* dot = static_cast<const char*>(std::memchr(host, '.', host_len));
    if (dot == nullptr) return false;
    size_t after = host_len - static_cast<size_t>(dot - host) - 1;
    return EqualNoCase(rest, rest_len, dot + 1, after);
  }
  return EqualNoCase(pattern, pattern_len, host, host_len);
}

}  // namespace

bool CertNameMatches(const char* name, size_t len, ustring const& hostname) {
  if (name == nullptr || std::memchr(name, '\0', len) != nullptr) return false;
  const char* host = hostname.c_str_utf8();
  size_t host_len = hostname.length();
  if (std::strlen(host) != host_len) return false;
  return Match(name, len, host, host_len);
}

bool checkCertHostnameMatch(ustring const& pattern, ustring const& hostname) {
  return CertNameMatches(pattern.c_str_utf8(), pattern.length(), hostname);
}
