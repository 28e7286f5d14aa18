#include "filter/filter_db.h"

#include <string>

#include "filter/filter_codes.h"
#include "foundation/logger.h"
#include "foundation/sqlite_util.h"

namespace {

using sqlite_util::ColumnText;
using sqlite_util::ColumnU64;
using sqlite_util::Statement;
using sqlite_util::Text;

constexpr char kComp[] = "filter_db_debug";
constexpr int kBusyTimeoutMs = 300000;

// Every table and index is created only when absent and the version row is
// inserted "or IGNORE", so opening an existing file keeps its rows.
constexpr char kSchema[] =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;BEGIN;"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS white_list_table ("
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, "
    "filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_table ("
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, "
    "filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_range_table ("
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, "
    "filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_resume_table ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, "
    "filter_desc TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filtered_local_event_table ("
    "sess_id INTEGER NOT NULL, file_type INTEGER NOT NULL, is_exist INTEGER NOT NULL, "
    "path TEXT NOT NULL, "
    "sync_id NUMERIC NOT NULL, file_size NUMERIC NOT NULL, file_mod_time NUMERIC NOT NULL, "
    "file_checksum TEXT NOT NULL, base_name TEXT NOT NULL, "
    "win_hash TEXT DEFAULT NULL, mac_hash TEXT DEFAULT NULL, linux_hash TEXT DEFAULT NULL, "
    "zarq_hash TEXT DEFAULT NULL, "
    "inode INTEGER, filtered_type NUMERIC NOT NULL, "
    "PRIMARY KEY (sess_id, path));"
    "CREATE INDEX IF NOT EXISTS white_list_table_sess_id_idx ON white_list_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS white_list_table_type_idx ON white_list_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS white_list_table_desc_idx ON white_list_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_table_sess_id_idx ON filter_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_table_type_idx ON filter_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_table_desc_idx ON filter_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_sess_id_idx ON filter_range_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_type_idx ON filter_range_table (filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_desc_idx ON filter_range_table (filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_resume_table_sess_id_idx ON filter_resume_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_sess_id_idx "
    "ON filtered_local_event_table (sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_path_idx "
    "ON filtered_local_event_table (path);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_filtered_type_idx "
    "ON filtered_local_event_table (filtered_type);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_file_size_idx "
    "ON filtered_local_event_table (file_size);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_base_name_idx "
    "ON filtered_local_event_table (base_name);"
    "INSERT or IGNORE into config_table values ('version', 2);"
    "COMMIT;";

// sqlite3_mprintf is not format-checked: every 64-bit value goes through
// this cast so that "%llu" always meets an unsigned long long.
inline unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

void LogSql(const char* op, const char* sql, int line) {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] filter-db(%d): %s sql : %s\n", line, op, sql);
}

int MprintfFailed(int line) {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): FilterDB: Failed to sqlite3_mprintf.\n", line);
  return -1;
}

// Steps through every row, handing each to `on_row`. 0 at the end, -1
// (logged) when a step ends in an error.
template <class OnRow>
int StepAll(sqlite3_stmt* stmt, int line, OnRow on_row) {
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      on_row(stmt);
      continue;
    }
    if (rc == SQLITE_DONE) return 0;
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): sqlite3_step: %s (%d)\n", line,
                   sqlite3_errmsg(sqlite3_db_handle(stmt)), rc);
    return -1;
  }
}

// Steps once: 1 with a row, 0 when there is none, -1 (logged) on error.
int StepOne(sqlite3_stmt* stmt, int line) {
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return 1;
  if (rc == SQLITE_DONE) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): sqlite3_step: %s (%d)\n", line,
                 sqlite3_errmsg(sqlite3_db_handle(stmt)), rc);
  return -1;
}

void ReadFilteredEventTail(sqlite3_stmt* s, int first, FilterLocalEvent& e) {
  // Columns from file_checksum on, in the order both queries select them.
  e.file_checksum = ColumnText(s, first);
  e.base_name = ColumnText(s, first + 1);
  e.win_hash = ColumnText(s, first + 2);
  e.mac_hash = ColumnText(s, first + 3);
  e.linux_hash = ColumnText(s, first + 4);
  e.zarq_hash = ColumnText(s, first + 5);
  e.inode = ColumnU64(s, first + 6);
  e.filtered_type = sqlite3_column_int(s, first + 7);
  e.is_exist = sqlite3_column_int(s, first + 8);
}

