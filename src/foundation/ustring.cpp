#include "foundation/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>

#include "platform/ascii_case.h"

namespace {

// Targets of an empty string's pointers: nothing allocates until text
// arrives, and capacity 0 marks them as never written.
const char kEmptyData[1] = "";
const char16_t kEmptyWdata[1] = u"";

// Buffers below this size are never shrunk: malloc rounds small blocks up.
constexpr size_t kMinCap = 16;

// True when none of the n bytes has its top bit set.
bool IsAscii(const char* p, size_t n) noexcept {
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

bool IsAsciiUnits(const char16_t* p, size_t n) noexcept {
  char16_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc < 0x80;
}

size_t UnitLen(const char16_t* s, size_t max) noexcept {
  size_t n = 0;
  while (n < max && s[n] != u'\0') ++n;
  return n;
}

size_t ByteLen(const char* s, size_t max) noexcept {
  const void* nul = std::memchr(s, 0, max);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - s) : max;
}

// Byte length of a std::string up to its first NUL.
size_t StdLen(const std::string& s) noexcept { return ByteLen(s.data(), s.size()); }

int CompareBytes(const char* a, const char* b, size_t limit, bool caseless) noexcept {
  const unsigned char* pa = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* pb = reinterpret_cast<const unsigned char*>(b);
  for (size_t i = 0; i < limit; ++i) {
    int ca = caseless ? platform::AsciiFold(pa[i]) : pa[i];
    int cb = caseless ? platform::AsciiFold(pb[i]) : pb[i];
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

// Byte set for the *_of searches.
class ByteSet {
 public:
  ByteSet(const char* s, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      bits_[c >> 6] |= uint64_t{1} << (c & 63);
    }
  }
  bool has(char ch) const noexcept {
    unsigned char c = static_cast<unsigned char>(ch);
    return (bits_[c >> 6] >> (c & 63)) & 1;
  }

 private:
  uint64_t bits_[4] = {0, 0, 0, 0};
};

// The search algorithms over a text of `len` bytes; needles and sets are
// (pointer, length) pairs already cut at their first NUL.
size_t Find(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  if (pos >= len) return ustring::npos;
  if (n == 0) return pos;
  const void* hit = n == 1 ? std::memchr(t + pos, s[0], len - pos)
                           : memmem(t + pos, len - pos, s, n);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - t) : ustring::npos;
}

size_t RFind(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  if (len == 0) return ustring::npos;
  size_t start = pos < len ? pos : len - 1;
  if (n == 0) return start;
  if (n > len) return ustring::npos;
  size_t i = start < len - n ? start : len - n;
  if (n == 1) {
    const void* hit = memrchr(t, s[0], i + 1);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - t) : ustring::npos;
  }
  for (;;) {
    if (t[i] == s[0] && std::memcmp(t + i, s, n) == 0) return i;
    if (i == 0) return ustring::npos;
    --i;
  }
}

size_t FindFirstOf(const char* t, size_t len, const char* s, size_t n, size_t pos,
                   bool in_set) noexcept {
  if (pos >= len) return ustring::npos;
  if (n == 0) return in_set ? ustring::npos : pos;
  if (n == 1 && in_set) return Find(t, len, s, 1, pos);
  ByteSet set(s, n);
  for (size_t i = pos; i < len; ++i) {
    if (set.has(t[i]) == in_set) return i;
  }
  return ustring::npos;
}

size_t FindLastOf(const char* t, size_t len, const char* s, size_t n, size_t pos,
                  bool in_set) noexcept {
  if (len == 0) return ustring::npos;
  size_t start = pos < len ? pos : len - 1;
  if (n == 0) return in_set ? ustring::npos : start;
  if (n == 1 && in_set) {
    const void* hit = memrchr(t, s[0], start + 1);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - t) : ustring::npos;
  }
  ByteSet set(s, n);
  for (size_t i = start + 1; i-- > 0;) {
    if (set.has(t[i]) == in_set) return i;
  }
  return ustring::npos;
}

[[noreturn]] void ThrowBadAlloc() { throw std::bad_alloc(); }

