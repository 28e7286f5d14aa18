// FileEventDB: the event database of one sync session. An SQLite file (WAL
// journal) with a record per synced file and folder (event_table), the
// session's last pulled sync id (config_table), and the records of the
// session's recycle folder (recycle_bin_table); beside it the folder "sign"
// with one signature file per file record, named from the record's row id
// (signature_name.h).
//
// Stored format: the schema script runs on every open and changes nothing in
// an existing file (no migration). The deletion trigger of event_table calls
// the connection's SQL function remove_signature, so every deleted file
// record loses its signature file whatever statement deleted it; no other
// connection has that function, so another process cannot delete records.
//
// Paths are session-relative ("/" is the root, "/a/b" below it) and stored as
// their raw bytes (a name from the disk may be invalid UTF-8). Subtrees are
// selected by byte ranges on the BINARY path column, never by LIKE or GLOB
// patterns, so a name's letter case and its "%", "_", "*", "?" or "[" select
// nothing else.
//
// Results: 0 success and -1 failure unless said otherwise; lookups 1 found,
// 0 not found, -1 failure. Every failure is logged on "event_db_debug" with
// SQLite's message and code and leaves the object usable; every statement is
// logged at L_DEBUG before it runs. While the database is not open (before
// initialize, after destroy) every operation but those two gives -1.
//
// Threads: one mutex, m_dbMutex, is held by every public operation for all
// of its statements, so any thread may call any operation at any time;
// initialize and destroy take it too. No other lock is taken inside. The
// object is shared between sessions' Registry::Entry copies through
// shared_pointer; the last holder's release destroys it, which closes the
// database (a WAL checkpoint).
#ifndef SESSION_FILE_EVENT_DB_H_
#define SESSION_FILE_EVENT_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <set>

#include "foundation/sqlite_util.h"
#include "foundation/ustring.h"
#include "session/db_file_info.h"
#include "session/file_list.h"

namespace event_db {
struct Param;
}  // namespace event_db

class FileEventDB {
 public:
  struct EventInfo {
    uint64_t row_id = 0;   // the record's id
    uint64_t sync_id = 0;  // its syncID
  };

  // Closed: both paths empty.
  FileEventDB();
  // destroy().
  ~FileEventDB();
  FileEventDB(const FileEventDB&) = delete;
  FileEventDB& operator=(const FileEventDB&) = delete;

  // A process-wide instance, built on first use. Sessions build their own.
  static FileEventDB& getInstance();

  // Opens (creating when absent) the database at `location` (its folder must
  // exist and be writable: WAL keeps files beside it) and runs the schema
  // script. The signature folder becomes `location`'s folder + "/sign"; the
  // caller creates it. Opening sweeps that folder: every top-level regular
  // file without a record signature's name (a transfer's temporary one a
  // kill left) is removed, so no transfer may be writing into it then.
  // 0 when open, also when it already was (nothing changes); -1 when
  // opening or preparing fails (the object stays closed).
  [[nodiscard]] int initialize(const ustring& location);
  // Closes the connection and empties both paths; nothing when closed.
  void destroy();

  // Writes the record of e.path (every column; an existing record keeps its
  // id and so its signature file's name; isExist becomes 1), makes or raises
  // the folder records of its ancestors up to "/" (maxSyncID raised to
  // e.maxSyncID), and for a file with a signaturePath moves that file into
  // the record's place (across file systems too). A signature that cannot be
  // moved is logged as lost and the record's old signature file is removed,
  // so the record never points at the signature of other content; the result
  // is still 0. The record and its ancestors are written in one
  // transaction: -1 when one of them cannot be written, and then none is.
  [[nodiscard]] int setEventInfo(const DBFileInfo& e);
  // Reads the record of `path` into `info` (signaturePath: the record's
  // signature file for a file, "" for a folder). 1, 0 (info.path "" and the
  // other fields untouched), or -1 (also for an empty path).
  [[nodiscard]] int getEventInfo(const ustring& path, DBFileInfo& info);
  // Removes the record of `path` and every record below it, with their
  // signature files. "/" removes nothing and gives 0; "" gives -1.
  [[nodiscard]] int rmEventInfo(const ustring& path);
  // Removes every record below the top level.
  [[nodiscard]] int rmAllFolders();
  // Removes every record.
  [[nodiscard]] int clear();

  // The stored sync id ("0" in a new database), read exactly as written.
  [[nodiscard]] int getSyncId(uint64_t& sync_id);
  [[nodiscard]] int setSyncId(uint64_t sync_id);

  // Do nothing; -1.
  int getPathByInode(uint64_t inode, ustring& path);
  int setPathInode(const ustring& path, uint64_t inode);

  // ---- Listings: add existing records to `flist` (results of the adds are
  // not looked at; rows added before a failure stay). ----

