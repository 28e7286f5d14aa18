// Fixture of the in-process application tests: a VelkoraApp whose handlers
// run on the test thread (it plays the application thread), the settings
// loaded from a key=value file of the test's folder, the user-interface
// stand-in the daemon reports to, and a storage-server stand-in that speaks
// TLS as "server.test".
//
// Each test case runs in its own process under ctest; TearDown unlinks the
// application (every task stopped and joined, every process-wide store
// emptied) and puts the settings, the certificate path and the logger back,
// so a whole run works too.
#ifndef TESTS_APP_APP_FIXTURE_H_
#define TESTS_APP_APP_FIXTURE_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "foundation/logger.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "settings/settings.h"
#include "support/text_count.h"
#include "support/command.h"
#include "support/pki.h"
#include "support/session_objects.h"
#include "support/server_stand_in.h"
#include "support/short_timing.h"
#include "support/temp_dir.h"
#include "support/ui_stand_in.h"
#include "transport/channel.h"

namespace apptest {

using namespace std::chrono_literals;

class AppFixture : public testsupport::TempDirTest {
 protected:
  // The session token and the view of the stand-in.
  static constexpr const char* kToken = "app-token";
  static constexpr uint64_t kView = 11;

  struct Options {
    uint32_t worker_count = 3;
    std::string log_levels =
        "client_debug=7\nworker_debug=7\nsyncer_debug=7\nprogress_syncer_debug=7\nconnection_debug=7\n"
        "detector_debug=7\n";
    // Start the storage-server stand-in.
    bool server = true;
    testsupport::ServerStandInOptions stand_in = DefaultStandIn();
    // Further key=value lines of the settings file.
    std::string settings;
    // The tasks' waits: shortened, so that no test sits out a rest.
    DaemonTiming timing = testsupport::ShortTiming();
  };
  static testsupport::ServerStandInOptions DefaultStandIn() {
    testsupport::ServerStandInOptions o;
    o.tokens = {kToken};
    o.views = {kView};
    o.expect_tls = true;
    return o;
  }
  // Changes the options before SetUp uses them.
  virtual void Configure(Options& /*options*/) {}

