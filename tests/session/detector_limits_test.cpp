// The watcher at the kernel's per-user inotify limits, met for real: in a
// new user namespace /proc/sys/user/max_inotify_watches is writable and
// binds the namespace alone. unshare(CLONE_NEWUSER) refuses a threaded
// caller, so the test runs this same program again under
// `unshare --user --map-root-user`, which does the work below before the
// test runner starts (plain checks: no test framework in the child).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filter/file_status_db.h"
#include "foundation/logger.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "settings/settings.h"
#include "support/user_namespace_child.h"
#include "support/ui_stand_in.h"

namespace {

constexpr char kChildVariable[] = "DETECTOR_LIMITS_CHILD";




std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Waits until the user interface was told of `path` (a "syncing_file").
bool Notified(testsupport::UiStandIn& ui, const std::string& path) {
  return ui.waitFor(
      [&](const std::vector<PObject>& msgs) {
        for (const auto& m : msgs) {
          if (m.hasMember("notify") && path == m["path"].asString().c_str_utf8()) return true;
        }
        return false;
      },
      std::chrono::seconds(20));
}

int RunChild() {
  std::string base = std::filesystem::temp_directory_path() / "trelvik-detector-limits-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return 90;
  const std::string root = base + "/s1";
  for (const char* d : {"", "/a", "/b", "/c", "/d", "/e"}) mkdir((root + d).c_str(), 0755);
  mkdir((base + "/db").c_str(), 0700);
  mkdir((base + "/db/sign").c_str(), 0700);
  {
    std::ofstream(base + "/levels.conf") << "detector_debug=3\n";
  }
  if (Logger::Initialize(Logger::FILE_LOGGER, (base + "/test.log").c_str(),
                         (base + "/levels.conf").c_str(), 50) != 0) {
    return 91;
  }
  auto ui = std::make_unique<testsupport::UiStandIn>();
  if (ui->port() <= 0) return 92;
  {
    std::ofstream(base + "/daemon.conf") << "ui_port=" << ui->port() << "\n";
  }
  if (Settings::getInstance()->loadConfigSettings((base + "/daemon.conf").c_str()) != 0) return 93;
  if (FileStatusDB::initialize((base + "/fstat.db").c_str()) != 0) return 94;
  {
    Registry::Entry entry;
    entry.sess_id = 1;
    entry.local_path = root.c_str();
    auto* db = new FileEventDB;
    entry.event_db = db;
    if (db->initialize((base + "/db/event-db.sqlite").c_str()) != 0) return 95;
    Registry::getInstance().Set(entry);
  }
  const std::string log = base + "/test.log";

  {
    Detector detector(nullptr);
    // The tree needs eight watches (six folders, the working folder and its
    // recycle folder); seven allowed: refused, nothing left behind.
    if (!testsupport::WriteUserLimit("max_inotify_watches", 7)) return 96;
    size_t fds = testsupport::OpenDescriptorCount();
    CHILD_CHECK(detector.AddWatch(root.c_str(), 1) == -1);
    CHILD_CHECK(testsupport::OpenDescriptorCount() == fds);
    CHILD_CHECK(Count(ReadAll(log), "cannot watch " + root +
                                        ": the per-user limit of inotify watches is reached") == 1);

    // Nine allowed: the tree fits, and the first new folder; the next ones
    // are reported once, and the folders already watched still report.
    if (!testsupport::WriteUserLimit("max_inotify_watches", 9)) return 97;
    CHILD_CHECK(detector.AddWatch(root.c_str(), 1) == 0);
    CHILD_CHECK(detector.Run() == 0);
    for (const char* d : {"/x", "/y", "/z"}) mkdir((root + d).c_str(), 0755);
    CHILD_CHECK(Notified(*ui, "/z"));
    int fd = open((root + "/a/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    close(fd);
    CHILD_CHECK(Notified(*ui, "/a/f"));
    mkdir((root + "/x/deeper").c_str(), 0755);  // x was watched
    CHILD_CHECK(Notified(*ui, "/x/deeper"));
    std::string text = ReadAll(log);
    CHILD_CHECK(Count(text, "cannot watch " + root + "/") == 1);
    CHILD_CHECK(Count(text, "cannot watch " + root + "/y: the per-user limit of inotify watches "
                            "is reached (raise fs.inotify.max_user_watches)\n") == 1);
    detector.Stop();
    CHILD_CHECK(detector.Join() == 0);
    detector.Clear();
    CHILD_CHECK(testsupport::OpenDescriptorCount() == fds);
  }

  EventManager::getInstance()->Clear();
  Registry::getInstance().Clear();
  FileStatusDB::destroy();
  ui.reset();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return testsupport::ChildFailures() == 0 ? 0 : 1;
}

// Started as the child: do its work and end before the test runner starts.
[[maybe_unused]] const bool kRanAsChild = testsupport::RunAsChildIf(kChildVariable, &RunChild);

TEST(DetectorLimits, WatchLimitInAUserNamespace) {
  testsupport::RunSelfInUserNamespace(kChildVariable);
}

}  // namespace
