// OwnChanges: the files a worker has just put in place or touched itself,
// so that the folder watcher does not report the worker's own act back as
// a change by the user.
//
// A worker brackets its act (the rename of a downloaded file into place, a
// change of a file's time) with an Act: the table's lock is taken before
// the act and released once the file's identity right after it (device,
// inode, size, modification and change times to the nanosecond) is
// recorded. The watcher asks with Claim once it has read the act's
// record, and Claim looks at the file under the same lock: so it always
// finds the identity in place. An event is dropped only while the file is
// exactly as the worker left it; any later write, time change, chmod, link
// or rename changes the change time, and the event goes up as before.
//
// Entries are kept per session and file (device, inode) with the number of
// acts not yet claimed; one that stays unclaimed (its notification lost to
// an overflow, whose rescan covers it) goes after kKeep. At most
// kMaxEntries are kept: an act beyond that is simply not recorded, and its
// event is reported as any other.
//
// Threads: any. Lock order: the watcher's lock, then this table's; an Act
// may be held across a rename (which takes rename_mutex()) but never while
// the holder takes the watcher's or the event manager's lock.
#ifndef SESSION_OWN_CHANGES_H_
#define SESSION_OWN_CHANGES_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>

#include "foundation/file_identity.h"

class OwnChanges {
 public:
  // How long an unclaimed act is kept.
  static constexpr std::chrono::seconds kKeep{60};
  static constexpr size_t kMaxEntries = 16384;

  OwnChanges() = default;
  OwnChanges(const OwnChanges&) = delete;
  OwnChanges& operator=(const OwnChanges&) = delete;

  // The table shared by the workers and the watcher of this process.
  static OwnChanges& Instance();

  // One act of the caller on a file of session `sess_id`. Holds the table's
  // lock from construction until Done (or destruction, when the act failed
  // and nothing is recorded). Not copied or moved.
  class Act {
   public:
    Act(OwnChanges& table, uint64_t sess_id);
    ~Act() = default;
    Act(const Act&) = delete;
    Act& operator=(const Act&) = delete;

    // The act succeeded: records the identity of the file at `full` (not
    // followed when a link) and releases the lock. A file that cannot be
    // looked at, or is not a regular file, is not recorded.
    void Done(const char* full);

   private:
    OwnChanges& table_;
    uint64_t sess_id_;
    std::unique_lock<std::mutex> lock_;
  };

  // The watcher read a creation or modification of the file `full` of
  // session `sess_id`: true when the file, looked at under the lock, is a
  // regular file as a recorded act left it (one act is then used up),
  // false otherwise (a recorded identity that differs is dropped: the file
  // changed since). Looked at under the lock, not before: a second act
  // finished between the look and the claim would otherwise replace the
  // identity looked at, and both acts would go up as the user's changes.
  bool Claim(uint64_t sess_id, const char* full);

  // Drops every entry of the session (its watch ends).
  void Forget(uint64_t sess_id);

  // Entries held (tests).
  size_t size() const;

 private:
  using Key = std::tuple<uint64_t, uint64_t, uint64_t>;  // session, device, inode
  struct Entry {
    FileIdentity identity;
    unsigned acts = 0;  // not yet claimed
    std::chrono::steady_clock::time_point at;
  };

  // Under mutex_.
  void RecordLocked(uint64_t sess_id, const FileIdentity& identity);

  mutable std::mutex mutex_;  // guards entries_ and next_sweep_
  std::map<Key, Entry> entries_;
  std::chrono::steady_clock::time_point next_sweep_{};
};

#endif  // SESSION_OWN_CHANGES_H_
