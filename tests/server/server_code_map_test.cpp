// The server-code mapping of each profile, and the syncers' error policy.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/settings.h"
#include "protocol/proto_common.h"
#include "road_test_util.h"
#include "server/server_code_map.h"
#include "server/syncer_error.h"
#include "server/syncer_road_profile.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"

namespace {

class CodeMapTest : public roadtest::LogTest {};

struct MapCase {
  uint32_t code;
  ErrorCode syncer;        // result of the Syncer's profile
  const char* syncer_log;  // the CRIT line it writes, "" none
  ErrorCode worker;        // result of the worker-shaped profile
  const char* worker_log;  // the recorded line, "" none
};

const MapCase kMapCases[] = {
    {SPROTO_ERR_ACCESS_DENY, ERR_PERMISS, "", ERR_PERMISS, ""},
    {SPROTO_ERR_QUOTA, ERR_QUOTA, "", ERR_QUOTA, ""},
    {SPROTO_ERR_DISKFULL, ERR_DISKFULL, "", ERR_DISKFULL, ""},
    {SPROTO_ERR_VIEW_INVALID_PATH, ERR_VIEW_PATH, "Server error(invalid path in view): 12291", ERR_VIEW_PATH, ""},
    {SPROTO_ERR_READ_ONLY, ERR_PERMISS_READ_ONLY, "", ERR_PERMISS_READ_ONLY, ""},
    {SPROTO_ERR_INTERNAL, ERR_OK, "server error: 28672", ERR_OK, "ServerError 28672"},
    {0x7003, ERR_OK, "server error: 28675", ERR_OK, "ServerError 28675"},
    {SPROTO_ERR_USER, ERR_AUTH, "", ERR_AUTH, ""},
    {SPROTO_ERR_USER_PASSWD, ERR_AUTH, "", ERR_AUTH, ""},
    {SPROTO_ERR_SESSION_MISS, ERR_AUTH, "", ERR_AUTH, ""},
    {SPROTO_ERR_VIEW, ERR_VIEW, "", ERR_VIEW, ""},
    {SPROTO_ERR_INVALID_VIEW_ID, ERR_VIEW, "", ERR_VIEW, ""},
    {SPROTO_ERR_VERSION_TOO_LOW, ERR_VERSION, "", ERR_VERSION, ""},
    {0, ERR_OK, "unhandled error code: 0", ERR_OK, "UnhandledCode 0"},
    {SPROTO_ERR_OK, ERR_OK, "unhandled error code: 1", ERR_OK, "UnhandledCode 1"},
    {SPROTO_ERR_UPGRADE, ERR_OK, "unhandled error code: 10", ERR_OK, "UnhandledCode 10"},
    {SPROTO_ERR_SYSTEM, ERR_OK, "unhandled error code: 16384", ERR_OK, "UnhandledCode 16384"},
    {SPROTO_ERR_CONFLICT_MAC_ATTR, ERR_OK, "unhandled error code: 24577", ERR_OK, "UnhandledCode 24577"},
    {SPROTO_ERR_DOWNLOAD_NOFILE, ERR_OK, "unhandled error code: 32769", ERR_INT, ""},
    {SPROTO_ERR_UPLOAD_NOBASE, ERR_OK, "unhandled error code: 36865", ERR_INT, ""},
    {SPROTO_ERR_REMOVE_NOFILE, ERR_OK, "unhandled error code: 40961", ERR_INT, ""},
    {SPROTO_ERR_RESUME_NOTOKEN, ERR_OK, "unhandled error code: 45057", ERR_OK, "UnhandledCode 45057"},
    {0xF123, ERR_OK, "unhandled error code: 61731", ERR_OK, "UnhandledCode 61731"},
    // Above 16 bits there is no class: not class 7, whatever the low bits.
    {0x17000, ERR_OK, "unhandled error code: 94208", ERR_OK, "UnhandledCode 94208"},
    {0xFFFFFFFFu, ERR_OK, "unhandled error code: 4294967295", ERR_OK, "UnhandledCode 4294967295"},
};

TEST_F(CodeMapTest, EachProfileMapsServerCodesByItsRules) {
  const RoadProfile syncer = SyncerRoadProfile();
  roadtest::RecordingLog recorded;
  const RoadProfile worker = roadtest::WorkerShapedProfile(&recorded);
  for (const MapCase& c : kMapCases) {
    SCOPED_TRACE(c.code);
    const size_t before = Count("[CRIT]");
    EXPECT_EQ(c.syncer, MapServerCode(c.code, syncer.codes, *syncer.log));
    const std::string log = Log();
    if (*c.syncer_log != '\0') {
      EXPECT_EQ(before + 1, Count("[CRIT]"));
      EXPECT_NE(std::string::npos, log.rfind(std::string(c.syncer_log) + "\n")) << log;
    } else {
      EXPECT_EQ(before, Count("[CRIT]"));
    }
    recorded.clear();
    EXPECT_EQ(c.worker, MapServerCode(c.code, worker.codes, *worker.log));
    std::vector<std::string> lines = recorded.lines();
    if (*c.worker_log != '\0') {
      ASSERT_EQ(1u, lines.size());
      EXPECT_EQ(c.worker_log, lines[0]);
    } else {
      EXPECT_TRUE(lines.empty()) << lines[0];
    }
  }
}

// HandleError of the syncers over every code from 1 down to ERR_MAX, with
// what the user interface receives, in order.
class HandleErrorTest : public roadtest::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
  }
  void TearDown() override {
    Settings::getInstance()->resetToDefaults();
    ui_.reset();
    LogTest::TearDown();
  }
  std::unique_ptr<testsupport::UiStandIn> ui_;
  // The test's own notifier (never started: each report is delivered at
  // once, to the stand-in named in the settings).
  UiNotifier notifier_;
  UiReporter ui{notifier_};
};