// Runs `sql`: 0, or -1 after "[ERROR] filter-db(<line>): <prefix><op> fail:
// <message> (<code>)."
int ExecLogged(sqlite3* db, const char* prefix, const char* op, const char* sql) {
  std::string error;
  int rc = sqlite_util::Exec(db, sql, &error);
  if (rc == SQLITE_OK) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): %s%s fail: %s (%d).\n", __LINE__, prefix, op,
                 error.c_str(), rc);
  return -1;
}

// The tail of a statement formatted for `op`: -1 (logged) when the
// formatting failed; otherwise the statement is logged at L_DEBUG and run as
// FilterDB::ExecLocked runs it.
int RunFormatted(sqlite3* db, const char* op, const Text& sql, int line) {
  if (!sql) return MprintfFailed(line);
  LogSql(op, sql.get(), line);
  return ExecLogged(db, "FilterDB ", op, sql.get());
}

void LogUnknownType(int type, int line) {
  // The type is an int; the message prints it as the 64-bit value it widens to.
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): Unknow filter_type: %llu\n", line,
                 static_cast<unsigned long long>(static_cast<long long>(type)));
}

}  // namespace

FilterDB* FilterDB::getInstance() {
  static FilterDB instance;
  return &instance;
}

FilterDB::FilterDB() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] filter-db(%d): FilterDB constructed\n", __LINE__);
}

FilterDB::~FilterDB() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] filter-db(%d): FilterDB deconstructed\n", __LINE__);
}

int FilterDB::initialize(const ustring& path) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db != nullptr) {
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-db(%d): FilterDB has been initialized (no-op)\n",
                   __LINE__);
    return 0;
  }
  // The busy timeout is set before the schema script too, so that another
  // process holding the file briefly does not fail the open.
  sqlite3* db = nullptr;
  std::string schema_error;
  if (sqlite_util::OpenWithSchema({kComp, "filter-db", "FilterDB"}, path, kBusyTimeoutMs, kSchema, &db,
                                  &schema_error) != 0) {
    if (!schema_error.empty()) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): FilterDB init fail %s\n", __LINE__,
                     schema_error.c_str());
    }
    return -1;
  }
  m_db = db;
  m_filter_db_path = path;
  Logger::LogMsg(Logger::L_INFO, kComp,
                 "[INFO] filter-db(%d): FilterDB has been initialized with location '%s'\n", __LINE__,
                 path.c_str_utf8());
  return 0;
}

void FilterDB::destroy() {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) {
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-db(%d): FilterDB has been deinitialzed (no-op)\n",
                   __LINE__);
    return;
  }
  sqlite_util::Close(m_db);
  m_db = nullptr;
  m_filter_db_path.clear();
  Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-db(%d): FilterDB has been deinitialzed\n", __LINE__);
}

int FilterDB::NotOpen(const char* op) const {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): FilterDB %s: database is not open.\n",
                 __LINE__, op);
  return -1;
}

int FilterDB::ExecLocked(const char* op, const char* sql) { return ExecLogged(m_db, "FilterDB ", op, sql); }

// As ExecLocked, with the failure message that does not begin "FilterDB".
int FilterDB::ExecLockedPlain(const char* op, const char* sql) { return ExecLogged(m_db, "", op, sql); }

// `label` is the start of the failure message, e.g. "getSizeFilter failed".
int FilterDB::PrepareLocked(const char* label, const char* sql, sqlite3_stmt** stmt) {
  int rc = sqlite3_prepare_v2(m_db, sql, -1, stmt, nullptr);
  if (rc == SQLITE_OK) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): %s : %s (%d).\n", __LINE__, label,
                 sqlite3_errmsg(m_db), rc);
  return -1;
}

int FilterDB::setConfigItem(const ustring& key, const ustring& value) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setConfigItem");
  Text sql(sqlite3_mprintf("INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);",
                           key.c_str_utf8(), value.c_str_utf8()));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): FilterDB: sqlite3_mprintf failed.\n",
                   __LINE__);
    return -1;
  }
  return ExecLockedPlain("setConfigItem", sql.get());
}

int FilterDB::setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setWhiteListFilter");
  Text sql(
      sqlite3_mprintf("INSERT INTO white_list_table  (sess_id, sync_id, filter_type, filter_desc) VALUES "
                      "(%llu, %llu, %d, %Q)",
                      U(sess_id), U(sync_id), filter_type, desc.c_str_utf8()));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-db(%d): FilterDB: Failed to setWhiteListFilter sqlite3_mprintf.\n",
                   __LINE__);
    return -1;
  }
  LogSql("setWhiteListFilter", sql.get(), __LINE__);
  return ExecLocked("setWhiteListFilter", sql.get());
}

