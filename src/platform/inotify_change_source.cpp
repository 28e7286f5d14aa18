#include "platform/inotify_change_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/ascii_case.h"

namespace platform {

namespace {

constexpr uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                               IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                               IN_DONT_FOLLOW | IN_ONLYDIR | IN_EXCL_UNLINK;
// The root may be given as a link to the folder; only it is resolved.
constexpr uint32_t kRootMask = kTreeMask & ~static_cast<uint32_t>(IN_DONT_FOLLOW);
// Private folders: enough to pair moves with the tree and to see their
// removal, nothing of the writes the caller makes in them.
constexpr uint32_t kPrivateMask = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;
constexpr uint32_t kRootLossMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

constexpr size_t kReadChunk = 64 * 1024;
// Above this the event buffer is given back after a batch: a drained
// overflow may have grown it to megabytes.
constexpr size_t kKeepBuffer = 1024 * 1024;

// The kernel's queue length, so that one Read can take a full queue and its
// overflow marker.
size_t MaxQueuedEvents() {
  static const size_t value = [] {
    size_t v = 16384;
    if (FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "re")) {
      unsigned long n = 0;
      if (fscanf(f, "%lu", &n) == 1 && n > 0) v = n;
      (void)fclose(f);  // read-only
    }
    return v;
  }();
  return value;
}

std::string Join(const std::string& folder, const char* name) {
  if (folder.empty()) return name;
  std::string path;
  path.reserve(folder.size() + 1 + strlen(name));
  path += folder;
  path += '/';
  path += name;
  return path;
}

}  // namespace

InotifyChangeSource::InotifyChangeSource(UniqueFd fd, std::string root, InotifyOptions options)
    : fd_(std::move(fd)),
      root_(std::move(root)),
      options_(std::move(options)),
      max_events_(MaxQueuedEvents() + 1) {}

InotifyChangeSource::~InotifyChangeSource() = default;  // closing the descriptor drops every watch

int InotifyChangeSource::Create(const std::string& root, const InotifyOptions& options,
                                std::unique_ptr<InotifyChangeSource>* out) {
  std::string clean = root;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return errno;
  std::unique_ptr<InotifyChangeSource> source(
      new InotifyChangeSource(UniqueFd(fd), std::move(clean), options));
  int err = source->WatchTree("", true);
  if (err != 0) return err;
  source->root_wd_ = source->table_.FindPath("");
  *out = std::move(source);
  return 0;
}

std::string InotifyChangeSource::Full(const std::string& path) const {
  if (path.empty()) return root_;
  std::string full;
  full.reserve(root_.size() + 1 + path.size());
  full += root_;
  full += '/';
  full += path;
  return full;
}

bool InotifyChangeSource::IsPrivate(const std::string& path) const {
  if (options_.private_folder.empty()) return false;
  size_t slash = path.find('/');
  size_t len = slash == std::string::npos ? path.size() : slash;
  return AsciiEqualIgnoringCase(std::string_view(path.data(), len), options_.private_folder);
}

int InotifyChangeSource::PrivateKind(const std::string& path) const {
  if (!IsPrivate(path)) return 0;
  size_t slash = path.find('/');
  if (slash == std::string::npos) return 1;
  if (!options_.private_subfolder.empty() &&
      path.compare(slash + 1, std::string::npos, options_.private_subfolder) == 0) {
    return 2;
  }
  return 0;
}

int InotifyChangeSource::WatchTree(const std::string& path, bool strict) {
  std::vector<std::string> todo{path};
  while (!todo.empty()) {
    std::string folder = std::move(todo.back());
    todo.pop_back();
    const bool is_root = folder.empty();
    std::string full = Full(folder);
    int wd = inotify_add_watch(fd_.get(), full.c_str(), is_root ? kRootMask : kTreeMask);
    if (wd < 0) {
      int err = errno;
      if (is_root) return err;
      // Gone, or no longer a folder, since it was seen: its own records
      // (removal, rename) tell the rest.
      if (err == ENOENT || err == ENOTDIR) continue;
      if (strict) return err;
      NoteWatchFailure(err, folder);
      continue;
    }
    NoteWatchSuccess();
    int dfd = open(full.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_root ? 0 : O_NOFOLLOW));
    if (dfd < 0) {
      int err = errno;
      table_.Set(wd, folder, 0, 0);
      if (is_root || (err != ENOENT && err != ENOTDIR && err != ELOOP)) {
        if (strict) return err;
        NoteWatchFailure(err, folder);
      }
      continue;
    }
    struct stat st;
    if (fstat(dfd, &st) != 0) {
      st.st_dev = 0;
      st.st_ino = 0;
    }
    table_.Set(wd, folder, st.st_dev, st.st_ino);
    DIR* dir = fdopendir(dfd);
    if (dir == nullptr) {
      int err = errno;
      (void)close(dfd);  // read-only descriptor
      if (strict) return err;
      NoteWatchFailure(err, folder);
      continue;
    }
    while (struct dirent* de = readdir(dir)) {
      const char* name = de->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      bool is_dir = de->d_type == DT_DIR;
      if (de->d_type == DT_UNKNOWN) {
        struct stat cst;
        is_dir = fstatat(dirfd(dir), name, &cst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(cst.st_mode);
      }
      if (!is_dir) continue;
      std::string child = Join(folder, name);
      if (is_root && IsPrivate(child)) {
        if (PrivateKind(child) == 1) {
          int err = WatchPrivate(child, strict);
          if (err != 0) {
            (void)closedir(dir);  // read-only descriptor
            return err;
          }
        }
        continue;
      }
      todo.push_back(std::move(child));
    }
    // A listing error (the folder removed while listed) leaves what was
    // found; the removal's own records follow.
    (void)closedir(dir);  // read-only descriptor
  }
  return 0;
}

