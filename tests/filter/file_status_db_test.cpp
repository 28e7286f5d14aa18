#include "filter/file_status_db.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sqlite_shell.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace {

using filter_test::ReadAll;
using ::testing::HasSubstr;

FileStatusInfo Row(const char* path, int type = SFT_FILE1, int status = FSTAT_SYNCING) {
  FileStatusInfo info;
  info.fileType = type;
  info.syncStatus = status;
  info.path = path;
  return info;
}

class FileStatusDBTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    log_ = filter_test::StartLog(Path());
    db_path_ = Path("fstat.db");
    ASSERT_EQ(0, FileStatusDB::initialize(db_path_.c_str()));
  }
  void TearDown() override {
    FileStatusDB::destroy();
    Logger::ResetForTest();
  }

  std::string Sql(const std::string& sql) const { return filter_test::Shell(db_path_, sql); }
  std::string Paths() const { return Sql("SELECT path FROM fstatinfo ORDER BY path;"); }
  void Add(const std::vector<const char*>& paths, int status = FSTAT_SYNCING) {
    for (const char* p : paths) ASSERT_EQ(0, FileStatusDB::setFileSyncStat(Row(p, SFT_FILE1, status))) << p;
  }
  std::string Log() const { return ReadAll(log_); }

  std::string db_path_;
  std::string log_;
};

TEST_F(FileStatusDBTest, OtherProcessSeesBackslashPathsAndNewIds) {
  EXPECT_EQ("wal\n", Sql("PRAGMA journal_mode;"));
  ASSERT_EQ(0, FileStatusDB::setFileSyncStat(Row("/home/u/s/a.txt")));
  ASSERT_EQ(0, FileStatusDB::setFileSyncStat(Row("/home/u/s", SFT_DIR1)));
  EXPECT_EQ("1|\\home\\u\\s\\a.txt|0|2\n2|\\home\\u\\s|1|2\n", Sql("SELECT * FROM fstatinfo ORDER BY id;"));
  // Written again: one row for the path, with a new id.
  ASSERT_EQ(0, FileStatusDB::setFileSyncStat(Row("/home/u/s/a.txt", SFT_FILE1, FSTAT_SYNCED)));
  EXPECT_EQ("2|\\home\\u\\s|1|2\n3|\\home\\u\\s\\a.txt|0|1\n", Sql("SELECT * FROM fstatinfo ORDER BY id;"));
}

TEST_F(FileStatusDBTest, RemovalByPathTakesOnlyThatRow) {
  Add({"/x/d", "/x/d/f", "/x/d/e/g", "/x/dd"});
  ASSERT_EQ(0, FileStatusDB::rmFileStatByPath("/x/d"));
  EXPECT_EQ("\\x\\d\\e\\g\n\\x\\d\\f\n\\x\\dd\n", Paths());
  // The caller's backslash form names the same row.
  ASSERT_EQ(0, FileStatusDB::rmFileStatByPath("\\x\\dd"));
  ASSERT_EQ(0, FileStatusDB::rmFileStatByPath("/x/absent"));
  EXPECT_EQ("\\x\\d\\e\\g\n\\x\\d\\f\n", Paths());
}

TEST_F(FileStatusDBTest, RemoveAllEntryEmptiesTheTable) {
  EXPECT_EQ(0, FileStatusDB::removeAllEntry());
  Add({"/a", "/b"});
  EXPECT_EQ(0, FileStatusDB::removeAllEntry());
  EXPECT_EQ("0\n", Sql("SELECT count(*) FROM fstatinfo;"));
}

TEST_F(FileStatusDBTest, EmptyPathIsRefusedAndTheOldPathKept) {
  EXPECT_EQ(-1, FileStatusDB::initialize(""));
  EXPECT_THAT(Log(), HasSubstr("): fstat-db path is empty.\n"));
  EXPECT_EQ(0, FileStatusDB::setFileSyncStat(Row("/still/here")));
  EXPECT_EQ("\\still\\here\n", Paths());
}

TEST_F(FileStatusDBTest, UnopenablePathIsKeptAndRowOperationsFailWithItsCode) {
  ASSERT_EQ(0, mkdir(Path("folder.db").c_str(), 0700));
  for (const std::string& bad : {Path("missing/fstat.db"), Path("folder.db")}) {
    EXPECT_EQ(-1, FileStatusDB::initialize(bad.c_str())) << bad;
    // The new path is kept: writes now go to it and fail with SQLite's code.
    int rc = FileStatusDB::setFileSyncStat(Row("/a"));
    EXPECT_GT(rc, 0) << bad;
    EXPECT_GT(FileStatusDB::rmFileStatByPath("/a"), 0) << bad;
    EXPECT_EQ(-1, FileStatusDB::removeAllEntry()) << bad;
  }
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("): open db failed. db-path:[" + Path("missing/fstat.db") + "] errmsg:["));
  EXPECT_THAT(log, HasSubstr("): open db failed. db-path:[" + Path("missing/fstat.db") + "] errCode:[14]"));
  EXPECT_THAT(log, HasSubstr("): Open db failed. db-path:[" + Path("missing/fstat.db") + "] errCode:[14]"));
  EXPECT_THAT(log,
              HasSubstr("): FileStatusDB: failed to open database (" + Path("missing/fstat.db") + ")\n"));
  EXPECT_EQ("", Paths());
}

