// Fixture of the event queue's tests: a user-interface stand-in on a port of
// its own (named in the settings), a file-status database and sessions in
// the registry, all in a fresh temporary folder. TearDown empties the
// process-wide objects and puts the settings and the logger back.
#ifndef TESTS_SESSION_EVENT_QUEUE_FIXTURE_H_
#define TESTS_SESSION_EVENT_QUEUE_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "filter/file_status_db.h"
#include "foundation/logger.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "settings/settings.h"
#include "support/temp_dir.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"

// One row of the file-status database.
struct StatusRow {
  std::string path;
  int status;
  int type;
  bool operator==(const StatusRow& o) const { return path == o.path && status == o.status && type == o.type; }
};

inline std::ostream& operator<<(std::ostream& os, const StatusRow& r) {
  return os << "{" << r.path << ", " << r.status << ", " << r.type << "}";
}

class EventQueueTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf", LogLevels());
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(),
                                    50));
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
    ASSERT_EQ(FileStatusDB::initialize(Path("fstat.db").c_str()), 0);
  }

  void TearDown() override {
    EventManager::getInstance()->Clear();
    Registry::getInstance().Clear();
    FileStatusDB::destroy();
    Settings::getInstance()->resetToDefaults();
    // The stand-in's thread logs (its channels' Close); stop it before the
    // logger goes back to its start state.
    ui_.reset();
    Logger::ResetForTest();
  }

  // The log-level file. By default every message of the queue, the
  // generator and the notifier, so each format runs under the sanitizers.
  virtual std::string LogLevels() const { return "event_mgr_debug=7\nworker_debug=7\nchannel_ui_debug=7\n"; }

  // Registers session `id` with the local folder `local_path`; with_db also
  // gives it an event database in the temporary folder.
  Registry::Entry AddSession(uint64_t id, const std::string& local_path, bool with_db = false) {
    Registry::Entry entry;
    entry.sess_id = id;
    entry.conn_id = 1;
    entry.local_path = local_path.c_str();
    if (with_db) {
      const std::string dir = Path("db" + std::to_string(id));
      EXPECT_EQ(mkdir(dir.c_str(), 0700), 0);
      EXPECT_EQ(mkdir((dir + "/sign").c_str(), 0700), 0);
      auto* db = new FileEventDB;
      entry.event_db = db;
      EXPECT_EQ(db->initialize((dir + "/event-db.sqlite").c_str()), 0);
    }
    Registry::getInstance().Set(entry);
    return entry;
  }

  // Whether the log holds `piece`.
  bool Logged(const std::string& piece) { return ReadFile("test.log").find(piece) != std::string::npos; }

  using Row = StatusRow;
  // The file-status rows by a plain query, in path order.
  std::vector<Row> StatusRows() {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Path("fstat.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open the file-status database";
      sqlite3_close(db);
      return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT path, syncStatus, fileType FROM fstatinfo ORDER BY path", -1, &st,
                           nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) {
        rows.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_int(st, 1),
                        sqlite3_column_int(st, 2)});
      }
    } else {
      ADD_FAILURE() << sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
  }

  std::unique_ptr<testsupport::UiStandIn> ui_;
};

#endif  // TESTS_SESSION_EVENT_QUEUE_FIXTURE_H_
