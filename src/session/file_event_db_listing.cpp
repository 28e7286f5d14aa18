// FileEventDB: the folder listings, the lookups by content hash and the
// recycle-bin table.
#include <ctime>
#include <string>
#include <string_view>

#include "foundation/logger.h"
#include "session/event_db_internal.h"
#include "session/file_event_db.h"

using event_db::kComp;
using event_db::U;
using sqlite_util::Statement;
using sqlite_util::Text;

namespace {

// "+isExist": without ANALYZE the planner would otherwise pick the isExist
// index, which matches every row, over the path and checksum indexes.
// Subtrees are byte ranges on the BINARY path column: path > P || '/' and
// path < P || '0' ('0' is the byte after '/') hold exactly the paths below
// P, whatever the names hold (LIKE would ignore ASCII case and take "%" and
// "_" as wildcards, GLOB "*", "?" and "["). One level: nothing after P + "/"
// contains another "/". P "" stands for the root.
constexpr char kListAll[] = "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table WHERE +isExist = 1;";
constexpr char kListBelow[] =
    "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table "
    "WHERE path > ?1 || '/' AND path < ?1 || '0' AND +isExist = 1;";
constexpr char kListOneLevel[] =
    "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table "
    "WHERE path > ?1 || '/' AND path < ?1 || '0' AND instr(substr(path, length(?1) + 2), '/') = 0 "
    "AND +isExist = 1;";
constexpr char kListOneLevelUpTo[] =
    "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table "
    "WHERE path > ?1 || '/' AND path < ?1 || '0' AND instr(substr(path, length(?1) + 2), '/') = 0 "
    "AND +isExist = 1 AND syncID <= ?2;";

// The rows from ?1 on (included) and before ?2, in path order.
constexpr char kListRange[] =
    "SELECT fileType, fileModTime, fileSize, aclHash, path FROM event_table "
    "WHERE path >= ?1 AND path < ?2 AND +isExist = 1 ORDER BY path;";

constexpr char kHashInEvents[] = "SELECT path FROM event_table WHERE fileCheckSum = ?1 AND +isExist = 1 LIMIT 1;";
constexpr char kHashInRecycle[] = "SELECT path FROM recycle_bin_table WHERE fileCheckSum = ?1 LIMIT 1;";

// How a listing adds its rows: by path from the root, or by name into the
// root (index 0).
enum class AddBy { kPath, kNameAtRoot };

// Steps through the rows of a listing statement and adds each to `flist`,
// its path without the first `strip` bytes. 0 at the end, or the failing
// SQLite code (the rows added before stay).
int AddRows(sqlite3_stmt* s, FileList* flist, size_t strip, AddBy how) {
  const bool debug = Logger::IsEnabled(Logger::L_DEBUG, kComp);
  FileList::Attribute attr;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    int type = sqlite3_column_int(s, 0);
    attr.mtime = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    attr.size = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
    const unsigned char* acl = sqlite3_column_text(s, 3);
    attr.acl_hash = acl != nullptr ? reinterpret_cast<const char*>(acl) : "";
    const char* path = reinterpret_cast<const char*>(sqlite3_column_text(s, 4));
    size_t len = static_cast<size_t>(sqlite3_column_bytes(s, 4));
    if (path == nullptr || len < strip) continue;  // a malformed record names nothing in the listing
    const char* rel = path + strip;
    if (type == 0) {
      if (debug) Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): getFileList: AddFile '%s'\n", __LINE__, rel);
      // A refused row (a name clash) stays out of the listing; the others go on.
      (void)(how == AddBy::kPath ? flist->AddFile(rel, attr) : flist->AddFile(0, rel, attr));
    } else {
      if (debug) {
        Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): getFileList: AddDirectory '%s'\n", __LINE__, rel);
      }
      (void)(how == AddBy::kPath ? flist->AddDirectory(rel, attr) : flist->AddDirectory(0, rel, attr));
    }
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int LogListingFailure(int line, bool prepared, int rc, const ustring& errmsg) {
  if (prepared) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", line, rc, errmsg.c_str_utf8());
  } else {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", line, rc,
                   errmsg.c_str_utf8());
  }
  return -1;
}

