// The real trelvik-daemon as a separate process: start-up, the control
// protocol's bytes, shutdown by "stop" and by signal, hostile requests.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "action_answers.h"
#include "raw_peer.h"
#include "support/background_process.h"
#include "support/daemon_process.h"
#include "support/temp_dir.h"
#include "support/ui_stand_in.h"

namespace {

using namespace std::chrono_literals;
using apptest::Action;
using apptest::MapOf;
using apptest::Str;
using testsupport::DaemonProcess;
using testsupport::TempDirTest;
using testsupport::UiStandIn;

const char kUsage[] =
    "* Controling application: \n"
    "    Control <action>\n"
    "\n"
    "* Controling session: \n"
    "    ControlSession <action> <session_id> \n"
    "\n"
    "* Supported actions: \n"
    "    stop\n"
    "    link\n"
    "    unlink\n"
    "    pause\n"
    "    resume\n"
    "    reload_setting\n"
    "    reload_session\n"
    "    add_session\n"
    "    remove_session\n"
    "\n";

// {"ack": "ok", "connection_list": null, "session_list": null, "worker_list": null}
const std::string kStatusReply = MapOf(Str("ack") + Str("ok") + Str("connection_list") + std::string("\0\0", 2) +
                                       Str("session_list") + std::string("\0\0", 2) + Str("worker_list") +
                                       std::string("\0\0", 2));

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) names.insert(e->d_name);
    closedir(dir);
  }
  return names;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DaemonTest : public TempDirTest {
 protected:
  DaemonTest() : daemon_(DAEMON_BINARY, tmp_.path()) {}

  // Starts the daemon toward `ui` and waits for its announcement: the port D,
  // or -1 (a test failure).
  int StartToward(UiStandIn& ui) {
    EXPECT_GT(ui.port(), 0) << ui.error();
    daemon_.Set("ui_port", std::to_string(ui.port()));
    if (!daemon_.Start()) return -1;
    int port = ui.daemonPort();
    EXPECT_GT(port, 0) << "no announcement; output:\n" << daemon_.Stdout() << daemon_.Stderr();
    return port;
  }

  // The exit status of a daemon that must end by itself.
  int ExitCode() {
    int code = -1;
    EXPECT_TRUE(daemon_.WaitExit(&code)) << "the daemon did not end; output:\n" << daemon_.Stdout();
    return code;
  }

  // "stop" through the stand-in, then a clean exit without a pid file.
  void StopCleanly(UiStandIn& ui) {
    EXPECT_TRUE(ui.stop());
    EXPECT_EQ(ExitCode(), 0) << daemon_.Stdout() << daemon_.Stderr();
    EXPECT_FALSE(Exists(daemon_.PidFilePath()));
  }

  bool StatusAnswered(int port) {
    bool ok = false;
    std::string answer = apptest::Exchange(port, Action("get_status"), &ok);
    return ok && answer == kStatusReply;
  }

  DaemonProcess daemon_;
};

