// Rename that never replaces an existing target.
#ifndef PLATFORM_RENAME_NOREPLACE_H_
#define PLATFORM_RENAME_NOREPLACE_H_

namespace platform {

// Moves `from` to `to` only when nothing exists at `to`; neither path is
// followed when it is a symbolic link (the link itself moves).
//
// Uses renameat2(RENAME_NOREPLACE). On a file system that refuses the flag
// (EINVAL), a non-folder is moved with link(2) + unlink(2), which is just as
// atomic about the target; when hard links are refused too (EPERM, ENOTSUP)
// and always for a folder, it falls back to an existence test + rename(2),
// which leaves a short window in which another process can take `to`.
//
// Returns 0 on success, else the errno value of the failure: EEXIST when
// `to` exists, ENOENT when `from` is missing, EXDEV across file systems, ...
// Thread-safe; takes no lock (callers serialise with their own mutex).
[[nodiscard]] int RenameNoReplace(const char* from, const char* to);

// The same with each path relative to its open folder (`from_dir`,
// `to_dir`; AT_FDCWD: the working directory), as renameat2(2) takes them.
[[nodiscard]] int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to);
// The same, but skips renameat2 and uses only the fallback path; lets tests
// exercise the fallback on file systems that accept the flag.
[[nodiscard]] int RenameNoReplaceFallbackForTest(const char* from, const char* to);

}  // namespace platform

#endif  // PLATFORM_RENAME_NOREPLACE_H_