int MprintfFailed(int line, const char* who) {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): %s: Failed to sqlite3_mprintf.\n", line, who);
  return -1;
}

// The root record is never removed, and "" would select every record
// below the root.
bool IsRootOrEmpty(const ustring& path) { return path.empty() || path == "/"; }

int RefuseRoot(const char* op) {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): FileEventDB %s: refused for the root\n", __LINE__, op);
  return -1;
}

}  // namespace

// ---- Listings ----

int FileEventDB::getFileList(FileList* flist, const ustring& prefix) {
  const bool whole = prefix.empty() || prefix == "/";
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getFileList");
  Statement stmt;
  ustring errmsg;
  int rc = whole ? event_db::Prepare(m_db, kListAll, {}, stmt, errmsg)
                 : event_db::Prepare(m_db, kListBelow, {prefix}, stmt, errmsg);
  if (rc != SQLITE_OK) return LogListingFailure(__LINE__, false, rc, errmsg);
  // Under "/" the stored paths are kept whole; under "" the leading "/"
  // goes; below a folder the folder's path and its "/" go.
  size_t strip = !whole ? prefix.size() + 1 : prefix.empty() ? 1 : 0;
  rc = AddRows(stmt.get(), flist, strip, AddBy::kPath);
  if (rc != SQLITE_OK) return LogListingFailure(__LINE__, true, rc, sqlite3_errmsg(m_db));
  return 0;
}

int FileEventDB::getFileListWithoutRecursive(FileList* flist, const ustring& prefix) {
  return ListOneLevel(flist, prefix, nullptr);
}

int FileEventDB::getFileListWithoutRecursive(FileList* flist, const ustring& prefix, uint64_t syncID) {
  return ListOneLevel(flist, prefix, &syncID);
}

int FileEventDB::ListOneLevel(FileList* flist, const ustring& prefix, const uint64_t* limit) {
  if (prefix.empty()) return 0;
  // The root's children are "/<name>": the root is the empty prefix, and the
  // record "/" itself lies outside the range.
  const ustring folder = prefix == "/" ? ustring() : prefix;
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getFileListWithoutRecursive");
  Statement stmt;
  ustring errmsg;
  int rc = limit == nullptr
               ? event_db::Prepare(m_db, kListOneLevel, {folder}, stmt, errmsg)
               : event_db::Prepare(m_db, kListOneLevelUpTo, {folder, event_db::Clamp(*limit)}, stmt, errmsg);
  if (rc != SQLITE_OK) return LogListingFailure(__LINE__, false, rc, errmsg);
  rc = AddRows(stmt.get(), flist, folder.size() + 1, AddBy::kNameAtRoot);
  if (rc != SQLITE_OK) return LogListingFailure(__LINE__, true, rc, sqlite3_errmsg(m_db));
  return 0;
}

int FileEventDB::getFolderList(FileList* flist, const ustring& prefix) {
  if (prefix.empty()) return 0;
  const ustring folder = prefix == "/" ? ustring() : prefix;
  ustring from = folder;
  from += "/";
  ustring to = folder;
  to += "0";
  const size_t strip = folder.size() + 1;
  const FileList::Attribute none;
  FileList::Attribute attr;
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getFolderList");
  // The rows in path order from `from` on; a row further below stands for
  // its first folder, whose subtree is then passed over by starting again
  // after it, so that a folder costs its own entries and not the tree
  // below.
  for (bool again = true; again;) {
    again = false;
    Statement stmt;
    ustring errmsg;
    int rc = event_db::Prepare(m_db, kListRange, {from, to}, stmt, errmsg);
    if (rc != SQLITE_OK) return LogListingFailure(__LINE__, false, rc, errmsg);
    sqlite3_stmt* s = stmt.get();
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const char* path = reinterpret_cast<const char*>(sqlite3_column_text(s, 4));
      const size_t len = static_cast<size_t>(sqlite3_column_bytes(s, 4));
      if (path == nullptr || len <= strip) continue;  // a malformed record names nothing in the listing
      const std::string_view rel(path + strip, len - strip);
      const size_t slash = rel.find('/');
      if (slash != std::string_view::npos) {
        // As getFileList makes the folders of a path: refused when the
        // folder's own row came first.
        const std::string name(rel.substr(0, slash));
        (void)flist->AddDirectory(0, name.c_str(), none);
        from = folder;
        from += "/";
        from += name;
        from += "0";  // the byte after "/": past everything below the folder
        again = true;
        break;
      }
      attr.mtime = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
      attr.size = static_cast<uint64_t>(sqlite3_column_int64(s, 2));
      const unsigned char* acl = sqlite3_column_text(s, 3);
      attr.acl_hash = acl != nullptr ? reinterpret_cast<const char*>(acl) : "";
      // A refused row (a name clash) stays out of the listing; the others go on.
      (void)(sqlite3_column_int(s, 0) == 0 ? flist->AddFile(0, rel.data(), attr)
                                           : flist->AddDirectory(0, rel.data(), attr));
    }
    if (!again && rc != SQLITE_DONE) return LogListingFailure(__LINE__, true, rc, sqlite3_errmsg(m_db));
  }
  return 0;
}

