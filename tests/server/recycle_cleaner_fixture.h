// Fixture of the recycle cleaner's tests: one session folder with its
// working and recycle folders, an event database, a clock of the test's
// choosing, and a second SQLite connection that sets the records' times as
// the tests need them (the database stamps them with time()).
#ifndef TESTS_SERVER_RECYCLE_CLEANER_FIXTURE_H_
#define TESTS_SERVER_RECYCLE_CLEANER_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <set>
#include <string>

#include "foundation/logger.h"
#include "platform/local_time.h"
#include "server/recycle_cleaner.h"
#include "session/detector.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "support/temp_dir.h"

namespace recycle_test {

// The clock the cleaner reads: fixed by the test.
inline std::atomic<time_t> g_now{0};
inline time_t FakeNow() { return g_now.load(); }

class RecycleCleanerTest : public testsupport::TempDirTest {
 protected:
  static constexpr uint64_t kSess = 7;

  void SetUp() override {
    WriteFile("levels.conf", "recycle_cleaner_debug=7\nevent_db_debug=4\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(),
                                    50));
    now_ = time(nullptr);
    g_now = now_;
    platform::SetClockForTest(&FakeNow);
    ASSERT_EQ(0, mkdir(Path("s").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path(Work()).c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path(Bin()).c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("db").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("db/sign").c_str(), 0755));
    OpenDb();
  }

  void TearDown() override {
    Registry::getInstance().Clear();
    platform::SetClockForTest(nullptr);
    Logger::Destroy();
  }

  // Session-relative folders, relative to the temporary folder.
  static std::string Work() { return std::string("s/") + kWorkingDirName; }
  static std::string Bin() { return Work() + "/" + kRecycleDirName; }
  std::string DbFile() const { return Path("db/event-db.sqlite"); }

  // Opens the session's database and registers the session (recycle_time 0).
  void OpenDb() {
    db_ = new FileEventDB;
    ASSERT_EQ(0, db_->initialize(DbFile().c_str()));
    Registry::Entry entry;
    entry.sess_id = kSess;
    entry.conn_id = 1;
    entry.local_path = Path("s").c_str();
    entry.event_db = db_;
    Registry::getInstance().Set(entry);
  }

  // Records `path` in the recycle table as a worker does, then sets its
  // time to `age` seconds before the test's clock.
  void Recycle(const std::string& path, uint32_t age) {
    ASSERT_EQ(0, db_->addFileToRecycleBin(path.c_str(), 1, "hash", ""));
    SetAge(path, age);
  }

  // On a second connection: the record's time becomes now - age.
  void SetAge(const std::string& path, int64_t age) {
    Exec("UPDATE recycle_bin_table SET time = " + std::to_string(static_cast<int64_t>(now_) - age) +
         " WHERE path = '" + path + "';");
  }

  // Runs `sql` on a connection of its own.
  void Exec(const std::string& sql) {
    sqlite3* c = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(DbFile().c_str(), &c));
    char* err = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(c, sql.c_str(), nullptr, nullptr, &err)) << (err ? err : "") << "\n" << sql;
    sqlite3_free(err);
    sqlite3_close(c);
  }

  // The recycle records' paths, read on a connection of their own.
  std::set<std::string> Records() {
    std::set<std::string> out;
    sqlite3* c = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(DbFile().c_str(), &c, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(c, "SELECT path FROM recycle_bin_table", -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) out.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    } else {
      ADD_FAILURE() << sqlite3_errmsg(c);
    }
    sqlite3_finalize(st);
    sqlite3_close(c);
    return out;
  }

  // The stored time of one record (-1 when there is none).
  int64_t RecordTime(const std::string& path) {
    int64_t t = -1;
    sqlite3* c = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(DbFile().c_str(), &c, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* st = nullptr;
    std::string sql = "SELECT time FROM recycle_bin_table WHERE path = '" + path + "'";
    if (sqlite3_prepare_v2(c, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
      t = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(c);
    return t;
  }

  // The session's recycle_time as the registry holds it.
  uint32_t RecycleTime() {
    Registry::Entry e;
    EXPECT_EQ(1, Registry::getInstance().Find(kSess, e));
    return e.recycle_time;
  }

  void SetRecycleTime(uint32_t t) {
    Registry::Entry e;
    e.sess_id = kSess;
    Registry::getInstance().UpdateRecycleTime(e, t);
  }

  // What a worker does after recycling: lowers the session's recycle_time.
  void InitRecycleTime(uint32_t t) {
    Registry::Entry e;
    e.sess_id = kSess;
    Registry::getInstance().InitRecycleTime(e, t);
  }

  bool Exists(const std::string& rel) {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }
  void MakeDir(const std::string& rel) { ASSERT_EQ(0, mkdir(Path(rel).c_str(), 0755)) << rel; }

  bool Logged(const std::string& piece) { return ReadFile("test.log").find(piece) != std::string::npos; }

  time_t now_ = 0;
  FileEventDB* db_ = nullptr;  // owned by the registry's entry
};

}  // namespace recycle_test

#endif  // TESTS_SERVER_RECYCLE_CLEANER_FIXTURE_H_