int FilterDB::setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setFilter");
  Text sql(sqlite3_mprintf(
      "INSERT INTO filter_table  (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %Q)",
      U(sess_id), U(sync_id), filter_type, desc.c_str_utf8()));
  return RunFormatted(m_db, "setFilter", sql, __LINE__);
}

// The limit is written as quoted text: unquoted, SQLite reads a literal of
// 2^63 or more as REAL and the TEXT column would hold "1.84467440737096e+19".
int FilterDB::setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setSizeFilter");
  Text sql(
      sqlite3_mprintf("INSERT INTO filter_range_table  (sess_id, sync_id, filter_type, filter_desc) "
                      "VALUES (%llu, %llu, %d, '%llu')",
                      U(sess_id), U(sync_id), static_cast<int>(FILTER_FILE_SIZE_SELECTIVE_SYNC), U(size)));
  return RunFormatted(m_db, "setSizeFilter", sql, __LINE__);
}

int FilterDB::rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring& desc) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("rmWhiteListFilter");
  Text sql(sqlite3_mprintf(
      "DELETE FROM white_list_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)",
      U(sess_id), filter_type, desc.c_str_utf8()));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-db(%d): FilterDB: Failed to rmWhiteListFilter sqlite3_mprintf.\n",
                   __LINE__);
    return -1;
  }
  LogSql("rmWhiteListFilter", sql.get(), __LINE__);
  return ExecLocked("rmWhiteListFilter", sql.get());
}

int FilterDB::rmFilter(uint64_t sess_id, int filter_type, const ustring& desc) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("rmFilter");
  Text sql(sqlite3_mprintf(
      "DELETE FROM filter_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)", U(sess_id),
      filter_type, desc.c_str_utf8()));
  return RunFormatted(m_db, "rmFilter", sql, __LINE__);
}

int FilterDB::rmSizeFilter(uint64_t sess_id, uint64_t size) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("rmSizeFilter");
  Text sql(sqlite3_mprintf(
      "DELETE FROM filter_range_table WHERE sess_id = %llu AND filter_type = %d AND filter_desc = '%llu';",
      U(sess_id), static_cast<int>(FILTER_FILE_SIZE_SELECTIVE_SYNC), U(size)));
  return RunFormatted(m_db, "rmSizeFilter", sql, __LINE__);
}

int FilterDB::getSizeFilter(uint64_t sess_id, FilterInfo& out) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("getSizeFilter");
  Text sql(
      sqlite3_mprintf("SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id = %llu AND "
                      "filter_type = %d;",
                      U(sess_id), static_cast<int>(FILTER_FILE_SIZE_SELECTIVE_SYNC)));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("getSizeFilter", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("getSizeFilter failed", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  int found = StepOne(stmt.get(), __LINE__);
  if (found < 0) return -1;
  if (found == 1) {
    out.filter_desc = ColumnText(stmt.get(), 0);
    out.sync_id = ColumnU64(stmt.get(), 1);
  }
  return 0;
}

int FilterDB::updateSizeFilter(uint64_t sess_id, uint64_t from, uint64_t to) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("updateSizeFilter");
  Text sql(sqlite3_mprintf(
      "UPDATE filter_range_table SET filter_desc = '%llu' WHERE sess_id = %llu AND filter_type = %d AND "
      "filter_desc = '%llu'",
      U(to), U(sess_id), static_cast<int>(FILTER_FILE_SIZE_SELECTIVE_SYNC), U(from)));
  return RunFormatted(m_db, "updateSizeFilter", sql, __LINE__);
}

int FilterDB::setResumeCondition(const ResumeCondition& c, uint64_t& row_id) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setResumeCondition");
  Text sql(
      sqlite3_mprintf("INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, filter_desc) VALUES "
                      "(%llu, %llu, %d, %Q);",
                      U(c.sess_id), U(c.sync_id), c.filter_type, c.filter_desc.c_str_utf8()));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("setResumeCondition", sql.get(), __LINE__);
  if (ExecLocked("setResumeCondition", sql.get()) != 0) return -1;
  // Read under the same lock: no other insert can come between.
  row_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
  return 0;
}

