// UI_IPC: the exact bytes of every notification, read from a raw listening
// socket until the end of the stream, and the failures when nobody listens
// or a named socket is configured.
#include "session/ui_ipc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "foundation/logger.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

namespace {

class UiIpcTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf", "channel_ui_debug=3\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(),
                                    50));
  }
  void TearDown() override {
    if (listen_fd_ >= 0) close(listen_fd_);
    // The port or socket path these cases name must not stay the target of
    // notifications in later cases.
    Settings::getInstance()->resetToDefaults();
    Logger::ResetForTest();
  }

  // A loopback listener on a port the kernel picks; the settings name it.
  void Listen() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listen_fd_, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listen_fd_, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    UsePort(ntohs(addr.sin_port));
  }

  void UsePort(int port, const std::string& extra = "") {
    WriteFile("daemon.conf", "ui_port=" + std::to_string(port) + "\n" + extra);
    Settings::getInstance()->resetToDefaults();
    ASSERT_EQ(Settings::getInstance()->loadConfigSettings(Path("daemon.conf").c_str()), 0);
  }

  // Accepts the one connection the notifier made (it has sent and closed
  // already: the kernel queued it) and reads it to the end, as hex.
  std::string Received() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return "accept failed";
    std::string hex;
    char buf[4096];
    static const char kDigits[] = "0123456789abcdef";
    while (true) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        hex += kDigits[static_cast<unsigned char>(buf[i]) >> 4];
        hex += kDigits[static_cast<unsigned char>(buf[i]) & 15];
      }
    }
    close(fd);
    return hex;
  }

  std::string Log() { return ReadFile("test.log"); }

  int listen_fd_ = -1;
};

Event FolderCreate(uint64_t sess, const char* path) {
  Event ev;
  ev.m_type = Event::EV_CREATE;
  ev.m_mode = Event::F_DIR;
  ev.m_sess_id = sess;
  ev.m_path = path;
  return ev;
}

Event FileModify(uint64_t sess, const char* path) {
  Event ev;
  ev.m_type = Event::EV_MODIFY;
  ev.m_sess_id = sess;
  ev.m_path = path;
  ev.m_data_size = 77;  // not sent
  return ev;
}

struct WireCase {
  const char* name;
  std::function<int()> send;
  const char* hex;
};

TEST_F(UiIpcTest, EveryNotificationHasItsExactBytes) {
  Listen();
  const WireCase cases[] = {
      {"syncing_file of a folder create /a in session 5",
       [] { return UI_IPC::ReportFileSyncingEventToUI(FolderCreate(5, "/a")); },
       "4210000a6576656e745f7479706501010110000669735f6469720101011000066e6f7469667910000c73796e63696e675f66696c"
       "65100004706174681000022f6110000a73657373696f6e5f696401010540"},
      {"session error (3, 7, -6)", [] { return UI_IPC::ReportSessionErrorToUI(3, 7, ERR_AUTH); },
       "42100007636f6e6e5f696401010310000a6572726f725f747970650108fffffffffffffffa1000066e6f746966791000056572"
       "726f72100007736573735f696401010710000a73657373696f6e5f696401010740"},
      {"connection error (3, 7, -6)", [] { return UI_IPC::ReportConnectionErrorToUI(3, 7, ERR_AUTH); },
       "42100007636f6e6e5f696401010310000d636f6e6e656374696f6e5f696401010310000a6572726f725f747970650108ffffff"
       "fffffffffa1000066e6f746966791000056572726f72100007736573735f696401010740"},
      {"recent_file of a file modify in session 300",
       [] { return UI_IPC::ReportFileEventToUI(FileModify(300, "/d/f.txt")); },
       "4210000a6576656e745f7479706501010310000669735f6469720101001000066e6f7469667910000b726563656e745f66696c"
       "65100004706174681000082f642f662e74787410000a73657373696f6e5f69640102012c40"},
      {"locked_file with ERR_LOCKED_FILE",
       [] { return UI_IPC::ReportFileLockedEventToUI(FileModify(2, "/x"), ERR_LOCKED_FILE); },
       "421000056572726f7242100004636f64650108ffffffffffffffe9100006726561736f6e10000b66696c65206c6f636b6564"
       "4010000669735f6469720101001000066e6f7469667910000b6c6f636b65645f66696c65100004706174681000022f781000"
       "0a73657373696f6e5f696401010240"},
      {"locked_file for another reason",
       [] { return UI_IPC::ReportFileErrorToUI(FileModify(2, "/x"), ERR_INVAL, "bad name"); },
       "421000056572726f7242100004636f64650108fffffffffffffffc100006726561736f6e100008626164206e616d65401000"
       "0669735f6469720101001000066e6f7469667910000b6c6f636b65645f66696c65100004706174681000022f7810000a7365"
       "7373696f6e5f696401010240"},
      {"last breath", [] { return UI_IPC::LastBreath(); },
       "42100006616374696f6e100014636f6e6e656374696f6e5f7465726d696e61746540"},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.send(), 0);
    EXPECT_EQ(Received(), c.hex);
  }
  EXPECT_EQ(Log(), "");
}

