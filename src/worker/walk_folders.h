// WalkFolders: the open folders of a walk, from its root down to the folder
// being listed, with a bounded number of descriptors. Worker source files
// only (Walk and the conflict test's subtree comparison).
#ifndef WORKER_WALK_FOLDERS_H_
#define WORKER_WALK_FOLDERS_H_

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "foundation/file_op.h"
#include "foundation/ustring.h"
#include "platform/unique_fd.h"

// Each folder below the root is opened with openat(O_DIRECTORY|O_NOFOLLOW)
// relative to its parent, so a link is never followed and no path is formed
// to reach it, and listed whole at once. At most kMaxOpen descriptors are
// held whatever the depth: the oldest are closed and, on the way back up,
// reopened through ".." (checked by device and inode; a folder moved away
// meanwhile leaves its parent closed, and its later sub-folders then fail to
// open). One thread; not copyable.
class WalkFolders {
 public:
  static constexpr size_t kMaxOpen = 32;

  // Result of Enter.
  enum class Listing {
    kListed,      // every entry read
    kOpenFailed,  // nothing read: the folder could not be opened
    kReadFailed,  // the listing broke off; the entries read so far are given
  };

  // `with_times`: fill each entry's mtime and size (lstat of the entry).
  explicit WalkFolders(bool with_times) : with_times_(with_times) {}
  WalkFolders(const WalkFolders&) = delete;
  WalkFolders& operator=(const WalkFolders&) = delete;

  // First call: opens the root `name` as a path (a link there is followed,
  // as the caller named it). Later calls: opens the folder `name` of the
  // innermost entered folder. Either way the folder becomes the innermost
  // one, also when it fails to open, and `*entries` receives its entries but
  // "." and "..", typed as FSReadDir types them (an entry gone before it was
  // examined is left out). Every Enter is matched by one Leave.
  Listing Enter(const ustring& name, std::vector<DIR_ENTRY>* entries);
  // Closes the innermost folder; its parent becomes the innermost one.
  void Leave();
  // Folders entered and not left.
  size_t depth() const { return frames_.size(); }

 private:
  struct Frame {
    platform::UniqueFd fd;  // invalid while closed to save descriptors, or when the open failed
    dev_t dev = 0;
    ino_t ino = 0;
    bool opened = false;    // the open succeeded once: dev and ino are known
  };

  Listing List(int fd, std::vector<DIR_ENTRY>* entries) const;

  const bool with_times_;
  std::vector<Frame> frames_;
  size_t first_open_ = 0;  // frames below this index have their descriptor closed
};

#endif  // WORKER_WALK_FOLDERS_H_