// ---- Lookups by hash ----

int FileEventDB::getFilePathByHash(const ustring& file_hash, const ustring&, ustring& path) {
  return PathByHash(kHashInEvents, file_hash, path);
}

int FileEventDB::getFilePathByHashFromRecycle(const ustring& file_hash, const ustring&, ustring& path) {
  return PathByHash(kHashInRecycle, file_hash, path);
}

int FileEventDB::PathByHash(const char* sql, const ustring& file_hash, ustring& path) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getFilePathByHash");
  Statement stmt;
  ustring errmsg;
  // Bound, not spliced: a quote in the hash matches nothing and changes nothing.
  int rc = event_db::Prepare(m_db, sql, {file_hash}, stmt, errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): getFilePathByHash failed : %s (%d).\n", __LINE__,
                   errmsg.c_str_utf8(), rc);
    return -1;
  }
  rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: %s (%d)\n", __LINE__,
                   sqlite3_errmsg(m_db), rc);
    return -1;
  }
  path = sqlite_util::ColumnText(stmt.get(), 0);
  return 1;
}

// ---- Recycle bin ----

int FileEventDB::addFileToRecycleBin(const ustring& unique_path, uint64_t file_size, const ustring& file_hash,
                                     const ustring& mac_hash) {
  long long now = static_cast<long long>(time(nullptr));
  Text sql(sqlite3_mprintf(
      "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES ('%q', %llu, '%q', "
      "'%q', %lld);",
      unique_path.c_str_utf8(), U(file_size), file_hash.c_str_utf8(), mac_hash.c_str_utf8(), now));
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("addFileToRecycleBin");
  if (!sql) return MprintfFailed(__LINE__, "FileEventDB");
  return event_db::ExecOrLog(m_db, sql.get(), "FileEventDB addFileToRecycleBin", __LINE__);
}

int FileEventDB::dumpFileToRecycleBin(const ustring& unique_path, const ustring& path) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("dumpFileToRecycleBin");
  if (IsRootOrEmpty(path)) return RefuseRoot("dumpFileToRecycleBin");
  return event_db::InTransaction(m_db, "FileEventDB dumpFileToRecycleBin", __LINE__, [&](ustring& errmsg) {
    int rc = event_db::Run(m_db,
                           "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) "
                           "SELECT ?1, fileSize, fileCheckSum, macHash, strftime('%s','now') "
                           "FROM event_table WHERE path = ?2;",
                           {unique_path, path}, errmsg);
    if (rc != SQLITE_OK) return rc;
    return event_db::Run(m_db, "DELETE FROM event_table WHERE path = ?1;", {path}, errmsg);
  });
}

