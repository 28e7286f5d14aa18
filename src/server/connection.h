// Connection: one server connection with its pool of four channels, shared
// by every task that talks to that server.
//
// A task takes a channel with pop(), hands it its abort flag, handshakes it
// when it has expired (then setConnected() and update()), runs its request,
// then setAliveInterval() with the reply's "alive" or setExpired() after a
// failure, detaches its flag, and always push()es the stat back. The request
// road (request_road.h) does all of this; nothing else should.
//
// Threads: a Connection object belongs to one thread; its copies, on any
// threads, share one ChannelPool, which locks itself.
#ifndef SERVER_CONNECTION_H_
#define SERVER_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "server/connection_info.h"
#include "session/shared_pointer.h"
#include "transport/channel.h"
#include "transport/proxy_info.h"

class Connection {
 public:
  // One pooled channel with its keep-alive time. A plain value: copying it
  // copies the pointer, never the channel.
  class ChannelStat {
   public:
    // `expire` of a channel that must be opened and handshaken before use.
    static constexpr uint32_t kNotConnected = 0xFFFFFFFFu;
    // `expire` of a handshaken channel whose request is running: in the
    // past (365 days after 1970), so isExpired() still holds, but not
    // kNotConnected, so the pool counts it as connected.
    static constexpr uint32_t kConnected = 31536000u;

    ChannelStat() = default;
    ChannelStat(uint32_t expire, Channel* channel) : expire(expire), channel(channel) {}

    // Heap order: a < b when a expires later, so the top of a max-heap is
    // the stat that expires first (unconnected ones last).
    bool operator<(const ChannelStat& other) const { return expire > other.expire; }

    // expire is kNotConnected or before road_clock::Now().
    bool isExpired() const;
    // expire is kNotConnected.
    bool isExpired2() const { return expire == kNotConnected; }
    // expire = kNotConnected; the channel (when held) is discarded: its
    // unsent output dropped, the socket reset. A graceful close would flush
    // a failed exchange to a peer that stopped reading, then linger, while
    // an interrupt or a reload waits for this channel.
    void setExpired();
    // expire = kConnected.
    void setConnected() { expire = kConnected; }
    // alive > 0: expire = road_clock::Now() + alive. 0: the channel (when
    // held) is closed and expire = kNotConnected.
    void setAliveInterval(uint32_t alive);
    // The channel, or BadChannel::Instance() when the stat holds none.
    Channel& getChannel() const;

    uint32_t expire = kNotConnected;
    Channel* channel = nullptr;  // owned by the pool, never by the stat
  };

