// The freedesktop.org home trash: files/<name> plus info/<name>.trashinfo.
#ifndef PLATFORM_TRASH_H_
#define PLATFORM_TRASH_H_

#include <string>

namespace platform {

// The home trash folder: $XDG_DATA_HOME/Trash when that variable is set and
// absolute, else $HOME/.local/share/Trash; "" when neither can be formed.
// The environment is read at each call.
std::string HomeTrashDir();

// Moves the entry `path` (file, folder, link or special file; a link itself
// is moved, never followed) into the home trash, made if missing. The
// trash name is reserved by creating info/<name>.trashinfo with O_EXCL,
// whose "Path=" holds the absolute original path percent-encoded and
// "DeletionDate=" the local time (YYYY-MM-DDThh:mm:ss); then the entry is
// moved with a no-replace rename to files/<name>. A taken name gets a
// suffix "_2", "_3", ...
//
// Never copies and never deletes the entry: when the trash is on another
// file system the result is EXDEV and nothing is changed. Returns 0, or the
// errno value of the failure (the reserved info file is removed again).
// Thread-safe: concurrent callers reserve different names.
[[nodiscard]] int MoveToTrash(const char* path);

// The "Path=" value for an absolute path: every byte but ASCII letters,
// digits, "-", ".", "_", "~" and "/" as %XX.
std::string TrashPathEncode(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_TRASH_H_
