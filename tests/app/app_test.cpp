// The application object in-process: dispatch, replies, the thread's life.
#include "app/app.h"

#include <gtest/gtest.h>

#include <string>

#include "action_answers.h"
#include "foundation/logger.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

namespace {

using testsupport::TempDirTest;

// Logs client_debug at DEBUG into a file of the test's folder; the
// databases and the system filter of a link lie there too.
class AppTest : public TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels", "client_debug=7\n");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, ustring(Path("log").c_str()),
                                 ustring(Path("levels").c_str()), 50),
              0);
    WriteFile("system.filter", "");
    WriteFile("daemon.conf", "filter_db_path=" + Path("filter.db") + "\nfstat_db_path=" + Path("fstat.db") +
                                 "\nsystem_filter_path=" + Path("system.filter") + "\nworker_count=2\n");
    ASSERT_EQ(Settings::getInstance()->loadConfigSettings(Path("daemon.conf").c_str()), 0);
  }
  void TearDown() override {
    Settings::getInstance()->resetToDefaults();
    Logger::ResetForTest();
  }

  std::string Log() const { return ReadFile("log"); }
  size_t ErrorLines() const {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find("[ERROR]"); at != std::string::npos; at = log.find("[ERROR]", at + 1)) ++n;
    return n;
  }

  static PObject Request(const PObject& action) {
    PObject req;
    req["action"] = action;
    return req;
  }
  static PObject AckOnly() {
    PObject rsp;
    rsp["ack"] = "ok";
    return rsp;
  }
  static PObject StatusReply() {
    PObject rsp = AckOnly();
    rsp["session_list"];
    rsp["connection_list"];
    rsp["worker_list"];
    return rsp;
  }
  static std::string Text(const PObject& obj) { return obj.toString().c_str_utf8(); }

  VelkoraApp app_;
};

TEST_F(AppTest, EveryActionWithoutKeysGetsItsAnswer) {
  ASSERT_EQ(app_.run(), 0);
  for (const apptest::ActionAnswer& c : apptest::kAnswersWithoutKeys) {
    PObject rsp;
    ASSERT_EQ(app_.send_message(Request(c.action), rsp), 0) << c.action;
    PObject expected = std::string(c.action) == "get_status" ? StatusReply() : AckOnly();
    if (*c.error != '\0') expected["error"] = c.error;
    EXPECT_EQ(Text(rsp), Text(expected)) << c.action;
  }
  // The two refused connections and two refused session requests, and
  // "add_event" for session 0, logged an error.
  EXPECT_EQ(ErrorLines(), 5u) << Log();
  EXPECT_NE(Log().find("[INFO] app("), std::string::npos);
  EXPECT_NE(Log().find("): unlink daemon\n"), std::string::npos);
  app_.kill();
}

TEST_F(AppTest, UnknownActionsGetABareAckAndAnErrorLine) {
  ASSERT_EQ(app_.run(), 0);
  struct Case {
    PObject action;
    const char* logged;
  };
  const Case cases[] = {
      {PObject("frobnicate"), "frobnicate"},
      {PObject("STOP"), "STOP"},              // actions are case-sensitive
      {PObject("reload_setting"), "reload_setting"},  // in the usage text, not in the table
      {PObject(""), ""},
      {PObject(7), "7"},  // an integer reads as its decimal text
  };
  size_t errors = 0;
  for (const Case& c : cases) {
    PObject rsp;
    ASSERT_EQ(app_.send_message(Request(c.action), rsp), 0);
    EXPECT_EQ(Text(rsp), Text(AckOnly())) << c.logged;
    EXPECT_EQ(ErrorLines(), ++errors) << c.logged;
    EXPECT_NE(Log().find(std::string("<<< Unknown IPC action: ") + c.logged + "\n"), std::string::npos)
        << c.logged;
  }
  app_.kill();
}

