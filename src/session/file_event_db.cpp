#include "session/file_event_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "platform/unique_fd.h"
#include "session/event_db_internal.h"
#include "session/signature_name.h"

using event_db::kComp;
using event_db::Param;
using event_db::U;
using sqlite_util::Statement;
using sqlite_util::Text;

namespace {

// Removes every regular file directly inside the signature folder `dir`
// whose name no record's signature can have: temporary signatures of
// transfers that a kill cut short (their owners unlink them otherwise).
// Links and other entries stay, the folder's sub-folders are never entered,
// and a folder that is a link is not swept. Failures are logged; none stops
// the open.
void SweepTemporarySignatures(const ustring& dir) {
  platform::UniqueFd fd(open(dir.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    // Absent until its creator makes it: nothing to sweep.
    if (errno != ENOENT) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): cannot open signature folder '%s': errno %d\n",
                     __LINE__, dir.c_str_utf8(), errno);
    }
    return;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> listing(fdopendir(fd.get()), &closedir);
  if (listing == nullptr) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): cannot list signature folder '%s': errno %d\n",
                   __LINE__, dir.c_str_utf8(), errno);
    return;
  }
  const int dfd = fd.release();  // closed with the listing
  while (const dirent* entry = readdir(listing.get())) {
    if (IsSignatureFileName(entry->d_name)) continue;
    struct stat st;
    if (fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlinkat(dfd, entry->d_name, 0) == 0) {
      Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] event-db(%d): removed stale signature file '%s/%s'\n", __LINE__,
                     dir.c_str_utf8(), entry->d_name);
    } else if (errno != ENOENT) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): cannot remove stale signature file '%s/%s': errno %d\n",
                     __LINE__, dir.c_str_utf8(), entry->d_name, errno);
    }
  }
}

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

// The statements of setEventInfo, by FileEventDB::KeptSql. A record write
// inserts the row, or updates every column of the existing one (keeping its
// id); ?21 is the path. A folder record of an ancestor is inserted when
// missing, else only its maxSyncID rises.
constexpr const char* kKeptSql[] = {
    "BEGIN IMMEDIATE;",
    "COMMIT;",
    "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID, fileType, fileSize, fileCheckSum, "
    "fileModTime, execBit, macHash, unixUid, unixGid, unixMode, unixHash, aclAttribute, aclHash, "
    "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash, inode, path) "
    "VALUES (1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21);",
    "UPDATE event_table SET syncID = ?1, maxSyncID = ?2, fileType = ?3, fileSize = ?4, fileModTime = ?6, "
    "execBit = ?7, unixUid = ?9, unixGid = ?10, unixMode = ?11, unixHash = ?12, aclAttribute = ?13, "
    "aclHash = ?14, sharePrivDisabled = ?15, sharePrivDenyList = ?16, sharePrivRoList = ?17, "
    "sharePrivRwList = ?18, sharePrivHash = ?19, inode = ?20 WHERE path = ?21;",
    // SQLite rewrites the index entries of every column a SET names, even
    // to the same value: the indexed columns that rarely change are set
    // only when they do.
    "UPDATE event_table SET isExist = 1, fileCheckSum = ?5, macHash = ?8 "
    "WHERE path = ?21 AND (isExist IS NOT 1 OR fileCheckSum IS NOT ?5 OR macHash IS NOT ?8);",
    "INSERT OR IGNORE INTO event_table (isExist, syncID, maxSyncID, fileType, fileSize, fileCheckSum, "
    "inode, path, fileModTime, execBit, macHash, aclAttribute, aclHash, unixUid, unixGid, unixMode, "
    "unixHash, sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash) "
    "VALUES (1, 0, ?1, 1, 0, '', 0, ?2, ?3, 1, '', '', '', 0, 0, 493, '', 0, '', '', '', '');",
    "UPDATE event_table SET maxSyncID = ?1 WHERE path = ?2 AND maxSyncID < ?1;",
    "SELECT id, syncID FROM event_table WHERE path = ?;",
};

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

// The first text among `params`, for the debug line of a statement.
const char* FirstText(std::initializer_list<Param> params) {
  for (const Param& p : params) {
    if (p.text != nullptr) return p.text;
  }
  return "";
}

int Prepare(sqlite3* db, const char* sql, std::initializer_list<Param> params, Statement& out,
            ustring& errmsg) {
  if (Logger::IsEnabled(Logger::L_DEBUG, kComp)) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): prepare: %s [%s]\n", __LINE__, sql,
                   FirstText(params));
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
  // The session's workers, the only writers of temporary signatures, reach
  // it only once it is registered, after this open: such a file found now
  // was left by a killed process (or by a transfer of the session's earlier
  // entry, which can no longer commit into this one).
  SweepTemporarySignatures(m_signPath);
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
  for (sqlite_util::Statement& stmt : m_kept) stmt.reset();
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
  if (e.path.empty() || e.path[0] != '/') {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): failed to set record of '%s'\n", __LINE__,
                   e.path.c_str_utf8());
    return -1;
  }
  // One transaction: one commit instead of one per statement, and never a
  // record without its ancestors.
  ustring errmsg;
  int rc = runKept(kBegin, {}, errmsg);
  if (rc != SQLITE_OK) {
    event_db::LogFailure("BEGIN", __LINE__, errmsg, rc);
    return -1;
  }
  if (setSingleRecord(e) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): failed to set record of '%s'\n", __LINE__,
                   e.path.c_str_utf8());
    event_db::Rollback(m_db);
    return -1;
  }
  if (updateParentRecord(e.path, e.maxSyncID, e.fileModTime) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): failed to update parent folder\n", __LINE__);
    event_db::Rollback(m_db);
    return -1;
  }
  rc = runKept(kCommit, {}, errmsg);
  if (rc != SQLITE_OK) {
    event_db::LogFailure("COMMIT", __LINE__, errmsg, rc);
    event_db::Rollback(m_db);
    return -1;
  }
  if (e.fileType == 0 && !e.signaturePath.empty() && setSignature(e.path, e.signaturePath) != 0) {
    Logger::LogMsg(Logger::L_WARNING, kComp, "[WARNING] event-db(%d): signature file of '%s' is lost\n", __LINE__,
                   e.path.c_str_utf8());
  }
  return 0;
}

