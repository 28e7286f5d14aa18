// The worker's code conversions: server codes (the worker's mapping never
// turns a failure into 0), stream codes with what each does to the resume
// cache, and the cache's deletion rule.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>

#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "session/event_manager.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

class WorkerCodes : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<WorkerRig>(Path());
    w_ = &rig_->addWorker();
    w_->Inject(rig_->localEvent(Event::EV_MODIFY, "/f.txt"));
    ASSERT_EQ(0, w_->UpdateContext());
    work_ = rig_->local("/.ZarqelonWorkingDirectory");
    ASSERT_EQ(0, mkdir(work_.c_str(), 0700));
  }

  // A binary naming `path` under key "file"."data" of `obj`.
  static void Name(PObject& obj, const std::string& path, const char* part = "file") {
    PObject::binary_type& b = obj[part]["data"].asBinary();
    b.path = path.c_str();
    b.length = 4;
  }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  std::unique_ptr<WorkerRig> rig_;
  ScriptedWorker* w_ = nullptr;
  std::string work_;
};

TEST_F(WorkerCodes, UnhandledCodeNeverDone) {
  // Every class, with the syncers' exact codes first; a failure the worker
  // has no code for gives ERR_INT, never 0.
  struct Row {
    uint32_t code;
    int expected;
  } rows[] = {
      {SPROTO_ERR_OK, 0},  // no failure
      {SPROTO_ERR_ERR, ERR_INT},
      {SPROTO_ERR_UPGRADE, ERR_INT},
      {SPROTO_ERR_USER, ERR_AUTH},
      {SPROTO_ERR_USER_PASSWD, ERR_AUTH},
      {SPROTO_ERR_SESSION_MISS, ERR_AUTH},
      {SPROTO_ERR_VIEW, ERR_VIEW},
      {SPROTO_ERR_INVALID_VIEW_ID, ERR_VIEW},
      {SPROTO_ERR_ACCESS_DENY, ERR_PERMISS},
      {SPROTO_ERR_VIEW_INVALID_PATH, ERR_VIEW_PATH},
      {SPROTO_ERR_READ_ONLY, ERR_PERMISS_READ_ONLY},
      {SPROTO_ERR_SYSTEM, ERR_INT},
      {SPROTO_ERR_QUOTA, ERR_QUOTA},
      {SPROTO_ERR_DISKFULL, ERR_DISKFULL},
      {0x4003, ERR_INT},
      {SPROTO_ERR_VERSION_TOO_LOW, ERR_VERSION},
      {SPROTO_ERR_CONFLICT, ERR_INT},
      {SPROTO_ERR_CONFLICT_MAC_ATTR, ERR_INT},
      {SPROTO_ERR_INTERNAL, ERR_INT},
      {0x7003, ERR_INT},
      {SPROTO_ERR_DOWNLOAD_NOFILE, ERR_INT},
      {SPROTO_ERR_UPLOAD_NOBASE, ERR_INT},
      {SPROTO_ERR_REMOVE_MODIFIED, ERR_INT},
      {SPROTO_ERR_RESUME, ERR_INT},
      {SPROTO_ERR_RESUME_NOTOKEN, ERR_INT},
      {0xC000, ERR_INT},
      {0xFFFF, ERR_INT},
      {0x10000, ERR_INT},
      {0x17000, ERR_INT},  // class -1, not 7
      {0xFFFFFFFF, ERR_INT},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.expected, w_->ProtoResp2ErrorCode(row.code)) << std::hex << row.code;
  }
  EXPECT_TRUE(rig_->logged("server error: 28672"));
  EXPECT_TRUE(rig_->logged("unhandled error code: 65536"));
  EXPECT_FALSE(rig_->logged("invalid path in view"));
}

TEST_F(WorkerCodes, UnhandledCodeThroughTheLoopGoesBackUnrecorded) {
  // An operation whose server answered 0x7000: the mapped code returns the
  // event to the queue, and its record is what it was.
  DBFileInfo rec;
  rec.path = "/s.txt";
  rec.syncID = 5;
  rec.fileSize = 3;
  rec.fileCheckSum = "old";
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  w_->context.clear();
  w_->SetScript(ScriptedWorker::kDownload,
                  [](ScriptedWorker& self) { return self.ProtoResp2ErrorCode(SPROTO_ERR_INTERNAL); });
  const WorkerRig::Outcome outcome = rig_->runOne(rig_->serverEvent(Event::EV_MODIFY, "/s.txt", (1ull << 32) + 10));
  rig_->stopWorkers();
  EXPECT_EQ(ERR_INT, outcome.result);
  EXPECT_EQ(ACTION_RETURN_EVENT, outcome.action);
  EXPECT_EQ(1u, EventManager::getInstance()->GetAllPendingEventCount(7));
  DBFileInfo after;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/s.txt", after));
  EXPECT_EQ(5u, after.syncID);
  EXPECT_EQ(ustring("old"), after.fileCheckSum);
}