int InotifyChangeSource::WatchPrivate(const std::string& path, bool strict) {
  std::string full = Full(path);
  int wd = inotify_add_watch(fd_.get(), full.c_str(), kPrivateMask);
  if (wd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return 0;
    if (strict) return err;
    NoteWatchFailure(err, path);
    return 0;
  }
  NoteWatchSuccess();
  struct stat st;
  if (lstat(full.c_str(), &st) != 0) {
    st.st_dev = 0;
    st.st_ino = 0;
  }
  table_.Set(wd, path, st.st_dev, st.st_ino);
  if (PrivateKind(path) == 1 && !options_.private_subfolder.empty()) {
    std::string sub = path + "/" + options_.private_subfolder;
    struct stat sst;
    if (lstat(Full(sub).c_str(), &sst) == 0 && S_ISDIR(sst.st_mode)) return WatchPrivate(sub, strict);
  }
  return 0;
}

void InotifyChangeSource::UnwatchTree(const std::string& path) {
  for (int wd : table_.Subtree(path)) {
    if (wd == root_wd_) continue;
    // EINVAL: the kernel already dropped the watch (the folder is gone).
    (void)inotify_rm_watch(fd_.get(), wd);
    table_.Erase(wd);
  }
}

void InotifyChangeSource::MoveFolder(const std::string& from, const std::string& to) {
  int wd = table_.FindPath(from);
  if (wd >= 0) {
    const InotifyWatchTable::Entry* entry = table_.Find(wd);
    struct stat st;
    // A watch at `from` whose folder is not the one now at `to` belongs to
    // a folder that took the name after this rename (found by a walk that
    // ran late): it stays.
    bool same = entry->ino == 0 || lstat(Full(to).c_str(), &st) != 0 ||
                (st.st_dev == entry->dev && st.st_ino == entry->ino);
    if (same) table_.Rename(from, to);
  }
  // Walked again even when its watches moved with it: a walk that ran
  // before this rename was read, under the old name, missed the folders it
  // reached after the rename. Folders already watched keep their wds.
  WatchTree(to, false);
}

void InotifyChangeSource::FolderArrived(const std::string& path) {
  if (IsPrivate(path)) {
    if (PrivateKind(path) != 0) WatchPrivate(path, false);
    return;
  }
  WatchTree(path, false);
}

bool InotifyChangeSource::Rebuild() {
  pending_ = PendingMove();
  InotifyWatchTable old = std::move(table_);
  table_.Clear();
  int err = WatchTree("", false);
  int wd = table_.FindPath("");
  // The kernel gives a folder's existing wd again, so a root still in place
  // keeps its wd; another wd is another folder at the root's path.
  bool ok = err == 0 && wd == root_wd_;
  for (int w : old.AllWds()) {
    if (table_.Find(w) == nullptr) (void)inotify_rm_watch(fd_.get(), w);  // EINVAL: already gone
  }
  if (!ok) {
    for (int w : table_.AllWds()) (void)inotify_rm_watch(fd_.get(), w);  // EINVAL: already gone
    table_.Clear();
    root_lost_ = true;
  }
  return ok;
}

void InotifyChangeSource::NoteWatchFailure(int err, const std::string& path) {
  if (watch_failing_) return;
  watch_failing_ = true;
  if (noted_errno_ == 0) {
    noted_errno_ = err;
    noted_folder_ = path;
  }
}

int InotifyChangeSource::Drain(size_t* count) {
  raw_.clear();
  *count = 0;
  while (*count < max_events_) {
    size_t old = raw_.size();
    raw_.resize(old + kReadChunk);
    ssize_t n = read(fd_.get(), raw_.data() + old, kReadChunk);
    if (n <= 0) {
      raw_.resize(old);
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return errno;
    }
    raw_.resize(old + static_cast<size_t>(n));
    for (size_t off = old; off + sizeof(inotify_event) <= raw_.size();) {
      inotify_event ev;
      memcpy(&ev, raw_.data() + off, sizeof ev);
      off += sizeof ev + ev.len;
      ++*count;
    }
  }
  return 0;
}

