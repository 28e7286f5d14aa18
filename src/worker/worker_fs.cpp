#include "worker/worker_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

#include "foundation/file_op.h"
#include "platform/copy_data.h"
#include "platform/rename_noreplace.h"
#include "platform/unique_fd.h"
#include "session/own_changes.h"

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

int RenameNoReplaceSynced(const ustring& from, const ustring& to, const std::function<void()>& moved) {
  int err;
  {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = platform::RenameNoReplace(from.c_str_utf8(), to.c_str_utf8());
  }
  if (err == 0 && moved) moved();
  // The entry is in place either way; a failed flush only weakens a crash.
  if (err == 0) (void)SyncPath(ParentOf(to), true);
  return err;
}

int SetOwnTime(uint64_t sess_id, const ustring& path, long mtime) {
  OwnChanges::Act act(OwnChanges::Instance(), sess_id);
  if (FSUTime(path, mtime, mtime) < 0) return -1;
  act.Done(path.c_str_utf8());
  return 0;
}

int RenameIntoSynced(const ustring& from, int dir_fd, const char* name) {
  int err;
  {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = platform::RenameNoReplaceAt(AT_FDCWD, from.c_str_utf8(), dir_fd, name);
  }
  // The entry is in place either way; a failed flush only weakens a crash.
  if (err == 0) (void)fsync(dir_fd);
  return err;
}

int MoveFileAcrossInto(const ustring& from, int dir_fd, const char* name) {
  platform::UniqueFd in(open(from.c_str_utf8(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!in.valid() || fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  ustring temp;
  platform::UniqueFd out;
  for (int i = 0; i < 10 && !out.valid(); ++i) {
    if (FSCreateTempPath("", temp) != 0) return EIO;
    out.reset(openat(dir_fd, temp.c_str_utf8() + 1, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() && errno != EEXIST) return errno;
  }
  if (!out.valid()) return EEXIST;
  const char* temp_name = temp.c_str_utf8() + 1;
  constexpr size_t kBufferSize = 1 << 16;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kBufferSize]);
  platform::CopyStep step = platform::CopyStep::kRead;
  int err = buf ? platform::CopyData(in.get(), out.get(), buf.get(), kBufferSize, &step) : ENOMEM;
  // The copy keeps the source's mode and times, as a rename would.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (err == 0 && (fchmod(out.get(), st.st_mode & 07777) != 0 || futimens(out.get(), times) != 0 ||
                   fsync(out.get()) != 0)) {
    err = errno;
  }
  if (err == 0 && close(out.release()) != 0) err = errno;  // a delayed write error shows here
  if (err == 0) {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = platform::RenameNoReplaceAt(dir_fd, temp_name, dir_fd, name);
  }
  if (err != 0) {
    (void)unlinkat(dir_fd, temp_name, 0);  // only the copy made here
    return err;
  }
  (void)fsync(dir_fd);  // the copy is in place; a failed flush only weakens a crash
  // The copy is safe in place; a source that cannot be removed is only a
  // leftover.
  (void)FSRemove(from, false);
  return 0;
}

bool IsMountPoint(const ustring& path) {
  struct stat own;
  struct stat parent;
  if (lstat(path.c_str_utf8(), &own) != 0 || !S_ISDIR(own.st_mode)) return false;
  const ustring up = ParentOf(path);
  if (up.empty() || stat(up.c_str_utf8(), &parent) != 0) return false;
  return own.st_dev != parent.st_dev;
}

int MoveFileAcross(const ustring& from, const ustring& to) {
  const ustring parent = ParentOf(to);
  if (parent.empty() || parent.length() + 1 >= to.length()) return EINVAL;
  const ustring leaf = to.substr(parent.length() + 1);
  platform::UniqueFd dir(open(parent.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return errno;
  return MoveFileAcrossInto(from, dir.get(), leaf.c_str_utf8());
}

}  // namespace worker_fs
