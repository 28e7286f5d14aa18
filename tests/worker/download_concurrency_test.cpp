// Downloads and removes meeting other threads: the application's
// interruption with a barrier while a large file is rebuilt from a delta or
// copied from elsewhere in the session, and two workers recycling siblings
// while a third downloads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "download_fixture.h"
#include "support/command.h"
#include "support/server_stand_in.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using downloadtest::Pattern;
using downloadtest::Slurp;
using downloadtest::Spill;
using testsupport::ScriptedWorker;
using testsupport::ServerStandIn;
using namespace std::chrono_literals;

constexpr size_t k64MiB = size_t{64} << 20;

class DownloadThreads : public downloadtest::DownloadTest {
 protected:
  // Carries `ev` out on a worker of its own and, right before the worker
  // reads or builds the new content from a local file, interrupts it as the
  // application does (every worker holding an event, a barrier); checks
  // that the barrier returned within 2 s and that the operation was broken
  // off, not finished.
  void InterruptAtLocalBuild(const Event& ev) {
    // Shared with the hook, which may run again after this returns.
    struct Handshake {
      std::atomic<bool> first{true};
      std::promise<void> reached;
      std::promise<void> raised;
      std::shared_future<void> go = raised.get_future().share();
    };
    auto hand = std::make_shared<Handshake>();
    std::future<void> reached = hand->reached.get_future();
    ScriptedWorker& w = rig_->addWorker();
    w.UseRealOperations();
    w.SetOnBeforeLocalBuild([hand](ScriptedWorker&) {
      if (!hand->first.exchange(false)) return;
      hand->reached.set_value();
      hand->go.wait();
    });
    rig_->push(ev);
    rig_->startWorkers();
    if (reached.wait_for(120s) != std::future_status::ready) {
      hand->raised.set_value();
      FAIL() << "the worker never came to build from a local file\n" << rig_->log();
    }
    Worker::AbortFilter filter;
    filter.setSession(0);
    Worker::Barrier barrier;
    w.SetAbort(filter, &barrier);
    hand->raised.set_value();
    const auto start = std::chrono::steady_clock::now();
    barrier.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(!w.calls().empty() && w.calls()[0].result != ERR_OK) << "the operation ended before the interruption";
    // No retry may run before the test looks.
    rig_->stopWorkers();
  }
};

TEST_F(DownloadThreads, InterruptDuringDeltaRebuild) {
  const std::string v1 = Pattern(k64MiB, 1);
  std::string v2 = v1;
  for (size_t i = 0; i < v2.size(); i += size_t{1} << 20) v2[i] ^= 0x5A;
  Spill(Path("v1"), v1);
  Spill(Path("v2"), v2);
  const uint64_t s1 = rig_->server().PutFile("/big.bin", Path("v1"));
  Recorded("/big.bin", v1, s1);
  rig_->server().PutFile("/big.bin", Path("v2"));
  // The delta's body has arrived; the rebuild is about to start.
  InterruptAtLocalBuild(ServerChange("/big.bin"));
  EXPECT_TRUE(Slurp(rig_->local("/big.bin")) == v1);
  EXPECT_EQ(s1, Record("/big.bin").syncID);
}

TEST_F(DownloadThreads, InterruptDuringLocalCopy) {
  // The server's new "/a.bin" is "/b.bin" of the session: a local copy.
  const std::string big = Pattern(k64MiB, 2);
  Spill(Path("big"), big);
  const uint64_t s1 = rig_->server().Put("/a.bin", "old content");
  Recorded("/a.bin", "old content", s1);
  Recorded("/b.bin", big, s1);
  rig_->server().PutFile("/a.bin", Path("big"));
  // The copy of "/b.bin" is about to be made.
  InterruptAtLocalBuild(ServerChange("/a.bin"));
  EXPECT_EQ("old content", Slurp(rig_->local("/a.bin")));
  EXPECT_EQ(s1, Record("/a.bin").syncID);
  EXPECT_TRUE(Slurp(rig_->local("/b.bin")) == big);
}