  void SetUp() override {
    Configure(options_);
    app_.set_timing(options_.timing);
    WriteFile("levels.conf", options_.log_levels);
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(), 50));
    ui_ = std::make_unique<testsupport::UiStandIn>();
    ASSERT_GT(ui_->port(), 0) << ui_->error();
    WriteFile("system.filter", "");
    WriteFile("daemon.conf", "filter_db_path=" + Path("filter.db") + "\nfstat_db_path=" + Path("fstat.db") +
                                 "\nsystem_filter_path=" + Path("system.filter") + "\npid_file_path=" +
                                 Path("daemon.pid") + "\nlog_file_path=" + Path("test.log") +
                                 "\nlog_level_file_path=" + Path("levels.conf") + "\ncert_path=" +
                                 testsupport::PkiPath("ca.pem") + "\nworker_count=" +
                                 std::to_string(options_.worker_count) + "\nui_port=" +
                                 std::to_string(ui_->port()) + "\n" + options_.settings);
    ASSERT_EQ(0, Settings::getInstance()->loadConfigSettings(Path("daemon.conf").c_str()));
    if (options_.server) {
      ASSERT_TRUE(server_.Start(options_.stand_in));
    }
  }

  void TearDown() override {
    (void)app_.do_unlink();
    server_.Stop();
    Channel::SetVerifyCAPath("");
    // Its thread may still log: it goes before the logger is reset.
    ui_.reset();
    Settings::getInstance()->resetToDefaults();
    Logger::ResetForTest();
  }

  // ---- Requests, handled on this thread ----

  // The reply of `action` with the members of `req`; "ack" is the loop's
  // and is not in it.
  PObject Call(const std::string& action, PObject req = PObject()) {
    req["action"] = action.c_str();
    PObject rsp;
    app_.handle_control(req, rsp);
    return rsp;
  }
  // "link", which must succeed.
  void Link() {
    PObject rsp = Call("link");
    ASSERT_FALSE(rsp.hasMember("error")) << Text(rsp);
  }
  // A "link_connection" request for the stand-in over TLS: every key of a
  // connection.
  PObject ConnectionRequest(uint64_t conn_id) const {
    PObject req;
    req["connection_id"] = static_cast<unsigned long long>(conn_id);
    req["server_ip"] = "127.0.0.1";
    req["server_port"] = server_.port();
    req["session"] = kToken;
    req["use_ssl"] = 1;
    req["ssl_server_hostname"] = "server.test";
    req["ssl_allow_untrust"] = 0;
    req["username"] = "tester";
    req["computer_name"] = "PC1";
    req["connection_mode"] = 0;
    req["package_version"] = 3000;
    req["package_major"] = 3;
    req["package_minor"] = 1;
    return req;
  }
  // "link_connection" of ConnectionRequest(conn_id), which must succeed.
  void Connect(uint64_t conn_id = 1) {
    PObject rsp = Call("link_connection", ConnectionRequest(conn_id));
    EXPECT_FALSE(rsp.hasMember("error")) << Text(rsp);
  }

  // ---- Sessions ----

  // The local folder and the configuration folder of session `id`.
  std::string LocalPath(uint64_t id) const { return Path("local" + std::to_string(id)); }
  std::string ConfigPath(uint64_t id) const { return Path("config" + std::to_string(id)); }
  // Makes both folders with the three rule files (the white list lets every
  // extension through unless given).
  void MakeSessionFolders(uint64_t id, const std::string& black = "",
                          const std::string& white = "[File]\nwhite_ext = \"*\"\n", const std::string& force = "") {
    const std::string n = std::to_string(id);
    ASSERT_EQ(0, mkdir(LocalPath(id).c_str(), 0755));
    ASSERT_EQ(0, mkdir(ConfigPath(id).c_str(), 0755));
    ASSERT_EQ(0, mkdir((ConfigPath(id) + "/conf").c_str(), 0755));
    WriteFile("config" + n + "/conf/blacklist.filter", black);
    WriteFile("config" + n + "/conf/whitelist.filter", white);
    WriteFile("config" + n + "/conf/force-hash-check-list.filter", force);
  }
  // An "add_session" request of session `id` with its five required keys;
  // the remote folder is "/" unless the caller sets "remote_path".
  PObject SessionRequest(uint64_t id, uint64_t conn_id = 1) const {
    PObject req;
    req["connection_id"] = static_cast<unsigned long long>(conn_id);
    req["session_id"] = static_cast<unsigned long long>(id);
    req["view_id"] = static_cast<unsigned long long>(kView);
    req["config_path"] = ConfigPath(id).c_str();
    req["sync_folder"] = LocalPath(id).c_str();
    return req;
  }
  // Registers session `id` the way a session is created, without "add_session":
  // folders (MakeSessionFolders first), event database, rule lists, the
  // registry entry and, while linked, the folder watch. For tests of other
  // handlers.
  Registry::Entry RegisterSession(uint64_t id, uint64_t conn_id = 1, const std::string& remote_path = "/",
                                  bool pause = false, bool read_only = false) {
    const std::string conf = ConfigPath(id) + "/conf";
    EXPECT_EQ(0, mkdir((ConfigPath(id) + "/db").c_str(), 0755));
    EXPECT_EQ(0, mkdir((ConfigPath(id) + "/db/sign").c_str(), 0755));
    Registry::Entry entry;
    entry.sess_id = id;
    entry.conn_id = conn_id;
    entry.view_id = kView;
    entry.node_id = kView;
    entry.recursive = true;
    entry.read_only = read_only;
    entry.pause = pause;
    entry.local_path = LocalPath(id).c_str();
    entry.remote_path = remote_path.c_str();
    entry.config_path = ConfigPath(id).c_str();
    testsupport::OpenSessionObjects(entry, conf, EventDbPath(id));
    if (app_.detector() != nullptr) {
      EXPECT_EQ(0, app_.detector()->AddWatch(entry.local_path, id));
    }
    Registry::getInstance().Set(entry);
    return entry;
  }
  std::string EventDbPath(uint64_t id) const { return ConfigPath(id) + "/db/event-db.sqlite"; }
  // The stored entry of session `id` (the test fails when there is none).
  static Registry::Entry Entry(uint64_t id) {
    Registry::Entry e;
    EXPECT_EQ(1, Registry::getInstance().Find(id, e)) << id;
    return e;
  }

  // ---- Observations ----

  std::string Log() const { return ReadFile("test.log"); }
  bool Logged(const std::string& piece) const { return Log().find(piece) != std::string::npos; }
  size_t CountInLog(const std::string& piece) const { return testsupport::CountOf(Log(), piece); }
  // Waits until the linked daemon has looked at everything made before the
  // call: two Detector waits that found no change, a Syncer round that
  // found every session up to date, and then nothing queued or in a
  // worker's hands for session `sess_id`. A test that asserts that nothing happens checks after
  // it. false (with the log) after `timeout`.
  bool WaitDaemonLooked(uint64_t sess_id, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    size_t mark = Log().size();
    auto count = [&](const std::string& log, const std::string& piece) {
      // The log is moved aside once it grows past its limit: the new file
      // holds only what came after the mark.
      if (log.size() < mark) mark = 0;
      return testsupport::CountOf(log.substr(mark), piece);
    };
    const bool looked = WaitUntil(
        [&] {
          const std::string log = Log();
          if (count(log, "): No incoming events") < 2 || count(log, "): all session is uptodate") < 1) return false;
          if (EventManager::getInstance()->GetAllPendingEventCount(sess_id) != 0) return false;
          for (Worker* w : app_.workers()) {
            Worker::ProcessEvent_T current;
            w->GetCurrentProcessEventInfo(current);
            if (current.session_id != 0) return false;
          }
          return true;
        },
        timeout);
    EXPECT_TRUE(looked) << "the daemon did not look again:\n" << Log();
    return looked;
  }
  // The stand-in's journal "request" events, of `action` alone unless "".
  std::vector<nlohmann::json> Requests(const std::string& action = "") {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& e : server_.Journal()) {
      if (e.value("event", "") != "request") continue;
      if (!action.empty() && e.value("action", "") != action) continue;
      out.push_back(e);
    }
    return out;
  }
  // The output of `sql` on the database at `db`, opened read-only by the
  // sqlite3 program (the test fails when it does not run).
  static std::string Sqlite(const std::string& db, const std::string& sql) {
    const testsupport::CommandResult r = testsupport::RunSqlite3({"-readonly", db, sql});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  }
  // The threads of this process.
  static size_t ThreadCount() {
    size_t n = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
  }
  // Calls `pred` at once and every 20 ms until it holds; false after
  // `timeout`.
  static bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return testsupport::ServerStandIn::WaitFor(pred, timeout);
  }
  static std::string Text(const PObject& obj) { return obj.toString().c_str_utf8(); }

  Options options_;
  VelkoraApp app_;
  std::unique_ptr<testsupport::UiStandIn> ui_;
  testsupport::ServerStandIn server_;
};

}  // namespace apptest

#endif  // TESTS_APP_APP_FIXTURE_H_
