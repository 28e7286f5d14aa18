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

TEST_F(WorkerCodes, StreamCodesAndTheCache) {
  struct Row {
    PStream::Code stream_code;
    ErrorCode expected;
    bool dropped;
  } rows[] = {
      {PStream::Code::kSys, ERR_SYS, true},          {PStream::Code::kIo, ERR_IO, false},
      {PStream::Code::kTimeout, ERR_IO, false},      {PStream::Code::kDiskFull, ERR_LOCAL_DISKFULL, true},
      {PStream::Code::kStream, ERR_SYS, true},       {PStream::Code::kInput, ERR_SYS, true},
  };
  const std::string partial = work_ + "/partial";
  const std::string user = rig_->local("/f.txt");
  for (const Row& row : rows) {
    SCOPED_TRACE(StreamCodeNumber(row.stream_code));
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
  EXPECT_EQ(ERR_CH_CONNECTION_ABORT, w_->streamErr2DaemonErr(PStream::Code::kIo));
  // The abort stays raised for the rest of the operation; the loop clears it.
  EXPECT_EQ(1, w_->AbortFlag());
  EXPECT_TRUE(Exists(partial));
  // Running (or stopping): the cache goes.
  w_->SetState(Task::RUN);
  w_->abort_flag.store(1);
  EXPECT_EQ(ERR_INT, w_->streamErr2DaemonErr(PStream::Code::kDiskFull));
  EXPECT_EQ(1, w_->AbortFlag());
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

  // A server may send a body under any key, at any depth: each one the
  // stream put in the working folder goes with the object.
  WriteFile("local/.ZarqelonWorkingDirectory/top", "temp");
  WriteFile("local/.ZarqelonWorkingDirectory/deep", "temp");
  WriteFile("local/.ZarqelonWorkingDirectory/listed", "temp");
  PObject stray;
  stray["top"].asBinary().path = (work_ + "/top").c_str();
  stray["a"]["b"]["c"].asBinary().path = (work_ + "/deep").c_str();
  PObject element;
  element["data"].asBinary().path = (work_ + "/listed").c_str();
  stray["list"].asArray().push_back(element);
  stray["user"].asBinary().path = rig_->local("/user.txt").c_str();
  w_->ClearPObject(stray);
  EXPECT_TRUE(stray.isNull());
  for (const char* name : {"/top", "/deep", "/listed"}) EXPECT_FALSE(Exists(work_ + name)) << name;
  EXPECT_EQ("keep", ReadFile("local/user.txt"));
}

}  // namespace
