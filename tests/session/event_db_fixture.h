// Fixture of the event-database tests: a session folder layout in a
// temporary folder (db/ with db/sign, as the application prepares it), the
// log in a file with every event-database message switched on (so each
// format runs under the sanitizers), the sqlite3 shell as an independent
// reader and writer, and the walk of a FileList as text.
#ifndef TESTS_SESSION_EVENT_DB_FIXTURE_H_
#define TESTS_SESSION_EVENT_DB_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "foundation/logger.h"
#include "session/db_file_info.h"
#include "session/file_event_db.h"
#include "session/file_list.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace event_db_test {

using Lines = std::vector<std::string>;

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The reverse walk of `list`, one line per entry: "d /a" or "f /a/x".
inline Lines Walk(const FileList& list) {
  Lines out;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    out.push_back(std::string(it->is_dir() ? "d " : "f ") + it->path.c_str_utf8());
  }
  return out;
}

// A file record with the given ids; the other fields are set to values
// that tell records apart.
inline DBFileInfo FileRecord(const std::string& path, uint64_t sync_id = 1, uint64_t max_id = 1) {
  DBFileInfo e;
  e.path = path.c_str();
  e.fileType = 0;
  e.syncID = sync_id;
  e.maxSyncID = max_id;
  e.fileSize = 100;
  e.fileCheckSum = "hash";
  e.fileModTime = 1000;
  e.aclHash = "acl";
  return e;
}

inline DBFileInfo FolderRecord(const std::string& path, uint64_t sync_id = 1, uint64_t max_id = 1) {
  DBFileInfo e = FileRecord(path, sync_id, max_id);
  e.fileType = 1;
  e.fileSize = 0;
  e.fileCheckSum = "";
  return e;
}

class EventDBTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf", "event_db_debug=7\nflist_debug=7\nfile_op_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(), 50));
    ASSERT_EQ(0, mkdir(Path("db").c_str(), 0700));
    ASSERT_EQ(0, mkdir(Path("db/sign").c_str(), 0700));
  }
  void TearDown() override { Logger::ResetForTest(); }

  std::string DBPath() const { return Path("db/event-db.sqlite"); }
  std::string Sign(const std::string& rel) const { return Path("db/sign/" + rel); }

  void Open() { ASSERT_EQ(0, db.initialize(DBPath().c_str())); }

  // Runs `sql` with the sqlite3 shell on the database; a failing run fails
  // the test. The output has one "|"-separated line per row.
  std::string Shell(const std::string& sql) const {
    testsupport::CommandResult r = testsupport::RunCommand({"sqlite3", "-batch", "-noheader", DBPath(), sql});
    EXPECT_EQ(0, r.exit_code) << sql << "\n" << r.err;
    return r.out;
  }

  // The paths of event_table (or `table`), sorted by byte, one per line.
  std::string Paths(const std::string& table = "event_table") const {
    return Shell("SELECT path FROM " + table + " ORDER BY path;");
  }

  void Write(const DBFileInfo& e) { ASSERT_EQ(0, db.setEventInfo(e)) << e.path.c_str_utf8(); }

  // A signature file with `content`, made in the test folder.
  std::string MakeSignature(const std::string& name, const std::string& content) {
    WriteFile(name, content);
    return Path(name);
  }

  std::string Log() const { return ReadFile("test.log"); }

  FileEventDB db;
};

}  // namespace event_db_test

#endif  // TESTS_SESSION_EVENT_DB_FIXTURE_H_
