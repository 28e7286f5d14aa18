// BlackList2: a thread-safe, reloadable black list. One process-wide
// instance (getInstance) holds the system filter; each session has its own,
// shared through the session's registry entry.
//
// Threads: every operation takes the holder's own mutex, so worker threads
// may test while the application thread reloads; a test sees either the old
// or the new rules, never half of them. Tests and Write take it shared (the
// workers test every event, in parallel); Load and Install (only for their swap),
// Destroy, Clear, GetFilter and the copy operations take it exclusively. No
// operation holds the mutex of another holder except the copy operations
// (both, through std::scoped_lock).
#ifndef FILTER_BLACK_LIST2_H_
#define FILTER_BLACK_LIST2_H_

#include <cstdint>
#include <shared_mutex>

#include "filter/cs_filter.h"
#include "filter/cs_filter_match.h"
#include "filter/filter_codes.h"
#include "foundation/ustring.h"

class BlackList2 {
 public:
  // An empty list: every path that begins with "/" passes.
  BlackList2();
  ~BlackList2();
  // Deep copies. On exhausted memory the copy constructor leaves an empty
  // list and assignment keeps the target's rules. Self-assignment does nothing.
  BlackList2(const BlackList2& other);
  BlackList2& operator=(const BlackList2& other);

  // The process-wide system list, created on the first call; never null.
  static BlackList2* getInstance();

  // Parses the rule file at `path` (UTF-8) and, when it is accepted, makes
  // it the rules in force. Returns 0, or -1 when the file is missing,
  // unreadable, has a syntax error, or has unknown keys without declaring
  // version 1.1 or later; the previous rules then stay in force (an empty
  // list when none was ever loaded) and one L_ERR line is logged. The file
  // is parsed outside the mutex: tests are held up only for the swap.
  int Load(const ustring& path);
  // Puts the rules of `parsed`, a record that filter_read has filled, in
  // force, as a successful Load would; the mutex is held only for the swap
  // and the previous rules are freed after it. `parsed` is left destroyed
  // (filter_init it before reuse). Lets a caller parse several rule files
  // first and put them in force only when every one of them parsed.
  void Install(Filter& parsed);

  // The session-relative path (UTF-8, beginning with "/") tested as a file
  // or a folder; 0 or the first FILTER_* code that blocks it. Allocate
  // nothing.
  int TestFilePath(const ustring& path) const;
  int TestDirectoryPath(const ustring& path) const;
  // 0, FILTER_FILE_SIZE or FILTER_FILE_SIZE_SELECTIVE_SYNC.
  int TestFileSize(uint64_t size) const;
  // 0 or FILTER_PATH_SIZE. The worker passes the UTF-16 code-unit count of
  // the full local path, so max_path keeps its meaning on the original
  // platform.
  int TestFullPathSize(uint64_t length) const;

  // Empties the list and frees its storage (the daemon calls it on the
  // system list when it is unlinked). A later Load works as usual.
  void Destroy();
  // Empties the list.
  void Clear();
  // Writes the rules to `path`; 0 or -1.
  int Write(const ustring& path) const;

  // Locks the mutex and returns the rules for direct use; the caller must
  // call ReturnFilter() on the same thread, and call no other operation of
  // this holder in between (it would deadlock).
  // ReturnFilter() takes any change made to the rules into account.
  Filter* GetFilter();
  void ReturnFilter();

  // The loaded file's version (0.0 for an empty list). Takes the mutex.
  int GetMajorVersion() const;
  int GetMinorVersion() const;

  // Rule editing on a section of a Filter that no other thread sees (no
  // lock is taken). `code` names the rule by its FILTER_* code:
  //   Version: sets both numbers; always 0.
  //   Common numbers: FILTER_PATH_SIZE max_path, FILTER_LENGTH max_length.
  //   File numbers: FILTER_FILE_SIZE_SELECTIVE_SYNC, FILTER_FILE_SIZE.
  //   Common texts: FILTER_PATH_PREFIX_SELECTIVE_SYNC, FILTER_DIR_PREFIX,
  //     FILTER_NAME, FILTER_PREFIX, FILTER_CHAR (black_char is replaced).
  //   File texts: FILTER_NAME_SELECTIVE_SYNC, FILTER_EXT_SELECTIVE_SYNC,
  //     FILTER_EXT, FILTER_NAME, FILTER_PREFIX.
  //   Directory texts: FILTER_NAME.
  // A text is added to a set only when no entry equals it without regard
  // to ASCII case. Returns 0 when stored or already present; -1 for a code
  // the section does not take, an empty text or one holding a NUL byte (an
  // empty prefix entry would block every path), or exhausted memory.
  static int InsertFilter(VersionSection* section, int major, int minor);
  static int InsertFilter(CommonSection* section, int code, unsigned long long value);
  static int InsertFilter(FileSection* section, int code, unsigned long long value);
  static int InsertFilter(CommonSection* section, int code, const ustring& value);
  static int InsertFilter(FileSection* section, int code, const ustring& value);
  static int InsertFilter(DirectorySection* section, int code, const ustring& value);
  // Removes the first entry equal to `value` byte for byte. Common:
  // FILTER_DIR_PREFIX, FILTER_PREFIX; File: FILTER_EXT_SELECTIVE_SYNC.
  // Returns 0 whether or not it was there, -1 for another code.
  static int RemoveFilter(CommonSection* section, int code, const ustring& value);
  static int RemoveFilter(FileSection* section, int code, const ustring& value);
  // True when an entry equals `value` without regard to ASCII case.
  static bool StringSetValueExist(const value_type_string_set* set, const char* value);

 private:
  Filter m_filter;
  FilterMatchIndex m_index;  // always built from m_filter's current rules
  mutable std::shared_mutex m_mutex;
};

#endif  // FILTER_BLACK_LIST2_H_
