// Helpers shared by the two source files of FileEventDB.
#ifndef SESSION_EVENT_DB_INTERNAL_H_
#define SESSION_EVENT_DB_INTERNAL_H_

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <limits>

#include "foundation/sqlite_util.h"
#include "foundation/ustring.h"

namespace event_db {

inline constexpr char kComp[] = "event_db_debug";

// sqlite3_mprintf is not format-checked: every 64-bit value goes through
// this cast so that "%llu" always meets an unsigned long long.
inline unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// SQLite integers are signed: a value above INT64_MAX is bound as INT64_MAX
// (sync ids stay below it; MAX_SYNC_ID is INT64_MAX itself).
inline sqlite3_int64 Clamp(uint64_t v) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<sqlite3_int64>::max());
  return static_cast<sqlite3_int64>(v > kMax ? kMax : v);
}

// One bound parameter: raw text bytes (never checked as UTF-8) or an
// integer. Implicit, so that callers list parameters as {path, time}.
struct Param {
  Param(const ustring& s) : text(s.c_str_utf8()), len(static_cast<int>(s.length())), value(0) {}
  Param(sqlite3_int64 v) : text(nullptr), len(0), value(v) {}
  const char* text;
  int len;
  sqlite3_int64 value;
};

// Binds `params` to ?1, ?2, ... of `stmt` (the texts are not copied: they
// must outlive the statement's run). SQLITE_OK or the failing code.
inline int BindAll(sqlite3_stmt* stmt, std::initializer_list<Param> params) {
  int i = 1;
  for (const Param& p : params) {
    int rc = p.text != nullptr ? sqlite3_bind_text(stmt, i, p.text, p.len, SQLITE_STATIC)
                               : sqlite3_bind_int64(stmt, i, p.value);
    if (rc != SQLITE_OK) return rc;
    ++i;
  }
  return SQLITE_OK;
}

// Each statement runner logs the statement at L_DEBUG (with its first text
// parameter, when it has one) before it runs it. They return SQLITE_OK or
// the failing SQLite code, with SQLite's message in `errmsg`; they log no
// failure (the callers' messages name the operation).

// Runs one or more statements through sqlite3_exec.
int Exec(sqlite3* db, const char* sql, ustring& errmsg);

// Prepares `sql` with `params` bound into `out`.
int Prepare(sqlite3* db, const char* sql, std::initializer_list<Param> params,
            sqlite_util::Statement& out, ustring& errmsg);

// Prepares, binds and steps one statement to its end.
int Run(sqlite3* db, const char* sql, std::initializer_list<Param> params, ustring& errmsg);

// Logs "[ERROR] event-db(<line>): <label> fail: <message> (<code>).".
void LogFailure(const char* label, int line, const ustring& errmsg, int rc);

// Exec, then LogFailure(label, line, ...) when it fails: 0 or -1.
int ExecOrLog(sqlite3* db, const char* sql, const char* label, int line);

// Rolls back the connection's open transaction, if any (some failures end
// it already).
void Rollback(sqlite3* db);

// Runs body(errmsg), which returns an SQLite code, between BEGIN IMMEDIATE
// and COMMIT. Any failure rolls the transaction back, so that neither an
// effect of the body nor an open transaction stays on the connection (an
// open one would swallow every later statement). 0, or -1 after LogFailure.
template <class Body>
int InTransaction(sqlite3* db, const char* label, int line, Body body) {
  ustring errmsg;
  int rc = Exec(db, "BEGIN IMMEDIATE;", errmsg);
  if (rc == SQLITE_OK) rc = body(errmsg);
  if (rc == SQLITE_OK) rc = Exec(db, "COMMIT;", errmsg);
  if (rc == SQLITE_OK) return 0;
  LogFailure(label, line, errmsg, rc);
  Rollback(db);
  return -1;
}

}  // namespace event_db

#endif  // SESSION_EVENT_DB_INTERNAL_H_
