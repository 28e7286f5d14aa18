// FilterDB: the one SQLite database about filters, shared by all sessions
// (every row carries its session id). Per session it keeps the selective-
// sync rules as last reconciled, the pending resume conditions, and the
// local events that a filter held back.
//
// Threads: every statement operation takes m_db_mutex for its whole run, so
// the application thread, the workers and the progress syncer may call at
// any time. initialize and destroy take the same mutex; the application
// calls them while no task thread runs. No other lock is taken inside.
//
// Results: statement operations give 0 on success and -1 on failure
// (logged with SQLite's message and code); lookups give 1 found, 0 not
// found, -1 failure. While the database is not open (before initialize,
// after destroy or a failed initialize) every statement operation gives -1
// at once. A query that fails after some rows were read leaves those rows
// in its output.
#ifndef FILTER_FILTER_DB_H_
#define FILTER_FILTER_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <utility>

#include "filter/selective_sync_info.h"
#include "foundation/ustring.h"

// A local event held back by a filter, to be replayed when the filter no
// longer holds it back. Sets of it are ordered by path.
struct FilterLocalEvent {
  ustring path;  // session-relative, "/"-separated
  ustring file_checksum;
  ustring base_name;  // last path component of a file; empty for a folder
  ustring win_hash;
  ustring mac_hash;
  ustring linux_hash;
  ustring zarq_hash;
  uint64_t sess_id = 0;
  uint64_t sync_id = 0;
  uint64_t file_size = 0;
  uint32_t event_type = 0;  // Event::Type; not stored
  uint32_t file_mod_time = 0;
  uint64_t inode = 0;
  int file_type = 0;      // 1 folder, 0 file
  int filtered_type = 0;  // the FILTER_* code that held the event back
  int is_exist = 0;       // 0 for a removal, else 1

  bool operator<(const FilterLocalEvent& o) const { return path < o.path; }
  bool operator==(const FilterLocalEvent& o) const { return path == o.path; }
  bool operator>(const FilterLocalEvent& o) const { return path > o.path; }
};

enum EVENT_OVERFLOW_STAT {
  E_NOT_OVERFLOW = 0,
  E_OVERFLOW = 1,
};

class FilterDB {
 public:
  // The process-wide database, built on the first call and destroyed at
  // process exit (its destructor logs; the Logger outlives it).
  static FilterDB* getInstance();

  FilterDB();
  // Does not close the connection: destroy() does.
  ~FilterDB();
  FilterDB(const FilterDB&) = delete;
  FilterDB& operator=(const FilterDB&) = delete;

  // Opens (creating when absent) the database at the UTF-8 `path` and runs
  // the schema script, which keeps the rows and version of an existing
  // file. 0 when open (also when it already was: nothing changes); -1 when
  // the file cannot be opened or the script fails (the connection is then
  // closed and the object stays closed).
  [[nodiscard]] int initialize(const ustring& path);
  // Closes the connection and forgets the path; nothing when closed.
  void destroy();

  // --- Selective-sync rules as last reconciled ---------------------------
  // An existing (sess_id, filter_type, desc) row is kept with its sync_id;
  // the call still succeeds.
  [[nodiscard]] int setWhiteListFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc);
  [[nodiscard]] int setFilter(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc);
  // The size limit is stored as quoted decimal text.
  [[nodiscard]] int setSizeFilter(uint64_t sess_id, uint64_t sync_id, uint64_t size);
  [[nodiscard]] int rmWhiteListFilter(uint64_t sess_id, int filter_type, const ustring& desc);
  [[nodiscard]] int rmFilter(uint64_t sess_id, int filter_type, const ustring& desc);
  [[nodiscard]] int rmSizeFilter(uint64_t sess_id, uint64_t size);
  // First size row of the session into `out`; 0 also when there is none
  // (`out` then untouched).
  [[nodiscard]] int getSizeFilter(uint64_t sess_id, FilterInfo& out);
  // Changes the limit text `from` of the session into `to`; 0 also when no
  // row matched.
  [[nodiscard]] int updateSizeFilter(uint64_t sess_id, uint64_t from, uint64_t to);
  // Adds the session's stored white-listed extensions (type -12) to
  // out.white_ext; rows of another type are logged and skipped.
  [[nodiscard]] int ConvertWhiteFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& out);
  // Adds the session's black rules: -13 black_prefix, -14 black_name,
  // -12 black_ext; -15 replaces black_size (the last size row wins).
  [[nodiscard]] int ConvertFilterDBToSelectiveSyncInfo(uint64_t sess_id, SelectiveSyncInfo& out);

  // --- Resume conditions (row id = filter_resume_table.id) ---------------
  // On success `row_id` is the new row's id.
  [[nodiscard]] int setResumeCondition(const ResumeCondition& c, uint64_t& row_id);
  // The oldest condition of any session: 1 with the row, 0 none, -1.
  [[nodiscard]] int getResumeCondition(uint64_t& row_id, ResumeCondition& c);
  // Appends every condition of the session, oldest first.
  [[nodiscard]] int getResumeConditionsBySession(uint64_t sess_id, std::list<std::pair<uint64_t, ResumeCondition>>& out);
  [[nodiscard]] int rmResumeCondition(uint64_t row_id);
  [[nodiscard]] int updateResumeSyncId(uint64_t row_id, uint64_t sync_id);

  // --- Held-back local events (one per session and path) -----------------
  // Replaces an earlier row of the same session and path. event_type is not
  // stored.
  [[nodiscard]] int setLocalFilteredEvent(const FilterLocalEvent& e);
  // Every row of the session into `out` (sess_id from the argument,
  // event_type 0, NULL texts as ""); a path already in `out` stays as it is.
  [[nodiscard]] int dumpLocalFilteredEvent(uint64_t sess_id, std::set<FilterLocalEvent>& out);
  // 1 with `e` filled (sess_id and path from the arguments), 0 when there is
  // no row (`e` untouched), -1.
  [[nodiscard]] int getLocalFilteredEventByPath(uint64_t sess_id, const ustring& path, FilterLocalEvent& e);
  // Removes the session's rows at `path` and below it: the path itself and
  // every path that begins with path + "/". No other path, whatever bytes
  // it holds ("*", "?", "[" included).
  [[nodiscard]] int rmLocalFilteredEventByPath(uint64_t sess_id, const ustring& path);
  [[nodiscard]] int cleanLocalFilteredEventBySession(uint64_t sess_id);

  // --- Configuration table ---------------------------------------------
  [[nodiscard]] int setConfigItem(const ustring& key, const ustring& value);
  // `stat` = the integer value of key 'event_overflow', E_OVERFLOW when
  // there is no such row; 0 or -1.
  [[nodiscard]] int checkEventOverflow(int& stat);

 private:
  // The statement runners below expect m_db_mutex held and m_db open; each
  // gives 0, or -1 after logging SQLite's message and code. `op` names the
  // operation in the failure line ("FilterDB <op> fail: ..."; the Plain
  // form leaves out "FilterDB "); `label` starts the prepare-failure line.
  [[nodiscard]] int ExecLocked(const char* op, const char* sql);
  [[nodiscard]] int ExecLockedPlain(const char* op, const char* sql);
  [[nodiscard]] int PrepareLocked(const char* label, const char* sql, sqlite3_stmt** stmt);
  // Logs that `op` found the database closed; -1.
  int NotOpen(const char* op) const;

  ustring m_filter_db_path;  // empty while closed
  std::mutex m_db_mutex;     // serialises every statement
  sqlite3* m_db = nullptr;   // null while closed
};

#endif  // FILTER_FILTER_DB_H_