// Converts n UTF-16 units (no NUL among them) to UTF-8 into `out`.
// Returns 0, or the ICU error code after printing the warning.
UErrorCode UnitsToUtf8(const char16_t* p, size_t n, std::string& out) {
  if (n == 0) {
    out.clear();
    return U_ZERO_ERROR;
  }
  if (IsAsciiUnits(p, n)) {
    out.resize(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(p[i]);
    return U_ZERO_ERROR;
  }
  UErrorCode err = U_ZERO_ERROR;
  int32_t need = 0;
  if (n > static_cast<size_t>(INT32_MAX) / 4) {
    err = U_INDEX_OUTOFBOUNDS_ERROR;
  } else {
    // Measuring reports U_BUFFER_OVERFLOW_ERROR for valid text.
    u_strToUTF8(nullptr, 0, &need, p, static_cast<int32_t>(n), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) err = U_ZERO_ERROR;
    if (!U_FAILURE(err)) {
      out.resize(static_cast<size_t>(need) + 1);
      u_strToUTF8(out.data(), need + 1, &need, p, static_cast<int32_t>(n), &err);
    }
  }
  if (U_FAILURE(err)) {
    std::fprintf(stderr, "Warning: u_strToUTF8: error code %d at line 867\n", static_cast<int>(err));
    std::fflush(stderr);
    out.clear();
    return err;
  }
  out.resize(static_cast<size_t>(need));
  return U_ZERO_ERROR;
}

}  // namespace

// --- Memory ---------------------------------------------------------------

void ustring::init() noexcept {
  data = const_cast<char*>(kEmptyData);
  data_len = 0;
  data_cap = 0;
  wdata = const_cast<char16_t*>(kEmptyWdata);
  wdata_len = 0;
  wdata_cap = 0;
}

void ustring::realloc_data(size_t len) {
  if (len >= npos / 2) ThrowBadAlloc();
  size_t need = len + 1;
  size_t cap = data_cap;
  if (need > cap) {
    // Geometric growth keeps repeated appends linear.
    cap = cap * 2 > need ? cap * 2 : need;
    if (cap < kMinCap) cap = kMinCap;
  } else if (cap > kMinCap && need < cap / 4) {
    cap = need < kMinCap ? kMinCap : need;
  } else {
    return;
  }
  char* p;
  if (data_cap == 0) {
    p = static_cast<char*>(std::malloc(cap));
    if (p == nullptr) ThrowBadAlloc();
    p[0] = '\0';
  } else {
    p = static_cast<char*>(std::realloc(data, cap));
    if (p == nullptr) ThrowBadAlloc();
  }
  data = p;
  data_cap = cap;
  if (data_len >= cap) {  // shrunk below the current text
    data_len = cap - 1;
    data[data_len] = '\0';
  }
}

void ustring::realloc_wdata(size_t len) const {
  if (len >= npos / 4) ThrowBadAlloc();
  size_t need = len + 1;
  if (need <= wdata_cap && !(wdata_cap > kMinCap && need < wdata_cap / 4)) return;
  size_t cap = need < kMinCap ? kMinCap : need;
  // Contents are rebuilt by the caller: no copy needed.
  char16_t* p = static_cast<char16_t*>(std::malloc(cap * sizeof(char16_t)));
  if (p == nullptr) ThrowBadAlloc();
  if (wdata_cap != 0) std::free(wdata);
  p[0] = u'\0';
  wdata = p;
  wdata_cap = cap;
  wdata_len = 0;
}

void ustring::clear_data() noexcept {
  data_len = 0;
  if (data_cap != 0) data[0] = '\0';
}

bool ustring::owns_data(const void* p) const noexcept {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  uintptr_t b = reinterpret_cast<uintptr_t>(data);
  return data_cap != 0 && a >= b && a < b + data_cap;
}

bool ustring::owns_wdata(const void* p) const noexcept {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  uintptr_t b = reinterpret_cast<uintptr_t>(wdata);
  return wdata_cap != 0 && a >= b && a < b + wdata_cap * sizeof(char16_t);
}

size_t ustring::text_len() const noexcept { return ByteLen(data, data_len); }

// --- Conversions ----------------------------------------------------------

