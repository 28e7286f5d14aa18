#include "platform/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/local_time.h"
#include "platform/rename_noreplace.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

constexpr char kInfoSuffix[] = ".trashinfo";
// Names tried before giving up; each try costs two system calls.
constexpr int kMaxNameTries = 10000;

// mkdir -p for the trash folders, following links as the user set them up
// (a data folder linked elsewhere is common); the final folders must be
// folders. Returns 0 or the errno value.
int MakeFolders(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    int err = MakeFolders(path.substr(0, slash));
    if (err != 0) return err;
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// The absolute form of `path` without trailing "/". Returns 0 or errno.
int Absolute(const char* path, std::string* out) {
  std::string p(path);
  if (p.empty()) return ENOENT;
  if (p[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return errno;
    std::string base(cwd);
    free(cwd);
    p = (base == "/" ? "" : base) + "/" + p;
  }
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  *out = p;
  return 0;
}

// The last component, cut at a UTF-8 boundary so that "<name>_<n>.trashinfo"
// fits NAME_MAX.
std::string TrashBaseName(const std::string& abs) {
  std::string base = abs.substr(abs.find_last_of('/') + 1);
  const size_t limit = NAME_MAX - (sizeof kInfoSuffix - 1) - 6;  // room for "_10000"
  if (base.size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  return base;
}

int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}


// The device of `path`, or of its nearest existing ancestor when it is
// missing (the home trash is made on first use). Returns 0 or errno.
int NearestExistingDevice(std::string path, dev_t* dev) {
  struct stat st;
  for (;;) {
    if (stat(path.c_str(), &st) == 0) {
      *dev = st.st_dev;
      return 0;
    }
    if (errno != ENOENT && errno != ENOTDIR) return errno;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ENOENT;
    path.resize(slash == 0 ? 1 : slash);
  }
}

// The mount point of the file system holding the entry `abs` (device
// `dev`), found by climbing from its real parent folder while the device
// stays the same, and the entry's path relative to it. An entry that is
// itself a mount point cannot be renamed: EBUSY. Returns 0 or errno.
int VolumeTopDir(const std::string& abs, dev_t dev, std::string* top, std::string* rel) {
  const size_t slash = abs.find_last_of('/');
  const std::string parent = slash == 0 ? "/" : abs.substr(0, slash);
  char* real = realpath(parent.c_str(), nullptr);
  if (real == nullptr) return errno;
  std::string cur(real);
  free(real);
  struct stat st;
  if (stat(cur.c_str(), &st) != 0) return errno;
  if (st.st_dev != dev) return EBUSY;
  const std::string entry = (cur == "/" ? "" : cur) + abs.substr(slash);
  while (cur != "/") {
    const size_t up_slash = cur.find_last_of('/');
    const std::string up = up_slash == 0 ? "/" : cur.substr(0, up_slash);
    if (stat(up.c_str(), &st) != 0) return errno;
    if (st.st_dev != dev) break;
    cur = up;
  }
  *top = cur;
  *rel = entry.substr(cur == "/" ? 1 : cur.size() + 1);
  return 0;
}

// mkdir that accepts an existing folder of this user, but never a link, a
// file or another user's folder (on a shared volume anyone may have made
// the name first). Returns 0 or errno.
int MakeOwnFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != geteuid()) return EPERM;
  return 0;
}

int MakeVolumeTrash(const std::string& trash) {
  int err = MakeOwnFolder(trash);
  if (err == 0) err = MakeOwnFolder(trash + "/files");
  if (err == 0) err = MakeOwnFolder(trash + "/info");
  return err;
}

