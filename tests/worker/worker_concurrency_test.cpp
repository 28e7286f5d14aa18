// Workers meeting other threads: the application's interruption with a
// barrier, the event queue's abort of an obsolete upload, the status report
// during a transfer, and a stop while a transfer blocks.
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

#include "protocol/proto_common.h"
#include "session/event_manager.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

class WorkerThreads : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WorkerRig::Options options;
    options.server = true;
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  }
  void TearDown() override { rig_.reset(); }

  // A download of `rel` the way the download layer asks for it.
  static int Download(ScriptedWorker& self, const char* rel) {
    self.SetCurrentProcessEventInfo(3, 7, rel, Worker::W_TYPE_DOWNLOAD);
    PObject q;
    InitRequest(q, "resume_download");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["target_sync_id"] = self.context.current_event.m_sync_id;
    q["path"] = rel;
    q["file"]["offset"] = 0ull;
    q["mtime"]["offset"] = 0ull;
    q["force_current_version"] = false;
    PObject reply;
    return self.ProtoDownload(true, q, reply);
  }

  std::unique_ptr<WorkerRig> rig_;
};

TEST_F(WorkerThreads, BarrierReturnsForAStalledAndAnIdleWorker) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}});
  ScriptedWorker& stalled = rig_->addWorker();
  ScriptedWorker& idle = rig_->addWorker();
  std::atomic<bool> in_download{false};
  stalled.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    in_download = true;
    return Download(self, "/slow.bin");
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/slow.bin", v));
  EXPECT_EQ(0, stalled.Run());
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_download.load(); }, 10s));
  EXPECT_EQ(0, idle.Run());
  std::this_thread::sleep_for(300ms);

  // The application thread: interrupt every session's workers and wait.
  Worker::AbortFilter filter;
  filter.setSession(0);
  Worker::Barrier barrier;
  stalled.SetAbort(filter, &barrier);
  idle.SetAbort(filter, &barrier);
  const auto start = std::chrono::steady_clock::now();
  barrier.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(stalled.waitForCalls(1, 5s));
  EXPECT_EQ(ERR_INT, stalled.calls()[0].result);
  stalled.Stop();
  idle.Stop();
  stalled.Join();
  idle.Join();
}

TEST_F(WorkerThreads, LocalRemoveAbortsTheRunningUpload) {
  rig_->server().Fault({{"action", "resume_get_token"}, {"delay_ms", 20000}});
  {
    std::ofstream out(rig_->local("/u.bin"), std::ios::binary);
    out << std::string(700 * 1024, 'u');
  }
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> uploading{false};
  w.SetScript(ScriptedWorker::kUpload, [&](ScriptedWorker& self) {
    PObject q;
    InitRequest(q, "resume_upload");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["path"] = "/u.bin";
    q["is_dir"] = false;
    q["file"]["size"] = 700ull * 1024;
    q["file"]["hash"] = "0123456789abcdef0123456789abcdef";
    PObject::binary_type& body = q["file"]["data"].asBinary();
    body.path = self.context.full_path;
    body.length = 700 * 1024;
    uploading = true;
    PObject reply;
    return self.ProtoUpload(true, q, reply);
  });
  rig_->push(rig_->localEvent(Event::EV_MODIFY, "/u.bin"));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return uploading.load(); }, 10s));
  std::this_thread::sleep_for(300ms);
  // The folder watcher's thread: the file is removed meanwhile.
  const auto start = std::chrono::steady_clock::now();
  EventManager::getInstance()->PushLocalEvent(rig_->localEvent(Event::EV_REMOVE, "/u.bin"));
  ASSERT_TRUE(w.waitForCalls(1, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(ERR_INT, w.calls()[0].result);
  rig_->stopWorkers();
  for (const std::string& a : rig_->actions()) EXPECT_NE("resume_upload", a);
}

TEST_F(WorkerThreads, WorkingStatusFollowsTheBody) {
  constexpr uint64_t kSize = 64ull << 20;
  const std::string big = Path("big.bin");
  {
    std::ofstream out(big, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (uint64_t i = 0; i < kSize / chunk.size(); ++i) {
      for (size_t j = 0; j < chunk.size(); j += 4096) chunk[j] = static_cast<char>(i + j);
      out << chunk;
    }
  }
  const uint64_t v = rig_->server().PutFile("/big.bin", big);
  ASSERT_NE(0u, v);
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> done{false};
  w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    const int rc = Download(self, "/big.bin");
    done = true;
    return rc;
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/big.bin", v));
  rig_->startWorkers();
  // The application's status report, polled while the body moves.
  std::vector<std::pair<uint64_t, uint64_t>> seen;
  uint64_t sess = 0;
  ustring path;
  Worker::WorkingType type = Worker::W_TYPE_NONE;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    uint64_t sent = 0, total = 0;
    w.GetWorkingStatus(sess, path, type, sent, total);
    if (total != 0) {
      seen.emplace_back(sent, total);
      EXPECT_EQ(7u, sess);
      EXPECT_EQ(ustring("/big.bin"), path);
      EXPECT_EQ(Worker::W_TYPE_DOWNLOAD, type);
    }
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_TRUE(w.waitForCalls(1, 60s));
  rig_->stopWorkers();
  EXPECT_EQ(0, w.calls()[0].result);
  ASSERT_GE(seen.size(), 2u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(kSize, seen[i].second);
    EXPECT_LE(seen[i].first, kSize);
    if (i > 0) {
      EXPECT_GE(seen[i].first, seen[i - 1].first);
    }
  }
  EXPECT_LT(seen.front().first, seen.back().first);
}

TEST_F(WorkerThreads, StopEndsABlockedTransfer) {
  const uint64_t v = rig_->server().Put("/slow.bin", std::string(1000, 'x'));
  rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 20000}});
  ScriptedWorker& w = rig_->addWorker();
  std::atomic<bool> in_download{false};
  w.SetScript(ScriptedWorker::kDownload, [&](ScriptedWorker& self) {
    in_download = true;
    return Download(self, "/slow.bin");
  });
  rig_->push(rig_->serverEvent(Event::EV_MODIFY, "/slow.bin", v));
  rig_->startWorkers();
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return in_download.load(); }, 10s));
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  w.Stop();
  EXPECT_EQ(0, w.Join());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(rig_->logged("Worker (") && rig_->logged(") down"));
}

}  // namespace
