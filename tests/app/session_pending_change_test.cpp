// Two sessions on one connection through the real application (Syncer,
// workers, user-interface notifier, stand-in): a server change that one
// session's folder refuses (read-only after the first sync) waits with a
// growing pause and is told once, the other session's new files arrive
// meanwhile, and the refusing session's stored sync id stays below the
// change until its folder takes it.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "transport/error_code.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

// Takes the capabilities that override file permissions (root would write
// into a read-only folder) out of the calling thread's effective set, and
// puts them back. Threads inherit the effective set of the thread that
// makes them: dropped on the test thread before "link", they are dropped
// on every task the application starts.
class PermissionOverrides {
 public:
  bool Drop() {
    if (syscall(SYS_capget, &header_, saved_) != 0) return false;
    __user_cap_data_struct data[2] = {saved_[0], saved_[1]};
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      data[cap / 32].effective &= ~(1u << (cap % 32));
    }
    dropped_ = syscall(SYS_capset, &header_, data) == 0;
    return dropped_;
  }
  // Back to the saved set; the permitted set was kept, so this is allowed.
  void Restore() {
    if (dropped_) {
      EXPECT_EQ(0, syscall(SYS_capset, &header_, saved_));
    }
    dropped_ = false;
  }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool dropped_ = false;
};

// One "EventManager::DeferEvent" line of the daemon's log.
struct Deferral {
  int seconds = 0;  // of the day, from the line's time prefix
  int count = 0;
  long long pause_ms = 0;
};

// The deferral lines of `path`'s events in `log`, in order.
std::vector<Deferral> DeferralsOf(const std::string& log, const std::string& path) {
  std::vector<Deferral> out;
  size_t begin = 0;
  while (begin < log.size()) {
    size_t end = log.find('\n', begin);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(begin, end - begin);
    begin = end + 1;
    if (line.find("EventManager::DeferEvent = [") == std::string::npos) continue;
    if (line.find("] " + path + " (server,file)") == std::string::npos) continue;
    // "%b %d %H:%M:%S " comes first.
    Deferral d;
    int h = 0, m = 0, s = 0;
    if (line.size() < 15 || sscanf(line.c_str() + 7, "%d:%d:%d", &h, &m, &s) != 3) continue;
    d.seconds = h * 3600 + m * 60 + s;
    const size_t at = line.find("], deferral ");
    if (at == std::string::npos ||
        sscanf(line.c_str() + at, "], deferral %d, pause %lld ms", &d.count, &d.pause_ms) != 2) {
      continue;
    }
    out.push_back(d);
  }
  return out;
}

size_t ReportsOf(const std::vector<PObject>& messages, uint64_t sess_id, const std::string& path) {
  size_t n = 0;
  for (const PObject& m : messages) {
    n += m["notify"].asString() == "locked_file" && m["session_id"].asUInt64() == sess_id &&
                 m["path"].asString() == path.c_str()
             ? 1
             : 0;
  }
  return n;
}

class PendingChangeAppTest : public AppFixture {
 protected:
  void Configure(Options& options) override {
    // The Syncer's and the Detector's rounds (WaitDaemonLooked) and the
    // queue's deferrals; the workers' warnings come at the default level.
    options.log_levels = "syncer_debug=7\ndetector_debug=7\nevent_mgr_debug=6\n";
  }
  void TearDown() override {
    // A failed case may leave the folder read-only: the test folder must go.
    (void)chmod(ReadOnly().c_str(), 0755);
    AppFixture::TearDown();
    overrides_.Restore();
  }