int FilterDB::getResumeCondition(uint64_t& row_id, ResumeCondition& c) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("getResumeCondition");
  Text sql(sqlite3_mprintf(
      "SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table ORDER BY id LIMIT 1;"));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("getResumeCondition", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("getResumeCondition failed", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  int found = StepOne(stmt.get(), __LINE__);
  if (found != 1) return found;
  row_id = ColumnU64(stmt.get(), 0);
  c.sess_id = ColumnU64(stmt.get(), 1);
  c.sync_id = ColumnU64(stmt.get(), 2);
  c.filter_type = sqlite3_column_int(stmt.get(), 3);
  c.filter_desc = ColumnText(stmt.get(), 4);
  return 1;
}

int FilterDB::getResumeConditionsBySession(uint64_t sess_id,
                                           std::list<std::pair<uint64_t, ResumeCondition>>& out) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("getResumeConditionsBySession");
  // Ordered by id: the progress cache is filled from this list and must
  // hand out the oldest condition first.
  Text sql(
      sqlite3_mprintf("SELECT id, sync_id, filter_type, filter_desc FROM filter_resume_table WHERE sess_id = "
                      "%llu ORDER BY id;",
                      U(sess_id)));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("getResumeConditionBySession", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("getResumeConditionBySession failed", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  return StepAll(stmt.get(), __LINE__, [&](sqlite3_stmt* s) {
    ResumeCondition c;
    c.sess_id = sess_id;
    c.sync_id = ColumnU64(s, 1);
    c.filter_type = sqlite3_column_int(s, 2);
    c.filter_desc = ColumnText(s, 3);
    out.emplace_back(ColumnU64(s, 0), std::move(c));
  });
}

int FilterDB::rmResumeCondition(uint64_t row_id) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("rmResumeCondition");
  Text sql(sqlite3_mprintf("DELETE FROM filter_resume_table WHERE id = %llu;", U(row_id)));
  return RunFormatted(m_db, "rmResumeCondition", sql, __LINE__);
}

int FilterDB::updateResumeSyncId(uint64_t row_id, uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("updateResumeSyncId");
  Text sql(sqlite3_mprintf("UPDATE filter_resume_table SET sync_id = %llu WHERE id = %llu;", U(sync_id),
                           U(row_id)));
  return RunFormatted(m_db, "updateResumeSyncId", sql, __LINE__);
}

int FilterDB::setLocalFilteredEvent(const FilterLocalEvent& e) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("setLocalFilteredEvent");
  Text sql(sqlite3_mprintf(
      "INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, sync_id, path, "
      "file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, linux_hash, zarq_hash, inode, "
      "filtered_type) VALUES (%llu, %d, %d, %llu, %Q, %llu, %u, %Q, %Q, %Q, %Q, %Q, %Q, %llu, %d)",
      U(e.sess_id), e.file_type, e.is_exist, U(e.sync_id), e.path.c_str_utf8(), U(e.file_size),
      static_cast<unsigned>(e.file_mod_time), e.file_checksum.c_str_utf8(), e.base_name.c_str_utf8(),
      e.win_hash.c_str_utf8(), e.mac_hash.c_str_utf8(), e.linux_hash.c_str_utf8(), e.zarq_hash.c_str_utf8(),
      U(e.inode), e.filtered_type));
  return RunFormatted(m_db, "setLocalFilteredEvent", sql, __LINE__);
}

int FilterDB::dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& out) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("dumpLocalFilteredEvent");
  Text sql(sqlite3_mprintf(
      "SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, "
      "mac_hash, linux_hash, zarq_hash, inode, filtered_type, is_exist FROM filtered_local_event_table "
      "WHERE sess_id = %llu;",
      U(sess_id)));
  if (!sql) return MprintfFailed(__LINE__);
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] filter-db(%d): getLocalFilteredEvent query_sql : %s\n",
                 __LINE__, sql.get());
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("getLocalFilteredEvent failed", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  return StepAll(stmt.get(), __LINE__, [&](sqlite3_stmt* s) {
    FilterLocalEvent e;
    e.path = ColumnText(s, 0);
    e.file_type = sqlite3_column_int(s, 1);
    e.sync_id = ColumnU64(s, 2);
    e.file_size = ColumnU64(s, 3);
    e.file_mod_time = static_cast<uint32_t>(sqlite3_column_int64(s, 4));
    ReadFilteredEventTail(s, 5, e);
    e.sess_id = sess_id;
    e.event_type = 0;
    out.insert(std::move(e));
  });
}