  // Every record below `prefix` at any depth, under its path relative to
  // `prefix`; "/" or "" lists the whole table under the full paths (the "/"
  // record only sets the root's attribute).
  [[nodiscard]] int getFileList(FileList* flist, const ustring& prefix);
  // The records directly in the folder `prefix`, by name into the listing's
  // root ("/" itself is not listed under "/"). "" lists nothing and gives 0.
  [[nodiscard]] int getFileListWithoutRecursive(FileList* flist, const ustring& prefix);
  // The same, limited to records whose syncID is at most `syncID`.
  [[nodiscard]] int getFileListWithoutRecursive(FileList* flist, const ustring& prefix, uint64_t syncID);
  // The folder `prefix` ("/" the root) as getFileList sees it, one level
  // deep: the records directly in it by name into the listing's root, and
  // a folder with a zero attribute for each name that only records further
  // below imply. A listing of one folder at a time holds no more than that
  // folder's entries, whatever lies below.
  [[nodiscard]] int getFolderList(FileList* flist, const ustring& prefix);

  // ---- Lookups by content hash (mac_hash is not used). 1 with `path` set,
  // 0 with `path` untouched, -1. ----

  // An existing record whose fileCheckSum is `file_hash`.
  [[nodiscard]] int getFilePathByHash(const ustring& file_hash, const ustring& mac_hash, ustring& path);
  // A recycle-bin entry whose fileCheckSum is `file_hash`.
  [[nodiscard]] int getFilePathByHashFromRecycle(const ustring& file_hash, const ustring& mac_hash, ustring& path);

  // ---- Recycle bin ----

  // Adds the entry `unique_path` with the current time; -1 when it exists.
  [[nodiscard]] int addFileToRecycleBin(const ustring& unique_path, uint64_t file_size, const ustring& file_hash,
                                        const ustring& mac_hash);
  // In one transaction: turns the record of `path` into the entry
  // `unique_path` (size and hashes, current time) and deletes the record. No
  // record: nothing changes, 0. On failure (the entry exists) the
  // transaction is rolled back: neither table changes, -1. `path` "/" or ""
  // gives -1 (the root record is never removed).
  [[nodiscard]] int dumpFileToRecycleBin(const ustring& unique_path, const ustring& path);
  // In one transaction: the entry `unique_prefix` for the folder (size 0,
  // empty hashes), one entry per file record below `path` under
  // `unique_prefix` + the rest of its path, all with one time; then the
  // records of `path` and below are deleted. Rolled back on failure, -1.
  // `path` "/" or "" gives -1: "" would take every record.
  [[nodiscard]] int dumpDirToRecycleBin(const ustring& unique_prefix, const ustring& path);
  // Deletes the entry with exactly this path (not those below it).
  [[nodiscard]] int rmRecycleByPath(const ustring& path);
  // Deletes every entry.
  [[nodiscard]] int resetRecycleBin();
  // The smallest entry time, 0 when there is none.
  [[nodiscard]] int getOldestRecyleTime(uint32_t& time);
  // Adds the top-level entries (no second "/") with time at most
  // `criteria_time` to `rotate_list` (not emptied first).
  [[nodiscard]] int getRotateList(uint32_t criteria_time, std::set<ustring>& rotate_list);
  // Deletes every entry with time at most `criteria_time`, nested included.
  [[nodiscard]] int rmRotateRecords(uint32_t criteria_time);

 private:
  // The statements of setEventInfo, which runs once per finished event:
  // prepared on first use and kept until destroy() instead of being parsed
  // on every call.
  enum KeptSql {
    kBegin,
    kCommit,
    kInsertRecord,
    kUpdateRecord,
    kUpdateRecordKeys,
    kInsertFolder,
    kRaiseFolder,
    kContains,
    kKeptCount
  };

  // All private members run under the caller's hold of m_dbMutex.
  // The kept statement `which`, prepared when first asked for; null after
  // its failure lines.
  sqlite3_stmt* kept(KeptSql which);
  // Binds `params` to the kept statement `which`, steps it to its end and
  // resets it (its bindings cleared): SQLITE_OK or the failing code, with
  // SQLite's message in `errmsg`.
  [[nodiscard]] int runKept(KeptSql which, std::initializer_list<event_db::Param> params, ustring& errmsg);
  [[nodiscard]] int contains(const char* utf8_path, EventInfo& info);
  [[nodiscard]] int setSingleRecord(const DBFileInfo& e);
  [[nodiscard]] int updateParentRecord(const ustring& path, uint64_t sync_id, uint32_t mtime);
  [[nodiscard]] int setSignature(const ustring& path, const ustring& signature);
  static void SQLRemoveSignatureFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv);

  // Logs "database is not open" for `op`; -1.
  int NotOpen(const char* op) const;
  // The listing behind both one-level forms; `limit` null: no syncID bound.
  [[nodiscard]] int ListOneLevel(FileList* flist, const ustring& prefix, const uint64_t* limit);
  // The hash lookup behind both public forms.
  [[nodiscard]] int PathByHash(const char* sql, const ustring& file_hash, ustring& path);

  ustring m_eventDBPath;  // the database file given to initialize
  ustring m_signPath;     // the database's folder + "/sign"
  std::mutex m_dbMutex;   // guards m_db and every statement on it
  sqlite3* m_db = nullptr;
  sqlite_util::Statement m_kept[kKeptCount];  // finalized by destroy(), before the close
};

#endif  // SESSION_FILE_EVENT_DB_H_
