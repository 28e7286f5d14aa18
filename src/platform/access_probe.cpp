#include "platform/access_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

namespace {

bool Denied(int err) { return err == EACCES || err == EPERM; }

// The folder holding `path` ("." for a bare name, "/" for "/x").
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

// Whether another open file description holds a lock that conflicts with
// `type` over the whole file.
bool LockConflicts(int fd, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  fl.l_pid = 0;  // F_OFD_GETLK requires 0
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

}  // namespace

bool AccessBlocked(const char* path, AccessWanted wanted) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;

  if (wanted.read) {
    if (faccessat(AT_FDCWD, path, R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 && Denied(errno)) {
      return true;
    }
    if (S_ISREG(st.st_mode)) {
      UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
      if (!fd.valid()) return Denied(errno) || errno == EAGAIN || errno == EWOULDBLOCK;
      // Reading conflicts with a write lock; reading and writing with any.
      if (LockConflicts(fd.get(), wanted.write ? F_WRLCK : F_RDLCK)) return true;
    }
  }
  if (wanted.write &&
      faccessat(AT_FDCWD, path, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 && Denied(errno)) {
    return true;
  }
  if (wanted.remove) {
    std::string parent = ParentOf(path);
    if (faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && Denied(errno)) {
      return true;
    }
  }
  return false;
}

}  // namespace platform
