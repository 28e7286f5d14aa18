#include "session/own_changes.h"

#include <sys/stat.h>

#include <iterator>

OwnChanges& OwnChanges::Instance() {
  static OwnChanges* table = new OwnChanges;  // never destroyed: workers may outlive static destruction
  return *table;
}

OwnChanges::Act::Act(OwnChanges& table, uint64_t sess_id)
    : table_(table), sess_id_(sess_id), lock_(table.mutex_) {}

void OwnChanges::Act::Done(const char* full) {
  if (!lock_.owns_lock()) return;
  struct stat st;
  if (lstat(full, &st) == 0 && S_ISREG(st.st_mode)) table_.RecordLocked(sess_id_, FileIdentity::FromStat(st));
  lock_.unlock();
}

void OwnChanges::RecordLocked(uint64_t sess_id, const FileIdentity& identity) {
  const auto now = std::chrono::steady_clock::now();
  if (now >= next_sweep_) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = now - it->second.at >= kKeep ? entries_.erase(it) : std::next(it);
    }
    next_sweep_ = now + std::chrono::seconds(1);
  }
  const Key key{sess_id, identity.dev, identity.ino};
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxEntries) return;
    it = entries_.emplace(key, Entry()).first;
  }
  // An earlier act still unclaimed keeps its count: its notification, read
  // later, finds the file as this act left it, which is still no change of
  // the user's.
  it->second.identity = identity;
  ++it->second.acts;
  it->second.at = now;
}

bool OwnChanges::Claim(uint64_t sess_id, const char* full) {
  std::lock_guard<std::mutex> guard(mutex_);
  struct stat st;
  if (lstat(full, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const FileIdentity now = FileIdentity::FromStat(st);
  if (!now.valid) return false;
  auto it = entries_.find(Key{sess_id, now.dev, now.ino});
  if (it == entries_.end()) return false;
  if (!it->second.identity.Same(now) || std::chrono::steady_clock::now() - it->second.at >= kKeep) {
    entries_.erase(it);
    return false;
  }
  if (--it->second.acts == 0) entries_.erase(it);
  return true;
}

void OwnChanges::Forget(uint64_t sess_id) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.lower_bound(Key{sess_id, 0, 0});
  while (it != entries_.end() && std::get<0>(it->first) == sess_id) it = entries_.erase(it);
}

size_t OwnChanges::size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}
