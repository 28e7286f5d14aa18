// The map between inotify watch descriptors and the folders they watch.
#ifndef PLATFORM_INOTIFY_WATCH_TABLE_H_
#define PLATFORM_INOTIFY_WATCH_TABLE_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

// wd <-> folder path (relative to the watched root: "" is the root, "a/b"
// below it), with the folder's device and inode as they were when it was
// watched. Paths are kept in a sorted map so that a folder and everything
// below it ("a", "a/...") form one range: moving or dropping a subtree
// costs its own size plus a lookup. Plain data: no system call, no lock.
class InotifyWatchTable {
 public:
  struct Entry {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
  };

  InotifyWatchTable() = default;
  InotifyWatchTable(const InotifyWatchTable&) = delete;
  InotifyWatchTable& operator=(const InotifyWatchTable&) = delete;
  InotifyWatchTable(InotifyWatchTable&&) = default;
  InotifyWatchTable& operator=(InotifyWatchTable&&) = default;

  // Records that `wd` watches `path`. A wd known under another path moves
  // to this one (the kernel gives the same wd for a folder watched twice,
  // so the folder was renamed meanwhile); a path known with another wd now
  // names this one (the other folder was replaced; its wd keeps its stale
  // path until it is erased).
  void Set(int wd, const std::string& path, dev_t dev, ino_t ino);

  // The entry of `wd`, or null.
  const Entry* Find(int wd) const;
  // The wd watching `path`, or -1.
  int FindPath(const std::string& path) const;

  // The wds of `path` and of every folder below it, `path` first.
  std::vector<int> Subtree(const std::string& path) const;

  // Forgets `wd`.
  void Erase(int wd);

  // Renames `from` and every folder below it to `to` (with the same rest).
  // Paths already known under `to` are replaced.
  void Rename(const std::string& from, const std::string& to);

  // Every wd, in no particular order.
  std::vector<int> AllWds() const;

  size_t size() const { return by_wd_.size(); }
  void Clear() {
    by_wd_.clear();
    by_path_.clear();
  }

 private:
  using PathMap = std::map<std::string, int>;
  // The range of the folders strictly below `path` in by_path_ (for the
  // root "": every other folder).
  std::pair<PathMap::const_iterator, PathMap::const_iterator> Below(const std::string& path) const;

  std::unordered_map<int, Entry> by_wd_;
  PathMap by_path_;
};

}  // namespace platform

#endif  // PLATFORM_INOTIFY_WATCH_TABLE_H_
