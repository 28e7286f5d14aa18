#include "transport/zarq_proxy_util.h"

#include <openssl/evp.h>
#include <unicode/ustring.h>

#include <atomic>
#include <climits>
#include <cstring>

namespace {

std::atomic<PROXY_LOG_CB> g_log_hook{nullptr};

bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

void ZARQProxyInitLogger(PROXY_LOG_CB callback) { g_log_hook.store(callback, std::memory_order_release); }

void ZARQProxyPrintMsg(int level, const char* category, const char* format, ...) {
  PROXY_LOG_CB hook = g_log_hook.load(std::memory_order_acquire);
  if (hook == nullptr) return;
  va_list args;
  va_start(args, format);
  hook(level, category, format, args);
  va_end(args);
}

int ZARQProxyClientStrimWhiteSpace(char* s) {
  if (s == nullptr) return -1;
  size_t n = std::strlen(s);
  while (n > 0 && IsTrailingSpace(s[n - 1])) s[--n] = '\0';
  return 0;
}

std::unique_ptr<char[]> ZARQProxyClientSubstr(const char* s, size_t start, size_t len) {
  if (s == nullptr) return nullptr;
  size_t length = std::strlen(s);
  if (start >= length || len > length - start) return nullptr;
  std::unique_ptr<char[]> out(new char[len + 1]);
  std::memcpy(out.get(), s + start, len);
  out[len] = '\0';
  return out;
}

int UTF8ToNativeChar(const char* s, char16_t* w, int n) {
  if (s == nullptr || w == nullptr || n < 1) return -1;
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  u_strFromUTF8(w, n, &units, s, -1, &status);
  // A result that fills the buffer exactly leaves no room for the terminator.
  if (U_FAILURE(status) || units >= n) return -1;
  return units;
}

int StrToUnicode(std::unique_ptr<uint8_t[]>* out, const char* s) {
  if (out == nullptr || s == nullptr) return -1;
  size_t bytes = std::strlen(s);
  // UTF-16 never needs more units than UTF-8 has bytes.
  if (bytes > static_cast<size_t>(INT_MAX / 2 - 1)) return -1;
  int32_t capacity = static_cast<int32_t>(bytes) + 1;
  std::unique_ptr<UChar[]> units(new UChar[capacity]);
  UErrorCode status = U_ZERO_ERROR;
  int32_t count = 0;
  u_strFromUTF8(units.get(), capacity, &count, s, static_cast<int32_t>(bytes), &status);
  if (U_FAILURE(status) || count >= capacity) return -1;
  std::unique_ptr<uint8_t[]> le(new uint8_t[2 * static_cast<size_t>(count) + 2]);
  for (int32_t i = 0; i < count; ++i) {
    le[2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
    le[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
  le[2 * count] = 0;
  le[2 * count + 1] = 0;
  *out = std::move(le);
  return 2 * count;
}

int ToBase64(std::unique_ptr<char[]>* out, const void* data, size_t len) {
  if (out == nullptr || (data == nullptr && len != 0)) return -1;
  // EVP_EncodeBlock takes an int length and writes 4 per 3 bytes.
  if (len > static_cast<size_t>(INT_MAX / 4 * 3 - 3)) return -1;
  size_t text = (len + 2) / 3 * 4;
  std::unique_ptr<char[]> buf(new char[text + 1]);
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(buf.get()), static_cast<const unsigned char*>(data),
                          static_cast<int>(len));
  if (n < 0 || static_cast<size_t>(n) != text) return -1;
  buf[text] = '\0';
  *out = std::move(buf);
  return 0;
}

int FromBase64(std::unique_ptr<uint8_t[]>* out, const char* text) {
  if (out == nullptr || text == nullptr) return -1;
  // EVP_DecodeBlock skips blanks at both ends itself; the padding count has
  // to see the trimmed end.
  const char* begin = text;
  while (*begin == ' ' || *begin == '\t') ++begin;
  size_t len = std::strlen(begin);
  while (len > 0 && IsTrailingSpace(begin[len - 1])) --len;
  if (len > static_cast<size_t>(INT_MAX)) return -1;
  if (len % 4 != 0) return -1;
  size_t pad = 0;
  while (pad < 2 && pad < len && begin[len - 1 - pad] == '=') ++pad;
  // "=" belongs only at the end; OpenSSL would decode it elsewhere as a zero.
  if (std::memchr(begin, '=', len - pad) != nullptr) return -1;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[len / 4 * 3 + 1]);
  if (len == 0) {
    *out = std::move(buf);
    return 0;
  }
  int n = EVP_DecodeBlock(buf.get(), reinterpret_cast<const unsigned char*>(begin), static_cast<int>(len));
  // The count includes one zero byte per trailing "=".
  if (n < 0 || static_cast<size_t>(n) != len / 4 * 3) return -1;
  *out = std::move(buf);
  return n - static_cast<int>(pad);
}

std::unique_ptr<char[]> StrToUpper(const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = std::strlen(s);
  std::unique_ptr<char[]> out(new char[n + 1]);
  for (size_t i = 0; i <= n; ++i) {
    char c = s[i];
    out[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}
