// What every database of the daemon does the same way over the SQLite C
// interface: owning handles for what it hands out, column readers, and the
// open sequence (open, busy timeout, schema script) with its failure lines.
#ifndef FOUNDATION_SQLITE_UTIL_H_
#define FOUNDATION_SQLITE_UTIL_H_

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

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

// Closes a connection that may still have statements open (sqlite3_close_v2
// defers the close until they are finalised). Null is fine.
inline void Close(sqlite3* db) {
  // Nothing useful can be done when the close itself fails.
  (void)sqlite3_close_v2(db);
}

// Runs `sql` (one or more statements) through sqlite3_exec: SQLITE_OK, or
// the failing code with SQLite's message in *error (the code's generic text
// when SQLite gave none).
int Exec(sqlite3* db, const char* sql, std::string* error);

// Opens the database at `path` (UTF-8; created when missing) and sets its
// busy timeout, so that whatever runs next waits for another writer too.
// SQLITE_OK with the connection in *out; otherwise SQLite's code, its
// message in *error and nothing left open.
int Open(const char* path, int busy_timeout_ms, sqlite3** out, std::string* error);

// How a database names itself in the failure lines of OpenWithSchema.
struct OpenLog {
  const char* component;  // the log component, e.g. "filter_db_debug"
  const char* tag;        // the line's tag, e.g. "filter-db"
  const char* owner;      // the class, e.g. "FilterDB"
};

// Open, then the schema script, which runs on every open and so must keep
// an existing file's rows. 0 with the connection in *out. Otherwise -1 after
// logging at L_ERR, with `path`, SQLite's code and message, one of
//   "[ERROR] <tag>(<line>): <owner>: Failed to open database at '<path>'. [<code>] <message>"
//   "[ERROR] <tag>(<line>): <owner>: Failed to initialize database at '<path>'. [<code>] <message>"
// and the connection closed (which also rolls back the script's open
// transaction). A failed script's message also goes to *schema_error when
// that is not null, for a caller that logs it again on a line of its own.
int OpenWithSchema(const OpenLog& log, const ustring& path, int busy_timeout_ms, const char* schema,
                   sqlite3** out, std::string* schema_error = nullptr);

}  // namespace sqlite_util

#endif  // FOUNDATION_SQLITE_UTIL_H_