TEST_F(FileStatusDBTest, AfterDestroyNothingIsOpened) {
  FileStatusDB::destroy();
  ASSERT_EQ(0, unlink(db_path_.c_str()));
  EXPECT_EQ(-1, FileStatusDB::setFileSyncStat(Row("/a")));
  EXPECT_EQ(-1, FileStatusDB::rmFileStatByPath("/a"));
  EXPECT_EQ(-1, FileStatusDB::removeAllEntry());
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  struct stat st;
  EXPECT_NE(0, stat(db_path_.c_str(), &st));
}

// The connection is kept, but rows always land in the file now at the path:
// a new path, or a file removed and made anew between two links.
TEST_F(FileStatusDBTest, RowsFollowThePathAndTheFileAtIt) {
  Add({"/one"});
  std::string second = Path("second.db");
  ASSERT_EQ(0, FileStatusDB::initialize(second.c_str()));
  Add({"/two"});
  EXPECT_EQ("\\one\n", Paths());
  EXPECT_EQ("\\two\n", filter_test::Shell(second, "SELECT path FROM fstatinfo;"));

  FileStatusDB::destroy();
  for (const char* suffix : {"", "-wal", "-shm"}) (void)unlink((second + suffix).c_str());
  ASSERT_EQ(0, FileStatusDB::initialize(second.c_str()));
  Add({"/three"});
  EXPECT_EQ("\\three\n", filter_test::Shell(second, "SELECT path FROM fstatinfo;"));

  // Removed behind the daemon's back: a new, empty file without the table,
  // never rows in the removed one.
  for (const char* suffix : {"", "-wal", "-shm"}) (void)unlink((second + suffix).c_str());
  EXPECT_EQ(SQLITE_ERROR, FileStatusDB::setFileSyncStat(Row("/four")));
  EXPECT_EQ("", filter_test::Shell(second, "SELECT name FROM sqlite_master;"));
}

TEST_F(FileStatusDBTest, DroppedTableGivesSqliteCode) {
  Add({"/a"});
  Sql("DROP TABLE fstatinfo;");
  EXPECT_EQ(SQLITE_ERROR, FileStatusDB::setFileSyncStat(Row("/b")));
  EXPECT_EQ(SQLITE_ERROR, FileStatusDB::rmFileStatByPath("/a"));
  EXPECT_EQ(-1, FileStatusDB::removeAllEntry());
  FileStatusInfo out;
  EXPECT_EQ(SQLITE_ERROR, FileStatusDB::getFileSyncStat("/a", &out));
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("): sqlite3_exec error. errCode:(1) error:[no such table: fstatinfo]\n"));
  EXPECT_THAT(log, HasSubstr("): FileStatusDB: sqlite3_exec: no such table: fstatinfo  (1)\n"));
  EXPECT_THAT(log, HasSubstr("): get fstat info failed. file-path:[\\a] errCode:[1] errmsg:["));
}

