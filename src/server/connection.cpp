#include "server/connection.h"

#include "foundation/logger.h"
#include "server/bad_channel.h"
#include "server/road_clock.h"

namespace {
constexpr char kComponent[] = "connection_debug";
constexpr unsigned kPoolCapacity = 4;
}  // namespace

bool Connection::ChannelStat::isExpired() const {
  return expire == kNotConnected || road_clock::Now() > expire;
}

void Connection::ChannelStat::setExpired() {
  expire = kNotConnected;
  if (channel == nullptr) return;
  // The exchange already failed: nothing of it is worth delivering, and a
  // graceful close to a peer that stopped reading would linger a second
  // while an interrupt or a reload waits for this channel.
  channel->Discard();
}

void Connection::ChannelStat::setAliveInterval(uint32_t alive) {
  if (alive != 0) {
    expire = road_clock::Now() + alive;
    return;
  }
  // The server closes the session: so does the daemon. The exchange is
  // complete, so nothing is pending and the close cannot fail usefully.
  if (channel != nullptr) (void)channel->Close();
  expire = kNotConnected;
}

Channel& Connection::ChannelStat::getChannel() const {
  if (channel != nullptr) return *channel;
  return BadChannel::Instance();
}

Connection::Connection() { clear(); }

Connection::Connection(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel)
    : conn_info(info) {
  pool = new ChannelPool(kPoolCapacity, proxy, tunnel);
  if (proxy != nullptr) proxy_info = *proxy;
  if (tunnel != nullptr) tunnel_info = *tunnel;
}

void Connection::clear() {
  pool = shared_pointer<ChannelPool>();
  conn_info.clear();
  proxy_info.clear();
  tunnel_info = TunnelInfo{};
}

Connection::ChannelStat Connection::pop() {
  if (!pool) return ChannelStat();
  return pool->pop();
}

void Connection::push(const ChannelStat& stat) {
  if (!pool || stat.channel == nullptr) return;
  pool->push(stat.channel, stat.expire);
}

void Connection::update(const ChannelStat& stat) {
  if (!pool || stat.channel == nullptr) return;
  // Always 0: an unknown channel is simply left alone.
  (void)pool->update(stat.channel, stat.expire);
}

int Connection::isConnected2() const {
  if (!pool) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] connection(%d): no connection pool!\n", __LINE__);
    return 0;
  }
  return pool->isConnected2();
}

unsigned Connection::blockedPops() const { return pool ? pool->blockedPops() : 0; }

bool Connection::frozen() const { return pool && pool->frozen(); }

bool Connection::beginVerifyFailure() { return !pool || pool->beginVerifyFailure(); }

void Connection::endVerifyFailure() {
  if (pool) pool->endVerifyFailure();
}

int Connection::isConnected() const {
  if (!pool) return 0;
  return pool->isConnected() ? 1 : 0;
}
