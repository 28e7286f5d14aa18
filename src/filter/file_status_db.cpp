#include "filter/file_status_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "foundation/sqlite_util.h"
#include "filter/zarq_escape.h"
#include "foundation/logger.h"

namespace {

using sqlite_util::Statement;
using sqlite_util::Text;

constexpr char kComp[] = "fstat_db_debug";
constexpr int kBusyTimeoutMs = 300000;

constexpr char kSchemaTable[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = OFF; CREATE TABLE IF NOT EXISTS fstatinfo (        id   "
    "INTEGER PRIMARY KEY AUTOINCREMENT, \t\tpath text unique NOT NULL,  \t\tfileType integer NOT NULL,  "
    "\t\tsyncStatus integer NOT NULL  ); ";
constexpr char kSchemaIndex[] = "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";
constexpr char kPragmas[] = "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;";

struct State {
  std::mutex path_mutex;
  std::string m_fstatDBPath;  // UTF-8; guarded by path_mutex

  // Taken before path_mutex, never after it.
  std::mutex conn_mutex;
  sqlite3* conn = nullptr;  // open on conn_path, or null
  std::string conn_path;
  // The file the connection has open. A file removed or replaced at the
  // path makes the next operation reopen, as a connection per row would.
  dev_t conn_dev = 0;
  ino_t conn_ino = 0;

  ~State() { sqlite_util::Close(conn); }
};

State& S() {
  static State state;
  return state;
}

std::string CurrentPath(State& s) {
  std::lock_guard<std::mutex> lock(s.path_mutex);
  return s.m_fstatDBPath;
}

// The stored form: "/" turned into "\\".
ustring Stored(const ustring& path) {
  ustring p(path);
  p.replace('/', '\\');
  return p;
}

// Whether the file now at conn_path is the one the connection has open.
bool SameFile(const State& s) {
  struct stat st;
  return stat(s.conn_path.c_str(), &st) == 0 && st.st_dev == s.conn_dev && st.st_ino == s.conn_ino;
}

void Keep(State& s, sqlite3* db, const std::string& path) {
  s.conn = db;
  s.conn_path = path;
  struct stat st;
  // Unknown identity (0, 0) never matches: the next operation reopens.
  bool known = stat(path.c_str(), &st) == 0;
  s.conn_dev = known ? st.st_dev : 0;
  s.conn_ino = known ? st.st_ino : 0;
}

void Disconnect(State& s) {
  sqlite_util::Close(s.conn);
  s.conn = nullptr;
  s.conn_path.clear();
}

// Which open-failure message the operation logs.
enum OpenMessage { kOpenLower, kOpenUpper, kOpenPlain };

// With conn_mutex held: the kept connection to the current path, opened
// when there is none, the path changed or the file at it is another one. 0 with *db; -1 (logged) when the
// path is empty; SQLite's positive code (logged) when the open fails.
int Connect(State& s, OpenMessage message, sqlite3** db) {
  std::string path = CurrentPath(s);
  if (path.empty()) {
    Disconnect(s);
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): fstat-db path is empty.\n", __LINE__);
    return -1;
  }
  if (s.conn != nullptr && (s.conn_path != path || !SameFile(s))) Disconnect(s);
  if (s.conn == nullptr) {
    sqlite3* handle = nullptr;
    std::string error;
    // The timeout first, so that the pragmas wait for another writer too.
    int rc = sqlite_util::Open(path.c_str(), kBusyTimeoutMs, &handle, &error);
    if (rc != SQLITE_OK) {
      const char* msg = error.c_str();
      switch (message) {
        case kOpenLower:
          Logger::LogMsg(
              Logger::L_ERR, kComp,
              "[ERROR] file-status-db(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n", __LINE__,
              path.c_str(), rc, msg);
          break;
        case kOpenUpper:
          Logger::LogMsg(
              Logger::L_ERR, kComp,
              "[ERROR] file-status-db(%d): Open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n", __LINE__,
              path.c_str(), rc, msg);
          break;
        case kOpenPlain:
          Logger::LogMsg(Logger::L_ERR, kComp,
                         "[ERROR] file-status-db(%d): FileStatusDB: failed to open database (%s)\n", __LINE__,
                         path.c_str());
          break;
      }
      return rc;
    }
    // The pragmas only tune the connection: a failure leaves it usable.
    (void)sqlite3_exec(handle, kPragmas, nullptr, nullptr, nullptr);
    Keep(s, handle, path);
  }
  *db = s.conn;
  return 0;
}

// Runs one row statement (set or remove): 0, or the open's or the
// statement's SQLite code, or -1 when the path is empty.
int RunRowStatement(const char* sql, OpenMessage message) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.conn_mutex);
  sqlite3* db = nullptr;
  int rc = Connect(s, message, &db);
  if (rc != 0) return rc;
  std::string error;
  rc = sqlite_util::Exec(db, sql, &error);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] file-status-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", __LINE__, rc,
                   error.c_str());
    // A fresh connection next time, as a connection per row would have.
    Disconnect(s);
  }
  return rc;
}

