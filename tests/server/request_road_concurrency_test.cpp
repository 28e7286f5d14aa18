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

// Eight threads pull through one connection while another reloads it ten
// times: every pull ends in success or ERR_IO, every reload returns, and
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
        ErrorCode rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, PullRequest(), reply);
        if (rc == ERR_OK) {
          ++ok;
        } else if (rc == ERR_IO) {
          ++failed;
        } else {
          ++other;
        }
      }
    });
  }
  // Each reload follows a pull that ended since the one before, so that
  // pulls and reloads interleave however slow the machine is.
  const ConnectionInfo info = Info();
  for (int reload = 0; reload < 10; ++reload) {
    const int ended = ok + failed + other;
    ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return ok + failed + other > ended; }, 20s))
        << "no pull ended after reload " << reload;
    EXPECT_EQ(0, manager_.reload(info, nullptr, nullptr));
  }
  // Pulls keep succeeding on the reloaded pool.
  const int ok_before = ok;
  EXPECT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return ok > ok_before + 8; }, 20s)) << ok.load();
  stop = true;
  for (std::thread& t : pullers) t.join();
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