void InotifyChangeSource::Emit(uint32_t action, const std::string& path, ChangeBatch* batch) {
  if (action == kChangeModified && !batch->records.empty()) {
    const ChangeRecord& last = batch->records.back();
    if (last.action == kChangeModified && last.name == path) return;
  }
  batch->records.push_back(ChangeRecord{action, path});
}

void InotifyChangeSource::FlushPending(ChangeBatch* batch) {
  if (!pending_.active) return;
  pending_.active = false;
  Emit(kChangeRemoved, pending_.path, batch);
  // Moved out of the tree: its watches would go on reporting, with paths
  // that are no longer true.
  if (pending_.is_dir) UnwatchTree(pending_.path);
}

void InotifyChangeSource::Translate(const char* data, size_t size, ChangeBatch* batch) {
  bool overflow = false;
  bool lost = false;
  for (size_t off = 0; off + sizeof(inotify_event) <= size;) {
    inotify_event ev;
    memcpy(&ev, data + off, sizeof ev);
    off += sizeof ev + ev.len;
    if (ev.wd == -1 && (ev.mask & IN_Q_OVERFLOW)) overflow = true;
    if (ev.wd == root_wd_ && (ev.mask & kRootLossMask)) lost = true;
  }
  if (lost) {
    // What came with the loss is the loss itself (rm -rf of the root
    // removes every file first): none of it is reported.
    for (int w : table_.AllWds()) (void)inotify_rm_watch(fd_.get(), w);  // EINVAL: already gone
    table_.Clear();
    pending_ = PendingMove();
    root_lost_ = true;
    batch->status = ChangeStatus::kRootLost;
    return;
  }
  if (overflow) {
    batch->status = Rebuild() ? ChangeStatus::kRescan : ChangeStatus::kRootLost;
    return;
  }

  for (size_t off = 0; off + sizeof(inotify_event) <= size;) {
    inotify_event ev;
    memcpy(&ev, data + off, sizeof ev);
    const char* name = data + off + sizeof ev;
    off += sizeof ev + ev.len;

    // IN_IGNORED (a dropped watch) neither reports nor breaks a pair.
    if (ev.mask & IN_IGNORED) {
      table_.Erase(ev.wd);
      continue;
    }
    // The kernel queues a rename's two halves back to back, so any other
    // event settles a pending move out first. Before the event's watch is
    // looked up: a folder moved out must not report what happens in it now.
    const bool pairs = (ev.mask & IN_MOVED_TO) && pending_.active && pending_.cookie == ev.cookie;
    if (!pairs) FlushPending(batch);
    const InotifyWatchTable::Entry* entry = table_.Find(ev.wd);
    if (entry == nullptr) continue;
    // A folder's own events (attributes, removal, move) are reported by its
    // parent under its name.
    if (ev.len == 0 || name[0] == 0) continue;
    std::string path = Join(entry->path, name);
    const bool is_dir = (ev.mask & IN_ISDIR) != 0;

    if (pairs) {
      std::string from = std::move(pending_.path);
      pending_ = PendingMove();
      Emit(kChangeRenamedOldName, from, batch);
      Emit(kChangeRenamedNewName, path, batch);
      if (is_dir) {
        if (IsPrivate(from) || IsPrivate(path)) {
          UnwatchTree(from);
          FolderArrived(path);
        } else {
          MoveFolder(from, path);
        }
      }
      continue;
    }
    if (ev.mask & IN_MOVED_FROM) {
      pending_.active = true;
      pending_.cookie = ev.cookie;
      pending_.is_dir = is_dir;
      pending_.path = std::move(path);
    } else if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
      Emit(kChangeAdded, path, batch);
      if (is_dir) FolderArrived(path);
    } else if (ev.mask & IN_DELETE) {
      Emit(kChangeRemoved, path, batch);  // its own watch ends with IN_IGNORED
    } else if (ev.mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB)) {
      Emit(kChangeModified, path, batch);
    }
  }
}

void InotifyChangeSource::Finish(ChangeBatch* batch) {
  if (noted_errno_ != 0) {
    batch->watch_errno = noted_errno_;
    batch->watch_error_folder = std::move(noted_folder_);
    noted_errno_ = 0;
    noted_folder_.clear();
  }
  if (raw_.capacity() > kKeepBuffer) std::vector<char>().swap(raw_);
}

void InotifyChangeSource::Read(ChangeBatch* batch) {
  batch->Clear();
  if (root_lost_) {
    batch->status = ChangeStatus::kRootLost;
    return;
  }
  size_t count = 0;
  int err = Drain(&count);
  if (err != 0) {
    batch->read_errno = err;
    batch->status = Rebuild() ? ChangeStatus::kRescan : ChangeStatus::kRootLost;
  } else {
    Translate(raw_.data(), raw_.size(), batch);
  }
  Finish(batch);
}

void InotifyChangeSource::SettlePendingMove(ChangeBatch* batch) {
  batch->Clear();
  if (root_lost_) {
    batch->status = ChangeStatus::kRootLost;
    return;
  }
  FlushPending(batch);
  Finish(batch);
}

}  // namespace platform
