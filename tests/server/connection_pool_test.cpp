// The channel pool, the connection and the connection manager, on real
// channels that are never opened (no server needed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "road_test_util.h"
#include "server/bad_channel.h"
#include "server/connection.h"
#include "server/connection_manager.h"
#include "protocol/proto_common.h"
#include "server/request_road.h"
#include "server/road_clock.h"
#include "server/syncer_road_profile.h"
#include "transport/proxy_channel.h"
#include "transport/proxy_tunnel_channel.h"
#include "transport/tunnel_channel.h"

namespace {

using Stat = Connection::ChannelStat;
using roadtest::ChannelPeek;

ConnectionInfo Info(uint64_t id, const char* ip = "127.0.0.1", int port = 9) {
  ConnectionInfo info;
  info.conn_id = id;
  info.server_ip = ip;
  info.server_port = port;
  info.session = "token";
  return info;
}

ProxyInfo AProxy() {
  ProxyInfo p;
  p.use_proxy = true;
  p.proxy_ip = "127.0.0.1";
  p.proxy_port = 3128;
  return p;
}

TunnelInfo ATunnel() { return TunnelInfo{true, "127.0.0.1", 4443}; }

std::vector<Stat> PopAll(Connection& c, int n) {
  std::vector<Stat> out;
  for (int i = 0; i < n; ++i) out.push_back(c.pop());
  return out;
}

class PoolTest : public roadtest::LogTest {};

// The settings pointers decide the class of every pooled channel, at
// construction and at each reload; the new channels are unopened.
TEST_F(PoolTest, ChannelClassFollowsTheSettingsGiven) {
  const ProxyInfo proxy = AProxy();
  const TunnelInfo tunnel = ATunnel();
  struct Case {
    const ProxyInfo* proxy;
    const TunnelInfo* tunnel;
    const std::type_info& type;
  };
  const Case cases[] = {
      {nullptr, nullptr, typeid(Channel)},
      {&proxy, nullptr, typeid(ProxyChannel)},
      {nullptr, &tunnel, typeid(TunnelChannel)},
      {&proxy, &tunnel, typeid(ProxyTunnelChannel)},
  };
  ConnectionManager manager;
  ASSERT_EQ(0, manager.add(Info(7), nullptr, nullptr));
  for (const Case& c : cases) {
    for (int reload = 0; reload < 2; ++reload) {
      Connection direct(Info(1), c.proxy, c.tunnel);
      Connection& conn = direct;
      Connection copy;
      if (reload == 1) {
        ASSERT_EQ(0, manager.reload(Info(7), c.proxy, c.tunnel));
        ASSERT_EQ(0, manager.get(7, copy));
      }
      Connection& used = reload == 1 ? copy : conn;
      std::vector<Stat> stats = PopAll(used, 4);
      for (const Stat& s : stats) {
        ASSERT_NE(nullptr, s.channel);
        // typeid of the object, not the static type: ProxyTunnelChannel
        // is also a ProxyChannel.
        EXPECT_EQ(c.type, typeid(*s.channel)) << typeid(*s.channel).name() << " reload " << reload;
        EXPECT_EQ(Stat::kNotConnected, s.expire);
        EXPECT_TRUE(s.channel->IsClosed());
      }
      for (const Stat& s : stats) used.push(s);
    }
  }
  // Four distinct channels per pool.
  Connection conn(Info(1), nullptr, nullptr);
  std::vector<Stat> stats = PopAll(conn, 4);
  for (size_t i = 0; i < stats.size(); ++i) {
    for (size_t j = i + 1; j < stats.size(); ++j) EXPECT_NE(stats[i].channel, stats[j].channel);
  }
  for (const Stat& s : stats) conn.push(s);
}

// Free channels go out by the keep-alive end that comes first; unconnected
// ones last, whatever the order in which they came back.
TEST_F(PoolTest, PopHandsOutTheSoonestExpiringLiveChannelFirst) {
  struct Case {
    std::vector<int64_t> pushed;  // seconds ahead of now; -1: not connected
    std::vector<int64_t> popped;
  };
  const Case cases[] = {
      {{-1, 200, 100, -1}, {100, 200, -1, -1}},
      {{100, 200, -1, 50}, {50, 100, 200, -1}},
      {{-1, -1, -1, 300}, {300, -1, -1, -1}},
      {{0, 5, 5, 1}, {0, 1, 5, 5}},
  };
  for (const Case& c : cases) {
    Connection conn(Info(1), nullptr, nullptr);
    const uint32_t now = road_clock::Now();
    std::vector<Stat> stats = PopAll(conn, 4);
    for (size_t i = 0; i < stats.size(); ++i) {
      stats[i].expire = c.pushed[i] < 0 ? Stat::kNotConnected : now + static_cast<uint32_t>(c.pushed[i]);
      conn.push(stats[i]);
    }
    std::vector<Stat> again = PopAll(conn, 4);
    for (size_t i = 0; i < again.size(); ++i) {
      const uint32_t want = c.popped[i] < 0 ? Stat::kNotConnected : now + static_cast<uint32_t>(c.popped[i]);
      EXPECT_EQ(want, again[i].expire) << "pop " << i;
    }
    for (const Stat& s : again) conn.push(s);
  }
}

// A stat pushed twice, or a channel of another pool, is not taken back: the
// pool keeps exactly its four channels.
TEST_F(PoolTest, PushOfAChannelNotLentChangesNothing) {
  Connection a(Info(1), nullptr, nullptr);
  Connection b(Info(2), nullptr, nullptr);
  std::vector<Stat> from_a = PopAll(a, 4);
  Stat from_b = b.pop();
  a.push(from_a[0]);
  a.push(from_a[0]);      // already pushed
  a.push(from_b);         // another pool's
  Channel stranger(64);
  a.push(Stat(0, &stranger));  // nobody's
  a.push(Stat());              // no channel
  // Three still lent, one free: exactly one pop returns without waiting.
  Stat again = a.pop();
  EXPECT_EQ(from_a[0].channel, again.channel);
  a.push(again);
  for (size_t i = 1; i < 4; ++i) a.push(from_a[i]);
  std::vector<Stat> all = PopAll(a, 4);
  for (const Stat& s : all) EXPECT_NE(from_b.channel, s.channel);
  for (const Stat& s : all) a.push(s);
  b.push(from_b);
}

// update changes only a lent stat; the pool then counts the channel as
// connected (isConnected2) but not alive (isConnected) until the reply's
// keep-alive time is set.
TEST_F(PoolTest, ConnectedStatesFollowUpdateAndPush) {
  Connection conn(Info(1), nullptr, nullptr);
  EXPECT_EQ(0, conn.isConnected2());
  EXPECT_EQ(0, conn.isConnected());
  Stat s = conn.pop();
  s.setConnected();
  EXPECT_TRUE(s.isExpired());
  EXPECT_FALSE(s.isExpired2());
  conn.update(s);
  EXPECT_EQ(1, conn.isConnected2());
  EXPECT_EQ(0, conn.isConnected());
  s.expire = road_clock::Now() + 30;
  conn.update(s);
  EXPECT_EQ(1, conn.isConnected());
  conn.push(s);
  EXPECT_EQ(1, conn.isConnected2());
  EXPECT_EQ(1, conn.isConnected());
  // An update of a free channel is ignored.
  Stat stale = s;
  stale.expire = Stat::kNotConnected;
  conn.update(stale);
  EXPECT_EQ(1, conn.isConnected2());
}

// The keep-alive clock: alive N keeps a channel for N seconds; alive 0 and
// setExpired mark it for a new handshake.
TEST_F(PoolTest, AliveIntervalExpiresWithTheClock) {
  Channel ch(1024);
  Stat s(Stat::kNotConnected, &ch);
  EXPECT_TRUE(s.isExpired());
  EXPECT_TRUE(s.isExpired2());
  s.setAliveInterval(1);
  EXPECT_FALSE(s.isExpired());
  road_clock::AdvanceForTest(2);
  EXPECT_TRUE(s.isExpired());
  EXPECT_FALSE(s.isExpired2());
  s.setAliveInterval(30);
  EXPECT_FALSE(s.isExpired());
  s.setAliveInterval(0);
  EXPECT_EQ(Stat::kNotConnected, s.expire);
  s.setAliveInterval(30);
  s.setExpired();
  EXPECT_EQ(Stat::kNotConnected, s.expire);
  // Neither mark ever reads as a live time.
  EXPECT_GT(road_clock::Now(), Stat::kConnected);
  EXPECT_LT(road_clock::Now(), Stat::kNotConnected);
}

// A failed exchange's unsent output is dropped, not flushed: a peer that
// stopped reading would otherwise hold the closing thread (and a reload
// waiting for the channel) for another whole time-out.
TEST_F(PoolTest, SetExpiredDropsUnsentOutput) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(lfd, 0);
  int small = 4096;
  setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(0, bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  ASSERT_EQ(0, listen(lfd, 1));
  ASSERT_EQ(0, getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len));
  Channel ch(81920);
  ch.SetTimeout(1);
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", ntohs(sa.sin_port)));
  int peer = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);  // never reads
  ASSERT_GE(peer, 0);
  std::string block(81920, 'x');
  ErrorCode rc = ERR_OK;
  for (int i = 0; i < 2000 && rc == ERR_OK; ++i) rc = ch.Write(block.data(), block.size());
  ASSERT_NE(ERR_OK, rc) << "the peer's buffers never filled";
  // A flush would now wait 5 s for the peer; the socket's own linger of 1 s
  // on close is all that remains once the ring is dropped.
  ch.SetTimeout(5);
  Stat s(Stat::kConnected, &ch);
  const auto start = std::chrono::steady_clock::now();
  s.setExpired();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(Stat::kNotConnected, s.expire);
  close(peer);
  close(lfd);
}

