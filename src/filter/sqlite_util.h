// Owning handles for what the SQLite C interface hands out, and column
// readers shared by the two databases of this library.
#ifndef FILTER_SQLITE_UTIL_H_
#define FILTER_SQLITE_UTIL_H_

#include <sqlite3.h>

#include <cstdint>
#include <memory>

#include "foundation/ustring.h"

namespace sqlite_util {

struct Free {
  void operator()(void* p) const { sqlite3_free(p); }
};
// Text from sqlite3_mprintf or an error message from sqlite3_exec.
using Text = std::unique_ptr<char, Free>;

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

// A text column; NULL reads as "".
inline ustring ColumnText(sqlite3_stmt* s, int col) {
  const unsigned char* p = sqlite3_column_text(s, col);
  return ustring(p ? reinterpret_cast<const char*>(p) : "");
}

// An integer column stored from an unsigned value below 2^63.
inline uint64_t ColumnU64(sqlite3_stmt* s, int col) {
  return static_cast<uint64_t>(sqlite3_column_int64(s, col));
}

// sqlite3_exec's message, or "" when it gave none.
inline const char* Message(const Text& errmsg) { return errmsg ? errmsg.get() : ""; }

// Closes a connection that may still have statements open (sqlite3_close_v2
// defers the close until they are finalised). Null is fine.
inline void Close(sqlite3* db) {
  // Nothing useful can be done when the close itself fails.
  (void)sqlite3_close_v2(db);
}

}  // namespace sqlite_util

#endif  // FILTER_SQLITE_UTIL_H_
