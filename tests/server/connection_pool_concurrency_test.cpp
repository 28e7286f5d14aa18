// The pool under several threads: waiting poppers, a reload that waits for
// lent channels, and the lost wake-up between them.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <thread>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "road_test_util.h"
#include "server/connection.h"
#include "server/connection_manager.h"
#include "transport/tunnel_channel.h"

namespace {

using Stat = Connection::ChannelStat;
using namespace std::chrono_literals;

ConnectionInfo Info(uint64_t id) {
  ConnectionInfo info;
  info.conn_id = id;
  info.server_ip = "127.0.0.1";
  info.server_port = 9;
  return info;
}

// Waits until `done` holds; after 10 s reports and leaves, as MustFinish
// (the threads it waits for would hang the run).
template <class F>
void MustHold(F done, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "%s: not within 10 s\n", what);
      std::fflush(stderr);
      _exit(1);
    }
    std::this_thread::sleep_for(1ms);
  }
}

// A thread stuck for good would hang the whole run: report and leave.
template <class T>
void MustFinish(std::future<T>& f, std::chrono::seconds limit, const char* what) {
  if (f.wait_for(limit) == std::future_status::ready) return;
  std::fprintf(stderr, "%s did not finish within %lld s\n", what, static_cast<long long>(limit.count()));
  std::fflush(stderr);
  _exit(1);
}

class PoolConcurrencyTest : public roadtest::LogTest {};