// A connection without a pool lends the BadChannel, whose every operation
// fails loudly; push and update ignore it.
TEST_F(PoolTest, WithoutAPoolEveryOperationFailsOnTheBadChannel) {
  Connection none;
  Stat s = none.pop();
  EXPECT_EQ(Stat::kNotConnected, s.expire);
  EXPECT_EQ(nullptr, s.channel);
  Channel& bad = s.getChannel();
  EXPECT_EQ(&BadChannel::Instance(), &bad);
  EXPECT_EQ(typeid(BadChannel), typeid(bad));
  EXPECT_EQ(ERR_IO, bad.Open("127.0.0.1", 9));
  EXPECT_EQ(ERR_IO, bad.Open(3, false));
  EXPECT_EQ(ERR_IO, bad.Open("sock"));
  EXPECT_EQ(ERR_SYS, bad.ConvertToSSLChannel(false));
  uint8_t b8;
  uint16_t b16;
  uint32_t b32;
  uint64_t b64;
  char buf[4];
  size_t total = 0;
  EXPECT_EQ(ERR_IO, bad.ReadByte(&b8));
  EXPECT_EQ(ERR_IO, bad.ReadInt16(&b16));
  EXPECT_EQ(ERR_IO, bad.ReadInt32(&b32));
  EXPECT_EQ(ERR_IO, bad.ReadInt64(&b64));
  EXPECT_EQ(ERR_IO, bad.WriteByte(1));
  EXPECT_EQ(ERR_IO, bad.WriteInt16(1));
  EXPECT_EQ(ERR_IO, bad.WriteInt32(1));
  EXPECT_EQ(ERR_IO, bad.WriteInt64(1));
  EXPECT_EQ(ERR_IO, bad.Read(buf, 4));
  EXPECT_EQ(ERR_IO, bad.Read(buf, 4, total));
  EXPECT_EQ(ERR_IO, bad.Write(buf, 4));
  EXPECT_EQ(ERR_IO, bad.FlushWrite(0));
  EXPECT_TRUE(bad.IsClosed());
  std::atomic<int> flag{0};
  bad.SetFlag(&flag);  // never stored: the shared instance outlives every flag
  EXPECT_EQ(nullptr, ChannelPeek::Flag(bad));
  EXPECT_EQ(ERR_OK, bad.Close());
  bad.ClearRead();
  bad.ClearWrite();
  bad.SetTimeout(1);
  EXPECT_EQ(17u, Count("bad function in use"));
  none.push(s);
  none.update(s);
  EXPECT_EQ(0, none.isConnected2());
  EXPECT_TRUE(Logged("no connection pool!"));
}