TEST_F(DaemonTest, AnnouncementRepliesAndStopAreByteExact) {
  int ui_port = -1;
  int listener = apptest::BindLoopback(0, 16, &ui_port);
  ASSERT_GE(listener, 0);
  daemon_.Set("ui_port", std::to_string(ui_port));
  ASSERT_TRUE(daemon_.Start());

  std::string announcement;
  ASSERT_TRUE(apptest::AcceptAndRecvToEnd(listener, &announcement, 20s)) << daemon_.Stdout();
  close(listener);
  ASSERT_EQ(announcement.size(), 20u);
  const int port = (static_cast<unsigned char>(announcement[17]) << 8) | static_cast<unsigned char>(announcement[18]);
  EXPECT_GT(port, ui_port);
  std::string expected = MapOf(Str("daemon_port") + "\x01\x02" + static_cast<char>(port >> 8) +
                               static_cast<char>(port & 0xFF));
  EXPECT_EQ(announcement, expected);

  bool ok = false;
  EXPECT_EQ(apptest::Exchange(port, Action("get_status"), &ok), kStatusReply);
  EXPECT_TRUE(ok);
  // Not in the table: exactly the bare acknowledgement.
  EXPECT_EQ(apptest::Exchange(port, Action("frobnicate"), &ok), MapOf(Str("ack") + Str("ok")));
  EXPECT_TRUE(ok);
  // "stop" gets no byte, only the end of the connection.
  EXPECT_EQ(apptest::Exchange(port, Action("stop"), &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(DaemonTest, StartsPrintsUsageWritesPidFileAndStops) {
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, ui.port());

  std::string out = daemon_.Stdout();
  EXPECT_NE(out.find(kUsage), std::string::npos) << out;
  auto listening = daemon_.OutputLines("daemon is listening on local port ");
  ASSERT_EQ(listening.size(), 1u) << out;
  EXPECT_NE(listening[0].find("[INFO] app("), std::string::npos);
  EXPECT_EQ(listening[0].substr(listening[0].find("port ") + 5), std::to_string(port));
  EXPECT_EQ(ReadFile("daemon.pid"), std::to_string(daemon_.pid()) + "\n");

  StopCleanly(ui);
  out = daemon_.Stdout();
  EXPECT_NE(out.find("unlink daemon"), std::string::npos);
  EXPECT_NE(out.find("main thread down"), std::string::npos);
  EXPECT_EQ(ui.decodeFailures(), 0u);
  EXPECT_EQ(ui.messages().size(), 1u);  // the announcement alone
}

TEST_F(DaemonTest, MoreThanTwoArgumentsExitWith255AndPrintNothing) {
  ASSERT_TRUE(daemon_.StartWithArgs({"a", "b", "c"}));
  EXPECT_EQ(ExitCode(), 255);
  EXPECT_EQ(daemon_.Stdout(), "");
  EXPECT_EQ(daemon_.Stderr(), "");
}

TEST_F(DaemonTest, ASecondArgumentIsAcceptedAndNotUsed) {
  UiStandIn ui;
  daemon_.Set("ui_port", std::to_string(ui.port()));
  ASSERT_TRUE(daemon_.Start({"unused"}));
  ASSERT_GT(ui.daemonPort(), 0) << daemon_.Stdout();
  StopCleanly(ui);
}

TEST_F(DaemonTest, ALogFileInAMissingFolderExitsWith255AndOneLine) {
  const std::string log = Path("missing/daemon.log");
  daemon_.Set("is_foreground", "false");
  daemon_.Set("log_file_path", log);
  ASSERT_TRUE(daemon_.Start());
  EXPECT_EQ(ExitCode(), 255);
  EXPECT_EQ(daemon_.Stdout(), "");
  EXPECT_EQ(daemon_.Stderr(), "Velkora: client is not enabled " + log + " " + Path("daemon.levels") + "\n");
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
}

TEST_F(DaemonTest, FileLoggingPrintsOnlyTheUsageText) {
  UiStandIn ui;
  daemon_.Set("is_foreground", "false");
  ASSERT_GT(StartToward(ui), 0);
  EXPECT_EQ(daemon_.Stdout(), kUsage);
  std::string log = ReadFile("daemon.log");
  EXPECT_NE(log.find("[NOTE] main("), std::string::npos) << log;
  EXPECT_NE(log.find("): daemon is now running in the background\n"), std::string::npos) << log;
  EXPECT_NE(log.find("daemon is listening on local port"), std::string::npos) << log;
  StopCleanly(ui);
  EXPECT_EQ(daemon_.Stdout(), kUsage);
  EXPECT_EQ(daemon_.Stderr(), "");
}

TEST_F(DaemonTest, ForegroundLoggingWritesNoBackgroundLine) {
  UiStandIn ui;
  ASSERT_GT(StartToward(ui), 0);
  StopCleanly(ui);
  EXPECT_EQ(daemon_.Stdout().find("running in the background"), std::string::npos);
  EXPECT_FALSE(Exists(daemon_.LogFilePath()));
}

TEST_F(DaemonTest, AnUnwritablePidFileIsReportedAndTheDaemonServes) {
  const std::string pid = Path("missing/daemon.pid");
  daemon_.Set("pid_file_path", pid);
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, 0);
  EXPECT_EQ(daemon_.OutputLines("[ERROR] main(").size(), 1u);
  EXPECT_EQ(daemon_.OutputLines("): failed to create pid file at '" + pid + "'").size(), 1u) << daemon_.Stdout();
  EXPECT_TRUE(StatusAnswered(port));
  EXPECT_TRUE(ui.stop());
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(DaemonTest, APidFilePathThatIsALinkIsNotFollowed) {
  WriteFile("precious", "keep me\n");
  ASSERT_EQ(symlink(Path("precious").c_str(), daemon_.PidFilePath().c_str()), 0);
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, 0);
  EXPECT_EQ(daemon_.OutputLines("): failed to create pid file at '" + daemon_.PidFilePath() + "'").size(), 1u)
      << daemon_.Stdout();
  EXPECT_TRUE(StatusAnswered(port));
  EXPECT_TRUE(ui.stop());
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_EQ(ReadFile("precious"), "keep me\n");
  // Not the daemon's file: left where it was.
  struct stat st;
  EXPECT_EQ(lstat(daemon_.PidFilePath().c_str(), &st), 0);
}

TEST_F(DaemonTest, ASocketPathIsInertAndTheDaemonExitsWith0) {
  daemon_.Set("socket_path", Path("control.sock"));
  UiStandIn ui;
  daemon_.Set("ui_port", std::to_string(ui.port()));
  ASSERT_TRUE(daemon_.Start());
  EXPECT_EQ(ExitCode(), 0);
  EXPECT_EQ(daemon_.OutputLines("): failed to listen on port domain socket '" + Path("control.sock") + "'").size(),
            1u)
      << daemon_.Stdout();
  EXPECT_TRUE(ui.messages().empty());
  EXPECT_EQ(ui.decodeFailures(), 0u);
  EXPECT_FALSE(Exists(Path("control.sock")));
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
  EXPECT_NE(daemon_.Stdout().find("main thread down"), std::string::npos);
}

TEST_F(DaemonTest, AUiPortThatDoesNotListenEndsTheDaemonWith0) {
  int ui_port = -1;
  int bound = apptest::BindLoopback(0, -1, &ui_port);  // bound, never listening: refused
  ASSERT_GE(bound, 0);
  daemon_.Set("ui_port", std::to_string(ui_port));
  ASSERT_TRUE(daemon_.Start());
  EXPECT_EQ(ExitCode(), 0);
  close(bound);
  std::string out = daemon_.Stdout();
  EXPECT_EQ(Count(out, "[ERROR] app("), 2u) << out;  // the listener may log a taken port
  EXPECT_EQ(daemon_.OutputLines("): Failed to connect to port : " + std::to_string(ui_port)).size(), 1u) << out;
  EXPECT_EQ(daemon_.OutputLines("): failed to send daemon port back to ui").size(), 1u) << out;
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
  EXPECT_NE(out.find("unlink daemon"), std::string::npos);
}

TEST_F(DaemonTest, ATakenPortMakesTheDaemonListenHigher) {
  // P+1 is taken: by our own listener, or already by sockets of parallel
  // tests. bind(0) hands out odd ports and connect() even ones, so P+1 is
  // often held in TIME_WAIT by an earlier client. Our listener binds as the
  // daemon's does (SO_REUSEADDR), so a port it cannot take the daemon cannot
  // take either.
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0);
  int held_port = -1;
  int held = apptest::BindLoopback(ui.port() + 1, 16, &held_port);
  ASSERT_TRUE(held >= 0 || errno == EADDRINUSE) << std::strerror(errno);
  int port = StartToward(ui);
  EXPECT_GE(port, ui.port() + 2);
  StopCleanly(ui);
  if (held >= 0) close(held);
}

