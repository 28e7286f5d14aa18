#include "session/file_event_db.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "session/event_db_internal.h"
#include "session/signature_name.h"

using event_db::kComp;
using event_db::Param;
using event_db::U;
using sqlite_util::Statement;
using sqlite_util::Text;

namespace {

// Another connection to the file (a session removed and added again while a
// task still holds the old object, or the sqlite3 shell) holds its lock only
// briefly; waiting beats failing a record write.
constexpr int kBusyTimeoutMs = 60000;

// Run on every open; every table, index and trigger is created only when
// absent and the config rows are inserted "or IGNORE", so an existing file
// keeps its rows.
constexpr char kSchema[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS event_table ("
    "id integer primary key, "
    "fileType integer NOT NULL, "
    "isExist integer NOT NULL, "
    "syncID NUMERIC NOT NULL, "
    "maxSyncID NUMERIC NOT NULL, "
    "fileSize NUMERIC NOT NULL, "
    "fileModTime NUMERIC NOT NULL, "
    "fileCheckSum text NOT NULL, "
    "path text unique NOT NULL, "
    "macHash text NOT NULL DEFAULT '', "
    "inode INTEGER NOT NULL DEFAULT 0, "
    "execBit INTEGER NOT NULL DEFAULT 0, "
    "unixUid INTEGER NOT NULL DEFAULT 0, "
    "unixGid INTEGER NOT NULL DEFAULT 0, "
    "unixMode INTEGER NOT NULL DEFAULT 0, "
    "unixHash TEXT NOT NULL DEFAULT '', "
    "aclAttribute TEXT NOT NULL DEFAULT '', "
    "aclHash TEXT NOT NULL DEFAULT '', "
    "sharePrivDisabled INTEGER NOT NULL DEFAULT 0, "
    "sharePrivDenyList TEXT NOT NULL DEFAULT '', "
    "sharePrivRoList TEXT NOT NULL DEFAULT '', "
    "sharePrivRwList TEXT NOT NULL DEFAULT '', "
    "sharePrivHash TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS recycle_bin_table ("
    "id integer primary key, "
    "path text unique NOT NULL, "
    "fileSize NUMERIC NOT NULL, "
    "fileCheckSum text NOT NULL, "
    "macHash text default NULL, "
    "time NUMERIC NOT NULL);"
    "CREATE INDEX IF NOT EXISTS event_table_syncID_idx ON event_table(syncID);"
    "CREATE INDEX IF NOT EXISTS event_table_maxSyncID_idx ON event_table(maxSyncID);"
    "CREATE INDEX IF NOT EXISTS event_table_path_idx ON event_table(path);"
    "CREATE INDEX IF NOT EXISTS event_table_fileCheckSum_idx ON event_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS event_table_macHash_idx ON event_table(macHash);"
    "CREATE INDEX IF NOT EXISTS event_table_isExist_idx ON event_table(isExist);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_fileCheckSum_idx ON recycle_bin_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_macHash_idx ON recycle_bin_table(macHash);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_time_idx ON recycle_bin_table(time);"
    "INSERT or IGNORE into config_table VALUES ('sync_id', '0');"
    "INSERT or IGNORE into config_table VALUES ('version', 8);"
    "CREATE TRIGGER IF NOT EXISTS event_table_delete_trigger AFTER DELETE ON event_table "
    "BEGIN UPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END;"
    "COMMIT;";

// The record and everything below it. ?1 is the path as text; the range
// holds exactly the paths that begin with ?1 + "/" ('0' is the byte after
// '/'), whatever bytes the names hold.
constexpr char kDeleteSubtree[] =
    "DELETE FROM event_table WHERE path = ?1 OR (path > ?1 || '/' AND path < ?1 || '0');";

// 0 for SQLITE_OK; otherwise -1 after "[ERROR] event-db(<line>): sqlite3_exec:
// [<code>] <message>".
int ExecResult(int rc, const ustring& errmsg, int line) {
  if (rc == SQLITE_OK) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", line, rc,
                 errmsg.c_str_utf8());
  return -1;
}

// Runs `sql`, as ExecResult.
int ExecLogged(sqlite3* db, const char* sql, int line) {
  ustring errmsg;
  int rc = event_db::Exec(db, sql, errmsg);
  return ExecResult(rc, errmsg, line);
}

// Runs a record statement formatted for `path` (null when the formatting
// failed): 0, or -1 after its failure lines.
int ExecRecordStatement(sqlite3* db, const Text& sql, const char* path) {
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_mprintf failed\n", __LINE__);
    return -1;
  }
  ustring errmsg;
  int rc = event_db::Exec(db, sql.get(), errmsg);
  if (rc == SQLITE_OK) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_exec(%s) failed. Error code: %d.\n", __LINE__,
                 path, rc);
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): %s\n", __LINE__, errmsg.c_str_utf8());
  return -1;
}

