// Small file-system steps of the download and recycle paths.
#ifndef WORKER_WORKER_FS_H_
#define WORKER_WORKER_FS_H_

#include <cstdint>
#include <functional>

#include "foundation/ustring.h"

namespace worker_fs {

// Whether `hash` is an MD4 as the event database stores it: exactly 32
// lower-case hexadecimal digits. Anything else never reaches a lookup.
bool IsMd4Hex(const ustring& hash);

// The path up to its last "/" ("" when there is none).
ustring ParentOf(const ustring& path);

// Flushes the file or folder at `path` to the disk. 0, or -1.
int SyncPath(const ustring& path, bool is_folder);

// Moves `from` to `to` only when nothing is at `to`, under the file layer's
// rename mutex, then flushes the target's folder. 0, or the errno value of
// the failure (EEXIST when `to` is taken, EXDEV across file systems).
// `moved`, when given, runs once the entry is in place and before the flush.
int RenameNoReplaceSynced(const ustring& from, const ustring& to, const std::function<void()>& moved = nullptr);

// RenameNoReplaceSynced onto the entry `name` of the open folder `dir_fd`
// (the recycle folder as SessionFolders opened it: a link put at its path
// since cannot redirect the move). 0, or the errno value.
int RenameIntoSynced(const ustring& from, int dir_fd, const char* name);

// A regular file onto the entry `name` of the open folder `dir_fd` across
// file systems: copied into that folder under a temporary name, flushed,
// moved without replacing, then the source removed. 0, or the errno value (EINVAL: not a regular
// file; EEXIST when `name` is taken).
int MoveFileAcrossInto(const ustring& from, int dir_fd, const char* name);

// Sets the modification time of the file `path` of session `sess_id` in
// place (FSUTime), as the session's own act: the watcher does not report
// it back while the file stays as left. 0 or -1.
int SetOwnTime(uint64_t sess_id, const ustring& path, long mtime);

// Whether `path` is a folder on another file system than its parent folder
// (a mount point): it can be neither renamed nor moved into a recycle
// folder. Links are not followed.
bool IsMountPoint(const ustring& path);

// MoveFileAcrossInto onto the path `to`, whose folder is opened without
// following a link at its last component. 0, or the errno value (EEXIST
// when `to` is taken).
int MoveFileAcross(const ustring& from, const ustring& to);

}  // namespace worker_fs

#endif  // WORKER_WORKER_FS_H_