  // The channels of one connection. Every operation takes `lock`; none
  // calls out while holding it except reset, which closes and builds
  // channels (no network I/O beyond a flush of a closed or idle channel).
  //
  // Invariant outside a reset: ready_q.size() + in_use_q.size() ==
  // total_size, each owned channel in exactly one of them.
  class ChannelPool {
   public:
    // An empty pool, then reset(capacity, proxy, tunnel). The pointers are
    // only read during the call (null: no proxy / no tunnel).
    ChannelPool(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // reset(0, null, null): waits, without time-out, for every lent
    // channel to come back.
    ~ChannelPool();
    ChannelPool(const ChannelPool&) = delete;
    ChannelPool& operator=(const ChannelPool&) = delete;

    // The free stat with the smallest expire, moved to the lent list.
    // Blocks, without time-out, while no channel is free or a reset runs.
    ChannelStat pop();
    // Takes back a lent channel with its new expire and wakes every waiter
    // (a popper and a reset may both be waiting). A channel that is not
    // lent from this pool (already pushed, another pool's) changes nothing.
    // The channel's abort flag is detached: a free channel never points at
    // a borrower's flag, which may die before the pool.
    void push(Channel* channel, uint32_t expire);
    // The lent stat of `channel` gets `expire`; an unknown channel changes
    // nothing. 0.
    int update(Channel* channel, uint32_t expire);
    // Freezes the pool (pop blocks), waits without time-out until every
    // lent channel is back, closes and deletes every channel (abort flag
    // detached before Close), builds `capacity` new unopened channels of
    // the class the pointers call for (none: Channel(81920); tunnel:
    // TunnelChannel; proxy: ProxyChannel; both: ProxyTunnelChannel; each
    // from copies of the settings) and wakes every waiter. The caller must
    // not hold a channel of this pool.
    void reset(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel);
    // The same, waiting at most `wait` for the lent channels: true when
    // the reset was done; false when a channel was still lent then (the
    // pool is unfrozen and keeps its channels, nothing changed).
    bool reset(unsigned capacity, const ProxyInfo* proxy, const TunnelInfo* tunnel, std::chrono::milliseconds wait);
    // 1 when the first free stat, or some lent one, is not kNotConnected.
    int isConnected2();
    // True when the first free stat, or some lent one, is not isExpired().
    bool isConnected();
    // What the pool's waiters wait for, for tests that must order their
    // threads: how many pop() calls are blocked, and whether a reset has
    // frozen the pool.
    unsigned blockedPops();
    bool frozen();
    // The spell of failed certificate checks (see Connection).
    bool beginVerifyFailure() { return !verify_failing.exchange(true); }
    void endVerifyFailure() { verify_failing.store(false); }

   private:
    std::mutex lock;
    std::condition_variable return_signal;  // a channel came back, or a reset ended
    std::condition_variable freeze_signal;  // a reset ended
    bool freeze_mode = false;
    unsigned blocked_pops = 0;  // pop() calls waiting on either signal
    unsigned total_size = 0;
    std::vector<ChannelStat> ready_q;  // max-heap by ChannelStat::operator<
    std::list<ChannelStat> in_use_q;   // in the order of lending
    std::vector<std::unique_ptr<Channel>> owned;  // every channel of the pool
    std::atomic<bool> verify_failing{false};  // no lock: a flag of its own
  };

  // No pool, default settings, empty proxy and tunnel settings.
  Connection();
  // A new pool of four channels built from the pointers; the settings are
  // copied (empty when a pointer is null).
  Connection(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);
  // Shares the pool; copies the settings.
  Connection(const Connection& other) = default;
  // Drops this copy's pool share, shares `other`'s; copies the settings.
  Connection& operator=(const Connection& other) = default;
  ~Connection() = default;

  // Drops the pool share (the pool goes with its last share); settings back
  // to their defaults except conn_info.version_info.
  void clear();

  // ChannelPool::pop; without a pool {kNotConnected, null} at once.
  ChannelStat pop();
  // ChannelPool::push; nothing without a pool or without a channel.
  void push(const ChannelStat& stat);
  // ChannelPool::update; nothing without a pool or without a channel.
  void update(const ChannelStat& stat);
  // ChannelPool::isConnected2; without a pool ERROR "no connection pool!"
  // and 0. The status report's "connected".
  int isConnected2() const;
  // ChannelPool::isConnected; 0 without a pool.
  int isConnected() const;
  // The pool's blockedPops() and frozen(); 0 and false without a pool.
  unsigned blockedPops() const;
  bool frozen() const;

  // A spell of handshakes whose server certificate does not verify, shared
  // by every copy of the connection (both syncers), so that the user is told
  // once per spell, not once per retry. beginVerifyFailure: true when no
  // spell was on (it starts now), false during one; true without a pool.
  // endVerifyFailure: a handshake verified, the spell is over. Any thread.
  bool beginVerifyFailure();
  void endVerifyFailure();

  const ConnectionInfo& getConnectionInfo() const { return conn_info; }
  const ProxyInfo& getProxyInfo() const { return proxy_info; }
  const TunnelInfo& getTunnelInfo() const { return tunnel_info; }

 private:
  friend class ConnectionManager;  // reload rewrites the stored settings

  shared_pointer<ChannelPool> pool;
  ConnectionInfo conn_info;
  ProxyInfo proxy_info;
  TunnelInfo tunnel_info;
};

#endif  // SERVER_CONNECTION_H_
