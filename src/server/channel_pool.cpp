#include <algorithm>

#include "foundation/logger.h"
#include "server/connection.h"
#include "transport/proxy_channel.h"
#include "transport/proxy_tunnel_channel.h"
#include "transport/tunnel_channel.h"

namespace {
constexpr char kComponent[] = "connection_debug";
constexpr size_t kChannelCapacity = 0x14000;  // 81920, the daemon's ring size

std::unique_ptr<Channel> NewChannel(const ProxyInfo* proxy, const TunnelInfo* tunnel) {
  if (proxy != nullptr && tunnel != nullptr) return std::make_unique<ProxyTunnelChannel>(*proxy, *tunnel);
  if (proxy != nullptr) return std::make_unique<ProxyChannel>(*proxy);
  if (tunnel != nullptr) return std::make_unique<TunnelChannel>(*tunnel);
  return std::make_unique<Channel>(kChannelCapacity);
}
}  // namespace

Connection::ChannelPool::ChannelPool(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
  reset(capacity, proxy, tunnel);
}

Connection::ChannelPool::~ChannelPool() { reset(0, nullptr, nullptr); }

Connection::ChannelStat Connection::ChannelPool::pop() {
  std::unique_lock<std::mutex> lk(lock);
  for (;;) {
    if (freeze_mode) {
      ++blocked_pops;
      freeze_signal.wait(lk);
      --blocked_pops;
      continue;
    }
    if (ready_q.empty()) {
      ++blocked_pops;
      return_signal.wait(lk);
      --blocked_pops;
      continue;
    }
    break;
  }
  std::pop_heap(ready_q.begin(), ready_q.end());
  ChannelStat stat = ready_q.back();
  ready_q.pop_back();
  in_use_q.push_back(stat);
  return stat;
}

void Connection::ChannelPool::push(Channel* channel, uint32_t expire) {
  std::lock_guard<std::mutex> lk(lock);
  auto it = std::find_if(in_use_q.begin(), in_use_q.end(),
                         [channel](const ChannelStat& s) { return s.channel == channel; });
  if (it == in_use_q.end()) return;
  channel->SetFlag(nullptr);
  ready_q.emplace_back(expire, channel);
  std::push_heap(ready_q.begin(), ready_q.end());
  in_use_q.erase(it);
  // Every waiter: a reset waits on this signal beside the poppers, and a
  // popper that wakes during a reset moves on to freeze_signal without
  // taking the channel, so waking one could leave the reset asleep.
  return_signal.notify_all();
}

int Connection::ChannelPool::update(Channel* channel, uint32_t expire) {
  std::lock_guard<std::mutex> lk(lock);
  for (ChannelStat& s : in_use_q) {
    if (s.channel == channel) {
      s.expire = expire;
      break;
    }
  }
  return 0;
}

void Connection::ChannelPool::reset(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel) {
  (void)reset(capacity, proxy, tunnel, std::chrono::milliseconds::max());  // an endless wait always ends in a reset
}

bool Connection::ChannelPool::reset(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel,
                                    std::chrono::milliseconds wait) {
  Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] channel-pool(%d): reset channel pool with capacity %u\n",
                 __LINE__, capacity);
  std::unique_lock<std::mutex> lk(lock);
  freeze_mode = true;
  auto all_back = [this] { return ready_q.size() == total_size; };
  if (wait == std::chrono::milliseconds::max()) {
    return_signal.wait(lk, all_back);
  } else if (!return_signal.wait_for(lk, wait, all_back)) {
    // A borrower that keeps its channel must not keep the caller: the pool
    // goes on as it was, and the takers that waited for the reset go on.
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] channel-pool(%d): %zu channel(s) still lent after %lld ms, the pool is not reset\n",
                   __LINE__, in_use_q.size(), static_cast<long long>(wait.count()));
    freeze_mode = false;
    return_signal.notify_all();
    freeze_signal.notify_all();
    return false;
  }
  for (ChannelStat& s : ready_q) {
    // The last borrower's flag may be gone already; Close must not read it.
    s.channel->SetFlag(nullptr);
    // A pooled channel holds no unsent request here; nothing to report.
    (void)s.channel->Close();
  }
  ready_q.clear();
  owned.clear();
  total_size = capacity;
  for (unsigned i = 0; i < capacity; ++i) {
    owned.push_back(NewChannel(proxy, tunnel));
    ready_q.emplace_back(ChannelStat::kNotConnected, owned.back().get());
  }
  std::make_heap(ready_q.begin(), ready_q.end());
  freeze_mode = false;
  return_signal.notify_all();
  freeze_signal.notify_all();
  return true;
}

unsigned Connection::ChannelPool::blockedPops() {
  std::lock_guard<std::mutex> lk(lock);
  return blocked_pops;
}

bool Connection::ChannelPool::frozen() {
  std::lock_guard<std::mutex> lk(lock);
  return freeze_mode;
}

int Connection::ChannelPool::isConnected2() {
  std::lock_guard<std::mutex> lk(lock);
  if (!ready_q.empty() && ready_q.front().expire != ChannelStat::kNotConnected) return 1;
  for (const ChannelStat& s : in_use_q) {
    if (s.expire != ChannelStat::kNotConnected) return 1;
  }
  return 0;
}

bool Connection::ChannelPool::isConnected() {
  std::lock_guard<std::mutex> lk(lock);
  if (!ready_q.empty() && !ready_q.front().isExpired()) return true;
  for (const ChannelStat& s : in_use_q) {
    if (!s.isExpired()) return true;
  }
  return false;
}