// RunRowStatement of a statement formatted for the stored `path`; -1
// (logged) when the formatting failed.
int RunFormattedRow(const Text& sql, const ustring& path, OpenMessage message) {
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): sqlite3_mprintf error. filename:(%s)\n",
                   __LINE__, path.c_str_utf8());
    return -1;
  }
  return RunRowStatement(sql.get(), message);
}

// Runs a maintenance script: 0 or -1.
int RunScript(const char* sql) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.conn_mutex);
  sqlite3* db = nullptr;
  if (Connect(s, kOpenPlain, &db) != 0) return -1;
  std::string error;
  int rc = sqlite_util::Exec(db, sql, &error);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): FileStatusDB: sqlite3_exec: %s  (%d)\n",
                   __LINE__, error.c_str(), rc);
    Disconnect(s);
    return -1;
  }
  return 0;
}

// Runs a query, handing each row to `on_row` until it returns false: 0,
// SQLite's code of the open (logged) or of the query, or -1 for an empty
// path. A failed query's message goes to *query_error for the caller's log.
template <class OnRow>
int RunQuery(const char* sql, OnRow on_row, std::string* query_error) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.conn_mutex);
  sqlite3* db = nullptr;
  int rc = Connect(s, kOpenLower, &db);
  if (rc != 0) return rc;
  sqlite3_stmt* raw = nullptr;
  rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  Statement stmt(raw);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      if (!on_row(stmt.get())) break;
    }
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return 0;
  }
  *query_error = sqlite3_errmsg(db);
  stmt.reset();
  Disconnect(s);
  return rc;
}

FileStatusInfo ReadRow(sqlite3_stmt* stmt) {
  // select * gives id, path, fileType, syncStatus.
  FileStatusInfo row;
  row.path = sqlite_util::ColumnText(stmt, 1);
  row.fileType = sqlite3_column_int(stmt, 2);
  row.syncStatus = sqlite3_column_int(stmt, 3);
  return row;
}

void LogQueryFailure(const char* sql, int rc, const std::string& error) {
  Logger::LogMsg(Logger::L_ERR, kComp,
                 "[ERROR] file-status-db(%d): get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", __LINE__,
                 sql, rc, error.c_str());
}

}  // namespace