ustring SignatureFile(const ustring& sign_folder, uint64_t row_id) {
  char name[kSignatureNameSize];
  path_convert(row_id, name);
  ustring path(sign_folder);
  path += '/';
  path += name;
  return path;
}

// The stored sync id exactly as setSyncId wrote it: the decimal text is
// parsed in full, so ids above INT64_MAX survive. Other values are read
// as SQLite converts them.
uint64_t ReadSyncId(sqlite3_stmt* s) {
  if (sqlite3_column_type(s, 0) == SQLITE_TEXT) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    if (text != nullptr && *text >= '0' && *text <= '9') {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(text, &end, 10);
      if (errno == 0 && *end == '\0') return v;
    }
  }
  return static_cast<uint64_t>(sqlite3_column_int64(s, 0));
}

}  // namespace

// ---- Statement runners ----

namespace event_db {

int Exec(sqlite3* db, const char* sql, ustring& errmsg) {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): exec: %s\n", __LINE__, sql);
  std::string error;
  int rc = sqlite_util::Exec(db, sql, &error);
  errmsg = error.c_str();
  return rc;
}

int Prepare(sqlite3* db, const char* sql, std::initializer_list<Param> params, Statement& out,
            ustring& errmsg) {
  if (Logger::IsEnabled(Logger::L_DEBUG, kComp)) {
    const char* first = "";
    for (const Param& p : params) {
      if (p.text != nullptr) {
        first = p.text;
        break;
      }
    }
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): prepare: %s [%s]\n", __LINE__, sql, first);
  }
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  out.reset(raw);
  if (rc == SQLITE_OK) rc = BindAll(raw, params);
  errmsg = rc == SQLITE_OK ? "" : sqlite3_errmsg(db);
  return rc;
}

int Run(sqlite3* db, const char* sql, std::initializer_list<Param> params, ustring& errmsg) {
  Statement stmt;
  int rc = Prepare(db, sql, params, stmt, errmsg);
  if (rc != SQLITE_OK) return rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (rc == SQLITE_DONE) return SQLITE_OK;
  errmsg = sqlite3_errmsg(db);
  return rc;
}

void LogFailure(const char* label, int line, const ustring& errmsg, int rc) {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): %s fail: %s (%d).\n", line, label,
                 errmsg.c_str_utf8(), rc);
}

int ExecOrLog(sqlite3* db, const char* sql, const char* label, int line) {
  ustring errmsg;
  int rc = Exec(db, sql, errmsg);
  if (rc == SQLITE_OK) return 0;
  LogFailure(label, line, errmsg, rc);
  return -1;
}

void Rollback(sqlite3* db) {
  if (sqlite3_get_autocommit(db) != 0) return;  // the failure ended it already
  ustring errmsg;
  int rc = Exec(db, "ROLLBACK;", errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): ROLLBACK failed: %s (%d).\n", __LINE__,
                   errmsg.c_str_utf8(), rc);
  }
}

}  // namespace event_db

// ---- Life cycle ----