int ustring::convert_from_data() const {
  size_t len = text_len();
  if (len == 0) {
    drop_wdata();
    return 0;
  }
  // A UTF-8 text never needs more UTF-16 units than it has bytes, so one
  // pass into a buffer of len+1 units does; no measuring pass.
  realloc_wdata(len);
  if (IsAscii(data, len)) {
    for (size_t i = 0; i < len; ++i) wdata[i] = static_cast<unsigned char>(data[i]);
    wdata[len] = u'\0';
    wdata_len = len;
    return 0;
  }
  UErrorCode err = U_ZERO_ERROR;
  int32_t out = 0;
  if (len >= static_cast<size_t>(INT32_MAX)) {
    err = U_INDEX_OUTOFBOUNDS_ERROR;
  } else {
    u_strFromUTF8(wdata, static_cast<int32_t>(len + 1), &out, data, -1, &err);
  }
  if (U_FAILURE(err)) {
    std::fprintf(stderr, "Warning: u_strFromUTF8: error code %d at line 900\n", static_cast<int>(err));
    drop_wdata();
    return -1;
  }
  wdata[out] = u'\0';
  wdata_len = static_cast<size_t>(out);
  return 0;
}

int ustring::convert_from_wdata() {
  std::string bytes;
  UErrorCode err = UnitsToUtf8(wdata, UnitLen(wdata, wdata_len), bytes);
  if (U_FAILURE(err)) {
    clear();
    return -1;
  }
  size_t keep = wdata_len;
  realloc_data(bytes.size());
  std::memcpy(data, bytes.data(), bytes.size());
  data_len = bytes.size();
  data[data_len] = '\0';
  wdata_len = keep;
  return 0;
}

const char16_t* ustring::c_str() const {
  if (wdata_len == 0) {
    // Failure already warned and left the copy empty.
    (void)convert_from_data();
  }
  return wdata;
}

// --- Construction -----------------------------------------------------------

ustring::ustring() noexcept { init(); }

ustring::ustring(const char* s) {
  init();
  if (s != nullptr) assign_bytes(s, std::strlen(s));
}

ustring::ustring(char c) {
  init();
  assign(c, 1);
}

ustring::ustring(const ustring& x) {
  init();
  assign_bytes(x.data, x.data_len);
}

ustring::ustring(ustring&& x) noexcept {
  data = x.data;
  data_len = x.data_len;
  data_cap = x.data_cap;
  wdata = x.wdata;
  wdata_len = x.wdata_len;
  wdata_cap = x.wdata_cap;
  x.init();
}

ustring::ustring(const std::string& x) {
  init();
  assign_bytes(x.data(), StdLen(x));
}

ustring::ustring(const char16_t* s) {
  init();
  assign(s);
}

ustring::ustring(char16_t c) {
  init();
  assign(c, 1);
}

ustring::~ustring() {
  if (data_cap != 0) std::free(data);
  if (wdata_cap != 0) std::free(wdata);
  data = nullptr;
  wdata = nullptr;
}

ustring& ustring::operator=(const char* s) { return assign(s); }
ustring& ustring::operator=(char c) { return assign(c, 1); }
ustring& ustring::operator=(const ustring& x) {
  if (this == &x) return *this;
  return assign_bytes(x.data, x.data_len);
}
ustring& ustring::operator=(ustring&& x) noexcept {
  if (this != &x) {
    swap(x);
    x.clear();
  }
  return *this;
}
ustring& ustring::operator=(const std::string& x) { return assign(x); }
ustring& ustring::operator=(const char16_t* s) { return assign(s); }
ustring& ustring::operator=(char16_t c) { return assign(c, 1); }

// --- Assignment -------------------------------------------------------------

// Replaces the bytes by the n bytes at p, which may lie in this string.
ustring& ustring::assign_bytes(const char* p, size_t n) {
  drop_wdata();
  if (n == 0) {
    clear_data();
    return *this;
  }
  if (owns_data(p)) {
    // A part of the own text: move it to the front; only shrinking follows.
    std::memmove(data, p, n);
    data_len = n;
    data[n] = '\0';
    realloc_data(n);
    return *this;
  }
  if (n + 1 > data_cap && data_cap != 0) {
    // The old bytes are not needed: free first rather than let realloc copy.
    std::free(data);
    data = const_cast<char*>(kEmptyData);
    data_cap = 0;
    data_len = 0;
  }
  realloc_data(n);
  std::memcpy(data, p, n);
  data_len = n;
  data[n] = '\0';
  return *this;
}

ustring& ustring::assign(const char* s) {
  if (s == data) return *this;
  return assign_bytes(s, s == nullptr ? 0 : std::strlen(s));
}

