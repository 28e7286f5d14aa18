// Many requesters on one connection while the application reloads it.
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "road_fixture.h"

namespace {

using roadtest::RoadTest;
using namespace std::chrono_literals;

// Eight threads pull through one connection while another reloads it every
// 100 ms: every pull ends in success or ERR_IO, every reload returns, and
// the pool still holds four distinct channels afterwards.
TEST_F(RoadTest, PullsWhileTheConnectionIsReloaded) {
  Start();
  server_.Set({{"alive", 30}});
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0};
  std::atomic<int> failed{0};
  std::atomic<int> other{0};
  std::vector<std::thread> pullers;
  for (int t = 0; t < 8; ++t) {
    pullers.emplace_back([&] {
      // Each requester has its own copy of the connection, flag and road.
      Connection conn;
      ASSERT_EQ(0, manager_.get(1, conn));
      Registry::Entry session = session_;
      std::atomic<int> flag{0};
      RequestRoad road(SyncerRoadProfile(), flag, conn, session);
      while (!stop) {
        PObject reply;
        int rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, PullRequest(), reply);
        if (rc == 0) {
          ++ok;
        } else if (rc == ERR_IO) {
          ++failed;
        } else {
          ++other;
        }
      }
    });
  }
  int reloads = 0;
  const ConnectionInfo info = Info();
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0, manager_.reload(info, nullptr, nullptr));
    ++reloads;
  }
  stop = true;
  for (std::thread& t : pullers) t.join();
  EXPECT_GE(reloads, 10);
  EXPECT_GT(ok.load(), 8);
  EXPECT_EQ(0, other.load());

  Connection conn;
  ASSERT_EQ(0, manager_.get(1, conn));
  std::set<Channel*> channels;
  std::vector<Connection::ChannelStat> stats;
  for (int i = 0; i < 4; ++i) {
    stats.push_back(conn.pop());
    channels.insert(stats.back().channel);
  }
  EXPECT_EQ(4u, channels.size());
  for (const auto& s : stats) conn.push(s);
}

}  // namespace
