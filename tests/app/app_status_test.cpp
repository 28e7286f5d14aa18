// "get_status": sessions, connections and the workers' transfers.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app_fixture.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

// One session entry of a status reply.
struct SessionStatus {
  std::string status;
  uint64_t unfinished = 0;
  uint64_t conn_id = 0;
  bool listed = false;
};

class StatusTest : public AppFixture {
 protected:
  SessionStatus Session(uint64_t id) {
    SessionStatus out;
    const PObject status = Call("get_status");
    for (const PObject& s : status["session_list"].asArray()) {
      if (s["session_id"].asUInt64() != id) continue;
      out.status = s["status"].asString().c_str_utf8();
      out.unfinished = s["unfinished_files"].asUInt64();
      out.conn_id = s["connection_id"].asUInt64();
      out.listed = true;
    }
    return out;
  }
  // Writes `count` files into the session's folder, after its watch began.
  void NewFiles(uint64_t id, int count) {
    for (int i = 0; i < count; ++i) {
      std::ofstream(LocalPath(id) + "/f" + std::to_string(i) + ".txt") << "content " << i;
    }
  }
};

// Workers paused: queued events stay queued. They are paused right after
// the link, before any session exists, so none can hold an event.
class IdleStatusTest : public StatusTest {
 protected:
  void Link() {
    StatusTest::Link();
    app_.pause_worker();
  }
};

TEST_F(IdleStatusTest, APausedSessionIsReportedPausedWithItsPendingCount) {
  Link();
  Connect(4);
  MakeSessionFolders(7);
  (void)RegisterSession(7, 4, "/", /*pause=*/true);
  NewFiles(7, 3);
  ASSERT_TRUE(WaitUntil([&] { return Session(7).unfinished == 3; }, 10s)) << Text(Call("get_status"));
  const SessionStatus s = Session(7);
  EXPECT_EQ(s.status, "pause");
  EXPECT_EQ(s.conn_id, 4u);
  const PObject status = Call("get_status");
  EXPECT_EQ(status["session_list"].asArray().size(), 1u);
  EXPECT_TRUE(status["worker_list"].isNull());
}

TEST_F(IdleStatusTest, AReadOnlySessionCountsNoLocalChange) {
  Link();
  Connect(1);
  MakeSessionFolders(1);
  MakeSessionFolders(2);
  (void)RegisterSession(1, 1, "/", /*pause=*/false, /*read_only=*/true);
  (void)RegisterSession(2, 1, "/", /*pause=*/false, /*read_only=*/false);
  NewFiles(1, 3);
  NewFiles(2, 3);
  // The read-write twin counts the same changes.
  ASSERT_TRUE(WaitUntil([&] { return Session(2).unfinished == 3; }, 10s)) << Text(Call("get_status"));
  EXPECT_EQ(Session(2).status, "syncing");
  const SessionStatus ro = Session(1);
  EXPECT_TRUE(ro.listed);
  EXPECT_EQ(ro.status, "uptodate");
  EXPECT_EQ(ro.unfinished, 0u);
}

TEST_F(IdleStatusTest, AfterUnlinkNothingIsListed) {
  Link();
  Connect(1);
  MakeSessionFolders(1);
  (void)RegisterSession(1, 1);
  const PObject linked = Call("get_status");
  EXPECT_EQ(linked["session_list"].asArray().size(), 1u);
  EXPECT_EQ(linked["connection_list"].asArray().size(), 1u);
  (void)Call("unlink");
  EXPECT_EQ(Text(Call("get_status")), "{\"connection_list\": null, \"session_list\": null, \"worker_list\": null}");
}

TEST_F(StatusTest, AThrottledUploadIsOneRisingWorkerEntry) {
  constexpr uint64_t kSize = 64ull << 20;
  // About four seconds for the body.
  server_.Fault({{"action", "resume_upload"}, {"recv_rate", 16 << 20}, {"count", -1}});
  Link();
  Connect(1);
  MakeSessionFolders(3);
  (void)RegisterSession(3, 1);
  {
    std::ofstream out(Path("big.tmp"), std::ios::binary);
    std::string block(1 << 20, '\0');
    for (uint64_t i = 0; i < kSize >> 20; ++i) {
      for (size_t j = 0; j < block.size(); j += 64) block[j] = static_cast<char>(i * 31 + j);
      out << block;
    }
  }
  // Moved in whole, so the watch sees one finished file.
  ASSERT_EQ(0, rename(Path("big.tmp").c_str(), (LocalPath(3) + "/big.bin").c_str()));

  std::vector<uint64_t> progress;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const PObject status = Call("get_status");
        const PObject& workers = status["worker_list"];
        if (workers.isNull()) return false;
        EXPECT_EQ(workers.asArray().size(), 1u) << Text(status);
        const PObject& w = workers[0];
        EXPECT_EQ(w["session_id"].asUInt64(), 3u);
        EXPECT_EQ(w["path"].asString(), "/big.bin");
        EXPECT_EQ(w["status"].asString(), "uploading");
        const uint64_t done = w["progress"].asUInt64();
        // Both count the body, which moves after the token and the dry run.
        if (done > 0) {
          EXPECT_EQ(w["total_size"].asUInt64(), kSize);
        }
        EXPECT_LE(done, kSize);
        if (done > 0 && done < kSize && (progress.empty() || done > progress.back())) progress.push_back(done);
        return progress.size() >= 3;
      },
      60s))
      << Text(Call("get_status"));
  ASSERT_TRUE(server_.WaitFor([&] { return server_.Get("/big.bin").has_value(); }, 60s));
  EXPECT_EQ(server_.Get("/big.bin")->size, kSize);
  EXPECT_TRUE(WaitUntil([&] { return Call("get_status")["worker_list"].isNull(); }, 10s));
}

}  // namespace