TEST_F(AppTest, RequestsWithoutActionGetABareAckAndNoError) {
  ASSERT_EQ(app_.run(), 0);
  PObject no_action;
  no_action["session_id"] = 5;
  PObject array;
  array.asArray().push_back(PObject("stop"));
  const PObject cases[] = {no_action, PObject("stop"), PObject(3), PObject(), array};
  for (const PObject& req : cases) {
    PObject rsp;
    ASSERT_EQ(app_.send_message(req, rsp), 0) << Text(req);
    EXPECT_EQ(Text(rsp), Text(AckOnly())) << Text(req);
  }
  EXPECT_EQ(ErrorLines(), 0u) << Log();
  // None of them stopped the thread.
  PObject rsp;
  EXPECT_EQ(app_.send_message(Request("get_status"), rsp), 0);
  app_.kill();
}

TEST_F(AppTest, AReplyKeepsWhatTheRequestSlotHeld) {
  // The reply slot is the caller's: the loop adds "ack" to whatever it holds.
  ASSERT_EQ(app_.run(), 0);
  PObject rsp;
  rsp["keep"] = 1;
  ASSERT_EQ(app_.send_message(Request("link"), rsp), 0);
  EXPECT_EQ(rsp["keep"].asUInt64(), 1u);
  EXPECT_EQ(rsp["ack"].asString(), "ok");
  app_.kill();
}

TEST_F(AppTest, ASecondRunIsRefused) {
  ASSERT_EQ(app_.run(), 0);
  EXPECT_EQ(app_.run(), -1);
  PObject rsp;
  EXPECT_EQ(app_.send_message(Request("get_status"), rsp), 0);
  app_.kill();
  // One thread started, one ended.
  std::string log = Log();
  EXPECT_EQ(log.find("main thread starts receiving messages"), log.rfind("main thread starts receiving messages"));
  EXPECT_NE(log.find("main thread down"), std::string::npos);
}

TEST_F(AppTest, StopEndsTheThreadAndKillThenOnlyJoins) {
  ASSERT_EQ(app_.run(), 0);
  PObject rsp;
  ASSERT_EQ(app_.send_message(Request("stop"), rsp), 0);
  EXPECT_EQ(rsp["ack"].asString(), "ok");  // the loop, not the thread, withholds the reply
  app_.kill();
  std::string log = Log();
  // One unlink for the "stop"; kill's own "stop" found the thread gone.
  EXPECT_EQ(log.find("unlink daemon"), log.rfind("unlink daemon"));
  EXPECT_NE(log.find("main thread down"), std::string::npos);
  // Nobody takes requests any more: refused at once, not a hang.
  PObject late;
  EXPECT_EQ(app_.send_message(Request("get_status"), late), -1);
  EXPECT_TRUE(late.isNull());
  app_.kill();  // again: nothing to join
}

TEST_F(AppTest, KillAloneStopsAndUnlinks) {
  ASSERT_EQ(app_.run(), 0);
  app_.kill();
  std::string log = Log();
  EXPECT_NE(log.find("unlink daemon"), std::string::npos);
  EXPECT_NE(log.find("main thread down"), std::string::npos);
  EXPECT_EQ(app_.send_message(Request("get_status")), -1);
}

TEST_F(AppTest, KillWithoutRunReturnsAtOnceAndRunWorksAfterKill) {
  app_.kill();
  EXPECT_EQ(app_.send_message(Request("get_status")), -1);
  ASSERT_EQ(app_.run(), 0);
  PObject rsp;
  EXPECT_EQ(app_.send_message(Request("get_status"), rsp), 0);
  app_.kill();
  // After a join the object can run a new thread.
  ASSERT_EQ(app_.run(), 0);
  EXPECT_EQ(app_.send_message(Request("get_status"), rsp), 0);
}  // the destructor joins the thread left running

TEST_F(AppTest, HandleControlWritesNoAckItself) {
  PObject rsp;
  app_.handle_control(Request("get_status"), rsp);
  EXPECT_FALSE(rsp.hasMember("ack"));
  EXPECT_TRUE(rsp.hasMember("session_list"));
  EXPECT_TRUE(rsp.hasMember("connection_list"));
  EXPECT_TRUE(rsp.hasMember("worker_list"));
}

}  // namespace
