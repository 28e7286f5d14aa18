// Server changes that a local folder refuses (read-only after the first
// sync): they stay pending with a growing pause, cost one body at most, are
// told to the user interface once, hold back no other event, and arrive once
// the folder can be written again. Real worker loop, real stand-in.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "foundation/file_op.h"
#include "session/file_event_db.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"

namespace {

using namespace downloadtest;  // the fixture's helpers and names
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Drops the capabilities that override file permissions from the calling
// thread's effective set (root would write into a read-only folder). Other
// threads keep theirs; the thread keeps them dropped until it ends.
bool DropPermissionOverridesOnThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
  }
  return syscall(SYS_capset, &header, data) == 0;
}

// Every event the worker took in hand, by path, with when.
class Attempts {
 public:
  void Add(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    at_[path].push_back(Clock::now());
  }
  std::vector<Clock::time_point> Of(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = at_.find(path);
    return it == at_.end() ? std::vector<Clock::time_point>() : it->second;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::vector<Clock::time_point>> at_;
};

size_t ReportsOf(const std::vector<PObject>& messages, const std::string& path) {
  size_t n = 0;
  for (const PObject& m : messages) {
    n += m["notify"].asString() == "locked_file" && m["path"].asString() == path.c_str() ? 1 : 0;
  }
  return n;
}

TEST_F(DownloadTest, ChangesARefusingFolderWaitWithGrowingPauseAndArriveOnceWritable) {
  ASSERT_EQ(0, mkdir(rig_->local("/ro").c_str(), 0755));
  const uint64_t s1 = rig_->server().Put("/ro/a.txt", "version one");
  Recorded("/ro/a.txt", "version one", s1);
  rig_->server().Put("/ro/a.txt", "version two, from the server");
  rig_->server().Put("/ro/new.txt", "a new file, from the server");
  rig_->server().Put("/free.txt", "elsewhere, not held back");
  ASSERT_EQ(0, chmod(rig_->local("/ro").c_str(), 0555));

  const std::string ro = rig_->local("/ro");
  std::atomic<int> refused{-1};  // whether the worker thread is refused writes in /ro
  Attempts attempts;
  ScriptedWorker& w = rig_->addWorker();
  w.UseRealOperations();
  w.SetOnPassStart([&](ScriptedWorker&) {
    if (refused.load() < 0) refused = DropPermissionOverridesOnThisThread() && faccessat(AT_FDCWD, ro.c_str(), W_OK, AT_EACCESS) != 0 ? 1 : 0;
  });
  w.SetOnEventInHand([&](ScriptedWorker& self) { attempts.Add(self.context.current_event.m_path.c_str_utf8()); });
  rig_->startWorkers();
  rig_->push(ServerChange("/ro/a.txt"));
  rig_->push(ServerChange("/ro/new.txt"));

  // The first attempts are made; then an event of another path arrives
  // meanwhile, although both changes are still pending.
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
      [&] { return !attempts.Of("/ro/a.txt").empty() && !attempts.Of("/ro/new.txt").empty(); }, 10s))
      << rig_->log();
  if (refused.load() == 0) GTEST_SKIP() << "the worker thread may still write into a read-only folder";
  rig_->push(ServerChange("/free.txt"));
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return Slurp(rig_->local("/free.txt")) == "elsewhere, not held back"; }, 10s))
      << rig_->log();

  // Four attempts each: every gap at least the pause, which doubles from
  // the rig's 300 ms.
  constexpr size_t kAttempts = 4;
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
      [&] {
        return attempts.Of("/ro/a.txt").size() >= kAttempts && attempts.Of("/ro/new.txt").size() >= kAttempts;
      },
      30s))
      << "attempts: " << attempts.Of("/ro/a.txt").size() << " and " << attempts.Of("/ro/new.txt").size();
  for (const std::string path : {"/ro/a.txt", "/ro/new.txt"}) {
    SCOPED_TRACE(path);
    const std::vector<Clock::time_point> at = attempts.Of(path);
    auto pause = std::chrono::milliseconds(300);
    for (size_t i = 1; i < kAttempts; ++i, pause *= 2) {
      EXPECT_GE(at[i] - at[i - 1], pause) << "attempt " << i;
    }
  }
  // One body for the new file, kept between attempts; none for the file
  // whose folder refuses its replacement before any request.
  size_t bodies_new = 0;
  size_t bodies_a = 0;
  for (const auto& r : rig_->requests()) {
    if (r.value("action", "") != "resume_download") continue;
    const std::string path = r["request"].value("path", "");
    bodies_new += path == "/ro/new.txt" ? 1 : 0;
    bodies_a += path == "/ro/a.txt" ? 1 : 0;
  }
  EXPECT_EQ(1u, bodies_new);
  EXPECT_EQ(0u, bodies_a);
  // Told once each, with the reason.
  ASSERT_TRUE(rig_->ui().waitFor(
      [](const std::vector<PObject>& m) { return ReportsOf(m, "/ro/a.txt") > 0 && ReportsOf(m, "/ro/new.txt") > 0; },
      5s));
  const std::vector<PObject> told = rig_->ui().messages();
  EXPECT_EQ(1u, ReportsOf(told, "/ro/a.txt"));
  EXPECT_EQ(1u, ReportsOf(told, "/ro/new.txt"));
  for (const PObject& m : told) {
    if (m["notify"].asString() != "locked_file") continue;
    const bool is_new = m["path"].asString() == "/ro/new.txt";
    EXPECT_EQ(ErrorNumber(is_new ? ERR_SYS : ERR_LOCKED_FILE), testsupport::UiStandIn::ErrorCode(m));
    EXPECT_EQ(ustring(is_new ? "folder not writable" : "file locked or no permission"), m["error"]["reason"].asString());
  }
  // Still as they were, nothing recorded for the server's versions.
  EXPECT_EQ("version one", Slurp(rig_->local("/ro/a.txt")));
  EXPECT_FALSE(IsFileExist(rig_->local("/ro/new.txt").c_str(), false));
  EXPECT_EQ(s1, Record("/ro/a.txt").syncID);

  // Writable again: both arrive, with their records, and the kept body
  // leaves the recycle folder.
  ASSERT_EQ(0, chmod(rig_->local("/ro").c_str(), 0755));
  ASSERT_TRUE(rig_->drain(30s)) << rig_->log();
  EXPECT_EQ("version two, from the server", Slurp(rig_->local("/ro/a.txt")));
  EXPECT_EQ("a new file, from the server", Slurp(rig_->local("/ro/new.txt")));
  EXPECT_EQ(rig_->server().Get("/ro/a.txt")->version, Record("/ro/a.txt").syncID);
  EXPECT_EQ(rig_->server().Get("/ro/new.txt")->version, Record("/ro/new.txt").syncID);
  size_t bodies_after = 0;
  for (const auto& r : rig_->requests()) {
    bodies_after += r.value("action", "") == "resume_download" && r["request"].value("path", "") == "/ro/new.txt";
  }
  EXPECT_EQ(1u, bodies_after) << "the arrival used the kept body";
  EXPECT_TRUE(TreeSnapshot::Take(Working() + "/#ZarqRecycle").entries().empty());
  EXPECT_EQ("", Leftovers(Working()));
}

}  // namespace