ustring& ustring::assign(const char* s, size_t len) {
  if (s == data) {
    if (len < data_len) assign_bytes(data, len);
    return *this;
  }
  return assign_bytes(s, s == nullptr ? 0 : ByteLen(s, len));
}

ustring& ustring::assign(char c, size_t n) {
  drop_wdata();
  if (n == 0) {
    clear_data();
    return *this;
  }
  if (n + 1 > data_cap && data_cap != 0) {
    std::free(data);
    data = const_cast<char*>(kEmptyData);
    data_cap = 0;
    data_len = 0;
  }
  realloc_data(n);
  std::memset(data, c, n);
  data_len = n;
  data[n] = '\0';
  return *this;
}

ustring& ustring::assign(const ustring& x, size_t pos, size_t len) {
  if (pos > x.data_len) throw std::out_of_range("substr");
  size_t avail = x.data_len - pos;
  return assign_bytes(x.data + pos, len < avail ? len : avail);
}

ustring& ustring::assign(const std::string& x, size_t pos, size_t len) {
  if (pos > x.size()) throw std::out_of_range("basic_string::substr");
  size_t avail = x.size() - pos;
  return assign_bytes(x.data() + pos, ByteLen(x.data() + pos, len < avail ? len : avail));
}

// Replaces the text by the n UTF-16 units at p (no NUL among them).
ustring& ustring::assign_units(const char16_t* p, size_t n) {
  if (owns_wdata(p)) {
    std::u16string copy(p, n);
    return assign_units(copy.data(), n);
  }
  clear();
  if (n == 0) return *this;
  realloc_wdata(n);
  std::memcpy(wdata, p, n * sizeof(char16_t));
  wdata[n] = u'\0';
  wdata_len = n;
  (void)convert_from_wdata();  // failure warned and left ""
  return *this;
}

ustring& ustring::assign(const char16_t* s) {
  if (s == wdata && wdata_cap != 0) return *this;
  return assign_units(s, s == nullptr ? 0 : UnitLen(s, npos));
}

ustring& ustring::assign(const char16_t* s, size_t len) {
  if (s == wdata && wdata_cap != 0) {
    if (len < wdata_len) {
      wdata[len] = u'\0';
      wdata_len = len;
      if (len == 0) {
        clear();
      } else {
        (void)convert_from_wdata();  // failure warned and left ""
      }
    }
    return *this;
  }
  return assign_units(s, s == nullptr ? 0 : UnitLen(s, len));
}

ustring& ustring::assign(char16_t c, size_t n) {
  if (c == u'\0') n = 0;
  std::u16string units(n, c);
  return assign_units(units.data(), n);
}

// --- Appending --------------------------------------------------------------

ustring& ustring::append_bytes(const char* p, size_t n) {
  drop_wdata();
  if (n == 0) return *this;
  if (n > npos / 2 - data_len) ThrowBadAlloc();
  // The source may be this string's own text: keep its offset across the
  // reallocation.
  bool own = owns_data(p);
  size_t off = own ? static_cast<size_t>(p - data) : 0;
  realloc_data(data_len + n);
  std::memmove(data + data_len, own ? data + off : p, n);
  data_len += n;
  data[data_len] = '\0';
  return *this;
}

ustring& ustring::append(const char* s) {
  return append_bytes(s, s == nullptr ? 0 : std::strlen(s));
}

ustring& ustring::append(const char* s, size_t len) {
  return append_bytes(s, s == nullptr ? 0 : ByteLen(s, len));
}

ustring& ustring::append(char c, size_t n) {
  drop_wdata();
  if (n == 0) return *this;
  if (n > npos / 2 - data_len) ThrowBadAlloc();
  realloc_data(data_len + n);
  std::memset(data + data_len, c, n);
  data_len += n;
  data[data_len] = '\0';
  return *this;
}

ustring& ustring::append(const ustring& x, size_t pos, size_t len) {
  if (pos > x.data_len) throw std::out_of_range("substr");
  size_t avail = x.data_len - pos;
  return append_bytes(x.data + pos, len < avail ? len : avail);
}

ustring& ustring::append(const std::string& x, size_t pos, size_t len) {
  if (pos > x.size()) throw std::out_of_range("basic_string::substr");
  size_t avail = x.size() - pos;
  return append_bytes(x.data() + pos, ByteLen(x.data() + pos, len < avail ? len : avail));
}

