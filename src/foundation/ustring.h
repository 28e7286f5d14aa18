// ustring: the one string type of the daemon.
//
// The text is kept as UTF-8 bytes (the master copy, always NUL-terminated);
// a UTF-16 copy in char16_t units is built on demand by c_str() for callers
// that need UTF-16, and dropped by every change of the bytes. Lengths,
// positions, searches and comparisons all work on the UTF-8 bytes; nothing
// counts characters. The bytes are never checked on the way in: a name read
// from the disk may be invalid UTF-8 and is kept as it is.
//
// Threads: there is no locking. c_str() and c_str_utf16() write the UTF-16
// cache of a const object, so one ustring must not be read through them
// from two threads at once unless its owner holds a lock; normalize(x)
// reads x through c_str() and falls under the same rule. c_str_utf8(),
// is_valid() and every other const member write nothing and may be called
// from any number of threads at once.
//
// Failures: allocation failure throws std::bad_alloc; substr() past the end
// throws std::out_of_range("substr"), a std::string source position past its
// end std::out_of_range("basic_string::substr"). Conversion errors throw
// nothing: they print a "Warning: ..." line to stderr (see each member).
#ifndef FOUNDATION_USTRING_H_
#define FOUNDATION_USTRING_H_

#include <cstddef>
#include <cstring>
#include <iosfwd>
#include <string>

// One UTF-16 unit of the text handed to UTF-16 interfaces.
typedef char16_t zarqchar;

class ustring {
 public:
  // Result of a search that finds nothing; as a length, "up to the end".
  static constexpr size_t npos = static_cast<size_t>(-1);

  enum normalization_form { NFC = 0, NFD = 1 };

  // --- Construction and assignment -------------------------------------
  // Narrow `const char*` sources are UTF-8, taken up to their first NUL and
  // not checked; a null pointer is taken as "". Wide sources are UTF-16,
  // also up to their first NUL; the bytes are rebuilt from them, and a
  // source that is not valid UTF-16 (a lone surrogate) prints
  // "Warning: u_strToUTF8: error code <n> at line 867" and leaves "".
  // Every source may point into this string's own buffers (aliasing is safe).
  ustring() noexcept;
  ustring(const char* s);
  explicit ustring(char c);
  ustring(const ustring& x);
  ustring(ustring&& x) noexcept;
  ustring(const std::string& x);
  ustring(const char16_t* s);
  explicit ustring(char16_t c);
  ~ustring();

  ustring& operator=(const char* s);
  ustring& operator=(char c);
  ustring& operator=(const ustring& x);
  ustring& operator=(ustring&& x) noexcept;
  ustring& operator=(const std::string& x);
  ustring& operator=(const char16_t* s);
  ustring& operator=(char16_t c);

  // s == c_str_utf8() leaves the string as it is.
  ustring& assign(const char* s);
  // At most `len` bytes of `s`, stopping at a NUL. Given c_str_utf8() it
  // truncates the string to `len` bytes when `len` is below length().
  ustring& assign(const char* s, size_t len);
  // `n` copies of the byte `c` (NUL included).
  ustring& assign(char c, size_t n);
  // x.substr(pos, len), embedded NULs included.
  ustring& assign(const ustring& x, size_t pos = 0, size_t len = npos);
  // The bytes of x from `pos`, at most `len`, up to the first NUL.
  ustring& assign(const std::string& x, size_t pos = 0, size_t len = npos);
  // s == c_str() leaves the string as it is.
  ustring& assign(const char16_t* s);
  // At most `len` units of `s`, stopping at a NUL. Given c_str() it
  // truncates the UTF-16 text to `len` units when `len` is below its length.
  ustring& assign(const char16_t* s, size_t len);
  ustring& assign(char16_t c, size_t n);

  // --- Appending (same sources, same rules as assign) ------------------
  // A wide source is converted and its bytes appended: the bytes already
  // held are kept even when they are not valid UTF-8. A wide source that is
  // not valid UTF-16 prints the u_strToUTF8 warning and empties the string.
  ustring& append(const char* s);
  ustring& append(const char* s, size_t len);
  ustring& append(char c, size_t n);
  ustring& append(const ustring& x, size_t pos = 0, size_t len = npos);
  ustring& append(const std::string& x, size_t pos = 0, size_t len = npos);
  ustring& append(const char16_t* s);
  ustring& append(const char16_t* s, size_t len);
  ustring& append(char16_t c, size_t n);

  ustring& operator+=(const char* s) { return append(s); }
  ustring& operator+=(const ustring& x) { return append(x); }
  ustring& operator+=(const std::string& x) { return append(x); }
  ustring& operator+=(const char16_t* s) { return append(s); }
  ustring& operator+=(char16_t c) { return append(c, 1); }
  ustring& operator+=(char c) {
    if (data_len + 2 <= data_cap) {  // room for the byte and the NUL
      data[data_len++] = c;
      data[data_len] = '\0';
      drop_wdata();
      return *this;
    }
    return append(c, 1);
  }