int FileStatusDB::initialize(const ustring& path) {
  if (path.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): fstat-db path is empty.\n", __LINE__);
    return -1;
  }
  State& s = S();
  std::lock_guard<std::mutex> conn_lock(s.conn_mutex);
  {
    std::lock_guard<std::mutex> lock(s.path_mutex);
    s.m_fstatDBPath = path.c_str_utf8();
  }
  Disconnect(s);
  sqlite3* db = nullptr;
  std::string error;
  if (sqlite_util::Open(path.c_str_utf8(), kBusyTimeoutMs, &db, &error) != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] file-status-db(%d): open db failed. db-path:[%s] errmsg:[%s]\n", __LINE__,
                   path.c_str_utf8(), error.c_str());
    return -1;
  }
  for (const char* cmd : {kSchemaTable, kSchemaIndex}) {
    if (sqlite_util::Exec(db, cmd, &error) != SQLITE_OK) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] file-status-db(%d): sqlite3_exec error. cmd:(%s)  error:(%s)\n", __LINE__, cmd,
                     error.c_str());
      sqlite_util::Close(db);
      return -1;
    }
  }
  // The schema script set WAL and synchronous OFF on this connection.
  Keep(s, db, path.c_str_utf8());
  return 0;
}

void FileStatusDB::destroy() {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.path_mutex);
    s.m_fstatDBPath.clear();
  }
  std::lock_guard<std::mutex> conn_lock(s.conn_mutex);
  Disconnect(s);
}

FileStatusDB::FileStatusDB(const ustring& path) {
  // The constructor has no result; initialize has logged any failure.
  (void)initialize(path);
}

int FileStatusDB::removeAllEntry() { return RunScript("DELETE FROM fstatinfo;ANALYZE;VACUUM;"); }

int FileStatusDB::updateAllSyncingEntry() {
  return RunScript("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2");
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
  ustring path = Stored(info.path);
  Text sql(sqlite3_mprintf(
      "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', %d, %d);",
      path.c_str_utf8(), info.fileType, info.syncStatus));
  return RunFormattedRow(sql, path, kOpenLower);
}

int FileStatusDB::rmFileStatByPath(const ustring& path_in) {
  ustring path = Stored(path_in);
  Text sql(sqlite3_mprintf("delete from fstatinfo where path = %Q;", path.c_str_utf8()));
  return RunFormattedRow(sql, path, kOpenUpper);
}

// The path itself and the two byte ranges below it (see kBelowTemplate), as
// three statements: each seeks the path index.
int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
  ustring path = Stored(info.path);
  ustring back_low = path + '\\';
  ustring back_high = path + ']';
  ustring slash_low = path + '/';
  ustring slash_high = path + '0';
  Text sql(
      sqlite3_mprintf("delete from fstatinfo where path = %Q;"
                      "delete from fstatinfo where path >= %Q and path < %Q;"
                      "delete from fstatinfo where path >= %Q and path < %Q;",
                      path.c_str_utf8(), back_low.c_str_utf8(), back_high.c_str_utf8(),
                      slash_low.c_str_utf8(), slash_high.c_str_utf8()));
  return RunFormattedRow(sql, path, kOpenLower);
}

bool FileStatusDB::isAnyFileSyncing() {
  Text sql(sqlite3_mprintf("select * from fstatinfo where syncStatus=%d limit 2",
                           static_cast<int>(FSTAT_SYNCING)));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): sqlite3_mprintf error.\n", __LINE__);
    return false;
  }
  bool any = false;
  std::string error;
  int rc = RunQuery(
      sql.get(),
      [&](sqlite3_stmt*) {
        any = true;
        return false;  // one row answers the question
      },
      &error);
  if (!error.empty()) LogQueryFailure(sql.get(), rc, error);
  return rc == 0 && any;
}