sqlite3_stmt* FileEventDB::kept(KeptSql which) {
  static_assert(sizeof kKeptSql / sizeof kKeptSql[0] == kKeptCount);
  sqlite_util::Statement& slot = m_kept[which];
  if (slot) return slot.get();
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v3(m_db, kKeptSql[which], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  slot.reset(raw);
  if (rc == SQLITE_OK) return raw;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_prepare_v3(%s): [%d] %s\n", __LINE__,
                 kKeptSql[which], rc, sqlite3_errmsg(m_db));
  slot.reset();
  return nullptr;
}

int FileEventDB::runKept(KeptSql which, std::initializer_list<Param> params, ustring& errmsg) {
  if (Logger::IsEnabled(Logger::L_DEBUG, kComp)) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): run: %s [%s]\n", __LINE__, kKeptSql[which],
                   event_db::FirstText(params));
  }
  sqlite3_stmt* stmt = kept(which);
  if (stmt == nullptr) {
    errmsg = sqlite3_errmsg(m_db);
    return sqlite3_errcode(m_db) != SQLITE_OK ? sqlite3_errcode(m_db) : SQLITE_ERROR;
  }
  int rc = event_db::BindAll(stmt, params);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  errmsg = rc == SQLITE_OK ? "" : sqlite3_errmsg(m_db);
  // Ready for the next call, and no pointer into the caller's texts kept.
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

int FileEventDB::setSingleRecord(const DBFileInfo& e) {
  using event_db::Clamp;
  using I = sqlite3_int64;
  // The same values in the same order (?1 to ?21) for both statements.
  const std::initializer_list<Param> values = {
      Clamp(e.syncID),       Clamp(e.maxSyncID),   I{e.fileType},          Clamp(e.fileSize),
      e.fileCheckSum,        I{e.fileModTime},     I{e.execBit},           e.macHash,
      I{e.unixUid},          I{e.unixGid},         I{e.unixMode},          e.unixHash,
      e.aclAttribute,        e.aclHash,            I{e.sharePrivDisabled}, e.sharePrivDenyList,
      e.sharePrivRoList,     e.sharePrivRwList,    e.sharePrivHash,        Clamp(e.inode),
      e.path};
  ustring errmsg;
  int rc = runKept(kInsertRecord, values, errmsg);
  // Not inserted: the path has a record, which keeps its id.
  if (rc == SQLITE_OK && sqlite3_changes(m_db) == 0) {
    rc = runKept(kUpdateRecord, values, errmsg);
    if (rc == SQLITE_OK) rc = runKept(kUpdateRecordKeys, values, errmsg);
  }
  if (rc == SQLITE_OK) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): record of (%s) not written. Error code: %d.\n",
                 __LINE__, e.path.c_str_utf8(), rc);
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): %s\n", __LINE__, errmsg.c_str_utf8());
  return -1;
}

int FileEventDB::updateParentRecord(const ustring& path, uint64_t sync_id, uint32_t mtime) {
  const sqlite3_int64 id = event_db::Clamp(sync_id);
  ustring cur = path;
  for (;;) {
    if (cur == "/") return 0;
    size_t slash = cur.rfind('/');
    if (slash == ustring::npos) return 0;
    cur = slash == 0 ? ustring("/") : cur.substr(0, slash);
    ustring errmsg;
    int rc = runKept(kInsertFolder, {id, cur, sqlite3_int64{mtime}}, errmsg);
    if (rc == SQLITE_OK && sqlite3_changes(m_db) == 0) rc = runKept(kRaiseFolder, {id, cur}, errmsg);
    if (rc != SQLITE_OK) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): folder record of (%s) not written. Error code: %d.\n",
                     __LINE__, cur.c_str_utf8(), rc);
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): %s\n", __LINE__, errmsg.c_str_utf8());
      return -1;
    }
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
  // The record's own signature file, already in its place (a record
  // rewritten with the signature it had): a rename onto itself would only
  // cost the folder's flush.
  struct stat st;
  if (signature == dest && lstat(dest.c_str_utf8(), &st) == 0) return 0;
  ustring dir = dest.substr(0, dest.rfind('/'));
  if (FSMKDir(dir, true) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): Failed to Create folder at [%s].\n", __LINE__,
                   dir.c_str_utf8());
    return -1;
  }
  // Not flushed: the signature's own bytes never are, and one lost or left
  // stale by a system crash costs only a whole upload later (a delta made
  // against a stale one is refused by the server, and the signature dropped).
  if (FSRenameUnflushed(signature, dest) != 0) {
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
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): run: %s [%s]\n", __LINE__, kKeptSql[kContains],
                 utf8_path);
  sqlite3_stmt* raw = kept(kContains);
  if (raw == nullptr) return -1;
  // Reset on every way out: a kept statement left mid-step would hold a read.
  struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
    }
  } reset{raw};
  int rc = sqlite3_bind_text(raw, 1, utf8_path, -1, SQLITE_STATIC);
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