  // --- Access ------------------------------------------------------------
  size_t length() const noexcept { return data_len; }
  size_t size() const noexcept { return data_len; }
  bool empty() const noexcept { return data_len == 0; }

  // The UTF-8 bytes; never null, valid until the next change. Writes nothing.
  const char* c_str_utf8() const noexcept { return data; }
  // The UTF-16 copy of the bytes up to the first NUL, built when it is not
  // cached; never null, valid until the next change of the string. When the
  // bytes are not valid UTF-8 it prints "Warning: u_strFromUTF8: error code
  // <n> at line 900" on every call and returns "". Writes the cache: see the
  // thread rule at the top.
  const char16_t* c_str() const;
  const char16_t* c_str_utf16() const { return c_str(); }

  // The byte at `pos` (pos == length() is the terminator); no bounds check.
  // The non-const form drops the UTF-16 copy, since the caller may write
  // through the reference.
  const char& operator[](size_t pos) const noexcept { return data[pos]; }
  char& operator[](size_t pos);

  // Empties the string.
  void clear() noexcept;
  void swap(ustring& x) noexcept;

  // --- Search --------------------------------------------------------------
  // The searched text is the bytes before the first NUL (normally all of
  // them). Forward searches start at `pos` and give npos at once when `pos`
  // is not below the text's length. Backward searches start at `pos`, or at
  // the last byte when `pos` is past it, and give npos on an empty text; a
  // match found by rfind begins at or before the start (it may run past it).
  // An empty needle: find gives pos, rfind the start. An empty set:
  // find_first_of / find_last_of give npos, find_first_not_of gives pos,
  // find_last_not_of the start. A `const char*` or std::string needle or set
  // is taken up to its first NUL; a null pointer is "".
  size_t find(const char* s, size_t pos = 0) const noexcept;
  size_t find(const ustring& s, size_t pos = 0) const noexcept;
  size_t find(const std::string& s, size_t pos = 0) const noexcept;
  size_t find(char c, size_t pos = 0) const noexcept;
  size_t rfind(const char* s, size_t pos = npos) const noexcept;
  size_t rfind(const ustring& s, size_t pos = npos) const noexcept;
  size_t rfind(const std::string& s, size_t pos = npos) const noexcept;
  size_t rfind(char c, size_t pos = npos) const noexcept;
  size_t find_first_of(const char* s, size_t pos = 0) const noexcept;
  size_t find_first_of(const ustring& s, size_t pos = 0) const noexcept;
  size_t find_first_of(const std::string& s, size_t pos = 0) const noexcept;
  size_t find_first_of(char c, size_t pos = 0) const noexcept;
  size_t find_first_not_of(const char* s, size_t pos = 0) const noexcept;
  size_t find_first_not_of(const ustring& s, size_t pos = 0) const noexcept;
  size_t find_first_not_of(const std::string& s, size_t pos = 0) const noexcept;
  size_t find_first_not_of(char c, size_t pos = 0) const noexcept;
  size_t find_last_of(const char* s, size_t pos = npos) const noexcept;
  size_t find_last_of(const ustring& s, size_t pos = npos) const noexcept;
  size_t find_last_of(const std::string& s, size_t pos = npos) const noexcept;
  size_t find_last_of(char c, size_t pos = npos) const noexcept;
  size_t find_last_not_of(const char* s, size_t pos = npos) const noexcept;
  size_t find_last_not_of(const ustring& s, size_t pos = npos) const noexcept;
  size_t find_last_not_of(const std::string& s, size_t pos = npos) const noexcept;
  size_t find_last_not_of(char c, size_t pos = npos) const noexcept;

  // --- Editing -------------------------------------------------------------
  // The bytes from `start`, at most `len`. Throws std::out_of_range("substr")
  // when `start` > length(); `start` == length() gives "".
  ustring substr(size_t start = 0, size_t len = npos) const;
  // Remove the leading run, the trailing run, or both, of bytes found in
  // `list` (up to its first NUL); an empty or null list removes nothing.
  ustring& ltrim(const char* list);
  ustring& ltrim(const ustring& list);
  ustring& rtrim(const char* list);
  ustring& rtrim(const ustring& list);
  ustring& trim(const char* list);
  ustring& trim(const ustring& list);
  // Every byte equal to c1 becomes c2.
  ustring& replace(char c1, char c2);

  // --- Comparison ----------------------------------------------------------
  // Compares the bytes as unsigned values up to the first difference or the
  // first NUL and returns the difference of the two bytes there (0 when
  // equal). `caseless` folds ASCII A-Z to a-z first (no other byte, no
  // locale).
  static int compare(const ustring& a, const ustring& b, bool caseless);
  int compare(const ustring& str) const noexcept;
  // The same over at most `n` bytes; n == 0 gives 0.
  int compare(const ustring& str, size_t n) const noexcept;

