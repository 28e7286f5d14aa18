#include "server/connection_manager.h"

ConnectionManager* ConnectionManager::getInstance() {
  static ConnectionManager instance;
  return &instance;
}

int ConnectionManager::add(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
  std::lock_guard<std::mutex> lk(lock);
  if (index.count(info.conn_id) != 0) return -1;
  index.emplace(info.conn_id, Connection(info, proxy, tunnel));
  return 0;
}

int ConnectionManager::reload(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel,
                              std::chrono::milliseconds wait) {
  shared_pointer<Connection::ChannelPool> pool;
  {
    std::lock_guard<std::mutex> lk(lock);
    auto it = index.find(info.conn_id);
    if (it == index.end()) return -1;
    pool = it->second.pool;
  }
  // Outside the lock: the reset waits for lent channels, and every task
  // calls get() between its requests.
  // The stored connection always has a pool: only add() makes entries.
  if (!pool->reset(4, proxy, tunnel, wait)) return -2;
  std::lock_guard<std::mutex> lk(lock);
  auto it = index.find(info.conn_id);
  if (it == index.end()) return -1;
  Connection& conn = it->second;
  conn.conn_info = info;
  if (proxy != nullptr) {
    conn.proxy_info = *proxy;
  } else {
    conn.proxy_info.clear();
  }
  conn.tunnel_info = tunnel != nullptr ? *tunnel : TunnelInfo{};
  return 0;
}

// The removing and replacing operations below let go of pool shares only
// after `lock` is released: a last share closes the pool's channels, which
// must not hold back every other task's get().

void ConnectionManager::remove(uint64_t conn_id) {
  std::map<uint64_t, Connection> gone;
  {
    std::lock_guard<std::mutex> lk(lock);
    auto it = index.find(conn_id);
    if (it == index.end()) return;
    gone.insert(index.extract(it));
  }
}

int ConnectionManager::get(uint64_t conn_id, Connection& out) {
  Connection found;
  {
    std::lock_guard<std::mutex> lk(lock);
    auto it = index.find(conn_id);
    if (it == index.end()) return -1;
    found = it->second;
  }
  out = found;  // out's former share goes here, outside the lock
  return 0;
}

int ConnectionManager::get(std::vector<Connection>& out) {
  std::vector<Connection> copies;
  {
    std::lock_guard<std::mutex> lk(lock);
    copies.reserve(index.size());
    for (const auto& [id, conn] : index) copies.push_back(conn);
  }
  out.swap(copies);  // the former contents go with `copies`, outside the lock
  return 0;
}

void ConnectionManager::clear() {
  std::map<uint64_t, Connection> gone;
  {
    std::lock_guard<std::mutex> lk(lock);
    gone.swap(index);
  }
}
