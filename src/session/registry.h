// Registry: the process-wide table of live sync sessions, a map from session
// id to Registry::Entry behind one mutex. Entries go in and out as copies;
// no caller ever holds a reference into the map. A copy shares the
// session's rule lists and event database (shared_pointer), so the objects
// live until the last copy, in the registry or in a task, is gone.
//
// Threads: any thread may call any operation; each holds `mutex` for its
// map access and the copying of entries. Objects whose last reference an
// operation drops (a removed or replaced entry, the caller's previous
// contents of `entry`) are destroyed after `mutex` is released, so closing a
// session's database (a WAL checkpoint) never holds up other lookups. Lock
// order: `mutex` before the reference counts of the shared pointers (which
// are atomic, no lock). The destructors of the shared objects take only
// their own locks.
#ifndef SESSION_REGISTRY_H_
#define SESSION_REGISTRY_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "foundation/ustring.h"
#include "session/file_event_db.h"
#include "session/shared_pointer.h"

// How permissions are synced.
enum PermissionMode {
  PERM_SYNC_EXEC_BIT_ONLY = 0,
  PERM_SYNC_DOMAIN_ONLY = 1,
  PERM_SYNC_ALL = 2,
};

class Registry {
 public:
  // One session. Copying copies every field and shares the four objects.
  class Entry {
   public:
    // Empty shared pointers, then the state of clear().
    Entry() = default;
    Entry(const Entry& other) = default;
    // Copies every field; each shared pointer drops its object and shares
    // the source's (nothing for self-assignment).
    Entry& operator=(const Entry& other) = default;
    ~Entry() = default;

    // Ids and recycle_time 0, flags false, paths empty, perm_mode
    // PERM_SYNC_ALL; each shared pointer that holds an object drops this
    // entry's share (the object goes with its last share: the database is
    // closed) and becomes empty.
    void clear();

    uint64_t conn_id = 0;       // the server connection the session uses
    uint64_t sess_id = 0;       // the registry's key
    uint64_t view_id = 0;       // the server's view id
    uint64_t node_id = 0;       // the server's node id
    uint32_t recycle_time = 0;  // oldest recycle-bin entry, Unix seconds; 0: none
    bool recursive = false;     // false: the top level only
    ustring local_path;
    ustring remote_path;
    ustring config_path;  // the session's folder: database under "/db", rules under "/conf"
    bool isMSDOS = false;
    bool pause = false;  // a new session is created paused by the application
    bool read_only = false;
    PermissionMode perm_mode = PERM_SYNC_ALL;
    shared_pointer<BlackList2> black_list;
    shared_pointer<WhiteListCpp> white_list;
    shared_pointer<FileEventDB> event_db;
    shared_pointer<ForceHashCheckListCpp> force_hash_check_list;
  };

  // The one registry, built on first use from any thread; destroyed at
  // process exit with its remaining entries.
  static Registry& getInstance();

  Registry() = default;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Stores a copy of `entry` under its sess_id, replacing a stored one.
  void Set(const Entry& entry);
  // 1 with the stored entry assigned to `entry`; 0 (entry untouched) when
  // the id is not stored.
  int Find(uint64_t sess_id, Entry& entry) const;
  // Steps through the sessions cyclically: the entry after `sess_id` in id
  // order, or the lowest when `sess_id` is the highest or not stored. 1 with
  // `entry` assigned; 0 (entry untouched) only for an empty registry.
  int FindNext(uint64_t sess_id, Entry& entry) const;
  // Replaces the contents of `list` with copies of every entry, by id.
  void GetAll(std::vector<Entry>& list) const;
  // Removes the entry of `sess_id`, when stored.
  void Clear(uint64_t sess_id);
  // The same.
  void Remove(uint64_t sess_id);
  // Removes every entry.
  void Clear();
  size_t Size();
  // Sets the stored entry's recycle_time to `time` when it is 0 or later
  // (only entry.sess_id is used; an id not stored changes nothing).
  void InitRecycleTime(const Entry& entry, uint32_t time);
  // Sets the stored entry's recycle_time to `time`, 0 included.
  void UpdateRecycleTime(const Entry& entry, uint32_t time);
  // Field setters for the application's session changes: each writes one
  // flag of the stored entry of `sess_id` in place, under `mutex`, so that a
  // task's concurrent InitRecycleTime (or any other setter) is never undone
  // by writing back a stale copy. 1 when the entry is stored, 0 (nothing
  // changed) when not.
  int SetReadOnly(uint64_t sess_id, bool read_only);
  int SetRecursive(uint64_t sess_id, bool recursive);
  int SetPause(uint64_t sess_id, bool pause);

  // Take and release `mutex`. No operation may be called in between.
  void lock() const;
  void unlock() const;

 private:
  int SetFlag(uint64_t sess_id, bool Entry::*field, bool value);

  std::map<uint64_t, Entry> index;  // by sess_id
  mutable std::mutex mutex;
};

#endif  // SESSION_REGISTRY_H_