int FilterDB::getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& e) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("getLocalFilteredEventByPath");
  Text sql(sqlite3_mprintf(
      "SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, "
      "linux_hash, zarq_hash, inode, filtered_type, is_exist FROM filtered_local_event_table WHERE sess_id = "
      "%llu AND path = %Q;",
      U(sess_id), path.c_str_utf8()));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("getLocalFilteredEventByPath", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("getLocalFilteredEventByPath failed", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  int found = StepOne(stmt.get(), __LINE__);
  if (found != 1) return found;
  sqlite3_stmt* s = stmt.get();
  e.file_type = sqlite3_column_int(s, 0);
  e.sync_id = ColumnU64(s, 1);
  e.file_size = ColumnU64(s, 2);
  e.file_mod_time = static_cast<uint32_t>(sqlite3_column_int64(s, 3));
  ReadFilteredEventTail(s, 4, e);
  e.sess_id = sess_id;
  e.path = path;
  return 1;
}

// A subtree is the path itself plus the byte range [path + "/", path + "0"):
// '0' is the byte after '/', and the column's BINARY collation compares
// bytes, so the range holds exactly the paths that begin with path + "/".
// A GLOB pattern would read "*", "?" and "[" in the path as wildcards and
// delete other paths' rows. Two statements, because one with OR makes the
// planner scan every row of the session instead of seeking twice.
int FilterDB::rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("rmLocalFilteredEventByPath");
  ustring low = path + '/';
  ustring high = path + '0';
  Text sql(sqlite3_mprintf(
      "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND path = %Q;"
      "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND path >= %Q AND path < %Q;",
      U(sess_id), path.c_str_utf8(), U(sess_id), low.c_str_utf8(), high.c_str_utf8()));
  return RunFormatted(m_db, "rmLocalFilteredEventByPath", sql, __LINE__);
}

int FilterDB::cleanLocalFilteredEventBySession(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("cleanLocalFilteredEventBySession");
  Text sql(sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %llu;", U(sess_id)));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): FilterDB: sqlite3_mprintf failed.\n",
                   __LINE__);
    return -1;
  }
  return ExecLocked("cleanLocalFilteredEventBySession", sql.get());
}

int FilterDB::ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& out) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("ConvertWhiteFilterDBToSelectiveSyncInfo");
  Text sql(sqlite3_mprintf(
      "SELECT filter_type, sync_id, filter_desc FROM white_list_table WHERE sess_id = %llu;", U(sess_id)));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("ConvertWhiteFilterDBToSelectiveSyncInfo", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("ConvertWhiteFilterDBToSelectiveSyncInfo failed1", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  return StepAll(stmt.get(), __LINE__, [&](sqlite3_stmt* s) {
    int type = sqlite3_column_int(s, 0);
    if (type != FILTER_EXT_SELECTIVE_SYNC) {
      LogUnknownType(type, __LINE__);
      return;
    }
    out.white_ext.insert(FilterInfo{ColumnU64(s, 1), ColumnText(s, 2)});
  });
}

int FilterDB::ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& out) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("ConvertFilterDBToSelectiveSyncInfo");
  Text sql(sqlite3_mprintf(
      "SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE sess_id = %llu  UNION ALL SELECT "
      "filter_type, sync_id, filter_desc FROM filter_range_table WHERE sess_id = %llu;",
      U(sess_id), U(sess_id)));
  if (!sql) return MprintfFailed(__LINE__);
  LogSql("ConvertFilterDBToSelectiveSyncInfo", sql.get(), __LINE__);
  sqlite3_stmt* raw = nullptr;
  if (PrepareLocked("ConvertFilterDBToSelectiveSyncInfo failed1", sql.get(), &raw) != 0) return -1;
  Statement stmt(raw);
  return StepAll(stmt.get(), __LINE__, [&](sqlite3_stmt* s) {
    int type = sqlite3_column_int(s, 0);
    FilterInfo info{ColumnU64(s, 1), ColumnText(s, 2)};
    switch (type) {
      case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
        out.black_prefix.insert(std::move(info));
        break;
      case FILTER_NAME_SELECTIVE_SYNC:
        out.black_name.insert(std::move(info));
        break;
      case FILTER_EXT_SELECTIVE_SYNC:
        out.black_ext.insert(std::move(info));
        break;
      case FILTER_FILE_SIZE_SELECTIVE_SYNC:
        out.black_size = std::move(info);
        break;
      default:
        LogUnknownType(type, __LINE__);
        break;
    }
  });
}

int FilterDB::checkEventOverflow(int& stat) {
  std::lock_guard<std::mutex> lock(m_db_mutex);
  if (m_db == nullptr) return NotOpen("checkEventOverflow");
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(m_db, "SELECT value FROM config_table WHERE key = 'event_overflow';", -1, &raw,
                              nullptr);
  Statement stmt(raw);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-db(%d): checkEventOverflow: sqlite3_prepare_v2: %s (%d)\n", __LINE__,
                   sqlite3_errmsg(m_db), rc);
    return -1;
  }
  rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) {
    stat = sqlite3_column_int(stmt.get(), 0);
    return 0;
  }
  if (rc == SQLITE_DONE) {
    stat = E_OVERFLOW;
    return 0;
  }
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-db(%d): checkEventOverflow: sqlite3_step: %s (%d)\n",
                 __LINE__, sqlite3_errmsg(m_db), rc);
  return -1;
}
