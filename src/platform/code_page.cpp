#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace platform {

namespace {

constexpr char kUtf8[] = "UTF-8";

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    // iconv_close fails only for an invalid descriptor, which ok() rules out.
    if (ok()) (void)iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Length of the well-formed UTF-8 sequence at the start of p[0..n), or 0
// when it is not one. Lets an unmappable character become a single "?"
// rather than one per byte.
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
  if (n == 0) return 0;
  unsigned char b = p[0];
  size_t len;
  uint32_t min;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) {
    len = 2;
    min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  uint32_t cp = b & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

int Convert(const char* to, const char* from, bool from_utf8, std::string_view in,
            std::string& out) {
  Converter conv(to, from);
  if (!conv.ok()) return errno;
  try {
    std::string result(in.size() + 16, '\0');
    size_t used = 0;
    // iconv does not change the input, whatever its prototype says.
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    bool flushing = false;
    for (;;) {
      char* dst = result.data() + used;
      size_t dst_left = result.size() - used;
      size_t r = flushing ? iconv(conv.get(), nullptr, nullptr, &dst, &dst_left)
                          : iconv(conv.get(), &src, &src_left, &dst, &dst_left);
      used = result.size() - dst_left;
      if (r != static_cast<size_t>(-1)) {
        if (flushing) break;
        flushing = true;  // end any shift state of a stateful target
        continue;
      }
      if (errno == E2BIG) {
        result.resize(result.size() * 2);
        continue;
      }
      if (errno != EILSEQ && errno != EINVAL) return errno;
      // EILSEQ: invalid or unmappable input; EINVAL: incomplete at the end.
      size_t skip = 1;
      if (from_utf8) {
        size_t n = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(src), src_left);
        if (n > 0) skip = n;
      }
      src += skip;
      src_left -= skip;
      if (used == result.size()) result.resize(result.size() * 2);
      result[used++] = '?';
    }
    result.resize(used);
    out.swap(result);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

}  // namespace

const char* LocaleCodeSet() { return nl_langinfo(CODESET); }

int LocaleToUtf8(std::string_view in, std::string& out) {
  return Convert(kUtf8, LocaleCodeSet(), false, in, out);
}

int Utf8ToLocale(std::string_view in, std::string& out) {
  return Convert(LocaleCodeSet(), kUtf8, true, in, out);
}

int ValidateUtf8(std::string_view in, std::string& out) {
  return Convert(kUtf8, kUtf8, true, in, out);
}

}  // namespace platform
