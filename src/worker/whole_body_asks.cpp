#include "worker/whole_body_asks.h"

WholeBodyAsks& WholeBodyAsks::Shared() {
  static WholeBodyAsks shared;
  return shared;
}

WholeBodyAsks::Key WholeBodyAsks::KeyOf(const Event& ev) {
  return {ev.m_sess_id, std::string(ev.m_path.c_str_utf8(), ev.m_path.length())};
}

void WholeBodyAsks::Ask(const Event& ev) {
  std::lock_guard<std::mutex> lk(lock);
  asks[KeyOf(ev)] = ev.m_sync_id;
}

bool WholeBodyAsks::Asked(const Event& ev) const {
  std::lock_guard<std::mutex> lk(lock);
  auto it = asks.find(KeyOf(ev));
  return it != asks.end() && it->second == ev.m_sync_id;
}

void WholeBodyAsks::Drop(const Event& ev) {
  std::lock_guard<std::mutex> lk(lock);
  auto it = asks.find(KeyOf(ev));
  if (it != asks.end() && it->second == ev.m_sync_id) asks.erase(it);
}