TEST_F(UiIpcTest, NobodyListeningCostsTwoErrorLines) {
  Listen();
  const int port = Settings::getInstance()->getUIPort();
  close(listen_fd_);  // the port is now refused
  listen_fd_ = -1;
  EXPECT_EQ(UI_IPC::ReportSessionErrorToUI(3, 7, ERR_AUTH), -1);
  EXPECT_EQ(UI_IPC::ReportFileSyncingEventToUI(FolderCreate(5, "/a")), -1);
  const std::string log = Log();
  const std::string refused = "[ERROR] ui-ipc(";
  EXPECT_NE(log.find("): failed to connect to local port " + std::to_string(port) + "\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("): message ("), std::string::npos) << log;
  EXPECT_NE(log.find(") is not sent\n"), std::string::npos) << log;
  EXPECT_NE(log.find("syncing_file"), std::string::npos) << log;
  // Two lines per notification.
  size_t lines = 0;
  for (size_t at = log.find(refused); at != std::string::npos; at = log.find(refused, at + 1)) ++lines;
  EXPECT_EQ(lines, 4u) << log;
  EXPECT_EQ(log.find("failed to send"), std::string::npos) << log;
}

TEST_F(UiIpcTest, ANamedSocketPathFailsAtTheSend) {
  Listen();
  WriteFile("daemon.conf", "ui_socket_path=" + Path("ui.sock") + "\n");
  ASSERT_EQ(Settings::getInstance()->loadConfigSettings(Path("daemon.conf").c_str()), 0);
  EXPECT_EQ(UI_IPC::ReportFileEventToUI(FileModify(1, "/a")), -1);
  const std::string log = Log();
  EXPECT_NE(log.find("): failed to send message to IPC\n"), std::string::npos) << log;
  EXPECT_NE(log.find(") is not sent\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("failed to connect"), std::string::npos) << log;
  // Nothing reached the port.
  pollfd p{listen_fd_, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 200), 0);
}

TEST_F(UiIpcTest, InstanceReceivesOneObjectFromAnAdoptedSocket) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  // {"a": 1}
  const unsigned char bytes[] = {0x42, 0x10, 0x00, 0x01, 'a', 0x01, 0x01, 0x01, 0x40};
  ASSERT_EQ(write(fds[0], bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
  close(fds[0]);
  UI_IPC ui;
  ASSERT_EQ(ui.Open(fds[1]), ERR_OK);
  PObject obj;
  EXPECT_EQ(ui.Recv(obj), PStream::Code::kOk);
  EXPECT_EQ(obj["a"].asUInt64(), 1u);
  ui.Destroy();
  EXPECT_NE(ERR_OK, ui.Open(-1));
}

}  // namespace