// Appends the UTF-8 form of the n units at p. Only the new units are
// converted, so the bytes already held survive even when they are not
// valid UTF-8.
ustring& ustring::append_units(const char16_t* p, size_t n) {
  if (n == 0) return *this;
  std::string bytes;
  if (U_FAILURE(UnitsToUtf8(p, n, bytes))) {
    clear();
    return *this;
  }
  return append_bytes(bytes.data(), bytes.size());
}

ustring& ustring::append(const char16_t* s) {
  return append_units(s, s == nullptr ? 0 : UnitLen(s, npos));
}

ustring& ustring::append(const char16_t* s, size_t len) {
  return append_units(s, s == nullptr ? 0 : UnitLen(s, len));
}

ustring& ustring::append(char16_t c, size_t n) {
  if (c == u'\0') return *this;
  std::u16string units(n, c);
  return append_units(units.data(), n);
}

ustring operator+(const ustring& lhs, const ustring& rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}
ustring operator+(const ustring& lhs, const char* rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}
ustring operator+(const ustring& lhs, char rhs) {
  ustring r(lhs);
  r += rhs;
  return r;
}
ustring operator+(const ustring& lhs, const char16_t* rhs) {
  ustring r(lhs);
  r.append(rhs);
  return r;
}
ustring operator+(const ustring& lhs, char16_t rhs) {
  ustring r(lhs);
  r.append(rhs, 1);
  return r;
}

// --- Access -----------------------------------------------------------------

char& ustring::operator[](size_t pos) {
  drop_wdata();
  // The shared empty buffer is read-only; a caller may write the
  // terminator through s[0] as std::string allows.
  if (data_cap == 0) realloc_data(0);
  return data[pos];
}

void ustring::clear() noexcept {
  clear_data();
  drop_wdata();
}

void ustring::swap(ustring& x) noexcept {
  std::swap(data, x.data);
  std::swap(data_len, x.data_len);
  std::swap(data_cap, x.data_cap);
  std::swap(wdata, x.wdata);
  std::swap(wdata_len, x.wdata_len);
  std::swap(wdata_cap, x.wdata_cap);
}

void swap(ustring& a, ustring& b) noexcept { a.swap(b); }

// --- Search -----------------------------------------------------------------

namespace {

size_t FindFirstIn(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  return FindFirstOf(t, len, s, n, pos, true);
}
size_t FindFirstNotIn(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  return FindFirstOf(t, len, s, n, pos, false);
}
size_t FindLastIn(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  return FindLastOf(t, len, s, n, pos, true);
}
size_t FindLastNotIn(const char* t, size_t len, const char* s, size_t n, size_t pos) noexcept {
  return FindLastOf(t, len, s, n, pos, false);
}

}  // namespace

// The four needle kinds of each search, cut to (pointer, length).
#define USTRING_SEARCH(name, impl)                                          \
  size_t ustring::name(const char* s, size_t pos) const noexcept {          \
    return impl(data, text_len(), s, s ? std::strlen(s) : 0, pos);          \
  }                                                                         \
  size_t ustring::name(const ustring& s, size_t pos) const noexcept {       \
    return impl(data, text_len(), s.data, s.data_len, pos);                 \
  }                                                                         \
  size_t ustring::name(const std::string& s, size_t pos) const noexcept {   \
    return impl(data, text_len(), s.data(), StdLen(s), pos);                \
  }                                                                         \
  size_t ustring::name(char c, size_t pos) const noexcept {                 \
    return impl(data, text_len(), &c, 1, pos);                              \
  }

USTRING_SEARCH(find, Find)
USTRING_SEARCH(rfind, RFind)
USTRING_SEARCH(find_first_of, FindFirstIn)
USTRING_SEARCH(find_first_not_of, FindFirstNotIn)
USTRING_SEARCH(find_last_of, FindLastIn)
USTRING_SEARCH(find_last_not_of, FindLastNotIn)

#undef USTRING_SEARCH

// --- Editing ----------------------------------------------------------------

ustring ustring::substr(size_t start, size_t len) const {
  if (start > data_len) throw std::out_of_range("substr");
  ustring r;
  size_t avail = data_len - start;
  r.assign_bytes(data + start, len < avail ? len : avail);
  return r;
}

