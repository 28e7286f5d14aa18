// Reader of key=value files: the daemon's configuration file and the
// log-level file.
#ifndef FOUNDATION_CONFIG_H_
#define FOUNDATION_CONFIG_H_

#include <map>

#include "foundation/ustring.h"

// Line syntax (blanks are the bytes 0x09..0x0D and 0x20):
//   [blanks] key [blanks] = [blanks] value [blanks] [# comment]
// The key is a run of 0-9 A-Z a-z - _ (possibly empty). The value is either
// quoted with ' or " (any bytes >= 0x20 but 0x7F and the quote; the quotes are
// dropped) or a run of bytes > 0x20 but 0x7F ("#" included). Lines that are
// empty, blank, a "#" comment, or a key directly followed by "#" (or by the
// end of the file) are skipped. Anything else is a bad line.
//
// Not thread-safe; one thread uses an object at a time.
class Config {
 public:
  // Results of parse.
  enum { OK = 0, EMPTY = 1, INVALID = 2 };

  using const_iterator = std::map<ustring, ustring>::const_iterator;

  // Longest line, without its end of line; a longer one is a bad line.
  static constexpr int kMaxLine = 8191;

  // Reads the file at `path` and adds its entries to the store (a key read
  // again replaces its value). Returns 0 when the whole file was read. Returns
  // -1 with the store untouched when the path is empty or the file cannot be
  // opened or read (a folder, for one). Returns -1 with the store emptied,
  // earlier reads included, at the first bad line.
  int read(const ustring& path);

  // The value of `key` read as a decimal int after optional blanks and sign;
  // 0 when it does not begin with a number. A missing key gives 0 and is
  // added with an empty value.
  int get_int(const ustring& key);

  // The entries in key order (byte order).
  const_iterator begin() const { return store.begin(); }
  const_iterator end() const { return store.end(); }

  // Parses one line: the `len` bytes at `line` (NUL is an ordinary, bad
  // byte), which may end with "\n" or "\r\n". OK: `key` and `value` hold the
  // entry. EMPTY: nothing to store. INVALID: a bad line. `key` and `value`
  // are changed only for OK.
  static int parse(const char* line, int len, ustring& key, ustring& value);

 private:
  static bool is_space(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }
  static bool is_key_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           c == '-' || c == '_';
  }
  // A byte of a quoted value; an unquoted value also stops at a blank.
  static bool is_value_char(unsigned char c) { return c >= 0x20 && c != 0x7F; }

  std::map<ustring, ustring> store;
};

#endif  // FOUNDATION_CONFIG_H_