// Rows below a folder are found by exact byte comparison of the stored
// form, with either separator: the ranges [dir + "\\", dir + "]") and
// [dir + "/", dir + "0"). ']' and '0' are the bytes after '\\' and '/', and
// the column compares bytes (BINARY), so a range holds exactly the paths
// that begin with dir and the separator. LIKE would fold ASCII case and
// read "%" and "_" in names as wildcards.
bool FileStatusDB::isAnySubFileDirSyncing(const ustring& dir_in) {
  if (dir_in.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): prefix dirpath is empty.\n", __LINE__);
    return false;
  }
  ustring dir = Stored(dir_in);
  std::optional<std::string> sql = ZARQDBEscapeStringEX3(
      "select * from fstatinfo where ((path >= '@ZARQ:VAR' and path < '@ZARQ:VAR') or "
      "(path >= '@ZARQ:VAR' and path < '@ZARQ:VAR')) and syncStatus=@ZARQ:INT limit 2",
      {dir + '\\', dir + ']', dir + '/', dir + '0', static_cast<int>(FSTAT_SYNCING)});
  if (!sql) return false;
  bool any = false;
  std::string error;
  int rc = RunQuery(
      sql->c_str(),
      [&](sqlite3_stmt*) {
        any = true;
        return false;  // one row answers the question
      },
      &error);
  if (!error.empty()) LogQueryFailure(sql->c_str(), rc, error);
  return rc == 0 && any;
}

int FileStatusDB::getFileSyncStat(const ustring& path_in, FileStatusInfo* out) {
  if (path_in.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): filepath is empty.\n", __LINE__);
    return -1;
  }
  if (out == nullptr) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): FileStatusInfo  is NULL.\n", __LINE__);
    return -1;
  }
  *out = FileStatusInfo{};
  ustring path = Stored(path_in);
  std::optional<std::string> sql =
      ZARQDBEscapeStringEX3("select * from fstatinfo where path = '@ZARQ:VAR'", {path});
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): sqlite3_mprintf error. path:[%s]\n",
                   __LINE__, path.c_str_utf8());
    return -1;
  }
  std::string error;
  int rc = RunQuery(
      sql->c_str(),
      [&](sqlite3_stmt* stmt) {
        *out = ReadRow(stmt);
        return true;
      },
      &error);
  if (!error.empty()) {
    Logger::LogMsg(
        Logger::L_ERR, kComp,
        "[ERROR] file-status-db(%d): get fstat info failed. file-path:[%s] errCode:[%d] errmsg:[%s]\n",
        __LINE__, path.c_str_utf8(), rc, error.c_str());
  }
  return rc;
}

std::unique_ptr<FileStatusInfo[]> FileStatusDB::getFileSyncStats(const ustring& dir_in, int start, int limit,
                                                                 int& size) {
  size = 0;
  if (dir_in.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): dirpath is empty.\n", __LINE__);
    return nullptr;
  }
  ustring dir = Stored(dir_in);
  // Direct children: below the folder, with no separator after the one
  // that follows the folder's path (a 1-based byte offset into the path).
  long long rest = static_cast<long long>(dir.size()) + 2;
  std::optional<std::string> sql = ZARQDBEscapeStringEX3(
      "select * from fstatinfo where ((path >= '@ZARQ:VAR' and path < '@ZARQ:VAR') or "
      "(path >= '@ZARQ:VAR' and path < '@ZARQ:VAR')) and "
      "instr(substr(CAST(path AS BLOB), @ZARQ:LLINT), X'5C') = 0 and "
      "instr(substr(CAST(path AS BLOB), @ZARQ:LLINT), X'2F') = 0 "
      "order by path limit @ZARQ:INT, @ZARQ:INT ",
      {dir + '\\', dir + ']', dir + '/', dir + '0', rest, rest, start, limit});
  if (!sql) return nullptr;
  std::vector<FileStatusInfo> rows;
  std::string error;
  int rc = RunQuery(
      sql->c_str(),
      [&](sqlite3_stmt* stmt) {
        rows.push_back(ReadRow(stmt));
        return true;
      },
      &error);
  if (!error.empty()) LogQueryFailure(sql->c_str(), rc, error);
  if (rc != 0 || rows.empty()) return nullptr;
  std::unique_ptr<FileStatusInfo[]> out(new (std::nothrow) FileStatusInfo[rows.size()]);
  if (!out) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): Don't have enough to show file status",
                   __LINE__);
    return nullptr;
  }
  for (size_t i = 0; i < rows.size(); ++i) out[i] = std::move(rows[i]);
  size = static_cast<int>(rows.size());
  return out;
}