FileEventDB::FileEventDB() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): event db <%p> is created\n", __LINE__,
                 static_cast<void*>(this));
}

FileEventDB::~FileEventDB() {
  destroy();
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): event db <%p> is deleted\n", __LINE__,
                 static_cast<void*>(this));
}

FileEventDB& FileEventDB::getInstance() {
  static FileEventDB instance;
  return instance;
}

int FileEventDB::initialize(const ustring& location) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db != nullptr) {
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): FileEventDB has been initialized (no-op)\n",
                   __LINE__);
    return 0;
  }
  // The busy timeout is set before the schema script, which takes the write lock.
  sqlite3* db = nullptr;
  if (sqlite_util::OpenWithSchema({kComp, "event-db", "FileEventDB"}, location, kBusyTimeoutMs, kSchema,
                                  &db) != 0) {
    return -1;
  }
  // SQLITE_UTF8 alone: the function deletes files, so it is neither
  // deterministic nor innocuous, and only this connection's trigger calls it.
  int rc = sqlite3_create_function(db, "remove_signature", 1, SQLITE_UTF8, &m_signPath,
                                   &FileEventDB::SQLRemoveSignatureFunction, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): FileEventDB: Failed to create function. %s (%d)\n",
                   __LINE__, sqlite3_errmsg(db), rc);
    sqlite_util::Close(db);
    return -1;
  }
  ustring errmsg;
  rc = event_db::Exec(db, "PRAGMA recursive_triggers = true;", errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] event-db(%d): FileEventDB: Failed to enable recursive triggers. %s (%d)\n", __LINE__,
                   errmsg.c_str_utf8(), rc);
    sqlite_util::Close(db);
    return -1;
  }
  m_db = db;
  m_eventDBPath = location;
  size_t slash = location.rfind('/');
  m_signPath = slash == ustring::npos ? location : location.substr(0, slash);
  m_signPath += "/sign";
  Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): FileEventDB has been initialized with location '%s'\n",
                 __LINE__, location.c_str_utf8());
  Logger::LogMsg(Logger::L_INFO, kComp,
                 "[INFO] event-db(%d): FileEventDB::m_signPath has been initialized with location '%s'\n", __LINE__,
                 m_signPath.c_str_utf8());
  return 0;
}

void FileEventDB::destroy() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  m_eventDBPath.clear();
  if (m_db == nullptr) {
    m_signPath.clear();
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): FileEventDB has been deinitialzed (no-op)\n",
                   __LINE__);
    return;
  }
  // The function's user data is m_signPath: close first, then empty it.
  sqlite_util::Close(m_db);
  m_db = nullptr;
  m_signPath.clear();
  Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): FileEventDB has been deinitialzed\n", __LINE__);
}

int FileEventDB::NotOpen(const char* op) const {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): FileEventDB %s: database is not open.\n", __LINE__,
                 op);
  return -1;
}

// ---- Records ----

int FileEventDB::setEventInfo(const DBFileInfo& e) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("setEventInfo");
  // A path that is not session-relative would become a record (and parent
  // records) of no file at all.
  if (e.path.empty() || e.path[0] != '/' || setSingleRecord(e) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): failed to set record of '%s'\n", __LINE__,
                   e.path.c_str_utf8());
    return -1;
  }
  if (updateParentRecord(e.path, e.maxSyncID, e.fileModTime) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): failed to update parent folder\n", __LINE__);
    return -1;
  }
  if (e.fileType == 0 && !e.signaturePath.empty() && setSignature(e.path, e.signaturePath) != 0) {
    Logger::LogMsg(Logger::L_WARNING, kComp, "[WARNING] event-db(%d): signature file of '%s' is lost\n", __LINE__,
                   e.path.c_str_utf8());
  }
  return 0;
}

