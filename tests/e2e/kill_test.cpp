// Kill -9 in the middle of a workload that touches each path
// once, so the final tree is known. Before the restart every file at a
// final path holds a content the test put there and the databases are
// sound; after it both sides converge on the expected tree, with no
// conflict copy and no version the test never wrote.
//
// E2E_KILL_ROUNDS sets the number of random rounds (4 by default), one
// test case each; E2E_KILL_SEED replays a round's printed seed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "workload.h"

namespace e2e {
namespace {

constexpr uint64_t kBig = kWorkloadBig;

int KillRounds() {
  const char* env = getenv("E2E_KILL_ROUNDS");
  const int n = env != nullptr ? atoi(env) : 4;
  return n > 0 ? n : 4;
}

class KillNine : public E2eTest, public KnownTree {
 protected:
  // Kills the daemon mid-body, checks what it left, clears the stand-in's
  // fault and checks both sides after the restart. An upload's temporary
  // signature exists while its body goes: the kill must leave one, which the
  // restart sweeps.
  void KillThenRestart(SyncBed& bed, bool leaves_signature = false) {
    bed.Kill();
    CheckAfterKill(bed);
    if (leaves_signature) {
      EXPECT_NE("", NonRecordSignatures(bed)) << "the kill left no temporary signature";
    }
    bed.server().ClearFaults();
    ASSERT_TRUE(bed.Restart());
    CheckAfterRestart(bed);
  }
  // Uploads of the file at `path` with their body sizes.
  static std::vector<uint64_t> UploadBodies(SyncBed& bed, const std::string& path) {
    std::vector<uint64_t> out;
    for (const json& q : Uploads(bed, path)) out.push_back(BodyOf(q));
    return out;
  }
};

class KillRandom : public KillNine, public ::testing::WithParamInterface<int> {};

TEST_P(KillRandom, AtARandomMoment) {
  uint32_t seed = 0;
  if (const char* env = getenv("E2E_KILL_SEED")) {
    seed = static_cast<uint32_t>(strtoul(env, nullptr, 10));
  } else {
    seed = std::random_device{}();
  }
  std::mt19937 gen(seed);
  const int delay_ms = std::uniform_int_distribution<int>(200, 8000)(gen);
  std::cout << "kill round " << GetParam() << ": E2E_KILL_SEED=" << seed << " (kill after " << delay_ms << " ms)\n";
  RecordProperty("E2E_KILL_SEED", std::to_string(seed));
  SCOPED_TRACE("E2E_KILL_SEED=" + std::to_string(seed));

  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  Prepare(bed);
  std::thread workload([&] { Workload(bed, seed); });
  std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  bed.Kill();
  workload.join();
  CheckAfterKill(bed);
  ASSERT_TRUE(bed.Restart());
  CheckAfterRestart(bed);
}

INSTANTIATE_TEST_SUITE_P(E2e, KillRandom, ::testing::Range(0, KillRounds()));

TEST_F(KillNine, DuringADownloadBody) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  ASSERT_NE(0u, bed.server().Fault({{"action", "resume_download"}, {"send_rate", 2 << 20}}));
  Server(bed, "/t/down", RandomBytes(kBig, 71));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !bed.JournalOf("request", "resume_download").empty(); }, 60s));
  std::this_thread::sleep_for(2s);
  KillThenRestart(bed);
}

TEST_F(KillNine, DuringAnUploadBody) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  ASSERT_NE(0u, bed.server().Fault({{"action", "resume_upload"}, {"recv_rate", 2 << 20}}));
  Local(bed, "/t/up", RandomBytes(kBig, 72));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !bed.JournalOf("fault").empty(); }, 60s));
  std::this_thread::sleep_for(2s);
  KillThenRestart(bed, true);
}

// The stand-in has committed the upload but not replied: after the restart
// no second body goes, and the record names the committed version.
TEST_F(KillNine, BetweenCommitAndReply) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  ASSERT_NE(0u, bed.server().Fault({{"action", "resume_upload"}, {"hold_after_commit_ms", 60000}}));
  Local(bed, "/t/commit", RandomBytes(kBig, 73));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return bed.server().Get("/t/commit").has_value(); }, 90s));
  bed.Kill();
  CheckAfterKill(bed);
  bed.server().ClearFaults();
  const size_t bodies_before = UploadBodies(bed, "/t/commit").size();
  ASSERT_TRUE(bed.Restart());
  CheckAfterRestart(bed);
  const std::vector<uint64_t> bodies = UploadBodies(bed, "/t/commit");
  for (size_t i = bodies_before; i < bodies.size(); ++i) EXPECT_EQ(0u, bodies[i]) << "a second body";
  const std::vector<ServerStandIn::Object> history = bed.server().History("/t/commit");
  ASSERT_EQ(1u, history.size());
  const json rows =
      SyncBed::Query(bed.event_db_path(), "SELECT syncID FROM event_table WHERE path = '/t/commit';");
  ASSERT_TRUE(rows.is_array() && rows.size() == 1) << rows;
  const json& id = rows[0]["syncID"];
  EXPECT_EQ(std::to_string(history[0].version), id.is_string() ? id.get<std::string>() : id.dump());
}

}  // namespace
}  // namespace e2e