TEST_F(DownloadThreads, TwoRecyclersAndADownloader) {
  constexpr int kFiles = 60;
  constexpr int kDirs = 10;
  constexpr int kDownloads = 12;
  RecordedDir("/s", 5);
  for (int i = 0; i < kFiles; ++i) Recorded("/s/f" + std::to_string(i), "file " + std::to_string(i), 5);
  for (int d = 0; d < kDirs; ++d) {
    RecordedDir("/s/d" + std::to_string(d), 5);
    Recorded("/s/d" + std::to_string(d) + "/in", "inside " + std::to_string(d), 5);
  }
  for (int j = 0; j < kDownloads; ++j) rig_->server().Put("/n" + std::to_string(j), Pattern(200000, 100 + j));

  for (int k = 0; k < 2; ++k) rig_->addWorker().UseRealOperations();
  rig_->startWorkers();
  // The third worker is never started: a thread of the test runs its
  // downloads while the two recyclers work the queue.
  ScriptedWorker& downloader = rig_->addWorker();
  std::vector<Event> downloads;
  for (int j = 0; j < kDownloads; ++j) downloads.push_back(ServerChange("/n" + std::to_string(j)));
  std::atomic<int> failed{0};
  std::thread third([&] {
    for (const Event& ev : downloads) {
      downloader.context.clear();
      downloader.context.current_event = ev;
      if (downloader.UpdateContext() != 0 || downloader.RealOperation(ScriptedWorker::kDownload) != ERR_OK) ++failed;
      // As the loop does once an event is done.
      downloader.ClearCurrentProcessEventInfo();
      downloader.ClearCache();
    }
  });
  for (int i = 0; i < kFiles; ++i) rig_->push(rig_->serverEvent(Event::EV_REMOVE, "/s/f" + std::to_string(i), 9));
  for (int d = 0; d < kDirs; ++d) rig_->push(rig_->serverEvent(Event::EV_REMOVE, "/s/d" + std::to_string(d), 9, true));
  third.join();
  ASSERT_TRUE(rig_->drain(120s));
  rig_->stopWorkers();
  EXPECT_EQ(0, failed.load());
  for (int j = 0; j < kDownloads; ++j) {
    const std::string rel = "/n" + std::to_string(j);
    EXPECT_TRUE(Slurp(rig_->local(rel)) == Content(rel)) << rel;
  }

  // Each recycled object under a name of its own, each with its rows.
  const std::string recycle = Working() + "/#ZarqRecycle";
  const auto rows = testsupport::RunSqlite3(
      {"-readonly", rig_->eventDbPath(), "SELECT path FROM recycle_bin_table ORDER BY path;"});
  ASSERT_EQ(0, rows.exit_code) << rows.err;
  std::set<std::string> row_paths;
  std::set<std::string> row_tops;
  size_t row_count = 0;
  for (size_t at = 0, end; (end = rows.out.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string path = rows.out.substr(at, end - at);
    ++row_count;
    row_paths.insert(path);
    row_tops.insert(path.substr(0, path.find('/', 1)));
  }
  EXPECT_EQ(size_t{kFiles + 2 * kDirs}, row_count);
  EXPECT_EQ(row_count, row_paths.size());
  std::set<std::string> names;
  std::multiset<std::string> contents;
  const testsupport::TreeSnapshot recycled = testsupport::TreeSnapshot::Take(recycle);
  for (const auto& [path, entry] : recycled.entries()) {
    if (path.find('/', 1) == std::string::npos) {
      names.insert(path);
    } else {
      EXPECT_EQ(1u, row_paths.count(path)) << path;
    }
    struct stat st;
    if (stat((recycle + path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) contents.insert(Slurp(recycle + path));
  }
  EXPECT_EQ(size_t{kFiles + kDirs}, names.size());
  EXPECT_EQ(names, row_tops);
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(1u, contents.count("file " + std::to_string(i))) << i;
  for (int d = 0; d < kDirs; ++d) EXPECT_EQ(1u, contents.count("inside " + std::to_string(d))) << d;
}

// The ask for a body whole goes with the event, not with the worker that
// made it. Once one worker has met three bad deltas on an unchanged local
// copy and the event goes back to the queue, the worker that takes it next
// asks whole at once (and, that body bad too, tells the user), instead of
// counting three bad deltas anew.
TEST_F(DownloadThreads, WholeBodyAskedByOneWorkerHoldsForTheNext) {
  const std::string rel = "/p.bin";
  const std::string v1 = Pattern(60000, 31);
  const uint64_t s1 = rig_->server().Put(rel, v1);
  Recorded(rel, v1, s1);
  std::string v2 = v1;
  v2[100] ^= 1;
  rig_->server().Put(rel, v2);
  // Every body is bad, the whole one too.
  rig_->server().Fault({{"action", "resume_download"}, {"corrupt_body_byte", 40}, {"count", -1}});
  ScriptedWorker& first = rig_->addWorker();
  // Three real attempts; at the fourth the first worker stops and gives the
  // event back, as an interrupted download does.
  first.SetScript(ScriptedWorker::kDownload, [](ScriptedWorker& self) -> ErrorCode {
    if (self.calls().size() <= 3) return self.RealOperation(ScriptedWorker::kDownload);
    self.Stop();
    return ERR_INT;
  });
  rig_->push(ServerChange(rel));
  rig_->startWorkers();
  ASSERT_TRUE(first.waitForCalls(4, 30s)) << rig_->log();
  ASSERT_EQ(0, first.Join());
  const auto firsts = first.calls();
  ASSERT_EQ(4u, firsts.size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(WorkerAction::kRetry, firsts[i].action) << i;
  EXPECT_EQ(WorkerAction::kReturnEvent, firsts[3].action);

  ScriptedWorker& second = rig_->addWorker();
  second.UseRealOperations();
  rig_->startWorkers();
  ASSERT_TRUE(second.waitForCalls(1, 30s)) << rig_->log();
  ASSERT_TRUE(rig_->drain(10s));
  const auto seconds = second.calls();
  ASSERT_EQ(1u, seconds.size()) << "the second worker counted bad deltas anew";
  EXPECT_EQ(ERR_SYS, seconds[0].result);
  EXPECT_EQ(WorkerAction::kDone, seconds[0].action);
  // Three requests against the recorded basis, then one naming none.
  std::vector<uint64_t> bases;
  for (const nlohmann::json& r : rig_->requests()) {
    if (r["action"] == "resume_download") bases.push_back(r["request"].value("sync_id", uint64_t{99}));
  }
  EXPECT_EQ((std::vector<uint64_t>{s1, s1, s1, 0}), bases);
  EXPECT_TRUE(Slurp(rig_->local(rel)) == v1) << "the local copy changed";
  ASSERT_TRUE(rig_->ui().waitFor(
      [&](const std::vector<PObject>& m) {
        for (const PObject& x : m) {
          if (x["notify"].asString() == "locked_file" && x["path"].asString() == rel.c_str()) return true;
        }
        return false;
      },
      5s))
      << "the unapplied change was not reported";
}

}  // namespace
