// Workers interrupted around a change: the wait for them is bounded even
// when the server answers an upload with keep-alives alone.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "app_fixture.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The daemon's own bounds (app.h) are what the waits are held to: fixed
// figures near the expected time fail on a loaded machine.
std::chrono::milliseconds Since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t);
}

class InterruptTest : public AppFixture {
 protected:
  bool Uploading() {
    const PObject status = Call("get_status");
    const PObject& workers = status["worker_list"];
    return !workers.isNull() && workers[0]["status"].asString() == "uploading";
  }
  size_t KeepAlives() {
    size_t n = 0;
    for (const nlohmann::json& e : server_.Journal()) n += e.value("event", "") == "keep_alive" ? 1 : 0;
    return n;
  }
  // Links with `reply_timeout` (2 s unless given) and has a worker upload
  // a.txt, whose "upload" the stand-in answers with keep-alives every 200
  // ms (`count` times the rule acts); returns once more than 4 s of them
  // came.
  void UploadIntoKeepAlives(int count, std::chrono::seconds reply_timeout = 2s) {
    timing_ = testsupport::ShortTiming();
    timing_.worker_reply_timeout = reply_timeout;
    app_.set_timing(timing_);
    server_.Fault({{"action", "upload"}, {"keep_alives", 100000}, {"keep_alive_ms", 200}, {"count", count}});
    Link();
    Connect(1);
    MakeSessionFolders(1);
    (void)RegisterSession(1, 1);
    std::ofstream(LocalPath(1) + "/a.txt") << "committed before the keep-alives";
    ASSERT_TRUE(WaitUntil([&] { return KeepAlives() >= 20 && Uploading(); }, 30s)) << Log();
  }

  DaemonTiming timing_;
};

TEST_F(InterruptTest, AnUploadAnsweredWithKeepAlivesAloneHoldsAnInterruptOneReplyTimeout) {
  const size_t threads = ThreadCount();
  // The upload is committed, then only keep-alives come; the retry gets a
  // plain reply.
  UploadIntoKeepAlives(1);
  ASSERT_TRUE(server_.Get("/a.txt").has_value());

  // Well past the 2-s reply time-out of keep-alives: the wait is still on.
  EXPECT_TRUE(Uploading());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Text(Call("reload_connection", ConnectionRequest(1))), "null");
  EXPECT_LT(Since(start), InterruptBound(timing_));

  // The retry finds the server's commit: one version, nothing left to do.
  ASSERT_TRUE(WaitUntil([&] { return Call("get_status")["worker_list"].isNull(); }, 30s)) << Log();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const PObject status = Call("get_status");
        return status["session_list"][0]["status"].asString() == "uptodate";
      },
      30s))
      << Log();
  EXPECT_EQ(server_.History("/a.txt").size(), 1u);

  EXPECT_EQ(Text(Call("unlink")), "null");
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(InterruptTest, PauseAndUnlinkDuringAKeepAliveWaitReturnInTime) {
  const size_t threads = ThreadCount();
  UploadIntoKeepAlives(-1);

  PObject pause;
  pause["session_id"] = 1;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Text(Call("pause", pause)), "null");
  EXPECT_LT(Since(start), InterruptBound(timing_));
  EXPECT_TRUE(Call("get_status")["worker_list"].isNull());

  // Resumed, the retry meets the keep-alives again; "unlink" stops it.
  EXPECT_EQ(Text(Call("resume", pause)), "null");
  const size_t seen = KeepAlives();
  ASSERT_TRUE(WaitUntil([&] { return KeepAlives() >= seen + 10 && Uploading(); }, 30s)) << Log();
  start = Clock::now();
  EXPECT_EQ(Text(Call("unlink")), "null");
  EXPECT_LT(Since(start), kStopBound);
  EXPECT_EQ(ThreadCount(), threads);
}

// A stop ends even the wait for an upload's reply, which an interrupt
// leaves for one reply time-out: with the daemon's own 90 s, "unlink" (the
// tasks stopped, as by "stop") still returns at once.
TEST_F(InterruptTest, StopCutsAnUploadsReplyWaitWhateverItsTimeOut) {
  const size_t threads = ThreadCount();
  UploadIntoKeepAlives(1, 90s);
  ASSERT_TRUE(server_.Get("/a.txt").has_value());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Text(Call("unlink")), "null");
  EXPECT_LT(Since(start), kStopBound) << Log();
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(server_.History("/a.txt").size(), 1u);
}

// The Syncer's "pull_event" answered by keep-alives alone holds a channel
// of the connection for as long as they come; "reload_connection" breaks
// it off instead of waiting for it, and the Syncer goes on afterwards.
TEST_F(InterruptTest, ReloadConnectionBreaksOffASyncerPullHeldByKeepAlives) {
  server_.Fault({{"action", "pull_event"}, {"keep_alives", 100000}, {"keep_alive_ms", 200}, {"count", 1}});
  Link();
  Connect(1);
  MakeSessionFolders(1);
  (void)RegisterSession(1, 1);
  ASSERT_TRUE(WaitUntil([&] { return KeepAlives() >= 10; }, 30s)) << Log();

  const Clock::time_point start = Clock::now();
  const PObject rsp = Call("reload_connection", ConnectionRequest(1));
  EXPECT_LT(Since(start), kChannelReturnWait) << Log();
  EXPECT_EQ(Text(rsp), "null");
  ASSERT_TRUE(WaitUntil(
      [&] { return Call("get_status")["session_list"][0]["status"].asString() == "uptodate"; }, 30s))
      << Log();
}

}  // namespace
