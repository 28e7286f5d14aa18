// The user interface's stand-in in-process, fed as the daemon's notifier
// feeds it.
#include "support/ui_stand_in.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "protocol/ipc_sender.h"
#include "raw_peer.h"

namespace {

using namespace std::chrono_literals;
using testsupport::UiStandIn;

int Notify(int port, const PObject& msg) {
  IPCSender sender;
  if (sender.connect(port) != 0) return -1;
  return sender.send(msg);
}

TEST(UiStandInTest, DescribesNotificationsWithSignedCodes) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();

  PObject syncing;
  syncing["notify"] = "syncing_file";
  syncing["session_id"] = 5;
  syncing["path"] = "/a";
  syncing["is_dir"] = 1;
  syncing["event_type"] = 1;
  PObject session_error;
  session_error["notify"] = "error";
  session_error["session_id"] = 7;
  session_error["sess_id"] = 7;
  session_error["conn_id"] = 3;
  session_error["error_type"] = -6;  // travels as 18446744073709551610
  PObject locked;
  locked["notify"] = "locked_file";
  locked["session_id"] = 5;
  locked["path"] = "/b";
  locked["is_dir"] = 0;
  locked["error"]["reason"] = "file locked";
  locked["error"]["code"] = -23;
  for (const PObject* m : {&syncing, &session_error, &locked}) ASSERT_EQ(Notify(ui.port(), *m), 0);

  ASSERT_TRUE(ui.waitFor([](const std::vector<PObject>& m) { return m.size() == 3; }, 20s));
  auto got = ui.messages();
  EXPECT_EQ(UiStandIn::Describe(got[0]),
            "notify syncing_file: event_type=1 is_dir=1 path=\"/a\" session_id=5");
  EXPECT_EQ(UiStandIn::Describe(got[1]), "notify error: conn_id=3 error_type=-6 sess_id=7 session_id=7");
  EXPECT_EQ(UiStandIn::ErrorType(got[1]), -6);
  EXPECT_EQ(got[1]["error_type"].asUInt64(), 18446744073709551610ull);
  EXPECT_EQ(UiStandIn::Describe(got[2]),
            "notify locked_file: error={code=-23, reason=\"file locked\"} is_dir=0 path=\"/b\" session_id=5");
  EXPECT_EQ(UiStandIn::ErrorCode(got[2]), -23);
  EXPECT_EQ(ui.decodeFailures(), 0u);

  PObject announcement;
  announcement["daemon_port"] = 1025;
  EXPECT_EQ(UiStandIn::Describe(announcement), "daemon is on port 1025");
  PObject terminate;
  terminate["action"] = "connection_terminate";
  EXPECT_EQ(UiStandIn::Describe(terminate), "action connection_terminate:");
}

TEST(UiStandInTest, CountsWhatItCannotDecodeAndGoesOnDraining) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();
  // An empty connection, a binary (nowhere to store it), a cut message.
  for (const std::string& bytes :
       {std::string(), std::string("\x30\0\0\0\0\0\0\0\x04" "abcd", 13), std::string("\x42\x10\x00\x06notify")}) {
    apptest::Exchange(ui.port(), bytes);
  }
  PObject after;
  after["notify"] = "recent_file";
  ASSERT_EQ(Notify(ui.port(), after), 0);
  ASSERT_TRUE(ui.waitFor([](const std::vector<PObject>& m) { return m.size() == 1; }, 20s));
  EXPECT_EQ(ui.decodeFailures(), 3u);
  EXPECT_EQ(ui.messages()[0]["notify"].asString(), "recent_file");
}

TEST(UiStandInTest, WithoutAnAnnouncementThereIsNoDaemonToAsk) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();
  EXPECT_EQ(ui.daemonPort(50ms), -1);
  PObject req;
  req["action"] = "get_status";
  PObject reply;
  EXPECT_EQ(ui.request(req, &reply), UiStandIn::kNoDaemon);
  EXPECT_FALSE(ui.stop());
  EXPECT_FALSE(ui.waitFor([](const std::vector<PObject>& m) { return !m.empty(); }, 50ms));
}

TEST(UiStandInTest, ATakenPortIsReported) {
  UiStandIn first;
  ASSERT_GT(first.port(), 0) << first.error();
  UiStandIn second(first.port());
  EXPECT_EQ(second.port(), -1);
  EXPECT_NE(second.error().find("listen on 127.0.0.1:"), std::string::npos) << second.error();
}

// A user interface that goes away and comes back on the same port: while
// closed, a notifier's connection fails; after reopening, messages arrive
// again beside those kept, and the latest announcement is the daemon's port.
TEST(UiStandInTest, ListenerClosedAndReopenedOnTheSamePort) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();
  const int port = ui.port();
  PObject first;
  first["daemon_port"] = 1025;
  ASSERT_EQ(Notify(port, first), 0);
  ASSERT_EQ(ui.daemonPort(20s), 1025);

  ui.closeListener();
  PObject lost;
  lost["notify"] = "recent_file";
  EXPECT_NE(Notify(port, lost), 0);
  ASSERT_TRUE(ui.reopenListener());
  EXPECT_EQ(ui.port(), port);
  PObject second;
  second["daemon_port"] = 1031;
  ASSERT_EQ(Notify(port, second), 0);
  ASSERT_TRUE(ui.waitFor([](const std::vector<PObject>& m) { return m.size() == 2; }, 20s));
  EXPECT_EQ(ui.daemonPort(0ms), 1031) << "the latest announcement wins";
  EXPECT_EQ(ui.decodeFailures(), 0u);
}

}  // namespace
