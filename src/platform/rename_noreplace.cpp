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
int TestThenRename(const char* from, const char* to) {
  struct stat st;
  if (lstat(to, &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  if (rename(from, to) != 0) return errno;
  return 0;
}

int Fallback(const char* from, const char* to) {
  struct stat st;
  if (lstat(from, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return TestThenRename(from, to);

  // link(2) fails with EEXIST rather than replace, and does not follow a
  // link at `from`, so the target is never overwritten.
  if (link(from, to) == 0) {
    if (unlink(from) == 0) return 0;
    int err = errno;
    // Leave the one original name rather than two; if even this fails the
    // data is still reachable under both names, nothing is lost.
    (void)unlink(to);
    return err;
  }
  int err = errno;
  if (err == EPERM || err == EOPNOTSUPP || err == EMLINK) return TestThenRename(from, to);
  return err;
}

}  // namespace

int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  // EINVAL: the file system does not know the flag (also a folder moved into
  // itself, which the fallback refuses again with the same code).
  if (err != EINVAL && err != ENOSYS) return err;
  return Fallback(from, to);
}

int RenameNoReplaceFallbackForTest(const char* from, const char* to) { return Fallback(from, to); }

}  // namespace platform
