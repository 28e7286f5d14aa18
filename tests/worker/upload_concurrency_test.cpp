// Expansions and uploads meeting other threads: a newer expand of the same
// folder aborts the one in hand; two workers upload while a thread rewrites
// files under them; a rescan larger than a pass goes up a pass at a time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session/event_manager.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

class UploadThreads : public testsupport::TempDirTest {
 protected:
  void Make(bool server) {
    WorkerRig::Options options;
    options.server = server;
    options.log_levels = "worker_debug=6\n";
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  }
  void TearDown() override { rig_.reset(); }
  std::unique_ptr<WorkerRig> rig_;
};

// An expand of a 20,000-file tree is aborted by a newer expand of the same
// folder; the newer one runs to its end.
TEST_F(UploadThreads, NewerExpandAbortsTheOneInHand) {
  Make(false);
  ASSERT_EQ(0, mkdir(rig_->local("/big").c_str(), 0700));
  for (int d = 0; d < 20; ++d) {
    const std::string dir = rig_->local("/big/d" + std::to_string(d));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    for (int f = 0; f < 1000; ++f) std::ofstream(dir + "/f" + std::to_string(f)) << "x";
  }
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<int> expands{0};
  std::atomic<bool> first_started{false};
  std::atomic<bool> second_issued{false};
  w.SetScript(ScriptedWorker::kExpand, [&](ScriptedWorker& self) {
    if (expands.fetch_add(1) == 0) first_started.store(true);
    return self.RealOperation(ScriptedWorker::kExpand);
  });
  // Uploads are left waiting until the second expand has been issued, so
  // the first one is still walking then.
  w.SetScript(ScriptedWorker::kUpload, [&](ScriptedWorker&) {
    while (!second_issued.load()) std::this_thread::sleep_for(1ms);
    return ERR_OK;
  });
  const uint64_t sess = rig_->entry().sess_id;
  EventManager::getInstance()->IssueExpand(sess, "/big");
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return first_started.load(); }, 20s));
  EventManager::getInstance()->IssueExpand(sess, "/big");
  second_issued.store(true);
  ASSERT_TRUE(w.waitForCalls(2, 120s));
  ASSERT_TRUE(rig_->drain(180s));
  ErrorCode expand_results[2] = {ERR_MAX, ERR_MAX};  // no code: not run
  int n = 0;
  for (const ScriptedWorker::Call& c : w.calls()) {
    if (c.op == ScriptedWorker::kExpand && n < 2) expand_results[n++] = c.result;
  }
  EXPECT_EQ(2, n);
  EXPECT_EQ(ERR_INT, expand_results[0]);
  EXPECT_EQ(ERR_OK, expand_results[1]);
}

// Two workers upload 200 files while a thread rewrites some of them; once
// the queue is drained (each rewrite followed by its modify event, as the
// watcher would send), every local file equals the stand-in's.
TEST_F(UploadThreads, TwoWorkersWithRewrites) {
  Make(true);
  for (int i = 0; i < 200; ++i) {
    std::ofstream(rig_->local("/f" + std::to_string(i)), std::ios::binary) << Bytes(2000 + i * 50, i);
  }
  for (int k = 0; k < 2; ++k) rig_->addWorker().UseRealOperations();
  rig_->startWorkers();
  for (int i = 0; i < 200; ++i) rig_->push(rig_->localEvent(Event::EV_MODIFY, "/f" + std::to_string(i)));
  std::thread rewriter([&] {
    for (int round = 0; round < 3; ++round) {
      for (int i = round; i < 200; i += 7) {
        const std::string rel = "/f" + std::to_string(i);
        std::ofstream(rig_->local(rel), std::ios::binary | std::ios::trunc) << Bytes(1000 + i, 1000 * round + i);
        rig_->push(rig_->localEvent(Event::EV_MODIFY, rel));
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  rewriter.join();
  ASSERT_TRUE(rig_->drain(240s));
  for (int i = 0; i < 200; ++i) {
    const std::string rel = "/f" + std::to_string(i);
    const auto object = rig_->server().Get(rel);
    ASSERT_TRUE(object.has_value()) << rel;
    EXPECT_EQ(0, testsupport::RunCommand({"cmp", rig_->local(rel), object->content_path}).exit_code) << rel;
  }
}

// A rescan of a new folder holding more than a pass with the one worker
// there is: the queue never holds more than a pass (plus the folders above
// its end and the root's own event), the worker carries out each pass and
// then the rescan's rest, and every file and folder reaches the stand-in.
TEST_F(UploadThreads, RescanOfMoreThanABatchUploadsAllOnePassAtATime) {
  Make(true);
  constexpr size_t kBatch = 8;
  std::vector<std::string> files;
  for (const char* d : {"/d0", "/d1", "/d1/sub", "/d2"}) {
    ASSERT_EQ(0, mkdir(rig_->local(d).c_str(), 0700)) << d;
    for (int i = 0; i < 15; ++i) files.push_back(std::string(d) + "/f" + std::to_string(i));
  }
  for (size_t i = 0; i < files.size(); ++i) std::ofstream(rig_->local(files[i]), std::ios::binary) << Bytes(100 + i, i);
  const size_t objects = files.size() + 4;
  const uint64_t sess = rig_->entry().sess_id;
  ScriptedWorker& w = rig_->addWorker();
  w.UseRealOperations();
  w.set_rescan_batch(kBatch);
  std::atomic<size_t> most{0};
  w.SetOnEventPulled([&](ScriptedWorker&) {
    const size_t pending = EventManager::getInstance()->GetAllPendingEventCount(sess);
    if (pending > most.load()) most.store(pending);
  });
  EventManager::getInstance()->IssueRescan(sess, "/", false);
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return rig_->server().List("/").size() == objects; }, 120s))
      << rig_->server().List("/").size() << " of " << objects << " objects on the stand-in";
  ASSERT_TRUE(rig_->drain(60s));
  EXPECT_LE(most.load(), kBatch + 2 + 1);
  EXPECT_GE(rig_->countLogged("continues after"), files.size() / (kBatch + 2));
  for (const std::string& rel : files) {
    const auto object = rig_->server().Get(rel);
    ASSERT_TRUE(object.has_value()) << rel;
    EXPECT_EQ(0, testsupport::RunCommand({"cmp", rig_->local(rel), object->content_path}).exit_code) << rel;
  }
}

}  // namespace
