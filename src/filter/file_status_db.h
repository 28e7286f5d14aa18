// FileStatusDB: the advisory list, in a small SQLite file, of the local files
// and folders being synchronised at this moment; another process (the user
// interface) reads it. One row per full local path, stored with every "/"
// turned into "\\": "/x/a\\b" and "/x/a/b" therefore share a row, an
// accepted limit of an advisory list.
//
// A class of static operations. The database path is set by initialize and
// emptied by destroy; while it is empty, row operations give -1 without
// opening anything. One connection to the current path is kept open and
// reopened when the path changes, when the file at the path is another one
// (removed or replaced), and after a failed statement: rows always land in
// the file another process finds at the path. A connection per row cost
// over 90% of each write (about 0.65 ms against 45 us a write and removal).
//
// Threads: the path has its own small mutex (written by the application,
// read by every operation); the kept connection is used under a second
// mutex, taken first, for the whole of each operation. Callers include the
// event manager under its own lock. SQLite's busy timeout of 300000 ms
// orders this process against other writers.
//
// Results of the row operations: 0 when done; nonzero otherwise: SQLite's
// positive result code of the open or the statement, or -1 when the path
// is empty or the statement cannot be formatted. Callers test `!= 0`. A
// failure is logged here and never stops synchronisation.
#ifndef FILTER_FILE_STATUS_DB_H_
#define FILTER_FILE_STATUS_DB_H_

#include <memory>

#include "foundation/ustring.h"

enum {
  SFT_FILE1 = 0,
  SFT_DIR1 = 1,
};

enum {
  FSTAT_UNKNOWN = 0,
  FSTAT_SYNCED = 1,
  FSTAT_SYNCING = 2,  // the only status the daemon writes
  FSTAT_UNSUPPORT = 3,
  FSTAT_NUM_OF_TYPE = 4,
};

// One row.
struct FileStatusInfo {
  int fileType = SFT_FILE1;
  int syncStatus = FSTAT_UNKNOWN;
  ustring path;  // full local path
};

class FileStatusDB {
 public:
  // Keeps `path` (before opening, so a later open is tried again), opens
  // it and creates the table and index when absent. 0, or -1: empty path
  // (the kept path unchanged), the file cannot be opened, or a schema
  // statement fails (the new path is kept in both cases).
  [[nodiscard]] static int initialize(const ustring& path);
  // Forgets the path and closes the connection.
  static void destroy();

  // Deletes every row, then ANALYZE and VACUUM. 0 or -1.
  [[nodiscard]] static int removeAllEntry();
  // Writes the row of info.path, replacing an earlier row of that path by a
  // new row with a new id.
  [[nodiscard]] static int setFileSyncStat(const FileStatusInfo& info);
  // Deletes the row of exactly this path (a folder's contents stay).
  [[nodiscard]] static int rmFileStatByPath(const ustring& path);
  // Deletes the row of info.path and of every path below it, with either
  // separator; no other row.
  [[nodiscard]] static int rmFileSyncStat(const FileStatusInfo& info);
  // Every FSTAT_SYNCING row becomes FSTAT_SYNCED. 0 or -1.
  [[nodiscard]] static int updateAllSyncingEntry();

  // Whether a row has FSTAT_SYNCING; false on any failure.
  static bool isAnyFileSyncing();
  // Whether a row below the folder `dir` (not the folder itself) has
  // FSTAT_SYNCING; false for an empty path and on any failure.
  static bool isAnySubFileDirSyncing(const ustring& dir);
  // Sets *out to {0, 0, ""}, then fills it from the row of exactly `path`.
  // 0 whether found or not, SQLite's code when the query fails, -1 for an
  // empty path, a null `out` or a statement that cannot be formatted.
  [[nodiscard]] static int getFileSyncStat(const ustring& path, FileStatusInfo* out);
  // The rows directly below the folder `dir`, in path order, from the
  // `start`th, at most `limit` (negative: all). Null with `size` 0 when
  // there is none or on failure.
  static std::unique_ptr<FileStatusInfo[]> getFileSyncStats(const ustring& dir, int start, int limit,
                                                            int& size);

  // Does what initialize does, without a result.
  explicit FileStatusDB(const ustring& path);
  ~FileStatusDB() = default;
  FileStatusDB(const FileStatusDB&) = delete;
  FileStatusDB& operator=(const FileStatusDB&) = delete;
};

// The rows of the list as an object handed to the code that drops them (a
// worker, once the file it synced is done), in place of a reach into the
// process-wide file: a test hands its own. Any thread.
class FileStatusRows {
 public:
  virtual ~FileStatusRows() = default;
  // Deletes the row of exactly `path`, in the stored form ("\\" for "/");
  // 0, or nonzero as FileStatusDB::rmFileStatByPath.
  virtual int rmFileStatByPath(const ustring& path) = 0;
};

// The rows of the process-wide file (FileStatusDB's static operations).
class FileStatusDBRows final : public FileStatusRows {
 public:
  int rmFileStatByPath(const ustring& path) override { return FileStatusDB::rmFileStatByPath(path); }
};

#endif  // FILTER_FILE_STATUS_DB_H_