TEST_F(HandleErrorTest, EveryCodeGivesItsActionAndReport) {
  using namespace syncer_error;
  enum Report { kNone, kSession, kConnection };
  struct Case {
    ErrorCode err;
    Action action;
    Report report;
    const char* line;  // the line that tells the case apart
  };
  const Case cases[] = {
      // No code has this value; only a cast can make it.
      {static_cast<ErrorCode>(1), Action::kGiveUp, kNone, "Syncer: unknown error code [1]."},
      {ERR_OK, Action::kDone, kNone, "No type for error: 0"},
      {ERR_INT, Action::kRetry, kNone, "No type for error: -1"},
      {ERR_IO, Action::kRetry, kNone, "No type for error: -2"},
      {ERR_SYS, Action::kRetry, kNone, "No type for error: -3"},
      {ERR_INVAL, Action::kGiveUp, kNone, "Syncer: unexpected error code [-4]."},
      {ERR_PROTO, Action::kGiveUp, kNone, "Syncer: unexpected error code [-5]."},
      {ERR_AUTH, Action::kRetry, kConnection, "Syncer: HandleError: -6."},
      {ERR_SERVER, Action::kRetry, kNone, "No type for error: -7"},
      {ERR_CONFLICT, Action::kGiveUp, kNone, "Syncer: unexpected error code [-8]."},
      {ERR_TIMEOUT, Action::kRetry, kNone, "No type for error: -9"},
      {ERR_VERSION, Action::kRetry, kConnection, "Syncer: HandleError: -10."},
      {ERR_NOENT, Action::kGiveUp, kNone, "Syncer: unexpected error code [-11]."},
      {ERR_USER, Action::kGiveUp, kNone, "Syncer: unexpected error code [-12]."},
      {ERR_PASSWORD, Action::kGiveUp, kNone, "Syncer: unexpected error code [-13]."},
      {ERR_QXVDISABLE, Action::kRetry, kSession, "Syncer: HandleError: -14."},
      {ERR_QUOTA, Action::kGiveUp, kNone, "Syncer: unexpected error code [-15]."},
      {ERR_DISKFULL, Action::kGiveUp, kNone, "Syncer: unexpected error code [-16]."},
      {ERR_SYNCFOLDER_MISS, Action::kGiveUp, kNone, "Syncer: unexpected error code [-17]."},
      {ERR_VIEW, Action::kRetry, kSession, "Syncer: HandleError: -18."},
      {ERR_PERMISS, Action::kRetry, kSession, "Syncer: HandleError: -19."},
      {ERR_VIEW_PATH, Action::kRetry, kNone, "No type for error: -20"},
      {ERR_CH_CONNECTION_ABORT, Action::kGiveUp, kNone, "Syncer: unknown error code [-21]."},
      {ERR_LOCAL_DISKFULL, Action::kGiveUp, kNone, "Syncer: unknown error code [-22]."},
      {ERR_LOCKED_FILE, Action::kGiveUp, kNone, "Syncer: unknown error code [-23]."},
      {ERR_SSL_VERIFY_FAIL, Action::kRetry, kConnection, "Syncer: HandleError: -24."},
      {ERR_PERMISS_READ_ONLY, Action::kGiveUp, kNone, "Syncer: unknown error code [-25]."},
      {ERR_MAX, Action::kGiveUp, kNone, "Syncer: unknown error code [-26]."},
  };
  std::vector<const Case*> reported;
  Connection connection;
  for (const Case& c : cases) {
    EXPECT_EQ(c.action, HandleError(c.err, SyncerRoadLog(), ui, 11, 22, connection)) << c.err;
    EXPECT_TRUE(Logged(c.line)) << c.line;
    if (c.report != kNone) reported.push_back(&c);
  }
  ASSERT_TRUE(ui_->waitFor([&](const std::vector<PObject>& m) { return m.size() >= reported.size(); },
                           std::chrono::seconds(10)));
  std::vector<PObject> got = ui_->messages();
  ASSERT_EQ(reported.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const Case& c = *reported[i];
    SCOPED_TRACE(c.err);
    EXPECT_EQ(ustring("error"), got[i]["notify"].asString());
    EXPECT_EQ(ErrorNumber(c.err), testsupport::UiStandIn::ErrorType(got[i]));
    EXPECT_EQ(11u, got[i]["conn_id"].asUInt64());
    EXPECT_EQ(22u, got[i]["sess_id"].asUInt64());
    if (c.report == kConnection) {
      EXPECT_EQ(11u, got[i]["connection_id"].asUInt64());
      EXPECT_FALSE(got[i].hasMember("session_id"));
    } else {
      EXPECT_EQ(22u, got[i]["session_id"].asUInt64());
      EXPECT_FALSE(got[i].hasMember("connection_id"));
    }
  }
  EXPECT_EQ(0u, ui_->decodeFailures());
}