TEST_F(WorkerCodes, StreamCodesAndTheCache) {
  struct Row {
    int stream_code;
    int expected;
    bool dropped;
  } rows[] = {
      {PStream::ERR_SYS, ERR_SYS, true},          {PStream::ERR_IO, ERR_IO, false},
      {PStream::ERR_TIMEOUT, ERR_IO, false},      {PStream::ERR_DISKFULL, ERR_LOCAL_DISKFULL, true},
      {PStream::ERR_STREAM, ERR_SYS, true},       {PStream::ERR_INPUT, ERR_SYS, true},
  };
  const std::string partial = work_ + "/partial";
  const std::string user = rig_->local("/f.txt");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stream_code);
    WriteFile("local/.ZarqelonWorkingDirectory/partial", "part");
    WriteFile("local/f.txt", "mine");
    Name(w_->cached_response, partial);
    Name(w_->cached_request, user);
    EXPECT_EQ(row.expected, w_->streamErr2DaemonErr(row.stream_code));
    EXPECT_EQ(row.dropped, !Exists(partial));
    EXPECT_EQ(row.dropped, w_->cached_request.isNull());
    EXPECT_TRUE(Exists(user));
    EXPECT_EQ("mine", ReadFile("local/f.txt"));
  }
}

TEST_F(WorkerCodes, AbortWinsOverTheStreamCode) {
  const std::string partial = work_ + "/partial";
  WriteFile("local/.ZarqelonWorkingDirectory/partial", "part");
  Name(w_->cached_response, partial);
  // Paused: the transfer resumes later, the cache stays.
  w_->SetState(Task::PAUSE);
  w_->abort_flag.store(1);
  EXPECT_EQ(ERR_CH_CONNECTION_ABORT, w_->streamErr2DaemonErr(PStream::ERR_IO));
  EXPECT_EQ(0, w_->AbortFlag());
  EXPECT_TRUE(Exists(partial));
  // Running (or stopping): the cache goes.
  w_->SetState(Task::RUN);
  w_->abort_flag.store(1);
  EXPECT_EQ(ERR_INT, w_->streamErr2DaemonErr(PStream::ERR_DISKFULL));
  EXPECT_EQ(0, w_->AbortFlag());
  EXPECT_FALSE(Exists(partial));
  EXPECT_TRUE(w_->cached_response.isNull());
  w_->SetState(Task::STOP);
}

TEST_F(WorkerCodes, CacheDeletesOnlyFilesInsideTheWorkingFolder) {
  // Siblings whose names begin with the working folder's, a path climbing
  // out of it, and the user's files are never deleted.
  const char* kept[] = {"/.ZarqelonWorkingDirectory2/x", "/.ZarqelonWorkingDirectory.old/x", "/user.txt"};
  for (const char* rel : kept) {
    const std::string full = rig_->local(rel);
    mkdir(full.substr(0, full.rfind('/')).c_str(), 0700);
    WriteFile(("local" + std::string(rel)).c_str(), "keep");
  }
  WriteFile("local/.ZarqelonWorkingDirectory/body", "temp");
  WriteFile("local/.ZarqelonWorkingDirectory/attr", "temp");
  for (const char* rel : kept) {
    PObject obj;
    Name(obj, rig_->local(rel));
    Name(obj, rig_->local(rel), "mac_attribute");
    w_->ClearPObject(obj);
    EXPECT_TRUE(obj.isNull());
    EXPECT_EQ("keep", ReadFile("local" + std::string(rel))) << rel;
  }
  PObject climbing;
  Name(climbing, work_ + "/../user.txt");
  w_->ClearPObject(climbing);
  EXPECT_EQ("keep", ReadFile("local/user.txt"));

  PObject ours;
  Name(ours, work_ + "/body");
  Name(ours, work_ + "/attr", "mac_attribute");
  w_->ClearPObject(ours);
  EXPECT_FALSE(Exists(work_ + "/body"));
  EXPECT_FALSE(Exists(work_ + "/attr"));
}

}  // namespace
