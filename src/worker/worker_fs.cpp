#include "worker/worker_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "foundation/file_op.h"
#include "platform/rename_noreplace.h"

namespace worker_fs {

bool IsMd4Hex(const ustring& hash) {
  if (hash.length() != 32) return false;
  for (size_t i = 0; i < hash.length(); ++i) {
    const char c = hash[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

ustring ParentOf(const ustring& path) {
  const size_t slash = path.find_last_of('/');
  return slash == ustring::npos ? ustring() : path.substr(0, slash);
}

int SyncPath(const ustring& path, bool is_folder) {
  const int fd = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (is_folder ? O_DIRECTORY : 0));
  if (fd < 0) return -1;
  const int rc = fsync(fd);
  close(fd);
  return rc == 0 ? 0 : -1;
}

int RenameNoReplaceSynced(const ustring& from, const ustring& to) {
  int err;
  {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = platform::RenameNoReplace(from.c_str_utf8(), to.c_str_utf8());
  }
  // The entry is in place either way; a failed flush only weakens a crash.
  if (err == 0) (void)SyncPath(ParentOf(to), true);
  return err;
}

int MoveFileAcross(const ustring& from, const ustring& to) {
  ustring temp;
  if (FSMktemp(ParentOf(to), temp) != 0) return EIO;
  if (FSCopy(from, temp, false) != 0 || SyncPath(temp, false) != 0) {
    (void)FSRemove(temp, false);
    return EIO;
  }
  const int err = RenameNoReplaceSynced(temp, to);
  if (err != 0) {
    (void)FSRemove(temp, false);
    return err;
  }
  // The copy is safe in place; a source that cannot be removed is only a
  // leftover.
  (void)FSRemove(from, false);
  return 0;
}

}  // namespace worker_fs