// Another process holds the write lock for a while: the write waits for it
// (busy timeout) and then succeeds, and both rows are there.
TEST_F(FileStatusDBTest, WriterWaitsForAnotherProcessesLock) {
  const std::string marker = Path("locked");
  std::thread holder([&] {
    std::string script =
        "BEGIN IMMEDIATE;\nINSERT INTO fstatinfo VALUES (NULL, 'other', 0, 2);\n.shell touch " + marker +
        "\n.shell sleep 1\nCOMMIT;\n";
    testsupport::CommandResult r = testsupport::RunCommand({"sqlite3", "-batch", db_path_}, script);
    EXPECT_EQ(0, r.exit_code) << r.err;
  });
  struct stat st;
  for (int i = 0; i < 1000 && stat(marker.c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(0, stat(marker.c_str(), &st)) << "the shell never took the lock";
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, FileStatusDB::setFileSyncStat(Row("/mine")));
  auto waited = std::chrono::steady_clock::now() - start;
  holder.join();
  EXPECT_GE(waited, std::chrono::milliseconds(500));
  EXPECT_EQ("\\mine\nother\n", Paths());
}

// Subtrees and lookups compare the stored bytes exactly: no case folding,
// no wildcards, either separator below the path.
TEST_F(FileStatusDBTest, SubtreeRemovalIsExact) {
  Sql("INSERT INTO fstatinfo (path, fileType, syncStatus) VALUES ('\\x\\a/y', 0, 2), ('\\x\\a/', 0, 2);");
  Add({"/x/a", "/x/a/b", "/x/a/b/c", "/x/ab", "/x/a_b", "/x/A/b", "/x/a]", "/x/a0", "/x/[a]", "/x/[a]/q",
       "/x/*", "/x/*/q", "/x/%"});
  struct Case {
    const char* path;
    const char* left;
  };
  // Each case runs on what the ones before it left.
  const Case cases[] = {
      {"/x/a",
       "\\x\\%\n\\x\\*\n\\x\\*\\q\n\\x\\A\\b\n\\x\\[a]\n\\x\\[a]\\q\n\\x\\a0\n\\x\\a]\n\\x\\a_b\n\\x\\ab\n"},
      {"/x/[a]", "\\x\\%\n\\x\\*\n\\x\\*\\q\n\\x\\A\\b\n\\x\\a0\n\\x\\a]\n\\x\\a_b\n\\x\\ab\n"},
      {"/x/*", "\\x\\%\n\\x\\A\\b\n\\x\\a0\n\\x\\a]\n\\x\\a_b\n\\x\\ab\n"},
      {"/x/%", "\\x\\A\\b\n\\x\\a0\n\\x\\a]\n\\x\\a_b\n\\x\\ab\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(0, FileStatusDB::rmFileSyncStat(Row(c.path))) << c.path;
    EXPECT_EQ(c.left, Paths()) << c.path;
  }
}

TEST_F(FileStatusDBTest, LookupIsExact) {
  Add({"/x/a_b", "/x/aXb", "/x/A_B"});
  FileStatusInfo out = Row("stale", SFT_DIR1, FSTAT_SYNCED);
  EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/x/a_b", &out));
  EXPECT_EQ("\\x\\a_b", out.path);
  EXPECT_EQ(SFT_FILE1, out.fileType);
  EXPECT_EQ(FSTAT_SYNCING, out.syncStatus);
  out = Row("stale", SFT_DIR1, FSTAT_SYNCED);
  EXPECT_EQ(0, FileStatusDB::getFileSyncStat("/x/a%", &out));
  EXPECT_EQ("", out.path);
  EXPECT_EQ(0, out.fileType);
  EXPECT_EQ(0, out.syncStatus);

  EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("", &out));
  EXPECT_EQ(-1, FileStatusDB::getFileSyncStat("/x", nullptr));
  EXPECT_THAT(Log(), HasSubstr("): filepath is empty.\n"));
  EXPECT_THAT(Log(), HasSubstr("): FileStatusInfo  is NULL.\n"));
}

TEST_F(FileStatusDBTest, SyncingQueries) {
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  Add({"/x/d", "/x/dd/f", "/x/D/f"});
  Add({"/x/d/done"}, FSTAT_SYNCED);
  EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
  // Only the folder itself, a sibling with a longer name and a row in
  // another case are syncing: nothing below /x/d is.
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("/x/d"));
  Add({"/x/d/e/f"});
  EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("/x/d"));
  EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("\\x\\d\\e"));
  EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));
  EXPECT_THAT(Log(), HasSubstr("): prefix dirpath is empty.\n"));

  EXPECT_EQ(0, FileStatusDB::updateAllSyncingEntry());
  EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
  EXPECT_EQ("0\n", Sql("SELECT count(*) FROM fstatinfo WHERE syncStatus != 1;"));
}

TEST_F(FileStatusDBTest, ChildrenOfAFolderInPages) {
  Add({"/x", "/x/b", "/x/a", "/x/a/deep", "/x/c/d/e", "/x/c", "/xy", "/X/z"});
  int size = -1;
  std::unique_ptr<FileStatusInfo[]> rows = FileStatusDB::getFileSyncStats("/x", 0, 10, size);
  ASSERT_EQ(3, size);
  EXPECT_EQ("\\x\\a", rows[0].path);
  EXPECT_EQ("\\x\\b", rows[1].path);
  EXPECT_EQ("\\x\\c", rows[2].path);

  rows = FileStatusDB::getFileSyncStats("/x", 1, 1, size);
  ASSERT_EQ(1, size);
  EXPECT_EQ("\\x\\b", rows[0].path);

  rows = FileStatusDB::getFileSyncStats("/x", 5, 10, size);
  EXPECT_EQ(nullptr, rows);
  EXPECT_EQ(0, size);
  rows = FileStatusDB::getFileSyncStats("", 0, 10, size);
  EXPECT_EQ(nullptr, rows);
  EXPECT_EQ(0, size);
  EXPECT_THAT(Log(), HasSubstr("): dirpath is empty.\n"));
}

}  // namespace