ustring& ustring::trim_impl(const char* list, size_t list_len, bool left, bool right) {
  if (list_len == 0 || data_len == 0) return *this;
  ByteSet set(list, list_len);
  size_t begin = 0;
  size_t end = data_len;
  if (left) {
    while (begin < end && set.has(data[begin])) ++begin;
  }
  if (right) {
    while (end > begin && set.has(data[end - 1])) --end;
  }
  if (begin == 0 && end == data_len) return *this;
  return assign_bytes(data + begin, end - begin);
}

ustring& ustring::ltrim(const char* list) {
  return trim_impl(list, list ? std::strlen(list) : 0, true, false);
}
ustring& ustring::ltrim(const ustring& list) {
  return trim_impl(list.data, list.text_len(), true, false);
}
ustring& ustring::rtrim(const char* list) {
  return trim_impl(list, list ? std::strlen(list) : 0, false, true);
}
ustring& ustring::rtrim(const ustring& list) {
  return trim_impl(list.data, list.text_len(), false, true);
}
ustring& ustring::trim(const char* list) {
  return trim_impl(list, list ? std::strlen(list) : 0, true, true);
}
ustring& ustring::trim(const ustring& list) {
  return trim_impl(list.data, list.text_len(), true, true);
}

ustring& ustring::replace(char c1, char c2) {
  drop_wdata();
  if (c1 == c2) return *this;
  char* p = data;
  char* end = data + data_len;
  while ((p = static_cast<char*>(std::memchr(p, c1, static_cast<size_t>(end - p)))) != nullptr) {
    *p++ = c2;
  }
  return *this;
}

// --- Comparison -------------------------------------------------------------

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
  return CompareBytes(a.data, b.data, npos, caseless);
}

int ustring::compare(const ustring& str) const noexcept {
  return CompareBytes(data, str.data, npos, false);
}

int ustring::compare(const ustring& str, size_t n) const noexcept {
  return CompareBytes(data, str.data, n, false);
}

// --- Other ------------------------------------------------------------------

bool ustring::is_valid(const ustring& x) {
  size_t len = x.text_len();
  if (len == 0 || IsAscii(x.data, len)) return true;
  if (len >= static_cast<size_t>(INT32_MAX)) return true;  // ICU cannot measure it
  // The measuring pass writes nothing; valid text reports
  // U_BUFFER_OVERFLOW_ERROR, so only the invalid-character code counts.
  UErrorCode err = U_ZERO_ERROR;
  int32_t need = 0;
  u_strFromUTF8(nullptr, 0, &need, x.data, static_cast<int32_t>(len), &err);
  return err != U_INVALID_CHAR_FOUND;
}

ustring ustring::normalize(const ustring& x, normalization_form n) {
  ustring r;
  size_t len = x.text_len();
  if (len == 0) return r;
  // ASCII has no decompositions and composes with nothing.
  if (IsAscii(x.data, len)) {
    r.assign_bytes(x.data, len);
    return r;
  }
  const char16_t* src = x.c_str();
  if (x.wdata_len == 0) return r;  // invalid UTF-8: c_str() warned
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* norm =
      unorm2_getInstance(nullptr, "nfc", n == NFD ? UNORM2_DECOMPOSE : UNORM2_COMPOSE, &err);
  if (U_FAILURE(err) || norm == nullptr) {
    std::fprintf(stderr, "Warning: unorm2_getInstance: error code %d at line 993\n",
                 static_cast<int>(err));
    return r;
  }
  int32_t need = unorm2_normalize(norm, src, -1, nullptr, 0, &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) err = U_ZERO_ERROR;
  if (!U_FAILURE(err)) {
    r.realloc_wdata(static_cast<size_t>(need));
    need = unorm2_normalize(norm, src, -1, r.wdata, need + 1, &err);
  }
  if (U_FAILURE(err)) {
    std::fprintf(stderr, "Warning: unorm2_normalize: error code %d at line 1005\n",
                 static_cast<int>(err));
    r.clear();
    return r;
  }
  r.wdata[need] = u'\0';
  r.wdata_len = static_cast<size_t>(need);
  (void)r.convert_from_wdata();  // failure warned and left ""
  return r;
}

std::ostream& operator<<(std::ostream& os, const ustring& x) { return os << x.c_str_utf8(); }

std::istream& operator>>(std::istream& is, ustring& x) {
  std::string word;
  if (is >> word) x = word;
  return is;
}