int FileEventDB::setSingleRecord(const DBFileInfo& e) {
  const char* path = e.path.c_str_utf8();
  Text sql(sqlite3_mprintf(
      "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, fileCheckSum,  "
      "fileModTime, execBit, macHash,  unixUid, unixGid, unixMode, unixHash,  aclAttribute, aclHash,  "
      "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash,  inode, path) "
      "VALUES (1, %llu, %llu,  %d, %llu, %Q,  %u, %u, %Q,  %u, %u, %u, %Q,  %Q, %Q,  %u, %Q, %Q, %Q, %Q,  "
      "%llu, %Q); "
      "UPDATE event_table SET isExist  = 1, syncID = %llu, maxSyncID = %llu, fileType = %d, fileSize = %llu, "
      "fileCheckSum = %Q, fileModTime = %u, execBit = %u, macHash = %Q, unixUid = %u, unixGid = %u, "
      "unixMode = %u, unixHash = %Q, aclAttribute = %Q, aclHash = %Q, sharePrivDisabled = %u, "
      "sharePrivDenyList = %Q, sharePrivRoList = %Q, sharePrivRwList = %Q, sharePrivHash = %Q, inode = %llu, "
      "path = %Q WHERE changes() = 0 AND path = %Q;",
      U(e.syncID), U(e.maxSyncID), e.fileType, U(e.fileSize), e.fileCheckSum.c_str_utf8(), e.fileModTime,
      e.execBit, e.macHash.c_str_utf8(), e.unixUid, e.unixGid, e.unixMode, e.unixHash.c_str_utf8(),
      e.aclAttribute.c_str_utf8(), e.aclHash.c_str_utf8(), e.sharePrivDisabled, e.sharePrivDenyList.c_str_utf8(),
      e.sharePrivRoList.c_str_utf8(), e.sharePrivRwList.c_str_utf8(), e.sharePrivHash.c_str_utf8(), U(e.inode),
      path,
      // the UPDATE
      U(e.syncID), U(e.maxSyncID), e.fileType, U(e.fileSize), e.fileCheckSum.c_str_utf8(), e.fileModTime,
      e.execBit, e.macHash.c_str_utf8(), e.unixUid, e.unixGid, e.unixMode, e.unixHash.c_str_utf8(),
      e.aclAttribute.c_str_utf8(), e.aclHash.c_str_utf8(), e.sharePrivDisabled, e.sharePrivDenyList.c_str_utf8(),
      e.sharePrivRoList.c_str_utf8(), e.sharePrivRwList.c_str_utf8(), e.sharePrivHash.c_str_utf8(), U(e.inode),
      path, path));
  return ExecRecordStatement(m_db, sql, path);
}

int FileEventDB::updateParentRecord(const ustring& path, uint64_t sync_id, uint32_t mtime) {
  ustring cur = path;
  for (;;) {
    if (cur == "/") return 0;
    size_t slash = cur.rfind('/');
    if (slash == ustring::npos) return 0;
    cur = slash == 0 ? ustring("/") : cur.substr(0, slash);
    Text sql(sqlite3_mprintf(
        "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID,  fileType, fileSize, fileCheckSum,  "
        "inode, path,  fileModTime, execBit, macHash,  aclAttribute, aclHash,  unixUid, unixGid, unixMode, "
        "unixHash,  sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash) "
        "VALUES (1, 0, %llu,  1, 0, '',  0, %Q,  %u, 1, '',  '', '',  0, 0, 493, '',  0, '', '', '', ''); "
        "UPDATE event_table SET maxSyncID = %llu WHERE changes() = 0 AND path = %Q AND maxSyncID < %llu;",
        U(sync_id), cur.c_str_utf8(), mtime, U(sync_id), cur.c_str_utf8(), U(sync_id)));
    if (ExecRecordStatement(m_db, sql, cur.c_str_utf8()) != 0) return -1;
  }
}