  // --- Other ---------------------------------------------------------------
  // False only when the bytes (up to the first NUL) are not valid UTF-8,
  // as ICU judges it: overlong forms, encoded surrogates and code points
  // above U+10FFFF are invalid. Writes nothing.
  static bool is_valid(const ustring& x);
  // A new string in Unicode normalization form `n` ("" for an invalid x,
  // after c_str()'s warning). ICU failures print "Warning: unorm2_getInstance:
  // error code <n> at line 993" or "Warning: unorm2_normalize: error code <n>
  // at line 1005" and give "".
  static ustring normalize(const ustring& x, normalization_form n);
  ustring normalize(normalization_form n) const { return normalize(*this, n); }

 protected:
  // Empty string without allocation: both pointers at static empty buffers
  // (capacity 0 means "not owned, never written").
  void init() noexcept;
  // Makes the UTF-8 buffer owned and at least len+1 bytes; grows
  // geometrically, shrinks when far too large. Keeps the first
  // min(len, data_len) bytes; data_len itself is left to the caller.
  void realloc_data(size_t len);
  // The same for the UTF-16 buffer, in units (contents not kept).
  void realloc_wdata(size_t len) const;
  // Builds the UTF-16 copy from the bytes; 0, or -1 after the warning.
  int convert_from_data() const;
  // Rebuilds the bytes from the UTF-16 copy; 0, or -1 after the warning
  // with the string emptied.
  int convert_from_wdata();
  void clear_data() noexcept;
  void clear_wdata() const noexcept { drop_wdata(); }

  char* data;                  // UTF-8 bytes, NUL-terminated; never null
  size_t data_len;             // bytes before the terminator
  size_t data_cap;             // bytes owned (0: data is the static "")
  mutable char16_t* wdata;     // UTF-16 cache, NUL-terminated; never null
  mutable size_t wdata_len;    // units; 0: not built
  mutable size_t wdata_cap;    // units owned (0: wdata is the static u"")

 private:
  void drop_wdata() const noexcept {
    wdata_len = 0;
    if (wdata_cap != 0) wdata[0] = u'\0';
  }
  size_t text_len() const noexcept;
  ustring& assign_bytes(const char* p, size_t n);
  ustring& append_bytes(const char* p, size_t n);
  ustring& assign_units(const char16_t* p, size_t n);
  ustring& append_units(const char16_t* p, size_t n);
  ustring& trim_impl(const char* list, size_t list_len, bool left, bool right);
  bool owns_data(const void* p) const noexcept;
  bool owns_wdata(const void* p) const noexcept;
};

typedef ustring zarqstring;

void swap(ustring& a, ustring& b) noexcept;

// Copies of lhs with rhs appended.
ustring operator+(const ustring& lhs, const ustring& rhs);
ustring operator+(const ustring& lhs, const char* rhs);
ustring operator+(const ustring& lhs, char rhs);
ustring operator+(const ustring& lhs, const char16_t* rhs);
ustring operator+(const ustring& lhs, char16_t rhs);

// Byte order of compare(): "B" sorts before "a". operator< is the key order
// of every map and set keyed by ustring. <= and >= have their usual meaning.
// strcmp compares unsigned bytes up to the first NUL, as compare() does;
// inline because every map lookup runs them.
inline bool operator==(const ustring& lhs, const ustring& rhs) noexcept {
  return std::strcmp(lhs.c_str_utf8(), rhs.c_str_utf8()) == 0;
}
inline bool operator!=(const ustring& lhs, const ustring& rhs) noexcept { return !(lhs == rhs); }
inline bool operator<(const ustring& lhs, const ustring& rhs) noexcept {
  return std::strcmp(lhs.c_str_utf8(), rhs.c_str_utf8()) < 0;
}
inline bool operator>(const ustring& lhs, const ustring& rhs) noexcept { return rhs < lhs; }
inline bool operator<=(const ustring& lhs, const ustring& rhs) noexcept { return !(rhs < lhs); }
inline bool operator>=(const ustring& lhs, const ustring& rhs) noexcept { return !(lhs < rhs); }
// Against a NUL-terminated text without building a ustring (null is "").
inline bool operator==(const ustring& lhs, const char* rhs) noexcept {
  return std::strcmp(lhs.c_str_utf8(), rhs ? rhs : "") == 0;
}
inline bool operator!=(const ustring& lhs, const char* rhs) noexcept { return !(lhs == rhs); }

// The same order as operator<, usable with `const char*` keys as well:
// std::map<ustring, V, ustring_less>::find("name") looks up without
// building a ustring (no allocation). A null `const char*` is "".
struct ustring_less {
  using is_transparent = void;
  bool operator()(const ustring& a, const ustring& b) const noexcept { return a < b; }
  bool operator()(const ustring& a, const char* b) const noexcept {
    return std::strcmp(a.c_str_utf8(), b ? b : "") < 0;
  }
  bool operator()(const char* a, const ustring& b) const noexcept {
    return std::strcmp(a ? a : "", b.c_str_utf8()) < 0;
  }
};

// Writes the bytes up to the first NUL.
std::ostream& operator<<(std::ostream& os, const ustring& x);
// Reads one whitespace-delimited word and assigns it.
std::istream& operator>>(std::istream& is, ustring& x);

#endif  // FOUNDATION_USTRING_H_