// Four channels lent, a fifth taker waits and gets the first one pushed back.
TEST_F(PoolConcurrencyTest, FifthTakerWaitsForAPushedChannel) {
  Connection conn(Info(1), nullptr, nullptr);
  std::vector<Stat> lent;
  for (int i = 0; i < 4; ++i) lent.push_back(conn.pop());
  std::atomic<bool> got{false};
  auto fifth = std::async(std::launch::async, [&] {
    Stat s = conn.pop();
    got = true;
    return s;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(got.load());
  conn.push(lent[2]);
  MustFinish(fifth, 10s, "the fifth pop");
  Stat s = fifth.get();
  EXPECT_EQ(lent[2].channel, s.channel);
  conn.push(s);
  for (int i : {0, 1, 3}) conn.push(lent[i]);
}

// reload returns only after the held channel is back; the next pop gets a
// new, unopened channel of the class the new settings ask for.
TEST_F(PoolConcurrencyTest, ReloadWaitsForTheLentChannel) {
  ConnectionManager manager;
  ASSERT_EQ(0, manager.add(Info(1), nullptr, nullptr));
  Connection conn;
  ASSERT_EQ(0, manager.get(1, conn));
  Stat held = conn.pop();
  const TunnelInfo tunnel{true, "127.0.0.1", 4443};
  std::atomic<bool> reloaded{false};
  auto reload = std::async(std::launch::async, [&] {
    int rc = manager.reload(Info(1), nullptr, &tunnel);
    reloaded = true;
    return rc;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(reloaded.load());
  conn.push(held);
  MustFinish(reload, 10s, "reload");
  EXPECT_EQ(0, reload.get());
  Stat s = conn.pop();
  EXPECT_EQ(typeid(TunnelChannel), typeid(*s.channel));
  EXPECT_EQ(Stat::kNotConnected, s.expire);
  EXPECT_TRUE(s.channel->IsClosed());
  conn.push(s);
}

// A channel kept past the reload's wait: the reload gives up (-2) and
// changes nothing, and while it waits the manager serves other callers (the
// wait does not hold its lock). Once the channel is back a reload goes
// through.
TEST_F(PoolConcurrencyTest, ReloadGivesUpOnAChannelKeptPastItsWaitWithoutHoldingTheManager) {
  ConnectionManager manager;
  ASSERT_EQ(0, manager.add(Info(1), nullptr, nullptr));
  ASSERT_EQ(0, manager.add(Info(2), nullptr, nullptr));
  Connection conn;
  ASSERT_EQ(0, manager.get(1, conn));
  Stat held = conn.pop();
  const TunnelInfo tunnel{true, "127.0.0.1", 4443};
  using Clock = std::chrono::steady_clock;
  auto reload = std::async(std::launch::async, [&] {
    const int rc = manager.reload(Info(1), nullptr, &tunnel, 2s);
    return std::make_pair(rc, Clock::now());
  });
  // Taken once the reload has begun its reset (the third reset line, after
  // those of the two adds): answered before the reload ends.
  const Clock::time_point deadline = Clock::now() + 10s;
  while (Count("reset channel pool with capacity 4") < 3 && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(3u, Count("reset channel pool with capacity 4")) << Log();
  Connection other;
  EXPECT_EQ(0, manager.get(2, other));
  const Clock::time_point got = Clock::now();
  MustFinish(reload, 10s, "reload past its wait");
  const auto [rc, ended] = reload.get();
  EXPECT_EQ(-2, rc);
  EXPECT_LT(got, ended);

  // Nothing changed: the old settings, and the held channel is the pool's.
  Connection again;
  ASSERT_EQ(0, manager.get(1, again));
  EXPECT_FALSE(again.getTunnelInfo().use_tunnel);
  conn.push(held);
  std::set<Channel*> channels;
  std::vector<Stat> all;
  for (int i = 0; i < 4; ++i) {
    all.push_back(conn.pop());
    channels.insert(all.back().channel);
    EXPECT_EQ(typeid(Channel), typeid(*all.back().channel));
  }
  EXPECT_EQ(1u, channels.count(held.channel));
  for (const Stat& s : all) conn.push(s);

  ASSERT_EQ(0, manager.reload(Info(1), nullptr, &tunnel, 2s));
  Stat fresh = conn.pop();
  EXPECT_EQ(typeid(TunnelChannel), typeid(*fresh.channel));
  conn.push(fresh);
}

// Four channels lent and four takers waiting when a reload starts: each
// push must reach the reload, which waits on the same signal as the takers.
// Woken alone, a taker sees the reset and goes back to sleep on the other
// signal, and the reload (holding the manager's lock) never wakes.
TEST_F(PoolConcurrencyTest, ReloadIsNotStarvedByWaitingTakers) {
  for (int round = 0; round < 5; ++round) {
    ConnectionManager manager;
    ASSERT_EQ(0, manager.add(Info(1), nullptr, nullptr));
    Connection conn;
    ASSERT_EQ(0, manager.get(1, conn));
    std::vector<Stat> lent;
    for (int i = 0; i < 4; ++i) lent.push_back(conn.pop());

    std::vector<std::future<Stat>> takers;
    for (int i = 0; i < 4; ++i) takers.push_back(std::async(std::launch::async, [&] { return conn.pop(); }));
    // The takers wait before the reload starts, and the reload has frozen
    // the pool before the channels come back; else the takers could take
    // the old channels and hold them while the reload waits for them.
    MustHold([&] { return conn.blockedPops() == 4; }, "four takers waiting");
    auto reload = std::async(std::launch::async, [&] { return manager.reload(Info(1), nullptr, nullptr); });
    MustHold([&] { return conn.frozen(); }, "the reload freezing the pool");
    for (const Stat& s : lent) {
      conn.push(s);
      std::this_thread::sleep_for(20ms);
    }
    MustFinish(reload, 10s, "reload with waiting takers");
    EXPECT_EQ(0, reload.get());

    std::set<Channel*> fresh;
    std::vector<Stat> got;
    for (auto& t : takers) {
      MustFinish(t, 10s, "a waiting taker");
      got.push_back(t.get());
      fresh.insert(got.back().channel);
      EXPECT_EQ(Stat::kNotConnected, got.back().expire);
    }
    EXPECT_EQ(4u, fresh.size());
    for (const Stat& s : got) conn.push(s);
  }
}

}  // namespace
