// Removal of a folder with everything in it, never following a link.
#ifndef PLATFORM_REMOVE_TREE_H_
#define PLATFORM_REMOVE_TREE_H_

#include <functional>

namespace platform {

// The step of RemoveTree that failed.
enum class RemoveStep {
  kOpenFolder,    // a folder could not be opened or listed
  kRemoveEntry,   // a file, link or special file could not be unlinked
  kRemoveFolder,  // a folder could not be removed once emptied
};

// Removes the folder `path` and its contents. Subfolders are opened with
// openat(O_DIRECTORY|O_NOFOLLOW) relative to their parent and entries are
// removed with unlinkat, so a link (or a special file) is unlinked, never
// followed, and no path longer than PATH_MAX is ever formed. At most a few
// dozen descriptors are open at any depth: deeper parents are closed and
// reopened through ".." (checked by device and inode) on the way back up.
// A folder on another file system (a mount point inside the tree) is not
// entered. `path` itself must be a folder, not a link to one.
//
// Every failure is reported through on_error (if set) and the walk goes on
// with the remaining entries; an entry that vanished meanwhile (ENOENT,
// another thread removing the same tree) is no failure. Returns 0 when the
// whole tree is gone (also when `path` was already missing), else the errno
// value of the first failure. Thread-safe; no lock.
[[nodiscard]] int RemoveTree(const char* path, const std::function<void(RemoveStep, int err)>& on_error);

// RemoveTree of the entry `name` of the open folder `dir_fd`: the same walk,
// with `name` opened and finally removed relative to `dir_fd`, so a change
// of the path above it meanwhile cannot lead it elsewhere.
[[nodiscard]] int RemoveTreeAt(int dir_fd, const char* name,
                               const std::function<void(RemoveStep, int err)>& on_error);

}  // namespace platform

#endif  // PLATFORM_REMOVE_TREE_H_