int FileEventDB::setSignature(const ustring& path, const ustring& signature) {
  EventInfo info;
  if (contains(path.c_str_utf8(), info) < 1) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): missing record while updating signature (%s)\n",
                   __LINE__, path.c_str_utf8());
    return -1;
  }
  ustring dest = SignatureFile(m_signPath, info.row_id);
  ustring dir = dest.substr(0, dest.rfind('/'));
  if (FSMKDir(dir, true) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): Failed to Create folder at [%s].\n", __LINE__,
                   dir.c_str_utf8());
    return -1;
  }
  if (FSRename(signature, dest, true) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): Failed to rename from [%s] to [%s]\n.", __LINE__,
                   signature.c_str_utf8(), dest.c_str_utf8());
    // The record now describes other content than the signature already in
    // its place (if any); a delta made against that one would be wrong.
    if (FSRemove(dest, false) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): stale signature [%s] is not removed\n",
                     __LINE__, dest.c_str_utf8());
    }
    return -1;
  }
  return 0;
}

int FileEventDB::contains(const char* utf8_path, EventInfo& info) {
  static const char kSql[] = "SELECT id, syncID FROM event_table WHERE path = ?;";
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): prepare: %s [%s]\n", __LINE__, kSql, utf8_path);
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(m_db, kSql, -1, &raw, nullptr);
  Statement stmt(raw);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", __LINE__, rc,
                   sqlite3_errmsg(m_db));
    return -1;
  }
  rc = sqlite3_bind_text(raw, 1, utf8_path, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_bind_text: [%d] %s\n", __LINE__, rc,
                   sqlite3_errmsg(m_db));
    return -1;
  }
  rc = sqlite3_step(raw);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", __LINE__, rc,
                   sqlite3_errmsg(m_db));
    return -1;
  }
  info.row_id = sqlite_util::ColumnU64(raw, 0);
  info.sync_id = sqlite_util::ColumnU64(raw, 1);
  return 1;
}

int FileEventDB::getEventInfo(const ustring& strPath, DBFileInfo& info) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  info.path.clear();
  if (m_db == nullptr) return NotOpen("getEventInfo");
  if (strPath.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): The strpath is empty.\n", __LINE__);
    return -1;
  }
  Text sql(sqlite3_mprintf(
      "SELECT id, isExist, syncID, maxSyncID, fileType, fileSize, fileCheckSum, macHash, fileModTime, execBit, "
      "unixUid, unixGid, unixMode, unixHash, aclAttribute, aclHash, sharePrivDisabled, sharePrivDenyList, "
      "sharePrivRoList, sharePrivRwList, sharePrivHash, inode, path FROM event_table  where path = %Q",
      strPath.c_str_utf8()));
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_mprintf error. path:[%s]\n", __LINE__,
                   strPath.c_str_utf8());
    return -1;
  }
  Statement stmt;
  ustring errmsg;
  if (event_db::Prepare(m_db, sql.get(), {}, stmt, errmsg) != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] event-db(%d): sqlite3_prepare_v2 error. event-path: [%s], errmsg: [%s]\n", __LINE__,
                   strPath.c_str_utf8(), errmsg.c_str_utf8());
    return -1;
  }
  sqlite3_stmt* s = stmt.get();
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) {
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): No record for event-path: [%s]\n", __LINE__,
                   strPath.c_str_utf8());
    return 0;
  }
  if (rc != SQLITE_ROW) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step error. event-path: [%s], errmsg: [%s]\n",
                   __LINE__, strPath.c_str_utf8(), sqlite3_errmsg(m_db));
    return -1;
  }
  using sqlite_util::ColumnText;
  using sqlite_util::ColumnU64;
  auto u32 = [s](int col) { return static_cast<uint32_t>(sqlite3_column_int64(s, col)); };
  uint64_t row_id = ColumnU64(s, 0);
  info.isExist = sqlite3_column_int(s, 1);
  info.syncID = ColumnU64(s, 2);
  info.maxSyncID = ColumnU64(s, 3);
  info.fileType = sqlite3_column_int(s, 4);
  info.fileSize = ColumnU64(s, 5);
  info.fileCheckSum = ColumnText(s, 6);
  info.macHash = ColumnText(s, 7);
  info.fileModTime = u32(8);
  info.execBit = u32(9);
  info.unixUid = u32(10);
  info.unixGid = u32(11);
  info.unixMode = u32(12);
  info.unixHash = ColumnText(s, 13);
  info.aclAttribute = ColumnText(s, 14);
  info.aclHash = ColumnText(s, 15);
  info.sharePrivDisabled = u32(16);
  info.sharePrivDenyList = ColumnText(s, 17);
  info.sharePrivRoList = ColumnText(s, 18);
  info.sharePrivRwList = ColumnText(s, 19);
  info.sharePrivHash = ColumnText(s, 20);
  info.inode = ColumnU64(s, 21);
  info.path = ColumnText(s, 22);
  info.signaturePath = info.fileType != 0 ? ustring() : SignatureFile(m_signPath, row_id);
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): file type = [%d], signaturePath = [%s]\n", __LINE__,
                 info.fileType, info.signaturePath.c_str_utf8());
  return 1;
}

