#include "worker/walk_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

}  // namespace

WalkFolders::Listing WalkFolders::Enter(const ustring& name, std::vector<DIR_ENTRY>* entries) {
  entries->clear();
  Frame frame;
  if (frames_.empty()) {
    frame.fd.reset(open(name.c_str_utf8(), kFolderFlags));
  } else if (frames_.back().fd.valid()) {
    frame.fd.reset(openat(frames_.back().fd.get(), name.c_str_utf8(), kFolderFlags | O_NOFOLLOW));
  }
  struct stat st;
  if (frame.fd.valid() && fstat(frame.fd.get(), &st) == 0) {
    frame.dev = st.st_dev;
    frame.ino = st.st_ino;
    frame.opened = true;
  } else {
    frame.fd.reset();
  }
  const Listing result = frame.opened ? List(frame.fd.get(), entries) : Listing::kOpenFailed;
  frames_.push_back(std::move(frame));
  if (frames_.size() - first_open_ > kMaxOpen) {
    frames_[first_open_].fd.reset();
    ++first_open_;
  }
  return result;
}

void WalkFolders::Leave() {
  if (frames_.empty()) return;
  bool reopened = false;
  if (frames_.size() >= 2) {
    Frame& child = frames_.back();
    Frame& parent = frames_[frames_.size() - 2];
    if (!parent.fd.valid() && parent.opened && child.fd.valid()) {
      platform::UniqueFd up(openat(child.fd.get(), "..", kFolderFlags | O_NOFOLLOW));
      struct stat st;
      // A parent whose ".." is another folder now (the child moved away)
      // stays closed: nothing more is opened below it.
      if (up.valid() && fstat(up.get(), &st) == 0 && st.st_dev == parent.dev && st.st_ino == parent.ino) {
        parent.fd = std::move(up);
        reopened = true;
      }
    }
  }
  frames_.pop_back();
  // Descriptors are closed from the root down, so a reopened parent is the
  // first open one.
  if (reopened) {
    first_open_ = frames_.size() - 1;
  } else if (first_open_ > frames_.size()) {
    first_open_ = frames_.size();
  }
}

WalkFolders::Listing WalkFolders::List(int fd, std::vector<DIR_ENTRY>* entries) const {
  const int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return Listing::kOpenFailed;
  DIR* d = fdopendir(dup_fd);
  if (d == nullptr) {
    (void)close(dup_fd);
    return Listing::kOpenFailed;
  }
  Listing result = Listing::kListed;
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (e == nullptr) {
      if (errno != 0) result = Listing::kReadFailed;
      break;
    }
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    DIR_ENTRY entry;
    entry.type = FileTypeOfDtype(e->d_type);
    if (with_times_ || e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        result = Listing::kReadFailed;
        break;
      }
      entry.type = FileTypeOfMode(st.st_mode);
      if (with_times_) {
        entry.mtime = static_cast<uint32_t>(st.st_mtime);
        entry.size = entry.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
      }
    }
    entry.name = n;
    entries->push_back(std::move(entry));
  }
  (void)closedir(d);  // read-only stream
  return result;
}
