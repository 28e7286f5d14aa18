// The worker's error policy: the action and report of every code, the two
// failure counters, finished-file reports and the status report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "filter/file_status_db.h"
#include "session/event_manager.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

// A value that no code has: only a cast makes one, yet the policy must
// still give it no action.
ErrorCode NoCode(int n) { return static_cast<ErrorCode>(n); }

using testsupport::ScriptedWorker;
using testsupport::UiStandIn;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

TEST(WorkerErrorTable, EveryCodeHasItsActionReportAndText) {
  struct Row {
    ErrorCode code;
    WorkerAction action;
    ErrorType report;
    const char* text;
  } rows[] = {
      {ERR_OK, WorkerAction::kDone, ErrorType::kNone, "Successful"},
      {ERR_INT, WorkerAction::kReturnEvent, ErrorType::kNone, "Interrupted"},
      {ERR_IO, WorkerAction::kRetry, ErrorType::kNone, "I/O error"},
      {ERR_SYS, WorkerAction::kRetry, ErrorType::kNone, "System error"},
      {ERR_INVAL, WorkerAction::kNone, ErrorType::kNone, "Invalid argument"},
      {ERR_PROTO, WorkerAction::kNone, ErrorType::kNone, "Protocal error"},
      {ERR_AUTH, WorkerAction::kReturnEvent, ErrorType::kConnection, "Authentication failure"},
      {ERR_SERVER, WorkerAction::kRetry, ErrorType::kNone, "Server error"},
      {ERR_CONFLICT, WorkerAction::kNone, ErrorType::kNone, "Event conflict"},
      {ERR_TIMEOUT, WorkerAction::kRetry, ErrorType::kNone, "Connection timeout"},
      {ERR_VERSION, WorkerAction::kReturnEvent, ErrorType::kConnection, "Incompatible version"},
      {ERR_NOENT, WorkerAction::kNone, ErrorType::kNone, "No such entry"},
      {ERR_USER, WorkerAction::kNone, ErrorType::kNone, "Invalid username"},
      {ERR_PASSWORD, WorkerAction::kNone, ErrorType::kNone, "Password and username not matched"},
      {ERR_QXVDISABLE, WorkerAction::kNone, ErrorType::kNone, "QXV disabled"},
      {ERR_QUOTA, WorkerAction::kReturnEvent, ErrorType::kSession, "User quota not enough"},
      {ERR_DISKFULL, WorkerAction::kReturnEvent, ErrorType::kSession, "Disk is full"},
      {ERR_SYNCFOLDER_MISS, WorkerAction::kNone, ErrorType::kNone, "Sync Folder is miss"},
      {ERR_VIEW, WorkerAction::kReturnEvent, ErrorType::kSession, "View missing/invalid"},
      {ERR_PERMISS, WorkerAction::kReturnEvent, ErrorType::kSession, "no permission "},
      {ERR_VIEW_PATH, WorkerAction::kReturnEvent, ErrorType::kSession, "pull event by path, but the path is missing"},
      {ERR_CH_CONNECTION_ABORT, WorkerAction::kRetry, ErrorType::kNone, "connection about by setting flag"},
      {ERR_LOCAL_DISKFULL, WorkerAction::kReturnEvent, ErrorType::kSession, "Local Disk is full"},
      {ERR_LOCKED_FILE, WorkerAction::kReturnEvent, ErrorType::kFile, "file locked or no permission"},
      {ERR_SSL_VERIFY_FAIL, WorkerAction::kRetry, ErrorType::kNone, "ssl certificate verify fail"},
      {ERR_PERMISS_READ_ONLY, WorkerAction::kDone, ErrorType::kSession, "permission is read-only"},
      // Outside the table: no action.
      {ERR_MAX, WorkerAction::kNone, ErrorType::kNone, "Unknown error"},
      {NoCode(1), WorkerAction::kNone, ErrorType::kNone, "Successful"},
      {NoCode(26), WorkerAction::kNone, ErrorType::kNone, "Unknown error"},
      {NoCode(-1000), WorkerAction::kNone, ErrorType::kNone, "Unknown error"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    const WorkerErrorRow row = WorkerErrorRowOf(r.code);
    EXPECT_EQ(r.action, row.action);
    EXPECT_EQ(r.report, row.report);
    if (r.code != NoCode(1)) {
      EXPECT_STREQ(r.text, GetErrorString(r.code));
    }
  }
  // A negative code and its negation give the same text.
  EXPECT_STREQ(GetErrorString(-5), GetErrorString(5));
}

class WorkerError : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<WorkerRig>(Path());
    w_ = &rig_->addWorker();
    w_->context.root_entry = rig_->entry();
    w_->context.current_event = rig_->localEvent(Event::EV_MODIFY, "/d", true);
  }

  // The user-interface messages with "notify" equal to `kind`.
  std::vector<PObject> Notes(const std::string& kind) {
    std::vector<PObject> out;
    for (const PObject& m : rig_->ui().messages()) {
      if (m["notify"].asString() == kind.c_str()) out.push_back(m);
    }
    return out;
  }

  std::unique_ptr<WorkerRig> rig_;
  ScriptedWorker* w_ = nullptr;
};