int FileEventDB::rmEventInfo(const ustring& path) {
  if (path == "/") return 0;  // the root record is never removed
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("rmEventInfo");
  // The empty path would select every record below the root.
  if (path.empty()) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): rmEventInfo: empty path\n", __LINE__);
    return -1;
  }
  ustring errmsg;
  int rc = event_db::Run(m_db, kDeleteSubtree, {path}, errmsg);
  return ExecResult(rc, errmsg, __LINE__);
}

int FileEventDB::rmAllFolders() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("rmAllFolders");
  // A fixed pattern: the names in the data play no part in it.
  return ExecLogged(m_db, "DELETE FROM event_table WHERE path GLOB '/*/*';", __LINE__);
}

int FileEventDB::clear() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("clear");
  ustring errmsg;
  int rc = event_db::Exec(m_db, "DELETE FROM event_table;", errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_exec: error code %d\n", __LINE__, rc);
    return -1;
  }
  return 0;
}

// ---- Sync id ----

int FileEventDB::getSyncId(uint64_t& sync_id) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getSyncId");
  Statement stmt;
  ustring errmsg;
  int rc = event_db::Prepare(m_db, "SELECT value FROM config_table WHERE key = 'sync_id';", {}, stmt, errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", __LINE__, rc,
                   errmsg.c_str_utf8());
    return -1;
  }
  rc = sqlite3_step(stmt.get());
  if (rc != SQLITE_ROW) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", __LINE__, rc,
                   sqlite3_errmsg(m_db));
    return -1;
  }
  sync_id = ReadSyncId(stmt.get());
  return 0;
}

int FileEventDB::setSyncId(uint64_t sync_id) {
  Text sql(sqlite3_mprintf("UPDATE config_table SET value = '%llu' WHERE key = 'sync_id';", U(sync_id)));
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("setSyncId");
  if (!sql) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_mprintf failed\n", __LINE__);
    return -1;
  }
  return ExecLogged(m_db, sql.get(), __LINE__);
}

int FileEventDB::getPathByInode(uint64_t, ustring&) { return -1; }

int FileEventDB::setPathInode(const ustring&, uint64_t) { return -1; }

// ---- remove_signature ----

void FileEventDB::SQLRemoveSignatureFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const ustring* sign = static_cast<const ustring*>(sqlite3_user_data(ctx));
  if (argc == 1 && !sign->empty()) {
    sqlite3_int64 id = sqlite3_value_int64(argv[0]);
    if (id != 0) {
      try {
        // A missing file counts as removed; a failure leaves an orphan file
        // that no record names, so the deletion goes on.
        (void)FSRemove(SignatureFile(*sign, static_cast<uint64_t>(id)), false);
      } catch (const std::bad_alloc&) {
        // No exception may cross SQLite's C frames.
        sqlite3_result_error_nomem(ctx);
        return;
      }
    }
  }
  sqlite3_result_int(ctx, 0);
}