// The road on a connection without a pool: the handshake fails on the
// BadChannel with ERR_IO, and nothing is lent or kept.
TEST_F(PoolTest, RoadWithoutAPoolFailsOnTheBadChannel) {
  Connection none;
  Registry::Entry session;
  std::atomic<int> flag{0};
  RequestRoad road(SyncerRoadProfile(), flag, none, session);
  PObject request;
  PObject reply;
  EXPECT_EQ(ERR_IO, road.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply));
  EXPECT_TRUE(Logged("bad function in use"));
  EXPECT_TRUE(Logged("ProtoPullEvent: fail to establish communication channel"));
  EXPECT_TRUE(reply.isNull());
}

// A free channel never keeps a borrower's abort flag: the borrower (a task)
// may be deleted before the pool closes its channels.
TEST_F(PoolTest, PushDetachesTheBorrowersAbortFlag) {
  Connection conn(Info(1), nullptr, nullptr);
  std::atomic<int> flag{0};
  Stat s = conn.pop();
  s.channel->SetFlag(&flag);
  ASSERT_EQ(&flag, ChannelPeek::Flag(*s.channel));
  Stat other = conn.pop();
  other.channel->SetFlag(&flag);
  conn.push(Stat(0, other.channel));
  EXPECT_EQ(nullptr, ChannelPeek::Flag(*other.channel));
  conn.push(s);
  EXPECT_EQ(nullptr, ChannelPeek::Flag(*s.channel));
  // A push that is refused leaves the stranger's channel alone.
  Channel stranger(64);
  stranger.SetFlag(&flag);
  conn.push(Stat(0, &stranger));
  EXPECT_EQ(&flag, ChannelPeek::Flag(stranger));
}

