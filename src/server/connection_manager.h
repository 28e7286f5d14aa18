// ConnectionManager: the process-wide index of server connections by
// connection id.
//
// The application thread adds, reloads and removes connections; the tasks
// (Syncer, ProgressSyncer, workers) take copies with get() once per round or
// event. A copy shares the stored connection's pool of four channels and
// holds its own copy of the settings, so after reload() running tasks use
// the new channels at once and the new settings from their next get().
//
// Threads: every operation takes `lock`; all but reload() for their whole
// run. Lock order: manager `lock`, then a pool's lock. reload() waits for
// the lent channels of the pool without `lock` and for a bounded time. No
// operation lets go of a pool share while it holds `lock` (remove, clear,
// and get replacing the caller's copy): the last share of a removed
// connection closes its channels in the thread that drops it, never under
// the manager's lock. A thread that holds a lent channel of a connection
// must not reload it (it would wait on itself). The application interrupts
// a connection's tasks before it reloads or removes it, which brings their
// channels back.
//
// Log component "connection_debug".
#ifndef SERVER_CONNECTION_MANAGER_H_
#define SERVER_CONNECTION_MANAGER_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "server/connection.h"
#include "server/connection_info.h"
#include "transport/proxy_info.h"

class ConnectionManager {
 public:
  // The process's instance: built on first use (thread-safe), destroyed at
  // process exit. Only the application wiring reaches it; tasks are handed
  // a reference.
  static ConnectionManager* getInstance();

  // An empty manager (tests build their own).
  ConnectionManager() = default;
  // Drops every connection (see clear()).
  ~ConnectionManager() = default;
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // Stores Connection(info, proxy, tunnel) under info.conn_id. 0, or -1 when
  // that id is present (nothing changes). Null pointers: no proxy, no tunnel.
  int add(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);
  // On the stored connection: ChannelPool::reset(4, proxy, tunnel, wait)
  // first (waits up to `wait` for every lent channel, without `lock`), then
  // every setting is overwritten from the arguments (null: cleared). 0; -1
  // when conn_id is absent; -2 when a channel was still lent after `wait`
  // (nothing changed).
  int reload(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel,
             std::chrono::milliseconds wait = std::chrono::milliseconds::max());
  // Erases the entry when present; the pool goes with its last copy (here,
  // after `lock` is released, when no task holds one).
  void remove(uint64_t conn_id);
  // `out` shares the stored pool (its former share dropped once `lock` is
  // released) and copies the settings. 0, or -1 (out untouched) when absent.
  int get(uint64_t conn_id, Connection& out);
  // `out` emptied, then a copy of every connection in ascending id order. 0.
  int get(std::vector<Connection>& out);
  // Erases every entry (the "unlink" of the application).
  void clear();

 private:
  std::map<uint64_t, Connection> index;
  std::mutex lock;
};

#endif  // SERVER_CONNECTION_MANAGER_H_