// Reserves a name in `trash`/info with O_EXCL, writes its .trashinfo with
// `path_value`, then renames `abs` to `trash`/files/<name> without
// replacing. Returns 0 or errno (the reservation is released on failure).
int MoveInto(const std::string& abs, const std::string& trash, const std::string& path_value) {
  const std::string files = trash + "/files";
  const std::string info = trash + "/info";
  char date[32];
  if (FormatLocalTime(CurrentTime(), "%Y-%m-%dT%H:%M:%S", date, sizeof date) < 0) return EINVAL;
  const std::string content = "[Trash Info]\nPath=" + path_value + "\nDeletionDate=" + date + "\n";

  const std::string base = TrashBaseName(abs);
  for (int n = 1; n <= kMaxNameTries; ++n) {
    const std::string name = n == 1 ? base : base + "_" + std::to_string(n);
    const std::string info_path = info + "/" + name + kInfoSuffix;
    UniqueFd fd(open(info_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return errno;
    }
    int err = WriteAll(fd.get(), content);
    fd.reset();
    if (err == 0) {
      err = RenameNoReplace(abs.c_str(), (files + "/" + name).c_str());
      if (err == 0) return 0;
    }
    // Release the reservation; a leftover info file without its entry is
    // only noise, so a failure here is not worth more than the first error.
    (void)unlink(info_path.c_str());
    if (err != EEXIST) return err;  // EEXIST: files/<name> held by an orphan
  }
  return EEXIST;
}

}  // namespace

std::string HomeTrashDir() {
  const char* data = getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/Trash";
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/Trash";
  return "";
}

std::string TrashPathEncode(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string TrashDirOf(const char* path) {
  std::string abs;
  struct stat st;
  if (Absolute(path, &abs) != 0 || abs == "/" || lstat(abs.c_str(), &st) != 0) return "";
  const std::string home = HomeTrashDir();
  dev_t home_dev = 0;
  if (!home.empty() && NearestExistingDevice(home, &home_dev) == 0 && home_dev == st.st_dev) {
    struct stat files_st;
    if (stat((home + "/files").c_str(), &files_st) != 0 || files_st.st_dev == st.st_dev) return home;
  }
  std::string top;
  std::string rel;
  if (VolumeTopDir(abs, st.st_dev, &top, &rel) != 0) return "";
  return VolumeTrashDir(top);
}

int MoveToTrash(const char* path) {
  std::string abs;
  int err = Absolute(path, &abs);
  if (err != 0) return err;
  if (abs == "/") return EINVAL;
  struct stat st;
  if (lstat(abs.c_str(), &st) != 0) return errno;

  const std::string home = HomeTrashDir();
  if (home.empty()) return ENOENT;
  dev_t home_dev = 0;
  if ((err = NearestExistingDevice(home, &home_dev)) != 0) return err;
  if (home_dev == st.st_dev) {
    if ((err = MakeFolders(home + "/files")) != 0) return err;
    if ((err = MakeFolders(home + "/info")) != 0) return err;
    struct stat files_st;
    if (stat((home + "/files").c_str(), &files_st) != 0) return errno;
    // A home trash linked to another file system cannot take the entry by
    // a rename; the entry's own volume may.
    if (files_st.st_dev == st.st_dev) return MoveInto(abs, home, TrashPathEncode(abs));
  }

  std::string top;
  std::string rel;
  if ((err = VolumeTopDir(abs, st.st_dev, &top, &rel)) != 0) return err;
  const std::string volume = VolumeTrashDir(top);
  if ((err = MakeVolumeTrash(volume)) != 0) return err;
  return MoveInto(abs, volume, TrashPathEncode(rel));
}

bool IsVolumeTrash(const char* path) {
  // Only this user's trash name can be one: no file-system call otherwise.
  const std::string name = VolumeTrashDir("/").substr(1);
  const char* last = strrchr(path, '/');
  if (name != (last != nullptr ? last + 1 : path)) return false;
  std::string abs;
  struct stat st;
  if (Absolute(path, &abs) != 0 || abs == "/" || lstat(abs.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::string top;
  std::string rel;
  return VolumeTopDir(abs, st.st_dev, &top, &rel) == 0 && rel == ".Trash-" + std::to_string(geteuid());
}

std::string VolumeTrashDir(const std::string& topdir) {
  return (topdir == "/" ? "" : topdir) + "/.Trash-" + std::to_string(geteuid());
}

}  // namespace platform