TEST_F(WorkerError, ReportsGoToTheUserInterfaceByType) {
  EXPECT_EQ(WorkerAction::kReturnEvent, w_->HandleError(ERR_QUOTA));
  EXPECT_EQ(WorkerAction::kReturnEvent, w_->HandleError(ERR_AUTH));
  EXPECT_EQ(WorkerAction::kReturnEvent, w_->HandleError(ERR_LOCKED_FILE));
  EXPECT_EQ(WorkerAction::kDone, w_->HandleError(ERR_PERMISS_READ_ONLY));
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_IO));  // no report
  ASSERT_TRUE(rig_->ui().waitFor([](const std::vector<PObject>& m) { return m.size() >= 4; }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(4u, rig_->ui().messages().size());

  const auto errors = Notes("error");
  ASSERT_EQ(3u, errors.size());
  EXPECT_EQ(-15, UiStandIn::ErrorType(errors[0]));
  EXPECT_EQ(7u, errors[0]["session_id"].asUInt64());
  EXPECT_EQ(3u, errors[0]["conn_id"].asUInt64());
  EXPECT_EQ(-6, UiStandIn::ErrorType(errors[1]));
  EXPECT_EQ(3u, errors[1]["connection_id"].asUInt64());
  EXPECT_FALSE(errors[1].hasMember("session_id"));
  EXPECT_EQ(-25, UiStandIn::ErrorType(errors[2]));

  // A locked folder: "locked_file" with is_dir and the code.
  const auto locked = Notes("locked_file");
  ASSERT_EQ(1u, locked.size());
  EXPECT_EQ(ustring("/d"), locked[0]["path"].asString());
  EXPECT_EQ(1u, locked[0]["is_dir"].asUInt64());
  EXPECT_EQ(-23, UiStandIn::ErrorCode(locked[0]));
  EXPECT_EQ(ustring("file locked"), locked[0]["error"]["reason"].asString());
}

TEST_F(WorkerError, SuccessAndUnknownCodesAreLogged) {
  EXPECT_EQ(WorkerAction::kDone, w_->HandleError(ERR_OK));
  EXPECT_TRUE(rig_->logged("HandleError: Successful."));
  EXPECT_TRUE(rig_->logged("No type for error: 0"));
  EXPECT_EQ(WorkerAction::kNone, w_->HandleError(NoCode(1)));
  EXPECT_TRUE(rig_->logged("worker: unknown error code [1]."));
  EXPECT_EQ(WorkerAction::kNone, w_->HandleError(ERR_MAX));
  EXPECT_EQ(WorkerAction::kNone, w_->HandleError(ERR_CONFLICT));
  EXPECT_TRUE(rig_->logged("unexpected error code [-8]."));
}

TEST_F(WorkerError, SystemErrorsRetryThriceThenReturnAndPatchFailuresDrop) {
  // Three ERR_SYS in a row retry, the fourth returns the event and the
  // count starts again.
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_EQ(WorkerAction::kReturnEvent, w_->HandleError(ERR_SYS));
  EXPECT_EQ(0, w_->sys_err_count);
  // A success in between resets the count.
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_EQ(WorkerAction::kDone, w_->HandleError(ERR_OK));
  EXPECT_EQ(0, w_->sys_err_count);
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_EQ(1, w_->sys_err_count);
  w_->patch_err_count = 2;
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_IO));
  EXPECT_EQ(0u, w_->patch_err_count);
}

