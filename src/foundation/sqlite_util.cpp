#include "foundation/sqlite_util.h"

#include "foundation/logger.h"

namespace sqlite_util {

int Exec(sqlite3* db, const char* sql, std::string* error) {
  char* raw = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &raw);
  Text owned(raw);
  if (rc != SQLITE_OK) *error = raw != nullptr ? raw : sqlite3_errstr(rc);
  return rc;
}

int Open(const char* path, int busy_timeout_ms, sqlite3** out, std::string* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path, &db);
  if (rc != SQLITE_OK) {
    *error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    // sqlite3_open hands out a handle even when it fails; it must be closed.
    Close(db);
    return rc;
  }
  sqlite3_busy_timeout(db, busy_timeout_ms);
  *out = db;
  return SQLITE_OK;
}

int OpenWithSchema(const OpenLog& log, const ustring& path, int busy_timeout_ms, const char* schema,
                   sqlite3** out, std::string* schema_error) {
  sqlite3* db = nullptr;
  std::string error;
  int rc = Open(path.c_str_utf8(), busy_timeout_ms, &db, &error);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, log.component, "[ERROR] %s(%d): %s: Failed to open database at '%s'. [%d] %s\n",
                   log.tag, __LINE__, log.owner, path.c_str_utf8(), rc, error.c_str());
    return -1;
  }
  rc = Exec(db, schema, &error);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, log.component,
                   "[ERROR] %s(%d): %s: Failed to initialize database at '%s'. [%d] %s\n", log.tag, __LINE__,
                   log.owner, path.c_str_utf8(), rc, error.c_str());
    if (schema_error != nullptr) *schema_error = error;
    Close(db);
    return -1;
  }
  *out = db;
  return 0;
}

}  // namespace sqlite_util