int FileEventDB::dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path) {
  const sqlite3_int64 now = static_cast<sqlite3_int64>(time(nullptr));
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("dumpDirToRecycleBin");
  if (IsRootOrEmpty(path)) return RefuseRoot("dumpDirToRecycleBin");
  return event_db::InTransaction(m_db, "FileEventDB dumpDirToRecycleBin", __LINE__, [&](ustring& errmsg) {
    int rc = event_db::Run(m_db,
                           "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) "
                           "VALUES (?1, 0, '', '', ?2);",
                           {unique_prefix, now}, errmsg);
    if (rc != SQLITE_OK) return rc;
    // Every file below `path`, renamed from `path` to `unique_prefix`.
    rc = event_db::Run(m_db,
                       "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) "
                       "SELECT ?1 || substr(path, length(?2) + 1), fileSize, fileCheckSum, macHash, ?3 "
                       "FROM event_table WHERE fileType = 0 AND path > ?2 || '/' AND path < ?2 || '0';",
                       {unique_prefix, path, now}, errmsg);
    if (rc != SQLITE_OK) return rc;
    return event_db::Run(m_db,
                         "DELETE FROM event_table WHERE path = ?1 OR (path > ?1 || '/' AND path < ?1 || '0');",
                         {path}, errmsg);
  });
}

int FileEventDB::rmRecycleByPath(const ustring& path) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("rmRecycleByPath");
  Text sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE path = '%q';", path.c_str_utf8()));
  if (!sql) return MprintfFailed(__LINE__, "FilterDB");
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] event-db(%d): rmRecycleByPath sql : %s\n", __LINE__, sql.get());
  return event_db::ExecOrLog(m_db, sql.get(), "FilterDB rmRecycleByPath", __LINE__);
}

int FileEventDB::resetRecycleBin() {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("resetRecycleBin");
  return event_db::ExecOrLog(m_db, "DELETE FROM recycle_bin_table;", "FileEventDB resetRecycleBin", __LINE__);
}

int FileEventDB::getOldestRecyleTime(uint32_t& time) {
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getOldestRecyleTime");
  Statement stmt;
  ustring errmsg;
  int rc = event_db::Prepare(m_db, "SELECT MIN(time) FROM recycle_bin_table;", {}, stmt, errmsg);
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): rotateRecycleBin failed : %s (%d).\n", __LINE__,
                   errmsg.c_str_utf8(), rc);
    return -1;
  }
  rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) {
    // MIN over no rows is NULL, which reads as 0.
    time = static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 0));
    return 0;
  }
  if (rc == SQLITE_DONE) {
    time = 0;
    return 0;
  }
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: %s (%d)\n", __LINE__, sqlite3_errmsg(m_db),
                 rc);
  return -1;
}

int FileEventDB::getRotateList(uint32_t criteria_time, std::set<ustring>& rotate_list) {
  // A fixed pattern ('/%/%' after formatting): only the "/" of the data is
  // matched, so a name's case and wildcard characters play no part.
  Text sql(sqlite3_mprintf("SELECT path FROM recycle_bin_table WHERE path NOT LIKE '/%%/%%' AND time <= %u;",
                           criteria_time));
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("getRotateList");
  Statement stmt;
  ustring errmsg;
  int rc = sql ? event_db::Prepare(m_db, sql.get(), {}, stmt, errmsg) : SQLITE_NOMEM;
  if (rc != SQLITE_OK) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): rotateRecycleBin failed : %s (%d).\n", __LINE__,
                   errmsg.c_str_utf8(), rc);
    return -1;
  }
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    rotate_list.insert(sqlite_util::ColumnText(stmt.get(), 0));
  }
  if (rc != SQLITE_DONE) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] event-db(%d): sqlite3_step: %s (%d)\n", __LINE__,
                   sqlite3_errmsg(m_db), rc);
    return -1;
  }
  return 0;
}

int FileEventDB::rmRotateRecords(uint32_t criteria_time) {
  Text sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE time <= %u;", criteria_time));
  std::lock_guard<std::mutex> lock(m_dbMutex);
  if (m_db == nullptr) return NotOpen("rmRotateRecords");
  if (!sql) return MprintfFailed(__LINE__, "FileEventDB");
  return event_db::ExecOrLog(m_db, sql.get(), "FileEventDB : rmRotateRecords", __LINE__);
}