TEST_F(WorkerError, ThirdFailedPatchAsksForWholeBodyThenReportsTheFile) {
  // Each failed patch is an ERR_SYS with the counter raised (as the
  // download does). The third is retried with the body asked whole; a
  // failure of that one finishes the event with a report of its path.
  w_->context.current_event = rig_->serverEvent(Event::EV_MODIFY, "/f.bin", 40);
  auto failed_patch = [&] {
    ++w_->patch_err_count;
    return w_->HandleError(ERR_SYS);
  };
  EXPECT_EQ(WorkerAction::kRetry, failed_patch());
  EXPECT_EQ(WorkerAction::kRetry, failed_patch());
  EXPECT_FALSE(w_->WholeBodyAsked());
  EXPECT_EQ(WorkerAction::kRetry, failed_patch());
  EXPECT_TRUE(rig_->logged("patch error count has reached limit, asking for the whole body."));
  EXPECT_TRUE(w_->WholeBodyAsked());
  EXPECT_EQ(0u, w_->patch_err_count);
  // Another event (another version, another path) still goes by delta.
  const Event asked = w_->context.current_event;
  w_->context.current_event = rig_->serverEvent(Event::EV_MODIFY, "/f.bin", 41);
  EXPECT_FALSE(w_->WholeBodyAsked());
  w_->context.current_event = rig_->serverEvent(Event::EV_MODIFY, "/g.bin", 40);
  EXPECT_FALSE(w_->WholeBodyAsked());
  w_->context.current_event = asked;
  // The whole body fails its check too: done, and the file is reported.
  EXPECT_TRUE(rig_->ui().messages().empty());
  EXPECT_EQ(WorkerAction::kDone, failed_patch());
  EXPECT_FALSE(w_->WholeBodyAsked());
  EXPECT_EQ(0u, w_->patch_err_count);
  ASSERT_TRUE(rig_->ui().waitFor([](const std::vector<PObject>& m) { return !m.empty(); }, 5s));
  const auto told = Notes("locked_file");
  ASSERT_EQ(1u, told.size());
  EXPECT_EQ(ustring("/f.bin"), told[0]["path"].asString());
  EXPECT_EQ(0u, told[0]["is_dir"].asUInt64());
  EXPECT_EQ(ErrorNumber(ERR_SYS), UiStandIn::ErrorCode(told[0]));
  EXPECT_EQ(ustring("server content fails its checksum"), told[0]["error"]["reason"].asString());

  // A whole body that arrives right ends the ask without a report; any
  // ERR_SYS that is not a failed patch is the ordinary retry.
  for (int i = 0; i < 3; ++i) (void)failed_patch();
  ASSERT_TRUE(w_->WholeBodyAsked());
  EXPECT_EQ(WorkerAction::kRetry, w_->HandleError(ERR_SYS));
  EXPECT_TRUE(w_->WholeBodyAsked());
  EXPECT_EQ(WorkerAction::kDone, w_->HandleError(ERR_OK));
  EXPECT_FALSE(w_->WholeBodyAsked());
}

