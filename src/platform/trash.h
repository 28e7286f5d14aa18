// The freedesktop.org trash: the home trash, and the per-volume trash
// "$topdir/.Trash-$uid" for entries on another file system; each holds
// files/<name> plus info/<name>.trashinfo.
#ifndef PLATFORM_TRASH_H_
#define PLATFORM_TRASH_H_

#include <string>

namespace platform {

// The home trash folder: $XDG_DATA_HOME/Trash when that variable is set and
// absolute, else $HOME/.local/share/Trash; "" when neither can be formed.
// The environment is read at each call.
std::string HomeTrashDir();

// Moves the entry `path` (file, folder, link or special file; a link itself
// is moved, never followed) into a trash, made if missing: the home trash
// when the entry is on its file system, else the trash of the entry's own
// volume, VolumeTrashDir(topdir) where topdir is the mount point of the
// entry's file system (made with mode 0700; an existing one must be a
// folder of this user, not a link). The trash name is reserved by creating
// info/<name>.trashinfo with O_EXCL, whose "Path=" holds the original path
// percent-encoded (absolute in the home trash, relative to topdir in a
// volume trash) and "DeletionDate=" the local time (YYYY-MM-DDThh:mm:ss);
// then the entry is moved with a no-replace rename to files/<name>. A taken
// name gets a suffix "_2", "_3", ...
//
// Never copies and never deletes the entry: when no trash on its file
// system can be used, nothing is changed. Returns 0, or the errno value of
// the failure (the reserved info file is removed again): ENOENT without a
// home trash location, EBUSY for a mount point, EACCES or EROFS for a
// volume whose top folder refuses the trash, ENOTDIR or EPERM for a
// volume trash name held by a link, a file or another user, ...
// Thread-safe: concurrent callers reserve different names.
[[nodiscard]] int MoveToTrash(const char* path);

// The trash folder MoveToTrash(path) would move the entry into (the home
// trash or its volume's), without making anything; "" when the entry or
// its volume cannot be examined.
std::string TrashDirOf(const char* path);

// The trash folder of the volume mounted at `topdir`: topdir/.Trash-$uid
// (the effective user id).
std::string VolumeTrashDir(const std::string& topdir);

// Whether `path` is the trash folder of this user at the mount point of its
// own volume (a folder holding the mount point's trash must not be moved
// into it).
bool IsVolumeTrash(const char* path);

// The "Path=" value for an absolute path: every byte but ASCII letters,
// digits, "-", ".", "_", "~" and "/" as %XX.
std::string TrashPathEncode(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_TRASH_H_
