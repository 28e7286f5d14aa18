#include "platform/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

namespace {

// Descriptors kept open along the path from the top folder down; deeper
// trees close the oldest ones and reopen them on the way back.
constexpr size_t kMaxOpenFolders = 32;

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Entry {
  std::string name;
  unsigned char type;  // d_type
};

struct Frame {
  UniqueFd fd;                 // invalid while closed to save descriptors
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;            // name in the parent; empty for the top
  std::vector<Entry> pending;  // entries not yet removed
};

class TreeRemover {
 public:
  explicit TreeRemover(const std::function<void(RemoveStep, int)>& on_error) : on_error_(on_error) {}

  // Removes `path` relative to `dir_fd` (AT_FDCWD: as open(2) would).
  int Run(int dir_fd, const char* path) {
    UniqueFd top(openat(dir_fd, path, kOpenFolderFlags));
    if (!top.valid()) {
      if (errno != ENOENT) Fail(RemoveStep::kOpenFolder, errno);  // gone is removed
      return first_error_;
    }
    if (!Push(std::move(top), "")) return first_error_;
    root_dev_ = frames_[0].dev;

    while (!frames_.empty()) {
      Frame& frame = frames_.back();
      if (frame.pending.empty()) {
        if (!Pop()) return first_error_;  // lost the way back up: stop here
        continue;
      }
      Entry entry = std::move(frame.pending.back());
      frame.pending.pop_back();
      RemoveEntry(frame.fd.get(), entry);
    }
    if (unlinkat(dir_fd, path, AT_REMOVEDIR) != 0 && errno != ENOENT) Fail(RemoveStep::kRemoveFolder, errno);
    return first_error_;
  }

 private:
  void Fail(RemoveStep step, int err) {
    if (first_error_ == 0) first_error_ = err;
    if (on_error_) on_error_(step, err);
  }

  void RemoveEntry(int dir_fd, const Entry& entry) {
    if (entry.type != DT_DIR) {
      if (unlinkat(dir_fd, entry.name.c_str(), 0) == 0) return;
      int err = errno;
      if (err == ENOENT) return;  // already gone
      // d_type may be DT_UNKNOWN or stale; unlink of a folder says EISDIR.
      if (err != EISDIR) {
        Fail(RemoveStep::kRemoveEntry, err);
        return;
      }
    }
    UniqueFd child(openat(dir_fd, entry.name.c_str(), kOpenFolderFlags));
    if (!child.valid()) {
      int err = errno;
      if (err == ENOENT) return;
      if (err == ENOTDIR || err == ELOOP) {
        // Replaced by a file or link since it was listed: unlink that.
        if (unlinkat(dir_fd, entry.name.c_str(), 0) != 0 && errno != ENOENT) {
          Fail(RemoveStep::kRemoveEntry, errno);
        }
        return;
      }
      Fail(RemoveStep::kOpenFolder, err);
      return;
    }
    Push(std::move(child), entry.name);
  }

  // Records the folder, lists it and makes it the current frame. False
  // (reported) when it cannot be examined; the folder is then left alone.
  bool Push(UniqueFd fd, const std::string& name) {
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
      Fail(RemoveStep::kOpenFolder, errno);
      return false;
    }
    if (!frames_.empty() && st.st_dev != root_dev_) {
      // A file system mounted inside the tree is not ours to empty.
      Fail(RemoveStep::kOpenFolder, EXDEV);
      return false;
    }
    Frame frame;
    frame.dev = st.st_dev;
    frame.ino = st.st_ino;
    frame.name = name;
    if (!List(fd.get(), &frame.pending)) Fail(RemoveStep::kOpenFolder, errno);
    frame.fd = std::move(fd);
    frames_.push_back(std::move(frame));
    if (frames_.size() - first_open_ > kMaxOpenFolders) {
      frames_[first_open_].fd.reset();
      ++first_open_;
    }
    return true;
  }

  // Ends the current frame: makes sure the parent is open, then removes the
  // emptied folder from it. False when the parent cannot be found again.
  bool Pop() {
    if (frames_.size() == 1) {
      frames_.pop_back();
      return true;
    }
    size_t parent_index = frames_.size() - 2;
    Frame& child = frames_.back();
    Frame& parent = frames_[parent_index];
    if (!parent.fd.valid()) {
      UniqueFd up(openat(child.fd.get(), "..", kOpenFolderFlags));
      struct stat st;
      if (!up.valid() || fstat(up.get(), &st) != 0) {
        Fail(RemoveStep::kOpenFolder, errno);
        return false;
      }
      if (st.st_dev != parent.dev || st.st_ino != parent.ino) {
        // The folder was moved elsewhere meanwhile: its ".." is no longer
        // the folder we came from, and nothing there is ours to remove.
        Fail(RemoveStep::kOpenFolder, ESTALE);
        return false;
      }
      parent.fd = std::move(up);
      first_open_ = parent_index;
    }
    std::string name = std::move(child.name);
    frames_.pop_back();
    if (unlinkat(parent.fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      Fail(RemoveStep::kRemoveFolder, errno);
    }
    return true;
  }

  // Reads every entry but "." and ".." of the open folder `fd`. False with
  // errno set on failure (entries read so far are kept).
  static bool List(int fd, std::vector<Entry>* out) {
    int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0) return false;
    DIR* d = fdopendir(dup_fd);
    if (d == nullptr) {
      int err = errno;
      (void)close(dup_fd);
      errno = err;
      return false;
    }
    bool ok = true;
    for (;;) {
      errno = 0;
      struct dirent* e = readdir(d);
      if (e == nullptr) {
        ok = errno == 0;
        break;
      }
      const char* n = e->d_name;
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
      out->push_back({n, e->d_type});
    }
    int err = errno;
    (void)closedir(d);  // read-only stream
    errno = err;
    return ok;
  }

  const std::function<void(RemoveStep, int)>& on_error_;
  std::vector<Frame> frames_;
  size_t first_open_ = 0;  // frames below this index have their fd closed
  dev_t root_dev_ = 0;
  int first_error_ = 0;
};

}  // namespace

int RemoveTree(const char* path, const std::function<void(RemoveStep, int)>& on_error) {
  TreeRemover remover(on_error);
  return remover.Run(AT_FDCWD, path);
}

int RemoveTreeAt(int dir_fd, const char* name, const std::function<void(RemoveStep, int)>& on_error) {
  TreeRemover remover(on_error);
  return remover.Run(dir_fd, name);
}

}  // namespace platform
