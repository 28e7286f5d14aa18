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

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

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
};

TEST_F(InterruptTest, AnUploadAnsweredWithKeepAlivesAloneHoldsAnInterruptOneReplyTimeout) {
  const size_t threads = ThreadCount();
  app_.set_worker_reply_timeout(2);
  // The upload is committed, then only keep-alives come; the retry gets a
  // plain reply.
  server_.Fault({{"action", "upload"}, {"keep_alives", 100000}, {"keep_alive_ms", 200}});
  Link();
  Connect(1);
  MakeSessionFolders(1);
  (void)RegisterSession(1, 1);
  std::ofstream(LocalPath(1) + "/a.txt") << "committed before the keep-alives";
  ASSERT_TRUE(WaitUntil([&] { return KeepAlives() >= 20 && Uploading(); }, 30s)) << Log();
  ASSERT_TRUE(server_.Get("/a.txt").has_value());

  // Well past the 2-s reply time-out of keep-alives: the wait is still on.
  EXPECT_TRUE(Uploading());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Text(Call("reload_connection", ConnectionRequest(1))), "null");
  EXPECT_LT(SecondsSince(start), 3.0);

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

TEST_F(InterruptTest, UnlinkDuringAKeepAliveWaitJoinsEveryTask) {
  const size_t threads = ThreadCount();
  app_.set_worker_reply_timeout(2);
  server_.Fault({{"action", "upload"}, {"keep_alives", 100000}, {"keep_alive_ms", 200}, {"count", -1}});
  Link();
  Connect(1);
  MakeSessionFolders(1);
  (void)RegisterSession(1, 1);
  std::ofstream(LocalPath(1) + "/a.txt") << "never answered";
  ASSERT_TRUE(WaitUntil([&] { return KeepAlives() >= 20 && Uploading(); }, 30s)) << Log();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Text(Call("unlink")), "null");
  EXPECT_LT(SecondsSince(start), 3.5);
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
