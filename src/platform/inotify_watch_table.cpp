#include "platform/inotify_watch_table.h"

namespace platform {

void InotifyWatchTable::Set(int wd, const std::string& path, dev_t dev, ino_t ino) {
  auto known = by_wd_.find(wd);
  if (known != by_wd_.end() && known->second.path != path) {
    auto old = by_path_.find(known->second.path);
    if (old != by_path_.end() && old->second == wd) by_path_.erase(old);
  }
  by_wd_[wd] = Entry{path, dev, ino};
  by_path_[path] = wd;
}

const InotifyWatchTable::Entry* InotifyWatchTable::Find(int wd) const {
  auto it = by_wd_.find(wd);
  return it == by_wd_.end() ? nullptr : &it->second;
}

int InotifyWatchTable::FindPath(const std::string& path) const {
  auto it = by_path_.find(path);
  return it == by_path_.end() ? -1 : it->second;
}

std::pair<InotifyWatchTable::PathMap::const_iterator, InotifyWatchTable::PathMap::const_iterator>
InotifyWatchTable::Below(const std::string& path) const {
  if (path.empty()) {
    auto first = by_path_.begin();
    if (first != by_path_.end() && first->first.empty()) ++first;
    return {first, by_path_.end()};
  }
  // "a/" .. "a0": '0' is the byte after '/', so every "a/..." sorts between.
  std::string lo = path + "/";
  std::string hi = path + "0";
  return {by_path_.lower_bound(lo), by_path_.lower_bound(hi)};
}

std::vector<int> InotifyWatchTable::Subtree(const std::string& path) const {
  std::vector<int> wds;
  auto self = by_path_.find(path);
  if (self != by_path_.end()) wds.push_back(self->second);
  auto [first, last] = Below(path);
  for (auto it = first; it != last; ++it) wds.push_back(it->second);
  return wds;
}

void InotifyWatchTable::Erase(int wd) {
  auto it = by_wd_.find(wd);
  if (it == by_wd_.end()) return;
  auto p = by_path_.find(it->second.path);
  if (p != by_path_.end() && p->second == wd) by_path_.erase(p);
  by_wd_.erase(it);
}

void InotifyWatchTable::Rename(const std::string& from, const std::string& to) {
  if (from == to) return;
  std::vector<std::pair<std::string, int>> moved;
  auto self = by_path_.find(from);
  if (self != by_path_.end()) moved.emplace_back(to, self->second);
  auto [first, last] = Below(from);
  for (auto it = first; it != last; ++it) {
    moved.emplace_back(to + it->first.substr(from.size()), it->second);
  }
  if (self != by_path_.end()) by_path_.erase(self);
  // Below() again: erasing `from` itself does not move the range, but the
  // iterators of the first call must not outlive the erase of their keys.
  auto range = Below(from);
  by_path_.erase(range.first, range.second);
  for (auto& [path, wd] : moved) {
    by_wd_[wd].path = path;
    by_path_[path] = wd;
  }
}

std::vector<int> InotifyWatchTable::AllWds() const {
  std::vector<int> wds;
  wds.reserve(by_wd_.size());
  for (const auto& [wd, entry] : by_wd_) wds.push_back(wd);
  return wds;
}

}  // namespace platform