TEST_F(DaemonTest, ARejectedConfigurationValueIsLoggedAndTheDefaultKept) {
  // 1 would build a task table without a worker.
  daemon_.Set("worker_count", "1");
  UiStandIn ui;
  ASSERT_GT(StartToward(ui), 0);
  EXPECT_EQ(daemon_.OutputLines("[WARNING] main(").size(), 1u);
  EXPECT_EQ(daemon_.OutputLines("): configuration value worker_count=1 is not valid, the default is kept").size(),
            1u)
      << daemon_.Stdout();
  StopCleanly(ui);
}

// TRELVIK_TEST_TIMING: a good text is used and named in a NOTE; a bad one
// is ignored whole with a WARNING; without it no line speaks of timing.
TEST_F(DaemonTest, TestTimingFromTheEnvironmentIsLoggedOrIgnored) {
  struct Row {
    std::string text, line;
  } rows[] = {
      {"control_poll=100,worker_retry_rest=250",
       "): test timing in use: pause_poll=1000,worker_idle_rest=1000,worker_retry_rest=250,worker_redo_rest=2000,"
       "syncer_idle_wait=1000,syncer_up_to_date_rest=5000,syncer_retry_wait=3000,syncer_long_wait=120000,"
       "cleaner_retry_wait=3000,cleaner_pass_wait=1000,control_poll=100,detector_wait=1000,"
       "worker_pending_rest=10000,worker_pending_max_rest=300000,worker_reply_timeout=90"},
      {"control_poll=100,worker_retry_rest=0",
       "): TRELVIK_TEST_TIMING is not valid ('worker_retry_rest=0': not a whole number in range), the daemon's own "
       "waits are kept"},
      {"", ""},
  };
  for (const Row& row : rows) {
    daemon_.SetTiming(row.text);
    UiStandIn ui;
    ASSERT_GT(StartToward(ui), 0) << row.text;
    StopCleanly(ui);
    const std::string out = daemon_.Stdout();
    if (row.line.empty()) {
      EXPECT_EQ(out.find("TRELVIK_TEST_TIMING"), std::string::npos) << out;
      EXPECT_EQ(out.find("test timing"), std::string::npos) << out;
    } else {
      EXPECT_EQ(daemon_.OutputLines(row.line).size(), 1u) << row.text << "\n" << out;
    }
  }
}