TEST_F(PoolTest, ManagerAddReloadGetRemove) {
  ConnectionManager manager;
  std::vector<Connection> all;
  all.emplace_back();
  EXPECT_EQ(0, manager.get(all));
  EXPECT_TRUE(all.empty());

  ConnectionInfo first = Info(5, "10.0.0.1", 1000);
  first.version_info.build_number = 2402;
  ASSERT_EQ(0, manager.add(first, nullptr, nullptr));
  EXPECT_EQ(-1, manager.add(Info(5, "10.0.0.2", 2000), nullptr, nullptr));
  ASSERT_EQ(0, manager.add(Info(3), nullptr, nullptr));
  Connection c;
  ASSERT_EQ(0, manager.get(5, c));
  EXPECT_EQ(ustring("10.0.0.1"), c.getConnectionInfo().server_ip);
  EXPECT_EQ(1000, c.getConnectionInfo().server_port);
  EXPECT_EQ(2402, c.getConnectionInfo().version_info.build_number);

  Connection untouched = c;
  EXPECT_EQ(-1, manager.get(99, untouched));
  EXPECT_EQ(ustring("10.0.0.1"), untouched.getConnectionInfo().server_ip);
  EXPECT_EQ(-1, manager.reload(Info(99), nullptr, nullptr));

  ASSERT_EQ(0, manager.get(all));
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ(3u, all[0].getConnectionInfo().conn_id);
  EXPECT_EQ(5u, all[1].getConnectionInfo().conn_id);

  // reload: the settings of the stored entry change, a copy taken before
  // keeps its own until the next get; the channels are the new ones at once.
  const ProxyInfo proxy = AProxy();
  ASSERT_EQ(0, manager.reload(Info(5, "10.0.0.9", 9000), &proxy, nullptr));
  EXPECT_EQ(ustring("10.0.0.1"), c.getConnectionInfo().server_ip);
  EXPECT_FALSE(c.getProxyInfo().use_proxy);
  Stat s = c.pop();
  EXPECT_EQ(typeid(ProxyChannel), typeid(*s.channel));
  c.push(s);
  Connection fresh;
  ASSERT_EQ(0, manager.get(5, fresh));
  EXPECT_EQ(ustring("10.0.0.9"), fresh.getConnectionInfo().server_ip);
  EXPECT_TRUE(fresh.getProxyInfo().use_proxy);
  EXPECT_EQ(3128, fresh.getProxyInfo().proxy_port);
  ASSERT_EQ(0, manager.reload(Info(5, "10.0.0.9", 9000), nullptr, nullptr));
  ASSERT_EQ(0, manager.get(5, fresh));
  EXPECT_FALSE(fresh.getProxyInfo().use_proxy);
  EXPECT_TRUE(fresh.getProxyInfo().proxy_ip.empty());

  // A copy keeps working after its entry is removed; the pool goes with
  // the last copy.
  manager.remove(5);
  manager.remove(5);
  EXPECT_EQ(-1, manager.get(5, fresh));
  std::vector<Stat> stats = PopAll(c, 4);
  for (const Stat& st : stats) EXPECT_NE(nullptr, st.channel);
  for (const Stat& st : stats) c.push(st);
  manager.clear();
  ASSERT_EQ(0, manager.get(all));
  EXPECT_TRUE(all.empty());
}

TEST_F(PoolTest, ClearKeepsOnlyTheVersionInfo) {
  ConnectionInfo info = Info(4);
  info.use_ssl = false;
  info.ssl_allow_untrust = true;
  info.version_info = VersionInfo{3, 1, -7};
  const ProxyInfo proxy = AProxy();
  const TunnelInfo tunnel = ATunnel();
  Connection conn(info, &proxy, &tunnel);
  conn.clear();
  const ConnectionInfo& after = conn.getConnectionInfo();
  EXPECT_EQ(0u, after.conn_id);
  EXPECT_TRUE(after.server_ip.empty());
  EXPECT_TRUE(after.session.empty());
  EXPECT_TRUE(after.use_ssl);
  EXPECT_FALSE(after.ssl_allow_untrust);
  EXPECT_EQ(3, after.version_info.major);
  EXPECT_EQ(-7, after.version_info.build_number);
  EXPECT_FALSE(conn.getProxyInfo().use_proxy);
  EXPECT_FALSE(conn.getTunnelInfo().use_tunnel);
  EXPECT_TRUE(conn.getTunnelInfo().tunnel_ip.empty());
  EXPECT_EQ(nullptr, conn.pop().channel);
}

}  // namespace