  std::string ReadOnly() const { return LocalPath(1) + "/ro"; }
  // The content of `rel` in session `id`'s folder; "" while it cannot be
  // read.
  std::string Content(uint64_t id, const std::string& rel) const {
    std::ifstream in(LocalPath(id) + rel, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  static uint64_t StoredSyncId(uint64_t sess_id) {
    uint64_t id = 0;
    const Registry::Entry e = Entry(sess_id);
    EXPECT_TRUE(e.event_db && e.event_db->getSyncId(id) == 0) << sess_id;
    return id;
  }
  size_t PullsOf(const std::string& remote) {
    size_t n = 0;
    for (const nlohmann::json& r : Requests("pull_event")) n += r["request"].value("path", "") == remote ? 1 : 0;
    return n;
  }

  PermissionOverrides overrides_;
};

TEST_F(PendingChangeAppTest, ARefusedChangeWaitsWithGrowingPauseWhileTheOtherSessionSyncs) {
  if (!overrides_.Drop()) GTEST_SKIP() << "the permission-override capabilities cannot be dropped here";
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/one/ro/a.txt", "version one"));
  ASSERT_NE(0u, server_.Put("/two/b.txt", "bravo"));
  for (uint64_t id : {1u, 2u}) {
    MakeSessionFolders(id);
    PObject req = SessionRequest(id, 1);
    req["remote_path"] = id == 1 ? "/one" : "/two";
    PObject rsp = Call("add_session", req);
    ASSERT_FALSE(rsp.hasMember("error")) << Text(rsp);
    PObject resume;
    resume["session_id"] = static_cast<unsigned long long>(id);
    ASSERT_FALSE(Call("resume", resume).hasMember("error"));
  }
  ASSERT_TRUE(WaitUntil([&] { return Content(1, "/ro/a.txt") == "version one"; }, 20s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return Content(2, "/b.txt") == "bravo"; }, 20s)) << Log();
  ASSERT_TRUE(WaitDaemonLooked(1));

  ASSERT_EQ(0, chmod(ReadOnly().c_str(), 0555));
  if (faccessat(AT_FDCWD, ReadOnly().c_str(), W_OK, AT_EACCESS) == 0) {
    GTEST_SKIP() << "this thread may still write into a read-only folder";
  }
  ASSERT_TRUE(WaitDaemonLooked(1));  // the folder's own change is done with
  const uint64_t before = StoredSyncId(1);
  const uint64_t change = server_.Put("/one/ro/a.txt", "version two, from the server");
  ASSERT_GT(change, before);
  ASSERT_TRUE(WaitUntil([&] { return !DeferralsOf(Log(), "/ro/a.txt").empty(); }, 15s)) << Log();
  const size_t pulls_of_one = PullsOf("/one");

  // The other session's new files arrive while the change waits, and its
  // sync id moves past the change; the refusing session's does not.
  const uint64_t c1 = server_.Put("/two/c1.txt", "charlie one");
  const uint64_t c2 = server_.Put("/two/c2.txt", "charlie two");
  ASSERT_TRUE(
      WaitUntil([&] { return Content(2, "/c1.txt") == "charlie one" && Content(2, "/c2.txt") == "charlie two"; }, 15s))
      << Log();
  ASSERT_TRUE(WaitUntil([&] { return StoredSyncId(2) >= c2; }, 15s)) << StoredSyncId(2) << " " << Log();
  EXPECT_GT(c2, c1);
  EXPECT_EQ(1u, EventManager::getInstance()->GetDeferredServerEvent(1));
  EXPECT_EQ("version one", Content(1, "/ro/a.txt"));
  EXPECT_LT(StoredSyncId(1), change);

  // Five attempts: the pause doubles from the rigs' 300 ms up to their
  // 2400 ms, and the log's times (whole seconds) are at least the pause's
  // whole seconds apart.
  constexpr size_t kAttempts = 5;
  ASSERT_TRUE(WaitUntil([&] { return DeferralsOf(Log(), "/ro/a.txt").size() >= kAttempts; }, 30s)) << Log();
  // One snapshot of the log for the deferrals and the worker's warnings:
  // the queue logs its deferral before the worker warns, so the snapshot
  // may hold one deferral more than warnings, never fewer.
  const std::string log = Log();
  const std::vector<Deferral> deferrals = DeferralsOf(log, "/ro/a.txt");
  long long pause = 300;
  for (size_t i = 0; i < deferrals.size(); ++i, pause = std::min(pause * 2, 2400LL)) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<int>(i + 1), deferrals[i].count);
    EXPECT_EQ(pause, deferrals[i].pause_ms);
    if (i == 0) continue;
    const int apart = (deferrals[i].seconds - deferrals[i - 1].seconds + 86400) % 86400;
    EXPECT_GE(apart, deferrals[i - 1].pause_ms / 1000);
  }
  const size_t warnings = testsupport::CountOf(log, "'/ro/a.txt' cannot be put in place (file locked or no permission)");
  EXPECT_LE(warnings, deferrals.size());
  EXPECT_GE(warnings + 1, deferrals.size());
  // Still pending: nothing stored past it, the session not pulled again.
  EXPECT_EQ("version one", Content(1, "/ro/a.txt"));
  EXPECT_LT(StoredSyncId(1), change);
  EXPECT_EQ(pulls_of_one, PullsOf("/one"));

  // Told once, with the reason, though attempted five times.
  ASSERT_TRUE(ui_->waitFor([](const std::vector<PObject>& m) { return ReportsOf(m, 1, "/ro/a.txt") > 0; }, 10s));
  const std::vector<PObject> told = ui_->messages();
  EXPECT_EQ(1u, ReportsOf(told, 1, "/ro/a.txt"));
  for (const PObject& m : told) {
    if (m["notify"].asString() != "locked_file") continue;
    EXPECT_EQ(ErrorNumber(ERR_LOCKED_FILE), testsupport::UiStandIn::ErrorCode(m)) << Text(m);
    EXPECT_EQ(ustring("file locked or no permission"), m["error"]["reason"].asString()) << Text(m);
  }

  // Writable again: the change arrives and the sync id moves on past it.
  ASSERT_EQ(0, chmod(ReadOnly().c_str(), 0755));
  ASSERT_TRUE(WaitUntil([&] { return Content(1, "/ro/a.txt") == "version two, from the server"; }, 15s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return StoredSyncId(1) >= change; }, 15s)) << StoredSyncId(1) << " " << Log();
  EXPECT_EQ(0u, EventManager::getInstance()->GetDeferredServerEvent(1));
  EXPECT_EQ("charlie one", Content(2, "/c1.txt"));
  EXPECT_EQ("charlie two", Content(2, "/c2.txt"));
  EXPECT_EQ("bravo", Content(2, "/b.txt"));
}

}  // namespace
