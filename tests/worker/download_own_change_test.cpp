// A download's own acts in the session folder (the file renamed into place,
// the server's time set on a file whose content already matches) are not
// queued back by the folder watcher as local changes; the user's edit made
// after them is, even right after.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "download_fixture.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/own_changes.h"

namespace {

using namespace downloadtest;
using namespace std::chrono_literals;

class DownloadOwnChange : public DownloadTest {
 protected:
  void SetUp() override {
    WorkerRig::Options options;
    options.server = true;
    options.timing.worker_reply_timeout = std::chrono::seconds(10);
    options.log_levels += "detector_debug=7\n";
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    ASSERT_EQ(0, mkdir(Working().c_str(), 0700));
    ASSERT_EQ(0, mkdir((Working() + "/#ZarqRecycle").c_str(), 0700));
  }
  void TearDown() override {
    if (detector_ && detector_->GetId() >= 0) {
      detector_->Stop();
      detector_->Join();
    }
    detector_.reset();
    OwnChanges::Instance().Forget(rig_->entry().sess_id);
    DownloadTest::TearDown();
  }

  void Watch() {
    detector_ = std::make_unique<Detector>(nullptr, testsupport::ShortTiming());
    ASSERT_EQ(0, detector_->AddWatch(rig_->local().c_str(), rig_->entry().sess_id));
    ASSERT_EQ(0, detector_->Run());
  }

  // Waits up to 20 s for the log to hold `piece` `n` times.
  bool WaitLogged(const std::string& piece, size_t n = 1) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (rig_->countLogged(piece) < n) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // A new file in the folder whose queuing shows that the watcher has read
  // past everything done before it.
  void Sentinel() {
    const std::string name = "/sentinel." + std::to_string(++sentinels_);
    Spill(rig_->local(name), "s");
    ASSERT_TRUE(WaitLogged("PushEvent: " + name + " at")) << rig_->log();
  }

  std::unique_ptr<Detector> detector_;
  int sentinels_ = 0;
};

class DownloadOwnActs;

struct OwnCase {
  const char* name;
  const char* path;
  // Puts the server's version (and any local copy) in place.
  std::function<void(DownloadOwnActs&)> before;
};

void PrintTo(const OwnCase& c, std::ostream* os) { *os << c.name; }

class DownloadOwnActs : public DownloadOwnChange, public ::testing::WithParamInterface<OwnCase> {
 public:
  void PutNew() { rig_->server().Put("/n.bin", Pattern(300000, 7), 1500000001); }
  void PutSameContentNewTime() {
    const std::string v1 = Pattern(5000, 4);
    const uint64_t s1 = rig_->server().Put("/m.txt", v1, 1600000000);
    Recorded("/m.txt", v1, s1, 1600000000);
    rig_->server().Put("/m.txt", v1, 1700000000);
  }
};

const OwnCase kCases[] = {
    {"RenameIntoPlace", "/n.bin", [](DownloadOwnActs& t) { t.PutNew(); }},
    {"TimeChangeInPlace", "/m.txt", [](DownloadOwnActs& t) { t.PutSameContentNewTime(); }},
};

TEST_P(DownloadOwnActs, NotQueuedButALaterEditIs) {
  const OwnCase& c = GetParam();
  c.before(*this);
  ASSERT_NO_FATAL_FAILURE(Watch());
  ASSERT_NO_FATAL_FAILURE(Sentinel());
  const std::string own = std::string("own change of ") + c.path + ", not queued";
  const std::string pushed = std::string("PushEvent: ") + c.path + " at";
  ASSERT_EQ(ERR_OK, Download(ServerChange(c.path)));
  ASSERT_TRUE(WaitLogged(own)) << rig_->log();
  ASSERT_NO_FATAL_FAILURE(Sentinel());
  EXPECT_EQ(0u, rig_->countLogged(pushed));
  // The two sentinels are all the queue holds.
  EXPECT_EQ(2u, EventManager::getInstance()->GetAllPendingEventCount(rig_->entry().sess_id));

  std::ofstream(rig_->local(c.path), std::ios::app) << "edited by the user";
  EXPECT_TRUE(WaitLogged(pushed)) << rig_->log();
}

TEST_P(DownloadOwnActs, EditRightAfterIsQueued) {
  const OwnCase& c = GetParam();
  c.before(*this);
  ASSERT_NO_FATAL_FAILURE(Watch());
  ASSERT_EQ(ERR_OK, Download(ServerChange(c.path)));
  std::ofstream(rig_->local(c.path), std::ios::app) << "edited by the user";
  EXPECT_TRUE(WaitLogged(std::string("PushEvent: ") + c.path + " at")) << rig_->log();
}

INSTANTIATE_TEST_SUITE_P(Table, DownloadOwnActs, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<OwnCase>& info) { return info.param.name; });

}  // namespace
