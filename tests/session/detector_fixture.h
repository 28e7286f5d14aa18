// Fixture of the folder watcher's tests: the real event manager, registry,
// event databases and file-status database, a user-interface stand-in that
// receives every "syncing_file" notification in push order, and session
// folders "s<id>" in a temporary folder, watched through real inotify
// sources or through scripted ones. TearDown empties the process-wide
// objects and puts the settings and the logger back.
#ifndef TESTS_SESSION_DETECTOR_FIXTURE_H_
#define TESTS_SESSION_DETECTOR_FIXTURE_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter/file_status_db.h"
#include "foundation/logger.h"
#include "platform/inotify_change_source.h"
#include "scripted_change_source.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "settings/settings.h"
#include "support/recording_task.h"
#include "support/short_timing.h"
#include "support/temp_dir.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"
#include "support/watch_oracle.h"

namespace detector_test {

using Lines = std::vector<std::string>;

// What a correct source watches: the tree, the working folder and its
// recycle folder, nothing else inside them.
inline testsupport::FolderWalk ClassifyWorking(const std::string& rel) {
  size_t slash = rel.find('/');
  std::string top = rel.substr(0, slash);
  bool working = top.size() == strlen(kWorkingDirName);
  for (size_t i = 0; working && i < top.size(); ++i) {
    char a = top[i], b = kWorkingDirName[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    working = a == b;
  }
  if (!working || slash == std::string::npos) return testsupport::FolderWalk::kEnter;
  if (rel.substr(slash + 1) == kRecycleDirName) return testsupport::FolderWalk::kCountOnly;
  return testsupport::FolderWalk::kSkip;
}

class DetectorFixture : public testsupport::TempDirTest {
 public:
  using testsupport::TempDirTest::Path;

  void SetUp() override {
    // Every message of the watcher at DEBUG, so each format runs under the
    // sanitizers.
    WriteFile("levels.conf", "detector_debug=7\nevent_mgr_debug=6\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(),
                                    Path("levels.conf").c_str(), 50));
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
    ASSERT_EQ(0, FileStatusDB::initialize(Path("fstat.db").c_str()));
    ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0755));
  }

  void TearDown() override {
    StopDetector();
    detector_.reset();
    EventManager::getInstance()->Clear();
    Registry::getInstance().Clear();
    FileStatusDB::destroy();
    Settings::getInstance()->resetToDefaults();
    // The stand-in's thread logs (its channels' Close); stop it before the
    // logger goes back to its start state.
    ui_.reset();
    Logger::ResetForTest();
  }

  // The folder of session `id`, "s<id>" in the temporary folder.
  std::string Root(uint64_t id, const std::string& rel = "") const {
    std::string root = Path("s" + std::to_string(id));
    return rel.empty() ? root : root + "/" + rel;
  }

  // Registers session `id` (its folder made, an event database of its own).
  void AddSession(uint64_t id) {
    ASSERT_EQ(0, mkdir(Root(id).c_str(), 0755));
    std::string dir = Path("db" + std::to_string(id));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    ASSERT_EQ(0, mkdir((dir + "/sign").c_str(), 0700));
    Registry::Entry entry;
    entry.sess_id = id;
    entry.conn_id = 1;
    entry.local_path = Root(id).c_str();
    auto* db = new FileEventDB;
    entry.event_db = db;
    ASSERT_EQ(0, db->initialize((dir + "/event-db.sqlite").c_str()));
    Registry::getInstance().Set(entry);
  }

  // A record in session `id`'s event database, as a synced file or folder.
  void Seed(uint64_t id, const std::string& path, bool is_dir) {
    Registry::Entry entry;
    ASSERT_EQ(1, Registry::getInstance().Find(id, entry));
    DBFileInfo info;
    info.path = path.c_str();
    info.fileType = is_dir ? 1 : 0;
    info.isExist = 1;
    ASSERT_EQ(0, entry.event_db->setEventInfo(info));
  }

  // A detector on real inotify sources, remembering each source's
  // descriptor for the watch oracle.
  void UseInotify() {
    detector_ = std::make_unique<Detector>(
        nullptr, [this](const std::string& root, std::unique_ptr<platform::ChangeSource>* out) {
          platform::InotifyOptions options;
          options.private_folder = kWorkingDirName;
          options.private_subfolder = kRecycleDirName;
          std::unique_ptr<platform::InotifyChangeSource> source;
          int err = platform::InotifyChangeSource::Create(root, options, &source);
          if (err == 0) {
            fds_[root] = source->fd();
            *out = std::move(source);
          }
          return err;
        },
        testsupport::ShortTiming());
  }

  // A detector on scripted sources: the script of a folder is made with its
  // first source and kept by folder path.
  void UseScripts(const DaemonTiming& timing = testsupport::ShortTiming()) {
    detector_ = std::make_unique<Detector>(
        nullptr, [this](const std::string& root, std::unique_ptr<platform::ChangeSource>* out) {
          std::lock_guard<std::mutex> guard(scripts_mutex_);
          auto& script = scripts_[root];
          if (!script) script = std::make_shared<testsupport::ChangeScript>();
          *out = std::make_unique<testsupport::ScriptedChangeSource>(script);
          return 0;
        },
        timing);
  }
  std::shared_ptr<testsupport::ChangeScript> Script(uint64_t id) {
    std::lock_guard<std::mutex> guard(scripts_mutex_);
    return scripts_[Root(id)];
  }

  void Watch(uint64_t id) { ASSERT_EQ(0, detector_->AddWatch(Root(id).c_str(), id)); }
  void Start() { ASSERT_EQ(0, detector_->Run()); }
  void StopDetector() {
    if (detector_ && detector_->GetId() >= 0) {
      detector_->Stop();
      detector_->Join();
    }
  }

  // A notification as "[<sess>.]<type><kind>:<path>": type + create,
  // - remove, ~ modify; kind f file, d folder. Session 1 has no prefix.
  static std::string Token(const PObject& msg) {
    static const char kTypes[] = "0+-~R";
    uint64_t sess = msg["session_id"].asUInt64();
    uint64_t type = msg["event_type"].asUInt64();
    std::string t = sess == 1 ? "" : std::to_string(sess) + ".";
    t += type < 5 ? kTypes[type] : '?';
    t += msg["is_dir"].asUInt64() ? 'd' : 'f';
    t += ':';
    t += msg["path"].asString().c_str_utf8();
    return t;
  }

  // What was queued since the last call, in push order, session errors left
  // out: makes a sentinel link in session `id`'s folder (scripted: also its
  // record) and waits for its notification; the sentinel is left out. The
  // stream of a session is ordered, so nothing it should have reported
  // before can come later.
  Lines Pushed(uint64_t id = 1) {
    std::string name = "sentinel." + std::to_string(sentinel_++);
    EXPECT_EQ(0, symlink("nowhere", Root(id, name).c_str())) << strerror(errno);
    {
      std::lock_guard<std::mutex> guard(scripts_mutex_);
      auto it = scripts_.find(Root(id));
      if (it != scripts_.end()) it->second->Push({{platform::kChangeAdded, name}});
    }
    std::string want = (id == 1 ? "" : std::to_string(id) + ".") + "+f:/" + name;
    size_t from = consumed_;
    bool seen = ui_->waitFor(
        [&](const std::vector<PObject>& msgs) {
          for (size_t i = from; i < msgs.size(); ++i) {
            if (msgs[i].hasMember("notify") && Token(msgs[i]) == want) return true;
          }
          return false;
        },
        std::chrono::seconds(20));
    if (!seen) {
      std::string log = ReadFile("test.log");
      ADD_FAILURE() << "no notification for " << want << "; the log ends with:\n"
                    << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    }
    Lines got;
    std::vector<PObject> msgs = ui_->messages();
    for (size_t i = from; i < msgs.size(); ++i) {
      // Session errors are no file events: tests read them from ui_.
      if (!msgs[i].hasMember("notify") || msgs[i]["notify"].asString() == "error") continue;
      std::string t = Token(msgs[i]);
      consumed_ = i + 1;
      if (t == want) break;
      got.push_back(t);
    }
    return got;
  }

  // Takes every queued event out of the event manager, as a worker would,
  // and gives the expands and rescans in hand-out order, as
  // "[<sess>.]x:<path>" and "[<sess>.]r:<path>".
  Lines Expands() {
    Lines got;
    Event ev;
    int misses = 0;
    while (misses < 8) {
      if (EventManager::getInstance()->PullEvent(&task_, ev) != 0) {
        ++misses;
        continue;
      }
      misses = 0;
      do {
        if (ev.isExpand()) {
          std::string t = ev.m_sess_id == 1 ? "" : std::to_string(ev.m_sess_id) + ".";
          t += ev.isRescan() ? "r:" : "x:";
          t += ev.m_path.c_str_utf8();
          got.push_back(t);
        }
      } while (EventManager::getInstance()->DoneEvent(&task_, ev) == -1);
    }
    return got;
  }

  // The kernel's watch list of session `id` equals its folders on disk.
  void ExpectWatchesMatchDisk(uint64_t id) {
    auto watched = testsupport::InotifyWatchedInodes(fds_[Root(id)]);
    auto want = testsupport::FolderInodes(Root(id), ClassifyWorking);
    std::set<unsigned long> extra, missing;
    for (auto i : watched) if (!want.count(i)) extra.insert(i);
    for (auto i : want) if (!watched.count(i)) missing.insert(i);
    EXPECT_TRUE(extra.empty()) << "session " << id << " watches also:"
                               << testsupport::DescribeInodes(Path(), extra);
    EXPECT_TRUE(missing.empty()) << "session " << id << " does not watch:"
                                 << testsupport::DescribeInodes(Root(id), missing);
  }

  // The log holds `piece` (waits up to `wait` for it).
  bool Logged(const std::string& piece, std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
    auto until = std::chrono::steady_clock::now() + wait;
    while (true) {
      if (ReadFile("test.log").find(piece) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  size_t CountLogged(const std::string& piece) {
    std::string log = ReadFile("test.log");
    size_t n = 0;
    for (size_t at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1)) ++n;
    return n;
  }

  // File-system steps; paths relative to the temporary folder.
  void MkdirP(const std::string& rel) const {
    std::string path = Path();
    size_t start = 0;
    while (start <= rel.size()) {
      size_t slash = rel.find('/', start);
      if (slash == std::string::npos) slash = rel.size();
      path += "/" + rel.substr(start, slash - start);
      ASSERT_TRUE(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
      start = slash + 1;
    }
  }
  void Rename(const std::string& from, const std::string& to) const {
    ASSERT_EQ(0, rename(Path(from).c_str(), Path(to).c_str())) << from << " -> " << to;
  }
  void Unlink(const std::string& rel) const { ASSERT_EQ(0, unlink(Path(rel).c_str())) << rel; }
  // An empty file made with open and close (reported as added, modified).
  void Touch(const std::string& rel) const {
    int fd = open(Path(rel).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << rel << ": " << strerror(errno);
    close(fd);
  }

  std::unique_ptr<testsupport::UiStandIn> ui_;
  std::unique_ptr<Detector> detector_;
  std::map<std::string, int> fds_;  // inotify descriptor by session folder
  std::mutex scripts_mutex_;        // the factory runs on AddWatch's thread
  std::map<std::string, std::shared_ptr<testsupport::ChangeScript>> scripts_;
  testsupport::RecordingTask task_;
  size_t consumed_ = 0;
  int sentinel_ = 0;
};

}  // namespace detector_test

#endif  // TESTS_SESSION_DETECTOR_FIXTURE_H_
