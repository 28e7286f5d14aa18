#include "session/registry.h"

#include <optional>

void Registry::Entry::clear() {
  conn_id = 0;
  sess_id = 0;
  view_id = 0;
  node_id = 0;
  recycle_time = 0;
  recursive = false;
  pause = false;
  local_path.clear();
  remote_path.clear();
  config_path.clear();
  // An empty pointer keeps its counter block; one that holds an object
  // drops this entry's share and takes a fresh block.
  if (black_list) black_list = static_cast<BlackList2*>(nullptr);
  if (white_list) white_list = static_cast<WhiteListCpp*>(nullptr);
  if (force_hash_check_list) force_hash_check_list = static_cast<ForceHashCheckListCpp*>(nullptr);
  if (event_db) event_db = static_cast<FileEventDB*>(nullptr);
  isMSDOS = false;
  read_only = false;
  perm_mode = PERM_SYNC_ALL;
}

Registry& Registry::getInstance() {
  static Registry instance;
  return instance;
}

void Registry::Set(const Entry& entry) {
  std::optional<Entry> replaced;  // destroyed after the mutex is released
  std::lock_guard<std::mutex> lock(mutex);
  auto it = index.find(entry.sess_id);
  if (it == index.end()) {
    index.emplace(entry.sess_id, entry);
    return;
  }
  replaced.emplace(it->second);
  it->second = entry;
}

int Registry::Find(uint64_t sess_id, Entry& entry) const {
  std::optional<Entry> found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    found.emplace(it->second);
  }
  entry = *found;  // the caller's previous objects are released outside the mutex
  return 1;
}

int Registry::FindNext(uint64_t sess_id, Entry& entry) const {
  std::optional<Entry> found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (index.empty()) return 0;
    auto it = index.lower_bound(sess_id);
    if (it != index.end() && it->first == sess_id) ++it;
    else it = index.end();
    if (it == index.end()) it = index.begin();
    found.emplace(it->second);
  }
  entry = *found;
  return 1;
}

void Registry::GetAll(std::vector<Entry>& list) const {
  list.clear();
  std::lock_guard<std::mutex> lock(mutex);
  list.reserve(index.size());
  for (const auto& kv : index) list.push_back(kv.second);
}

void Registry::Clear(uint64_t sess_id) {
  decltype(index)::node_type removed;  // destroyed after the mutex is released
  std::lock_guard<std::mutex> lock(mutex);
  removed = index.extract(sess_id);
}

void Registry::Remove(uint64_t sess_id) { Clear(sess_id); }

void Registry::Clear() {
  decltype(index) removed;  // destroyed after the mutex is released
  std::lock_guard<std::mutex> lock(mutex);
  removed.swap(index);
}

size_t Registry::Size() {
  std::lock_guard<std::mutex> lock(mutex);
  return index.size();
}

void Registry::InitRecycleTime(const Entry& entry, uint32_t time) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = index.find(entry.sess_id);
  if (it == index.end()) return;
  uint32_t& stored = it->second.recycle_time;
  if (stored == 0 || stored > time) stored = time;
}

void Registry::UpdateRecycleTime(const Entry& entry, uint32_t time) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = index.find(entry.sess_id);
  if (it != index.end()) it->second.recycle_time = time;
}

int Registry::SetFlag(uint64_t sess_id, bool Entry::*field, bool value) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = index.find(sess_id);
  if (it == index.end()) return 0;
  it->second.*field = value;
  return 1;
}

int Registry::SetReadOnly(uint64_t sess_id, bool read_only) { return SetFlag(sess_id, &Entry::read_only, read_only); }

int Registry::SetRecursive(uint64_t sess_id, bool recursive) { return SetFlag(sess_id, &Entry::recursive, recursive); }

int Registry::SetPause(uint64_t sess_id, bool pause) { return SetFlag(sess_id, &Entry::pause, pause); }

void Registry::lock() const { mutex.lock(); }

void Registry::unlock() const { mutex.unlock(); }
