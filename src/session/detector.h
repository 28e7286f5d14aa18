// Detector: the task that watches the local folder of every sync session
// and turns what users do there into local events for the EventManager.
//
// Each session's folder is one platform::ChangeSource (inotify: recursive,
// renames paired; see platform/inotify_change_source.h); one thread waits on
// all of their descriptors at once with epoll. Records become events:
// creation, removal and modification of a file or folder; a rename is
// queued as a removal of the old path and a creation of the new one, and a
// created folder (made or moved in) also gets an expand so that its
// contents are listed. Lost notifications become one rescan of the session.
//
// Inside each session folder the daemon keeps its working folder
// (kWorkingDirName) with the recycle folder (kRecycleDirName) in it: their
// changes are never reported, and they are made again when they vanish.
//
// A session whose folder is removed, moved or unmounted is lost: an ERROR is
// logged and nothing more comes from it (no event, no rescan, no removal:
// the server's copy is never deleted because the local folder went away)
// until the application adds the watch again. Removal records read while
// the folder is not the one watched (device, inode, birth time) are dropped too.
//
// Threads: AddWatch, RemoveWatch and Clear are called by the application
// thread, DoTask runs on the task's own thread. `lock` guards `index`,
// `cache` and every session's source and batch; the thread holds it while
// it reads the sources and while it translates and queues events (lock
// order: `lock`, then the event manager's), never while it waits. A
// session's descriptor is added to the epoll set before the session is
// stored and removed before its source is closed, so RemoveWatch may close
// it while the thread waits.
//
// Log component "detector_debug".
#ifndef SESSION_DETECTOR_H_
#define SESSION_DETECTOR_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "foundation/daemon_timing.h"
#include "foundation/ustring.h"
#include "platform/change_source.h"
#include "platform/unique_fd.h"
#include "session/event.h"
#include "session/task.h"

// The recycle folder inside the working folder.
inline constexpr char kRecycleDirName[] = "#ZarqRecycle";

class Detector : public Task {
 public:
  // Makes the change source of a session folder: 0 and *out, or an errno
  // value (EMFILE: no inotify instance left; ENOSPC: no watch left).
  using SourceFactory =
      std::function<int(const std::string& root, std::unique_ptr<platform::ChangeSource>* out)>;

  // Watches with inotify (InotifyChangeSource, the working and recycle
  // folders as its private folders).
  // `timing`: detector_wait, pause_poll.
  explicit Detector(TaskManager* owner, const DaemonTiming& timing = DaemonTiming());
  // Watches with sources made by `factory` (tests).
  Detector(TaskManager* owner, SourceFactory factory, const DaemonTiming& timing = DaemonTiming());
  // Clear(). The thread must have been stopped and joined.
  ~Detector() override;

  Detector(const Detector&) = delete;
  Detector& operator=(const Detector&) = delete;

  // Starts watching the folder `local_path` for session `sess_id`: makes
  // the working and recycle folders, then the session's source (which
  // watches every folder; done before `lock` is taken), then stores it,
  // replacing (and first releasing) a watch the session already had.
  // 0, or -1 after an ERROR: the folder cannot be watched (missing, not a
  // folder, or the kernel's limit of inotify instances or watches is
  // reached; the message names the limit). Nothing is left behind on
  // failure. Any thread; takes `lock`.
  int AddWatch(const ustring& local_path, uint64_t sess_id);

  // Stops watching the session, when it is watched: its descriptor leaves
  // the epoll set and is closed, with every watch; a rename half waiting
  // for its other half is forgotten. Takes `lock`.
  void RemoveWatch(uint64_t sess_id);

  // RemoveWatch of every session, each logged at DEBUG.
  void Clear();

  // The thread body: until the state is STOP, wait up to 1 s for records,
  // read them, translate them into events and queue them. Sleeps 1 s per
  // pass while paused or while no session is watched.
  void DoTask() override;

 private:
  // Which folder a path names: device and inode, and the birth time where
  // the file system keeps one (an inode number is often reused at once by
  // a folder made in place of a removed one).
  struct FolderIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool has_btime = false;
    int64_t btime_sec = 0;
    uint32_t btime_nsec = 0;
    // Fills in the identity of the folder at `path` (links resolved). false
    // with errno set when it cannot be had or is not a folder (ENOTDIR).
    bool Read(const char* path);
    bool operator==(const FolderIdentity&) const = default;
  };

  struct session_info {
    std::unique_ptr<platform::ChangeSource> source;  // null once the root is lost
    ustring path;                                    // the session's local folder
    FolderIdentity identity;                         // the folder's, when watched
    platform::ChangeBatch batch;  // records read, waiting to be translated
    bool lost = false;            // the folder was removed or moved
    // When the source was first seen holding an unpaired move out.
    bool pending_seen = false;
    std::chrono::steady_clock::time_point pending_since;
  };

  // Waits for readable sources (their ids into ready_). 1 with something to
  // read; 0 on a time-out (pending moves are then settled) or with no
  // session; -1 on failure.
  int WaitHandle();
  // Under `lock`: reads every ready source into its batch and handles lost
  // notifications, lost roots and watch failures.
  void ReadFromHandle(bool timed_out);
  // Under `lock`: translates and queues every session's batch.
  void ReadFromBuffer();
  // Drops the session's source (out of the epoll set, then closed); under
  // `lock`.
  void ReleaseSource(session_info& info);

  // Makes root/.ZarqelonWorkingDirectory and its recycle folder (existing
  // real folders are no error) through SessionFolders: a link or file at
  // either name is reported as an error of session `sess_id`, unlinked and
  // replaced.
  void CreateWorkingDirectory(const ustring& root, uint64_t sess_id);
  // Whether the name (relative, no leading "/") lies in the working folder:
  // its first component is the working folder's name, ignoring ASCII case.
  static bool IsFromWorkingDirectory(const std::string& name);
  // Whether `path` ("/..."), is exactly the recycle folder.
  static bool IsRecycleBin(const std::string& path);

  // One record into `ev`: 0 when an event was made, -1 when none. Under
  // `lock`.
  int Translate(Event& ev, uint64_t sess_id, session_info& info,
                const platform::ChangeRecord& record, size_t index, size_t count);
  // Queues `ev` (a rename as removal then creation; a created folder also
  // gets an expand).
  void PushEvent(Event& ev);
  void PrintFileNotifyInformation(const platform::ChangeRecord& record, size_t index, size_t count);
  // Whether the session's folder is still the one watched (same identity).
  bool RootIntact(const session_info& info) const;

  SourceFactory factory_;
  const DaemonTiming timing_;
  platform::UniqueFd epoll_fd_;
  std::set<uint64_t> ready_;  // sessions whose source polled readable; DoTask's thread only

  std::mutex lock;  // guards index, cache and every session's source and batch
  std::map<uint64_t, session_info> index;
  // Per session: the old path of a rename whose new name has not been read yet.
  std::map<uint64_t, ustring> cache;
};

#endif  // SESSION_DETECTOR_H_
