// Fixture of the syncers' tests: the storage-server stand-in with one view,
// a connection to it in a manager of the test's own, sessions in the
// process-wide registry (each with a local folder, an event database and a
// folder of the view as its remote path), the filter database, the
// user-interface stand-in the error reports go to, and a drainer in place
// of the workers. Each test case runs in its own process under ctest; the
// fixture leaves the process-wide objects empty for the next case of a
// whole run.
#ifndef TESTS_SERVER_SYNCER_FIXTURE_H_
#define TESTS_SERVER_SYNCER_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "server/progress_syncer.h"
#include "server/syncer.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "support/text_count.h"
#include "support/event_drainer.h"
#include "support/pki.h"
#include "support/process_objects.h"
#include "support/server_stand_in.h"
#include "support/short_timing.h"
#include "support/temp_dir.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"
#include "transport/channel.h"

namespace syncer_test {

class SyncerTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf",
              "syncer_debug=7\nprogress_syncer_debug=7\nrecycle_cleaner_debug=7\nworker_debug=7\nevent_mgr_debug=4\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(),
                                    50));
    Channel::SetVerifyCAPath(testsupport::PkiPath("ca.pem").c_str());
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
    ASSERT_EQ(0, FileStatusDB::initialize(Path("fstat.db").c_str()));
    ASSERT_EQ(0, FilterDB::getInstance()->initialize(Path("filter.db").c_str()));
    ASSERT_TRUE(server_.Start(Options()));
    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server_.port();
    info.server_name = "server.test";
    info.session = "test-token";
    info.use_ssl = true;
    ASSERT_EQ(0, manager_.add(info, nullptr, nullptr));
  }

  void TearDown() override {
    drainer_.reset();
    EventManager::getInstance()->Clear();
    ProgressCache::getInstance()->clear();
    Registry::getInstance().Clear();
    manager_.clear();
    server_.Stop();
    Settings::getInstance()->resetToDefaults();
    ui_.reset();
    FilterDB::getInstance()->destroy();
    FileStatusDB::destroy();
    Channel::SetVerifyCAPath("");
    Logger::Destroy();
  }

  virtual testsupport::ServerStandInOptions Options() const { return {}; }

  // Registers session `id` on connection `conn_id` with the remote folder
  // "/r<id>" (made on the server), a local folder and an event database.
  Registry::Entry AddSession(uint64_t id, uint64_t conn_id = 1) {
    const std::string n = std::to_string(id);
    EXPECT_NE(0u, server_.Mkdir("/r" + n));
    EXPECT_EQ(0, mkdir(Path("local" + n).c_str(), 0755));
    EXPECT_EQ(0, mkdir(Path("db" + n).c_str(), 0755));
    EXPECT_EQ(0, mkdir(Path("db" + n + "/sign").c_str(), 0755));
    Registry::Entry entry;
    entry.sess_id = id;
    entry.conn_id = conn_id;
    entry.view_id = 1;
    entry.node_id = 40 + id;
    entry.recursive = true;
    entry.local_path = Path("local" + n).c_str();
    entry.remote_path = ("/r" + n).c_str();
    auto* db = new FileEventDB;
    entry.event_db = db;
    EXPECT_EQ(0, db->initialize(DbFile(id).c_str()));
    Registry::getInstance().Set(entry);
    return entry;
  }

  std::string DbFile(uint64_t id) const { return Path("db" + std::to_string(id) + "/event-db.sqlite"); }

  void SetPause(uint64_t id, bool pause) {
    Registry::Entry e;
    ASSERT_EQ(1, Registry::getInstance().Find(id, e));
    e.pause = pause;
    Registry::getInstance().Set(e);
  }

  // The first column of the first row of `sql` on a connection of its own
  // ("" for none).
  static std::string Query(const std::string& db, const std::string& sql) {
    std::string out;
    sqlite3* c = nullptr;
    if (sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << db;
      sqlite3_close(c);
      return out;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(c, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr) {
        out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      }
    } else {
      ADD_FAILURE() << sqlite3_errmsg(c);
    }
    sqlite3_finalize(st);
    sqlite3_close(c);
    return out;
  }

  // The session's stored sync id, read independently.
  std::string StoredSyncId(uint64_t id) {
    return Query(DbFile(id), "SELECT value FROM config_table WHERE key='sync_id'");
  }

  // The journal's "pull_event" requests: {t, request} each.
  std::vector<nlohmann::json> Pulls() {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& e : server_.Journal()) {
      if (e.value("event", "") == "request" && e.value("action", "") == "pull_event") out.push_back(e);
    }
    return out;
  }
  // The pulls of one remote path.
  std::vector<nlohmann::json> PullsOf(const std::string& path) {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& e : Pulls()) {
      if (e["request"].value("path", "") == path) out.push_back(e);
    }
    return out;
  }

  // Connections to the stand-in accepted and not yet closed.
  size_t OpenConnections() {
    std::map<uint64_t, bool> open;
    for (const nlohmann::json& e : server_.Journal()) {
      const std::string event = e.value("event", "");
      if (event == "accept") open[e.value("conn", 0ull)] = true;
      if (event == "close") open.erase(e.value("conn", 0ull));
    }
    return open.size();
  }

  std::string Log() const { return ReadFile("test.log"); }
  bool Logged(const std::string& piece) const { return Log().find(piece) != std::string::npos; }
  size_t Count(const std::string& piece) const {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(piece); at != std::string::npos; at = log.find(piece, at + 1)) ++n;
    return n;
  }

  // With the rigs' short waits unless a test gives the daemon's own.
  std::unique_ptr<Syncer> MakeSyncer(const DaemonTiming& timing = testsupport::ShortTiming()) {
    return std::make_unique<Syncer>(nullptr, Collaborators(), timing);
  }
  std::unique_ptr<ProgressSyncer> MakeProgressSyncer(const DaemonTiming& timing = testsupport::ShortTiming()) {
    return std::make_unique<ProgressSyncer>(nullptr, Collaborators(), timing);
  }
  // The process-wide objects, with the fixture's connections.
  SyncerCollaborators Collaborators() {
    return SyncerCollaborators{Registry::getInstance(),         manager_,
                               *EventManager::getInstance(),    *ProgressCache::getInstance(),
                               *FilterDB::getInstance(),        testsupport::ProcessUiReporter(),
                               testsupport::ProcessGenerator()};
  }

  testsupport::EventDrainer& Drainer(bool held = false, std::function<void(const Event&)> on_take = {}) {
    drainer_ = std::make_unique<testsupport::EventDrainer>(held, std::move(on_take));
    return *drainer_;
  }

  // What each taken event of session `id` saw: the session's server events
  // then queued or in hand (itself included), and a stored sync id read by
  // `stored`. Filled on the drainer's thread; read it once the task is done.
  struct SeenAtTake {
    std::mutex mu;
    std::vector<size_t> pending;
    std::vector<std::string> stored;
  };
  testsupport::EventDrainer& RecordingDrainer(uint64_t id, SeenAtTake& seen, std::function<std::string()> stored) {
    return Drainer(false, [id, &seen, stored = std::move(stored)](const Event&) {
      const size_t pending = EventManager::getInstance()->GetPendingServerEvent(id);
      std::string now = stored();
      std::lock_guard<std::mutex> lock(seen.mu);
      seen.pending.push_back(pending);
      seen.stored.push_back(std::move(now));
    });
  }

  // Paths of the taken events.
  std::vector<std::string> TakenPaths() {
    std::vector<std::string> out;
    for (const Event& e : drainer_->Taken()) out.push_back(e.m_path.c_str_utf8());
    return out;
  }

  std::unique_ptr<testsupport::UiStandIn> ui_;
  testsupport::ServerStandIn server_;
  ConnectionManager manager_;
  std::unique_ptr<testsupport::EventDrainer> drainer_;
};

}  // namespace syncer_test

#endif  // TESTS_SERVER_SYNCER_FIXTURE_H_