// A certificate that does not verify fails every retry alike: the user is
// told once per spell, and again only after a round that went through. The
// spell belongs to the connection, so both syncers' copies share it.
TEST_F(HandleErrorTest, CertificateFailureIsReportedOncePerSpell) {
  using namespace syncer_error;
  ConnectionInfo info;
  info.conn_id = 11;
  const Connection syncer_copy(info, nullptr, nullptr);
  Connection progress_copy = syncer_copy;
  Connection other(info, nullptr, nullptr);  // another connection: a spell of its own
  Connection syncer = syncer_copy;
  const struct {
    Connection* connection;
    ErrorCode err;
    bool reported;
  } rounds[] = {
      {&syncer, ERR_SSL_VERIFY_FAIL, true},         {&syncer, ERR_SSL_VERIFY_FAIL, false},
      {&progress_copy, ERR_SSL_VERIFY_FAIL, false}, {&other, ERR_SSL_VERIFY_FAIL, true},
      {&syncer, ERR_IO, false},                     {&syncer, ERR_SSL_VERIFY_FAIL, false},
      {&progress_copy, ERR_OK, false},              {&syncer, ERR_SSL_VERIFY_FAIL, true},
  };
  size_t expected = 0;
  for (size_t i = 0; i < sizeof rounds / sizeof rounds[0]; ++i) {
    SCOPED_TRACE(i);
    const Action action = rounds[i].err == ERR_OK ? Action::kDone : Action::kRetry;
    EXPECT_EQ(action, HandleError(rounds[i].err, SyncerRoadLog(), ui, 11, 22, *rounds[i].connection));
    if (rounds[i].reported) ++expected;
  }
  // A last report of another kind marks the end: the reports arrive in order.
  EXPECT_EQ(Action::kRetry, HandleError(ERR_AUTH, SyncerRoadLog(), ui, 11, 22, syncer));
  ASSERT_TRUE(ui_->waitFor(
      [&](const std::vector<PObject>& m) {
        return !m.empty() && testsupport::UiStandIn::ErrorType(m.back()) == ErrorNumber(ERR_AUTH);
      },
      std::chrono::seconds(10)));
  const std::vector<PObject> got = ui_->messages();
  ASSERT_EQ(expected + 1, got.size());
  for (size_t i = 0; i < expected; ++i) {
    EXPECT_EQ(ErrorNumber(ERR_SSL_VERIFY_FAIL), testsupport::UiStandIn::ErrorType(got[i]));
    EXPECT_EQ(11u, got[i]["connection_id"].asUInt64());
  }
}

// The daemon's own waits: 0, 3 and 120 s for actions 0, 1 and 2; 3 s for
// any other value.
TEST_F(CodeMapTest, ActionWaits) {
  using namespace syncer_error;
  auto seconds = [](Action action) {
    return std::chrono::duration_cast<std::chrono::seconds>(ActionWait(action, SyncerRoadLog(), DaemonTiming()))
        .count();
  };
  const struct {
    Action action;
    unsigned wait;
  } cases[] = {{Action::kDone, 0},
               {Action::kRetry, 3},
               {Action::kRetryLongWait, 120},
               {static_cast<Action>(3), 3},
               {static_cast<Action>(1000), 3}};
  for (const auto& c : cases) EXPECT_EQ(c.wait, seconds(c.action)) << static_cast<int>(c.action);
  EXPECT_FALSE(Logged("abort()"));
  EXPECT_EQ(3, seconds(Action::kGiveUp));
  EXPECT_EQ(3, seconds(static_cast<Action>(-7)));
  EXPECT_EQ(2u, Count("[CRIT] syncer-road"));
  EXPECT_EQ(2u, Count("abort()\n"));
}

}  // namespace
