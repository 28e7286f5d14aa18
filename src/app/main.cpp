// trelvik-daemon: start-up, the control loop on the main thread, shutdown.
//
//   trelvik-daemon [configuration file]
//
// Exit status 0 after a normal shutdown (also when the control loop could not
// listen or announce its port), 255 when there are too many arguments, the
// logger cannot be started or the application thread cannot be created.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "app/ipc_loop.h"
#include "app/stop_signal.h"
#include "foundation/daemon_timing_text.h"
#include "foundation/logger.h"
#include "settings/settings.h"

namespace {

constexpr const char* kComponent = "client_debug";

// Rotated log files kept beside the live one.
constexpr int kLogFiles = 50;

void usage() {
  static const char* const kLines[] = {
      "* Controling application: ",
      "    Control <action>",
      "",
      "* Controling session: ",
      "    ControlSession <action> <session_id> ",
      "",
      "* Supported actions: ",
      "    stop",
      "    link",
      "    unlink",
      "    pause",
      "    resume",
      "    reload_setting",
      "    reload_session",
      "    add_session",
      "    remove_session",
      "",
  };
  for (const char* line : kLines) {
    // Nothing sensible to do when standard output is gone.
    (void)std::printf("%s\n", line);
    (void)std::fflush(stdout);
  }
}

// Starts the logger as the settings ask. 0, or -1 after the "client is not
// enabled" line on standard error.
int start_logging(const Settings& settings) {
  const ustring log_path = settings.getLogFilePath();
  const ustring level_path = settings.getLogLevelFilePath();
  int rc;
  if (settings.isForeground()) {
    rc = Logger::Initialize(Logger::STDOUT_LOGGER, ustring(), level_path, kLogFiles);
  } else {
    rc = Logger::Initialize(Logger::FILE_LOGGER, log_path, level_path, kLogFiles);
    if (rc >= 0) {
      Logger::LogMsg(Logger::L_NOTICE, kComponent, "[NOTE] main(%d): daemon is now running in the background\n",
                     __LINE__);
    }
  }
  if (rc < 0) {
    (void)std::fprintf(stderr, "Velkora: client is not enabled %s %s\n", log_path.c_str_utf8(),
                       level_path.c_str_utf8());
    return -1;
  }
  return 0;
}

// Writes "<pid>\n" to `path`. true when the file was created (then it is
// ours to delete at the end, even if the write failed); false, with an
// ERROR line, when it could not be. The daemon may run as root and the path
// comes from a file: a symbolic link planted at the path is not followed
// (it would truncate its target), and a FIFO or device is never written.
bool write_pid_file(const ustring& path) {
  int fd = open(path.c_str_utf8(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    (void)close(fd);  // nothing was written
    fd = -1;
  }
  if (fd < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] main(%d): failed to create pid file at '%s'\n", __LINE__,
                   path.c_str_utf8());
    return false;
  }
  char text[32];
  const int len = std::snprintf(text, sizeof text, "%lu\n", static_cast<unsigned long>(getpid()));
  bool ok = ftruncate(fd, 0) == 0 && write(fd, text, static_cast<size_t>(len)) == len;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] main(%d): failed to create pid file at '%s'\n", __LINE__,
                   path.c_str_utf8());
  }
  return true;
}

// The daemon's waits: its own, or the test timing that a test rig gives in
// TRELVIK_TEST_TIMING (no configuration file carries it). A text that does
// not parse is ignored whole, with a WARNING; one in use gets a NOTE.
DaemonTiming read_timing() {
  DaemonTiming timing;
  const char* text = std::getenv("TRELVIK_TEST_TIMING");
  if (text == nullptr) return timing;
  std::string error;
  if (!ParseDaemonTiming(text, timing, error)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] main(%d): TRELVIK_TEST_TIMING is not valid (%s), the daemon's own waits are kept\n",
                   __LINE__, error.c_str());
    return timing;
  }
  Logger::LogMsg(Logger::L_NOTICE, kComponent, "[NOTE] main(%d): test timing in use: %s\n", __LINE__,
                 FormatDaemonTiming(timing).c_str());
  return timing;
}

// unlink, never a recursive removal: the path comes from a file.
void remove_pid_file(const ustring& path, bool ours) {
  if (!ours) return;  // another instance's file, or none at all
  if (unlink(path.c_str_utf8()) != 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] main(%d): failed to remove pid file at '%s'\n",
                   __LINE__, path.c_str_utf8());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3) return -1;

  // Before any other thread exists, so that every thread inherits the mask
  // and only the main thread (which unblocks them) takes Ctrl-C.
  if (block_stop_signals() != 0) return -1;
  (void)std::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal
  (void)std::setlocale(LC_ALL, "");     // an unknown locale keeps "C"
  // OpenSSL 3 keeps its own locks; nothing else is needed for threads.
  if (OPENSSL_init_ssl(0, nullptr) != 1) return -1;

  Settings* settings = Settings::getInstance();
  if (argc > 1) {
    // The path goes to the kernel as the bytes it was given. A missing or
    // bad file leaves the defaults.
    (void)settings->loadConfigSettings(ustring(argv[1]));
  }
  if (start_logging(*settings) < 0) return -1;
  for (const auto& [key, value] : settings->getRejectedValues()) {
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] main(%d): configuration value %s=%s is not valid, the default is kept\n", __LINE__,
                   key.c_str_utf8(), value.c_str_utf8());
  }

  const ustring pid_path = settings->getPidFilePath();
  const bool pid_file_ours = !pid_path.empty() && write_pid_file(pid_path);

  usage();

  VelkoraApp app;
  app.set_timing(read_timing());
  app.set_stop_watch(stop_signal_abort_flag());
  if (app.run() < 0) {
    // Without the thread the first request would wait for ever.
    Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] main(%d): failed to start the application thread\n",
                   __LINE__);
    remove_pid_file(pid_path, pid_file_ours);
    return -1;
  }
  if (install_stop_signals() != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] main(%d): cannot take SIGINT and SIGTERM\n", __LINE__);
  }
  // Its failures are logged; the shutdown is the same either way.
  (void)recieve_from_ipc(app);

  app.kill();
  remove_pid_file(pid_path, pid_file_ours);
  return 0;
}