TEST_F(WorkerError, CacheDroppedOnSystemErrorAndLocalDiskFullKeptOnIo) {
  const std::string work = rig_->local("/.ZarqelonWorkingDirectory");
  ASSERT_EQ(0, mkdir(work.c_str(), 0700));
  w_->context.working_directory = work.c_str();
  const std::string partial = work + "/partial";
  const struct {
    ErrorCode code;
    bool dropped;
  } rows[] = {{ERR_IO, false}, {ERR_CH_CONNECTION_ABORT, false}, {ERR_SYS, true}, {ERR_LOCAL_DISKFULL, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    WriteFile("local/.ZarqelonWorkingDirectory/partial", "half a body");
    w_->cached_response["file"]["data"].asBinary().path = partial.c_str();
    w_->cached_response["file"]["data"].asBinary().length = 11;
    (void)w_->HandleError(row.code);
    EXPECT_EQ(row.dropped, access(partial.c_str(), F_OK) != 0);
    EXPECT_EQ(row.dropped, w_->cached_response.isNull());
  }
  EXPECT_TRUE(rig_->logged("get disk full"));
}

TEST_F(WorkerError, DoneEventReportsTheFileAndClearsItsStatusRow) {
  // The queue writes the path as syncing; once done, the row is gone and
  // the user interface hears of the change.
  ScriptedWorker& w = *w_;
  w.context.clear();
  w.SetScript(ScriptedWorker::kUpload, [](ScriptedWorker& self) {
    self.notify_event_type = Worker::NOTIFY_CLIENT_MODIFY;
    return ERR_OK;
  });
  w.SetScript(ScriptedWorker::kRemoveRemote, [](ScriptedWorker& self) {
    self.notify_event_type = Worker::NOTIFY_FILTERED;
    return ERR_OK;
  });
  const std::string stored = [&] {
    std::string s = rig_->local("/a.txt");
    for (char& c : s) c = c == '/' ? '\\' : c;
    return s;
  }();
  rig_->push(rig_->localEvent(Event::EV_MODIFY, "/a.txt"));
  FileStatusInfo info;
  ASSERT_EQ(0, FileStatusDB::getFileSyncStat(stored.c_str(), &info));
  EXPECT_EQ(FSTAT_SYNCING, info.syncStatus);
  EXPECT_EQ(ERR_OK, rig_->runOne(rig_->localEvent(Event::EV_MODIFY, "/b.txt")).result);
  EXPECT_EQ(ERR_OK, rig_->runOne(rig_->localEvent(Event::EV_REMOVE, "/c.txt")).result);
  ASSERT_TRUE(rig_->drain());
  rig_->stopWorkers();
  ASSERT_EQ(0, FileStatusDB::getFileSyncStat(stored.c_str(), &info));
  EXPECT_EQ(FSTAT_UNKNOWN, info.syncStatus);
  EXPECT_EQ(ustring(""), info.path);

  ASSERT_TRUE(rig_->ui().waitFor(
      [](const std::vector<PObject>& m) {
        int recent = 0;
        for (const PObject& x : m) recent += x["notify"].asString() == "recent_file" ? 1 : 0;
        return recent >= 2;
      },
      5s)) << [&] {
    std::string all;
    for (const PObject& m : rig_->ui().messages()) all += UiStandIn::Describe(m) + "\n";
    return all;
  }();
  std::this_thread::sleep_for(200ms);
  const auto recent = Notes("recent_file");
  ASSERT_EQ(2u, recent.size());  // the filtered remove is not reported
  for (const PObject& m : recent) EXPECT_EQ(3u, m["event_type"].asUInt64());
}

TEST_F(WorkerError, WorkingStatusIdlePausedAndHolding) {
  ScriptedWorker& w = rig_->addWorker();
  uint64_t sess = 99, sent = 99, total = 99;
  ustring path = "x";
  Worker::WorkingType type = Worker::W_TYPE_UPLOAD;
  // Not running (stopped): zeros.
  w.SetCurrentProcessEventInfo(3, 7, "/a", Worker::W_TYPE_UPLOAD);
  w.GetWorkingStatus(sess, path, type, sent, total);
  EXPECT_EQ(0u, sess);
  EXPECT_EQ(ustring(""), path);
  EXPECT_EQ(Worker::W_TYPE_NONE, type);

  // Running and holding a record: its session and path, no bytes while the
  // stream moves nothing.
  w.SetState(Task::RUN);
  w.GetWorkingStatus(sess, path, type, sent, total);
  EXPECT_EQ(7u, sess);
  EXPECT_EQ(ustring("/a"), path);
  EXPECT_EQ(Worker::W_TYPE_UPLOAD, type);
  EXPECT_EQ(0u, sent);
  EXPECT_EQ(0u, total);

  // Paused: zeros again.
  w.SetState(Task::PAUSE);
  w.GetWorkingStatus(sess, path, type, sent, total);
  EXPECT_EQ(0u, sess);
  EXPECT_EQ(ustring(""), path);
  w.SetState(Task::STOP);
}

}  // namespace
