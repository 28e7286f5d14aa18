// RecycleCleaner: the task that purges the sessions' recycle folders. A
// server removal makes a worker move the local copy into the session's
// recycle folder (local_path/.ZarqelonWorkingDirectory/#ZarqRecycle) under a
// random one-component name and record it, with the time, in the session's
// recycle_bin_table; Registry::Entry::recycle_time holds the oldest such
// time. The cleaner visits the sessions in turn, one per second, and deletes
// from disk and from the table every item recycled 1800 seconds ago or more.
//
// The times compared are stored Unix seconds, so the cleaner reads the wall
// clock (platform::CurrentTime), not a monotonic one.
//
// Safety of the deletes: the recycle folder is opened as a real folder of
// the session (SessionFolders: a link planted at the working or recycle
// folder's name is reported, unlinked and replaced, never followed) and
// every item is removed relative to that descriptor. A record's path comes
// from a database file that may be damaged, so only a one-component path
// that IsSafeSessionPath accepts is deleted (anything else could name the
// recycle folder itself, a sibling of it, or the working folder); an item
// that is a symbolic link or a special file is unlinked, never followed or
// opened; a folder is removed with everything in it, never following a
// link inside it.
//
// Threads: DoTask runs on the task's own thread; Pause, Resume and Stop are
// called by the application thread. The cleaner reaches the Registry and
// the session's FileEventDB only through their own locked operations and
// holds no lock of its own. `context` belongs to the task's thread (and to
// a test that drives UpdateContext and Rotate itself while no thread runs).
//
// Log component "recycle_cleaner_debug".
#ifndef SERVER_RECYCLE_CLEANER_H_
#define SERVER_RECYCLE_CLEANER_H_

#include <atomic>
#include <cstdint>
#include <functional>

#include "foundation/daemon_timing.h"
#include "foundation/ustring.h"
#include "session/registry.h"
#include "session/task.h"

class RecycleCleaner : public Task {
 public:
  // A recycled item is purged once it is this many seconds old.
  static constexpr uint32_t kAgeLimit = 1800;

  struct Context {
    Registry::Entry entry;  // copy of the session being served
  };

  // Serves the sessions of `registry`, which must outlive the task.
  RecycleCleaner(TaskManager* owner, Registry& registry, const DaemonTiming& timing = DaemonTiming());
  ~RecycleCleaner() override = default;

  RecycleCleaner(const RecycleCleaner&) = delete;
  RecycleCleaner& operator=(const RecycleCleaner&) = delete;

  // The loop: one session per timing.cleaner_pass_wait (1 s); after a
  // failure, or while the registry is empty, the next look comes
  // cleaner_retry_wait (3 s) later. A pause holds it in sleeps of
  // pause_poll; a stop ends it.
  void DoTask() override;

  // Moves the context to the session after the current one in id order
  // (wrapping; the first when the current one is gone). 0; -1 with the
  // entry cleared when the registry is empty.
  int UpdateContext();

  // Purges the context's session: nothing while its recycle_time is 0 or
  // less than kAgeLimit seconds ago (a time in the future lets the purge
  // run); else deletes every top-level item recorded at or before now -
  // kAgeLimit, then those records (nested ones too), then stores the oldest
  // remaining time (0 for none) as the session's recycle_time. A record
  // whose path is not one safe component is not touched on disk (ERROR) and
  // its row goes with the others. 0, or -1 after an ERROR: a database step
  // failed or an item could not be removed (its records then stay, so the
  // next round tries again).
  int Rotate();

  // local_path + "/" + kWorkingDirName + "/" + kRecycleDirName of the
  // context's session.
  ustring GetRecycleBinDir() const;

  // Tests: runs `hook` inside Rotate after the oldest remaining time is read
  // and before it is stored, where a worker may recycle an item. Set it
  // before the thread starts.
  void SetBeforeTimeStoreHookForTest(std::function<void()> hook) { before_time_store_ = std::move(hook); }

  const Context& context() const { return context_; }

 private:
  // Deletes the item `name` (one component) of the open recycle folder
  // `bin_fd`: unlinks a file, link or special file, removes a folder with
  // everything in it (never following a link). 0 also when it is already
  // gone; -1 otherwise.
  static int RemoveItem(int bin_fd, const char* name);

  Registry& registry_;
  const DaemonTiming timing_;
  Context context_;
  std::function<void()> before_time_store_;
};

#endif  // SERVER_RECYCLE_CLEANER_H_
