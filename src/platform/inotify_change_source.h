// ChangeSource over Linux inotify: one instance per watched tree.
#ifndef PLATFORM_INOTIFY_CHANGE_SOURCE_H_
#define PLATFORM_INOTIFY_CHANGE_SOURCE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/change_source.h"
#include "platform/inotify_watch_table.h"
#include "platform/unique_fd.h"

namespace platform {

struct InotifyOptions {
  // A top-level folder of the tree that belongs to the caller, not to the
  // tree (matched ignoring ASCII letter case, as the caller ignores it):
  // it is not walked. It and its subfolder `private_subfolder` (exact name)
  // get watches of their own for creations, removals and moves only, so
  // that a move between the tree and them pairs like any other rename and
  // their removal is seen. A folder moved into them loses its watches; one
  // moved out into the tree gains them. Empty: no such folder.
  std::string private_folder;
  std::string private_subfolder;
};

// Recursive change notifications for the folder tree at `root`:
//   - every folder has a watch, added before the folder is listed, so that
//     nothing made in it is missed; a new folder (made or moved in) gets
//     watches over its whole subtree, without records for what the listing
//     finds (the caller lists a new folder itself);
//   - folders are found with d_type or fstatat(AT_SYMLINK_NOFOLLOW) and
//     watched with IN_DONT_FOLLOW|IN_ONLYDIR: nothing is followed through a
//     link (only `root` itself may be a link, which is resolved once);
//   - a rename is a kChangeRenamedOldName record directly followed by its
//     kChangeRenamedNewName (paired by the kernel's cookie, across folders
//     too); a move out of the tree becomes a removal, a move in an
//     addition. A move out read last waits for its pair until the next
//     Read or SettlePendingMove;
//   - creation is kChangeAdded, removal kChangeRemoved, and a write, a close
//     after writing or an attribute change (time, mode: the execute bit is
//     synced) kChangeModified; identical consecutive modifications of one
//     batch collapse into one;
//   - each Read drains the kernel queue (up to max_queued_events records),
//     so an overflow is seen at once: the batch is then discarded, the
//     watches rebuilt from a fresh walk and kRescan returned.
// Not thread-safe: one thread at a time (see ChangeSource).
class InotifyChangeSource final : public ChangeSource {
 public:
  // Starts watching `root` (absolute path). 0 and *out, or the errno value
  // of the failure, with nothing left behind (no descriptor, no watch):
  //   EMFILE  the per-user limit of inotify instances is reached
  //           (/proc/sys/fs/inotify/max_user_instances);
  //   ENOSPC  the per-user limit of watches is reached
  //           (/proc/sys/fs/inotify/max_user_watches);
  //   ENOMEM, or what watching or opening `root` itself gave (ENOENT,
  //   ENOTDIR, EACCES, ...).
  // A subfolder that cannot be watched for another reason is reported in
  // the first batch (ChangeBatch::watch_errno).
  static int Create(const std::string& root, const InotifyOptions& options,
                    std::unique_ptr<InotifyChangeSource>* out);

  ~InotifyChangeSource() override;

  int fd() const override { return fd_.get(); }
  void Read(ChangeBatch* batch) override;
  bool HasPendingMove() const override { return pending_.active; }
  void SettlePendingMove(ChangeBatch* batch) override;

  // The number of folders watched (tree and private ones).
  size_t WatchCount() const { return table_.size(); }

 private:
  struct PendingMove {
    bool active = false;
    uint32_t cookie = 0;
    bool is_dir = false;
    std::string path;
  };

  InotifyChangeSource(UniqueFd fd, std::string root, InotifyOptions options);

  std::string Full(const std::string& path) const;
  // Whether `path` is, or lies in, a private folder; which private folder
  // `path` is exactly (0 none, 1 the top one, 2 its subfolder).
  bool IsPrivate(const std::string& path) const;
  int PrivateKind(const std::string& path) const;

  // Watches the folder `path` and every folder below it, each watched
  // before it is listed. With `strict`, the first failure that is not a
  // folder vanishing meanwhile ends the walk with its errno value; else
  // failures are noted (NoteWatchFailure) and the walk goes on. Returns 0
  // or that errno value.
  int WatchTree(const std::string& path, bool strict);
  // Watches a private folder (and, for the top one, its subfolder).
  int WatchPrivate(const std::string& path, bool strict);
  // Removes the watches of `path` and every folder below it.
  void UnwatchTree(const std::string& path);
  // Handles a folder renamed inside the tree from `from` to `to`: its
  // watches follow it and its subtree is walked again.
  void MoveFolder(const std::string& from, const std::string& to);
  // A new folder arrived at `path` (made or moved in).
  void FolderArrived(const std::string& path);
  // Re-walks the whole tree; false when the root is gone or replaced.
  bool Rebuild();

  void NoteWatchFailure(int err, const std::string& path);
  void NoteWatchSuccess() { watch_failing_ = false; }

  // Reads the queue into raw_ until it is empty or holds max_events_
  // records. 0 or the errno value of a failed read.
  int Drain(size_t* count);
  void Translate(const char* data, size_t size, ChangeBatch* batch);
  void Emit(uint32_t action, const std::string& path, ChangeBatch* batch);
  // The pending move out, unpaired: a removal.
  void FlushPending(ChangeBatch* batch);
  void Finish(ChangeBatch* batch);

  UniqueFd fd_;
  std::string root_;
  InotifyOptions options_;
  InotifyWatchTable table_;
  int root_wd_ = -1;
  bool root_lost_ = false;
  PendingMove pending_;
  size_t max_events_;
  std::vector<char> raw_;
  // Watch failures: true from a noted failure to the next success.
  bool watch_failing_ = false;
  int noted_errno_ = 0;  // the failure to report with the next batch
  std::string noted_folder_;
};

}  // namespace platform

#endif  // PLATFORM_INOTIFY_CHANGE_SOURCE_H_
