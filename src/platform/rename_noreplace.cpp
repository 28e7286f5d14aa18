#include "platform/rename_noreplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

// Existence test + rename(2): the best that remains when the file system
// takes neither RENAME_NOREPLACE nor hard links.
int TestThenRename(int from_dir, const char* from, int to_dir, const char* to) {
  struct stat st;
  if (fstatat(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  if (renameat(from_dir, from, to_dir, to) != 0) return errno;
  return 0;
}

int Fallback(int from_dir, const char* from, int to_dir, const char* to) {
  struct stat st;
  if (fstatat(from_dir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return TestThenRename(from_dir, from, to_dir, to);

  // link(2) fails with EEXIST rather than replace, and does not follow a
  // link at `from`, so the target is never overwritten.
  if (linkat(from_dir, from, to_dir, to, 0) == 0) {
    if (unlinkat(from_dir, from, 0) == 0) return 0;
    int err = errno;
    // Leave the one original name rather than two; if even this fails the
    // data is still reachable under both names, nothing is lost.
    (void)unlinkat(to_dir, to, 0);
    return err;
  }
  int err = errno;
  if (err == EPERM || err == EOPNOTSUPP || err == EMLINK) return TestThenRename(from_dir, from, to_dir, to);
  return err;
}

}  // namespace

int RenameNoReplace(const char* from, const char* to) { return RenameNoReplaceAt(AT_FDCWD, from, AT_FDCWD, to); }

int RenameNoReplaceAt(int from_dir, const char* from, int to_dir, const char* to) {
  if (renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  // EINVAL: the file system does not know the flag (also a folder moved into
  // itself, which the fallback refuses again with the same code).
  if (err != EINVAL && err != ENOSYS) return err;
  return Fallback(from_dir, from, to_dir, to);
}

int RenameNoReplaceFallbackForTest(const char* from, const char* to) {
  return Fallback(AT_FDCWD, from, AT_FDCWD, to);
}

}  // namespace platform
