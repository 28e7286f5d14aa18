#include "platform/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

int MoveToTrash(const char* path) {
  std::string abs;
  int err = Absolute(path, &abs);
  if (err != 0) return err;
  if (abs == "/") return EINVAL;
  struct stat st;
  if (lstat(abs.c_str(), &st) != 0) return errno;

  std::string trash = HomeTrashDir();
  if (trash.empty()) return ENOENT;
  const std::string files = trash + "/files";
  const std::string info = trash + "/info";
  if ((err = MakeFolders(files)) != 0) return err;
  if ((err = MakeFolders(info)) != 0) return err;
  struct stat files_st;
  if (stat(files.c_str(), &files_st) != 0) return errno;
  // Checked first so that nothing is reserved for a move that cannot be a
  // rename; the rename below refuses EXDEV anyway.
  if (files_st.st_dev != st.st_dev) return EXDEV;

  char date[32];
  if (FormatLocalTime(CurrentTime(), "%Y-%m-%dT%H:%M:%S", date, sizeof date) < 0) return EINVAL;
  const std::string content =
      "[Trash Info]\nPath=" + TrashPathEncode(abs) + "\nDeletionDate=" + date + "\n";

  const std::string base = TrashBaseName(abs);
  for (int n = 1; n <= kMaxNameTries; ++n) {
    const std::string name = n == 1 ? base : base + "_" + std::to_string(n);
    const std::string info_path = info + "/" + name + kInfoSuffix;
    UniqueFd fd(open(info_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return errno;
    }
    err = WriteAll(fd.get(), content);
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

}  // namespace platform