TEST_F(DaemonTest, WithoutTheApplicationThreadTheDaemonEndsWith255AndRemovesItsPidFile) {
  // glibc sizes a thread's stack by RLIMIT_STACK: no address space holds
  // 4 EiB, so the application thread cannot be created.
  daemon_.SetLauncher({"/usr/bin/prlimit", "--stack=4611686018427387904"});
  UiStandIn ui;
  daemon_.Set("ui_port", std::to_string(ui.port()));
  ASSERT_TRUE(daemon_.Start());
  EXPECT_EQ(ExitCode(), 255);
  std::string out = daemon_.Stdout();
  EXPECT_EQ(daemon_.OutputLines("): pthread_create: ").size(), 1u) << out;
  EXPECT_EQ(daemon_.OutputLines("[CRIT] main(").size(), 1u) << out;
  // Neither the control loop nor kill ran: no announcement, no hang.
  EXPECT_EQ(out.find("listening on local port"), std::string::npos) << out;
  EXPECT_TRUE(ui.messages().empty());
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
}

class DaemonSignalTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonSignalTest, StopsCleanlyAndRemovesThePidFile) {
  const int signo = GetParam();
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(StatusAnswered(port));
  ASSERT_TRUE(Exists(daemon_.PidFilePath()));
  ASSERT_TRUE(daemon_.Signal(signo));
  EXPECT_EQ(ExitCode(), 0) << daemon_.Stdout();
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
  std::string out = daemon_.Stdout();
  EXPECT_EQ(daemon_.OutputLines("): signal " + std::to_string(signo) + " received, stopping").size(), 1u) << out;
  EXPECT_NE(out.find("unlink daemon"), std::string::npos);
  EXPECT_NE(out.find("main thread down"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, DaemonSignalTest, ::testing::Values(SIGTERM, SIGINT));

TEST_F(DaemonTest, AStopSignalEndsARequestThatIsStillArriving) {
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, 0);
  // A client that sends the first byte of a map and then nothing: the
  // request would wait out the channel's 60-second time-out.
  int fd = apptest::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  (void)apptest::SendAll(fd, "\x42");
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(daemon_.Signal(SIGTERM));
  int code = -1;
  EXPECT_TRUE(daemon_.WaitExit(&code, 10s)) << daemon_.Stdout();
  EXPECT_EQ(code, 0);
  close(fd);
  EXPECT_FALSE(Exists(daemon_.PidFilePath()));
}

TEST_F(DaemonTest, EveryActionWithoutKeysGetsItsAnswer) {
  UiStandIn ui;
  ASSERT_GT(StartToward(ui), 0);
  for (const apptest::ActionAnswer& c : apptest::kAnswersWithoutKeys) {
    PObject req;
    req["action"] = c.action;
    PObject reply;
    ASSERT_EQ(ui.request(req, &reply), UiStandIn::kReply) << c.action;
    EXPECT_EQ(reply["ack"].asString(), "ok") << c.action;
    // Read through const: the writing operator[] would insert the member.
    EXPECT_EQ(std::as_const(reply)["error"].asString(), c.error) << c.action;
    // Only the status reply carries keys of its own: its three null lists.
    const size_t keys = std::string(c.action) == "get_status" ? 4 : (*c.error != '\0' ? 2 : 1);
    EXPECT_EQ(reply.asMap().size(), keys) << c.action;
  }
  std::string out = daemon_.Stdout();
  EXPECT_EQ(out.find("Unknown IPC action"), std::string::npos) << out;
  // The refused connection and session requests, and "add_event" for
  // session 0.
  EXPECT_EQ(Count(out, "[ERROR] app("), 5u) << out;
  EXPECT_EQ(Count(out, "invalid parameters."), 2u) << out;
  StopCleanly(ui);
}

// Requests no decoder may accept. Each must be refused without a reply, and
// the next request answered as usual.
std::vector<std::pair<std::string, std::string>> HostileRequests() {
  std::string binary = MapOf(Str("action") + "\x30" + std::string("\0\0\0\0\0\0\x03\xE8", 8) + std::string(1000, 'B'));
  std::string many_members;
  for (int i = 0; i < 2000; ++i) many_members += Str("k" + std::to_string(i)) + std::string("\0\0", 2);
  return {
      {"a binary value", binary},
      {"100,000 nested arrays", std::string(100000, '\x41')},
      {"a width-9 integer", MapOf(Str("action") + "\x01\x09" + std::string(9, '\x01'))},
      {"a non-string key", MapOf(std::string("\x01\x01\x05", 3) + Str("get_status"))},
      {"a stream cut mid-map", "\x42" + Str("action") + "\x10\x00"},
      {"an empty connection", ""},
      {"2,000 members", MapOf(many_members)},
  };
}

TEST_F(DaemonTest, HostileRequestsAreRefusedAndLeakNoDescriptor) {
  UiStandIn ui;
  int port = StartToward(ui);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(StatusAnswered(port));
  const std::set<std::string> root_before = Listing("/");
  const std::set<std::string> cwd_before = Listing(Path());
  // The last connection may still be closing when the client sees its end.
  std::this_thread::sleep_for(200ms);
  const int descriptors = daemon_.OpenDescriptorCount();
  ASSERT_GT(descriptors, 0);

  const auto hostile = HostileRequests();
  for (const auto& [name, bytes] : hostile) {
    bool ok = false;
    EXPECT_EQ(apptest::Exchange(port, bytes, &ok), "") << name;
    EXPECT_TRUE(ok) << name << ": the connection was not ended";
    EXPECT_TRUE(StatusAnswered(port)) << "after " << name;
  }
  EXPECT_EQ(Count(daemon_.Stdout(), "): Failed to recieve message from channel.\n"), hostile.size())
      << daemon_.Stdout();
  EXPECT_EQ(Listing("/"), root_before);
  EXPECT_EQ(Listing(Path()), cwd_before);

  for (int i = 0; i < 500; ++i) {
    if (i % 5 == 0) {
      apptest::Exchange(port, hostile[(i / 5) % hostile.size()].second);
    } else {
      ASSERT_TRUE(StatusAnswered(port)) << "request " << i;
    }
  }
  // Leaked descriptors would never close: wait out the last connection only.
  int now = daemon_.OpenDescriptorCount();
  for (int i = 0; i < 100 && now != descriptors; ++i) {
    std::this_thread::sleep_for(20ms);
    now = daemon_.OpenDescriptorCount();
  }
  EXPECT_EQ(now, descriptors);
  StopCleanly(ui);
}

TEST_F(DaemonTest, TheConsoleStandInPrintsTheAnnouncement) {
  testsupport::BackgroundProcess console;
  std::string error;
  ASSERT_TRUE(console.Start({UI_STAND_IN_BINARY, "0"}, &error)) << error;
  std::string line;
  ASSERT_TRUE(console.ReadLine(&line, 20s));
  const std::string prefix = "ui-stand-in: listening on 127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  const int ui_port = std::stoi(line.substr(prefix.size()));

  daemon_.Set("ui_port", std::to_string(ui_port));
  ASSERT_TRUE(daemon_.Start());
  ASSERT_TRUE(console.ReadLine(&line, 20s)) << daemon_.Stdout();
  const std::string announced = "ui-stand-in: daemon is on port ";
  ASSERT_EQ(line.rfind(announced, 0), 0u) << line;
  const int port = std::stoi(line.substr(announced.size()));
  EXPECT_GT(port, ui_port);

  bool ok = false;
  EXPECT_EQ(apptest::Exchange(port, Action("stop"), &ok), "");
  EXPECT_EQ(ExitCode(), 0);

  ASSERT_EQ(kill(console.pid(), SIGTERM), 0);
  int status = -1;
  ASSERT_TRUE(console.WaitExit(&status, 10s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(console.ReadLine(&line, 1s));
  EXPECT_EQ(line, "ui-stand-in: stopped");
}

}  // namespace
