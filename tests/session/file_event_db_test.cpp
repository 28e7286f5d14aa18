// FileEventDB: schema, records, signature files and the sync id, checked
// against the file with the sqlite3 shell.
#include "session/file_event_db.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include "event_db_fixture.h"
#include "session/event.h"
#include "session/signature_name.h"
#include "support/tree_snapshot.h"

namespace {

using event_db_test::EventDBTest;
using event_db_test::Exists;
using event_db_test::FileRecord;
using event_db_test::FolderRecord;

TEST(SignatureNameTest, NamesFromRowIds) {
  const struct {
    uint64_t id;
    const char* name;
  } cases[] = {
      {0, ".00"},
      {5, ".05"},
      {255, ".ff"},
      {256, "01/.00"},
      {0x1234, "12/.34"},
      {0x10203, "01/02/.03"},
      {0x0100000000000000ull, "01/00/00/00/00/00/00/.00"},
      {UINT64_MAX, "ff/ff/ff/ff/ff/ff/ff/.ff"},
  };
  for (const auto& c : cases) {
    char out[kSignatureNameSize];
    int n = path_convert(c.id, out);
    EXPECT_STREQ(c.name, out) << c.id;
    EXPECT_EQ(static_cast<int>(strlen(c.name)), n);
  }
  char out[kSignatureNameSize];
  EXPECT_EQ(24, path_convert(UINT64_MAX, out));
}

// ---- Opening ----

TEST_F(EventDBTest, FreshDatabaseAsAnotherReaderSeesIt) {
  Open();
  EXPECT_EQ(
      "wal\n"
      "sync_id|0\nversion|8\n",
      Shell("PRAGMA journal_mode; SELECT * FROM config_table;"));
  EXPECT_EQ(
      "event_table_isExist_idx\nevent_table_macHash_idx\nevent_table_fileCheckSum_idx\n"
      "event_table_path_idx\nevent_table_maxSyncID_idx\nevent_table_syncID_idx\n"
      "sqlite_autoindex_event_table_1\n",
      Shell("SELECT name FROM pragma_index_list('event_table');"));
  EXPECT_EQ("recycle_bin_table_time_idx\nrecycle_bin_table_macHash_idx\nrecycle_bin_table_fileCheckSum_idx\n"
            "sqlite_autoindex_recycle_bin_table_1\n",
            Shell("SELECT name FROM pragma_index_list('recycle_bin_table');"));
  EXPECT_EQ("event_table_delete_trigger\n", Shell("SELECT name FROM sqlite_master WHERE type = 'trigger';"));
  // pragma_table_info shows the declared types in upper case.
  EXPECT_EQ("id|INTEGER|0|\nfileType|INTEGER|1|\nisExist|INTEGER|1|\nsyncID|NUMERIC|1|\nmaxSyncID|NUMERIC|1|\n"
            "fileSize|NUMERIC|1|\nfileModTime|NUMERIC|1|\nfileCheckSum|TEXT|1|\npath|TEXT|1|\n"
            "macHash|TEXT|1|''\ninode|INTEGER|1|0\nexecBit|INTEGER|1|0\nunixUid|INTEGER|1|0\n"
            "unixGid|INTEGER|1|0\nunixMode|INTEGER|1|0\nunixHash|TEXT|1|''\naclAttribute|TEXT|1|''\n"
            "aclHash|TEXT|1|''\nsharePrivDisabled|INTEGER|1|0\nsharePrivDenyList|TEXT|1|''\n"
            "sharePrivRoList|TEXT|1|''\nsharePrivRwList|TEXT|1|''\nsharePrivHash|TEXT|1|''\n",
            Shell("SELECT name, type, \"notnull\", dflt_value FROM pragma_table_info('event_table');"));
  EXPECT_TRUE(Exists(DBPath() + "-wal"));
  db.destroy();
  // The last connection is gone: SQLite removes the WAL and shared-memory files.
  EXPECT_FALSE(Exists(DBPath() + "-wal"));
  EXPECT_FALSE(Exists(DBPath() + "-shm"));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB has been deinitialzed\n"));
}

// A database made by another program (rows, sync id 77) is opened as it is.
TEST_F(EventDBTest, ExistingDatabaseIsOpenedUnchanged) {
  Shell(
      "CREATE TABLE event_table (id integer primary key, fileType integer NOT NULL, isExist integer NOT NULL, "
      "syncID NUMERIC NOT NULL, maxSyncID NUMERIC NOT NULL, fileSize NUMERIC NOT NULL, fileModTime NUMERIC NOT "
      "NULL, fileCheckSum text NOT NULL, path text unique NOT NULL, macHash text NOT NULL DEFAULT '', inode "
      "INTEGER NOT NULL DEFAULT 0, execBit INTEGER NOT NULL DEFAULT 0, unixUid INTEGER NOT NULL DEFAULT 0, "
      "unixGid INTEGER NOT NULL DEFAULT 0, unixMode INTEGER NOT NULL DEFAULT 0, unixHash TEXT NOT NULL DEFAULT "
      "'', aclAttribute TEXT NOT NULL DEFAULT '', aclHash TEXT NOT NULL DEFAULT '', sharePrivDisabled INTEGER "
      "NOT NULL DEFAULT 0, sharePrivDenyList TEXT NOT NULL DEFAULT '', sharePrivRoList TEXT NOT NULL DEFAULT '', "
      "sharePrivRwList TEXT NOT NULL DEFAULT '', sharePrivHash TEXT NOT NULL DEFAULT '');"
      "CREATE TABLE config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL);"
      "INSERT INTO config_table VALUES ('sync_id', '77'), ('version', 8);"
      "INSERT INTO event_table (id, fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, fileCheckSum, "
      "path) VALUES (1, 1, 1, 0, 5, 0, 10, '', '/'), (4660, 0, 1, 5, 5, 42, 10, 'abc', '/f');");
  const std::string before = Shell("SELECT * FROM event_table; SELECT * FROM config_table;");
  Open();
  uint64_t sync_id = 0;
  ASSERT_EQ(0, db.getSyncId(sync_id));
  EXPECT_EQ(77u, sync_id);
  DBFileInfo info;
  ASSERT_EQ(1, db.getEventInfo("/f", info));
  EXPECT_EQ(42u, info.fileSize);
  EXPECT_EQ(ustring(Sign("12/.34").c_str()), info.signaturePath);
  db.destroy();
  EXPECT_EQ(before, Shell("SELECT * FROM event_table; SELECT * FROM config_table;"));
  EXPECT_EQ("0\n", Shell("SELECT count(*) FROM recycle_bin_table;"));  // the missing table was added
}

// A kill during a transfer leaves its temporary signature (a random name of
// eight characters) in the signature folder; the next open removes it and
// every other top-level regular file that no record's signature is named
// like, and nothing else.
TEST_F(EventDBTest, OpenSweepsTemporarySignatures) {
  WriteFile("db/sign/.05", "row five");
  WriteFile("db/sign/.ff", "row 255");
  ASSERT_EQ(0, mkdir(Sign("01").c_str(), 0700));
  WriteFile("db/sign/01/.00", "row 256");
  WriteFile("db/sign/01/Xy3kQ9aB", "not the open's to judge");  // inside a sub-folder
  ASSERT_EQ(0, mkdir(Sign("Zp0rT7mW").c_str(), 0700));        // a folder with a temporary name
  WriteFile("outside", "a link's target");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Sign("Lk8sW2qE").c_str()));
  const testsupport::TreeSnapshot kept = testsupport::TreeSnapshot::Take(Path("db/sign"));
  for (const char* stale : {"Ab3dE9xz", "abcdefgh", ".5", ".0A", ".055", "05", ".g0"}) {
    WriteFile(std::string("db/sign/") + stale, "a temporary signature");
  }
  Open();
  EXPECT_EQ("", kept.Diff(testsupport::TreeSnapshot::Take(Path("db/sign"))));
  EXPECT_EQ("a link's target", ReadFile("outside"));
  EXPECT_NE(std::string::npos, Log().find("removed stale signature file '" + Sign("Ab3dE9xz") + "'"));
}

// A signature folder that is a link is not swept through.
TEST_F(EventDBTest, SignatureFolderThatIsALinkIsNotSwept) {
  ASSERT_EQ(0, rmdir(Path("db/sign").c_str()));
  ASSERT_EQ(0, mkdir(Path("elsewhere").c_str(), 0700));
  WriteFile("elsewhere/Ab3dE9xz", "someone else's file");
  ASSERT_EQ(0, symlink(Path("elsewhere").c_str(), Path("db/sign").c_str()));
  Open();
  EXPECT_EQ("someone else's file", ReadFile("elsewhere/Ab3dE9xz"));
}

TEST_F(EventDBTest, SecondInitializeDoesNothing) {
  Open();
  ASSERT_EQ(0, db.initialize(Path("other.sqlite").c_str()));
  EXPECT_FALSE(Exists(Path("other.sqlite")));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB has been initialized (no-op)"));
}

// A failed open leaves the object closed and every operation refused
// without touching a connection.
TEST_F(EventDBTest, FailedOpenLeavesTheObjectClosed) {
  WriteFile("db/event-db.sqlite", std::string(4096, 'x'));  // not a database
  EXPECT_EQ(-1, db.initialize(DBPath().c_str()));
  EXPECT_EQ(-1, db.initialize(Path("missing/event-db.sqlite").c_str()));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB: Failed to initialize database at"));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB: Failed to open database at"));

  DBFileInfo info;
  uint64_t sync_id = 0;
  ustring path;
  uint32_t t = 0;
  std::set<ustring> rotate;
  StringBuffer buf;
  FileList list(buf);
  EXPECT_EQ(-1, db.setEventInfo(FileRecord("/f")));
  EXPECT_EQ(-1, db.getEventInfo("/f", info));
  EXPECT_EQ(-1, db.rmEventInfo("/f"));
  EXPECT_EQ(-1, db.rmAllFolders());
  EXPECT_EQ(-1, db.clear());
  EXPECT_EQ(-1, db.getSyncId(sync_id));
  EXPECT_EQ(-1, db.setSyncId(1));
  EXPECT_EQ(-1, db.getFileList(&list, "/"));
  EXPECT_EQ(-1, db.getFileListWithoutRecursive(&list, "/"));
  EXPECT_EQ(-1, db.getFileListWithoutRecursive(&list, "/", 1));
  EXPECT_EQ(-1, db.getFolderList(&list, "/"));
  EXPECT_EQ(-1, db.getFilePathByHash("h", "", path));
  EXPECT_EQ(-1, db.getFilePathByHashFromRecycle("h", "", path));
  EXPECT_EQ(-1, db.addFileToRecycleBin("/r", 1, "h", ""));
  EXPECT_EQ(-1, db.dumpFileToRecycleBin("/r", "/f"));
  EXPECT_EQ(-1, db.dumpDirToRecycleBin("/r", "/d"));
  EXPECT_EQ(-1, db.rmRecycleByPath("/r"));
  EXPECT_EQ(-1, db.resetRecycleBin());
  EXPECT_EQ(-1, db.getOldestRecyleTime(t));
  EXPECT_EQ(-1, db.getRotateList(1, rotate));
  EXPECT_EQ(-1, db.rmRotateRecords(1));
  db.destroy();
  EXPECT_NE(std::string::npos, Log().find("FileEventDB has been deinitialzed (no-op)"));
  // The object can be opened afterwards.
  EXPECT_EQ(0, db.initialize(Path("db/second.sqlite").c_str()));
}

// ---- Records ----

TEST_F(EventDBTest, FileRecordMakesItsAncestors) {
  Open();
  DBFileInfo e = FileRecord("/a/b/c", 7, 9);
  e.fileModTime = 1234;
  e.execBit = 1;
  e.unixMode = 0644;
  e.inode = 99;
  Write(e);
  EXPECT_EQ(
      "/|1|1|0|9|0|1234||1|493|0\n"
      "/a|1|1|0|9|0|1234||1|493|0\n"
      "/a/b|1|1|0|9|0|1234||1|493|0\n"
      "/a/b/c|0|1|7|9|100|1234|hash|1|420|99\n",
      Shell("SELECT path, fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, fileCheckSum, execBit, "
            "unixMode, inode FROM event_table ORDER BY path;"));
}

TEST_F(EventDBTest, RewriteKeepsIdAndReplacesEveryColumn) {
  Open();
  Write(FileRecord("/f", 1, 1));
  const std::string id = Shell("SELECT id FROM event_table WHERE path = '/f';");
  DBFileInfo e;
  e.path = "/f";
  e.isExist = 0;  // every write stores 1
  e.syncID = 2;
  e.maxSyncID = 3;
  e.fileSize = 4;
  e.fileCheckSum = "c";
  e.fileModTime = 5;
  e.execBit = 6;
  e.macHash = "m";
  e.unixUid = 7;
  e.unixGid = 8;
  e.unixMode = 9;
  e.unixHash = "u";
  e.aclAttribute = "aa";
  e.aclHash = "ah";
  e.sharePrivDisabled = 10;
  e.sharePrivDenyList = "d";
  e.sharePrivRoList = "ro";
  e.sharePrivRwList = "rw";
  e.sharePrivHash = "sh";
  e.inode = 11;
  Write(e);
  EXPECT_EQ(id, Shell("SELECT id FROM event_table WHERE path = '/f';"));
  DBFileInfo got;
  ASSERT_EQ(1, db.getEventInfo("/f", got));
  e.isExist = 1;
  e.signaturePath = got.signaturePath;
  EXPECT_EQ(1, got.isExist);
  EXPECT_EQ(e.syncID, got.syncID);
  EXPECT_EQ(e.maxSyncID, got.maxSyncID);
  EXPECT_EQ(e.fileSize, got.fileSize);
  EXPECT_EQ(e.fileCheckSum, got.fileCheckSum);
  EXPECT_EQ(e.fileModTime, got.fileModTime);
  EXPECT_EQ(e.execBit, got.execBit);
  EXPECT_EQ(e.macHash, got.macHash);
  EXPECT_EQ(e.unixUid, got.unixUid);
  EXPECT_EQ(e.unixGid, got.unixGid);
  EXPECT_EQ(e.unixMode, got.unixMode);
  EXPECT_EQ(e.unixHash, got.unixHash);
  EXPECT_EQ(e.aclAttribute, got.aclAttribute);
  EXPECT_EQ(e.aclHash, got.aclHash);
  EXPECT_EQ(e.sharePrivDisabled, got.sharePrivDisabled);
  EXPECT_EQ(e.sharePrivDenyList, got.sharePrivDenyList);
  EXPECT_EQ(e.sharePrivRoList, got.sharePrivRoList);
  EXPECT_EQ(e.sharePrivRwList, got.sharePrivRwList);
  EXPECT_EQ(e.sharePrivHash, got.sharePrivHash);
  EXPECT_EQ(e.inode, got.inode);
  EXPECT_EQ(e.path, got.path);
  EXPECT_EQ("1\n", Shell("SELECT isExist FROM event_table WHERE path = '/f';"));
}

// Quotes, wildcard characters and invalid UTF-8 are stored and found as the
// bytes they are; large values of the 32- and 64-bit fields survive.
TEST_F(EventDBTest, RecordValuesRoundTrip) {
  Open();
  const char* const paths[] = {"/it's", "/a%_*?[x]", "/\xff\xfe/\x80", "/\xc3\xa9t\xc3\xa9", "/a\\b"};
  for (const char* p : paths) {
    DBFileInfo e = FileRecord(p, MAX_SYNC_ID, MAX_SYNC_ID);
    e.fileSize = UINT64_C(1) << 40;
    e.fileModTime = UINT32_MAX;
    e.unixUid = UINT32_MAX;
    e.fileCheckSum = "q'uote";
    Write(e);
    DBFileInfo got;
    ASSERT_EQ(1, db.getEventInfo(p, got)) << p;
    EXPECT_EQ(ustring(p), got.path);
    EXPECT_EQ(MAX_SYNC_ID, got.syncID);
    EXPECT_EQ(UINT64_C(1) << 40, got.fileSize);
    EXPECT_EQ(UINT32_MAX, got.fileModTime);
    EXPECT_EQ(UINT32_MAX, got.unixUid);
    EXPECT_EQ(ustring("q'uote"), got.fileCheckSum);
  }
  EXPECT_EQ("2FC3A974C3A9\n2FFFFE\n2FFFFE2F80\n", Shell("SELECT hex(path) FROM event_table WHERE path > '/\xc3' ORDER BY path;"));
}

TEST_F(EventDBTest, FolderMaxSyncIdOnlyRises) {
  Open();
  Write(FolderRecord("/d", 4, 5));
  Write(FileRecord("/d/hi", 8, 8));
  EXPECT_EQ("4|8\n", Shell("SELECT syncID, maxSyncID FROM event_table WHERE path = '/d';"));
  Write(FileRecord("/d/lo", 2, 2));
  EXPECT_EQ("4|8\n", Shell("SELECT syncID, maxSyncID FROM event_table WHERE path = '/d';"));
  EXPECT_EQ("0|8\n", Shell("SELECT syncID, maxSyncID FROM event_table WHERE path = '/';"));
}

TEST_F(EventDBTest, RootRecordHasNoAncestor) {
  Open();
  Write(FolderRecord("/", 3, 3));
  EXPECT_EQ("/|3|3\n", Shell("SELECT path, syncID, maxSyncID FROM event_table;"));
}

// The record statements are prepared once and bound anew on every call:
// each call stores its own values, whichever columns change (the indexed
// ones are set only when they differ), across other operations and a
// reopen of the database.
TEST_F(EventDBTest, RepeatedWritesStoreEachCallsValues) {
  Open();
  const struct {
    const char* path;
    uint64_t sync_id;
    const char* hash;
    const char* mac;
    uint64_t size;
  } cases[] = {
      {"/d/a", 1, "h1", "", 10},
      {"/d/b", 2, "h2", "m", 20},
      {"/d/a", 3, "h1", "", 11},     // only the ids and the size change
      {"/d/a", 4, "h3", "", 11},     // the hash changes
      {"/d/b", 5, "h2", "m2", 20},   // only the mac hash changes
      {"/e/c", 6, "h1", "", 30},     // another hash index entry of h1
      {"/d/a", 7, "h1", "m", 12},    // hash and mac hash back and changed
  };
  std::map<std::string, std::string> expect;
  int n = 0;
  for (const auto& c : cases) {
    DBFileInfo e = FileRecord(c.path, c.sync_id, c.sync_id);
    e.fileCheckSum = c.hash;
    e.macHash = c.mac;
    e.fileSize = c.size;
    Write(e);
    expect[c.path] = std::to_string(c.sync_id) + "|" + c.hash + "|" + c.mac + "|" + std::to_string(c.size);
    if (++n == 4) {
      db.destroy();  // the kept statements go with the connection
      Open();
    }
  }
  // A record another writer marked as gone exists again after a rewrite
  // that changes nothing else.
  Shell("UPDATE event_table SET isExist = 0 WHERE path = '/e/c';");
  DBFileInfo again = FileRecord("/e/c", 6, 6);
  again.fileCheckSum = "h1";
  again.fileSize = 30;
  Write(again);
  std::string want;
  for (const auto& [path, row] : expect) want += path + "|1|" + row + "\n";
  EXPECT_EQ(want, Shell("SELECT path, isExist, syncID, fileCheckSum, macHash, fileSize FROM event_table "
                        "WHERE fileType = 0 ORDER BY path;"));
  // The indexes agree with the rows.
  EXPECT_EQ("/d/a\n/e/c\n", Shell("SELECT path FROM event_table INDEXED BY event_table_fileCheckSum_idx "
                                   "WHERE fileCheckSum = 'h1' ORDER BY path;"));
  EXPECT_EQ("ok\n", Shell("PRAGMA integrity_check;"));
  ustring found;
  EXPECT_EQ(0, db.getFilePathByHash("h3", "", found));  // replaced by h1 again
  EXPECT_EQ(1, db.getFilePathByHash("h2", "", found));
  EXPECT_EQ(ustring("/d/b"), found);
}

// A record and its ancestors are written together or not at all: a
// refused ancestor leaves no record behind, and the next write works.
TEST_F(EventDBTest, RefusedAncestorLeavesNoRecord) {
  Open();
  Write(FileRecord("/a/b", 1, 1));
  Shell("CREATE TRIGGER refuse AFTER UPDATE OF maxSyncID ON event_table WHEN NEW.path = '/a' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  EXPECT_EQ(-1, db.setEventInfo(FileRecord("/a/c", 5, 5)));
  EXPECT_EQ("/\n/a\n/a/b\n", Paths());
  EXPECT_EQ("1\n", Shell("SELECT maxSyncID FROM event_table WHERE path = '/';"));
  Shell("DROP TRIGGER refuse;");
  Write(FileRecord("/a/c", 5, 5));
  EXPECT_EQ("/\n/a\n/a/b\n/a/c\n", Paths());
  EXPECT_EQ("5\n", Shell("SELECT maxSyncID FROM event_table WHERE path = '/a';"));
}

// A path that is not session-relative would leave records of no file.
TEST_F(EventDBTest, RecordPathMustBeginWithSlash) {
  Open();
  EXPECT_EQ(-1, db.setEventInfo(FileRecord("")));
  EXPECT_EQ(-1, db.setEventInfo(FileRecord("a/b")));
  EXPECT_EQ("", Paths());
}

TEST_F(EventDBTest, GetEventInfoResults) {
  Open();
  Write(FileRecord("/d/f"));
  DBFileInfo info;
  info.path = "stale";
  info.fileSize = 555;
  EXPECT_EQ(0, db.getEventInfo("/nothing", info));
  EXPECT_EQ(ustring(""), info.path);
  EXPECT_EQ(555u, info.fileSize);  // untouched on a miss
  EXPECT_EQ(1, db.getEventInfo("/d", info));
  EXPECT_EQ(1, info.fileType);
  EXPECT_EQ(ustring(""), info.signaturePath);
  EXPECT_EQ(1, db.getEventInfo("/d/f", info));
  EXPECT_EQ(ustring(Sign(".01").c_str()), info.signaturePath);  // the first row written
  info.path = "x";
  EXPECT_EQ(-1, db.getEventInfo("", info));
  EXPECT_EQ(ustring(""), info.path);
}

// ---- Signature files ----

TEST_F(EventDBTest, SignatureIsAdoptedAndReplaced) {
  Open();
  DBFileInfo e = FileRecord("/f");
  e.signaturePath = MakeSignature("new.sig", "first").c_str();
  Write(e);
  EXPECT_FALSE(Exists(Path("new.sig")));
  EXPECT_EQ("first", ReadFile("db/sign/.01"));
  e.signaturePath = MakeSignature("new.sig", "second").c_str();
  Write(e);
  EXPECT_EQ("second", ReadFile("db/sign/.01"));
}

// The row id picks the folder: id 0x1234 lies in sign/12 (made on demand).
TEST_F(EventDBTest, SignatureOfHighRowIdGoesIntoSubFolder) {
  Open();
  Shell("INSERT INTO event_table (id, fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
        "fileCheckSum, path) VALUES (4660, 0, 1, 1, 1, 1, 1, 'h', '/big');");
  DBFileInfo e = FileRecord("/big");
  e.signaturePath = MakeSignature("s", "sig").c_str();
  Write(e);
  EXPECT_EQ("sig", ReadFile("db/sign/12/.34"));
  DBFileInfo got;
  ASSERT_EQ(1, db.getEventInfo("/big", got));
  EXPECT_EQ(ustring(Sign("12/.34").c_str()), got.signaturePath);
}

// The worker makes signatures in the session's working folder, often on
// another file system than the configuration folder.
TEST_F(EventDBTest, SignatureFromAnotherFileSystemIsAdopted) {
  struct stat here, shm;
  if (stat(Path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  char tmpl[] = "/dev/shm/eventdb-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string src = std::string(tmpl) + "/sig";
  FILE* f = fopen(src.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("across", f);
  fclose(f);
  Open();
  DBFileInfo e = FileRecord("/f");
  e.signaturePath = src.c_str();
  Write(e);
  bool moved = !Exists(src);
  (void)unlink(src.c_str());
  (void)rmdir(tmpl);
  EXPECT_TRUE(moved);
  EXPECT_EQ("across", ReadFile("db/sign/.01"));
}

// A signature that cannot be moved costs the record its old signature too:
// the record now describes other content.
TEST_F(EventDBTest, LostSignatureRemovesTheStaleOne) {
  Open();
  DBFileInfo e = FileRecord("/f");
  e.signaturePath = MakeSignature("s", "old content's").c_str();
  Write(e);
  ASSERT_TRUE(Exists(Sign(".01")));
  e.fileCheckSum = "new";
  e.signaturePath = Path("missing.sig").c_str();
  EXPECT_EQ(0, db.setEventInfo(e));
  EXPECT_FALSE(Exists(Sign(".01")));
  EXPECT_EQ("new\n", Shell("SELECT fileCheckSum FROM event_table WHERE path = '/f';"));
  EXPECT_NE(std::string::npos, Log().find("[WARNING] event-db("));
  EXPECT_NE(std::string::npos, Log().find("signature file of '/f' is lost"));
}

// A rewrite that names the record's own signature file (an event that only
// moves the ids) keeps that file; a missing one is still reported.
TEST_F(EventDBTest, RecordRewrittenWithItsOwnSignatureKeepsIt) {
  Open();
  DBFileInfo e = FileRecord("/f", 1, 1);
  e.signaturePath = MakeSignature("s", "own").c_str();
  Write(e);
  DBFileInfo got;
  ASSERT_EQ(1, db.getEventInfo("/f", got));
  e = FileRecord("/f", 2, 2);
  e.signaturePath = got.signaturePath;
  Write(e);
  EXPECT_EQ("own", ReadFile("db/sign/.01"));
  EXPECT_EQ("2\n", Shell("SELECT syncID FROM event_table WHERE path = '/f';"));
  EXPECT_EQ(std::string::npos, Log().find("is lost"));
  ASSERT_EQ(0, unlink(Sign(".01").c_str()));
  e.syncID = e.maxSyncID = 3;
  Write(e);
  EXPECT_NE(std::string::npos, Log().find("signature file of '/f' is lost"));
}

TEST_F(EventDBTest, FoldersAndEmptySignaturePathsTouchNoSignature) {
  Open();
  DBFileInfo e = FileRecord("/f");
  e.signaturePath = MakeSignature("s", "kept").c_str();
  Write(e);
  e.signaturePath = "";
  Write(e);
  EXPECT_EQ("kept", ReadFile("db/sign/.01"));
  DBFileInfo d = FolderRecord("/d");
  d.signaturePath = MakeSignature("t", "not a folder's").c_str();
  Write(d);
  EXPECT_TRUE(Exists(Path("t")));
  EXPECT_FALSE(Exists(Sign(".02")));
}

// ---- Removing records ----

// The subtree names: each differs from "/a" only in what LIKE or GLOB
// would take as a wildcard or fold as a letter.
const char* const kSubtreeNames[] = {"/a", "/ab", "/A", "/a*", "/a?", "/a[x]", "/a%", "/a_"};

class RemoveSubtreeTest : public EventDBTest, public ::testing::WithParamInterface<const char*> {};

// rmEventInfo removes exactly the record of its path and those below it,
// with their signature files, whatever the other names hold.
TEST_P(RemoveSubtreeTest, RemovesExactlyOneSubtree) {
  const std::string victim = GetParam();
  Open();
  std::map<std::string, std::string> signature;  // file record -> its signature file
  for (const char* n : kSubtreeNames) {
    for (const std::string& p : {std::string(n) + "/f", std::string(n) + "/x/y"}) {
      DBFileInfo e = FileRecord(p);
      e.signaturePath = MakeSignature("s", p).c_str();
      Write(e);
      DBFileInfo got;
      ASSERT_EQ(1, db.getEventInfo(p.c_str(), got));
      signature[p] = got.signaturePath.c_str_utf8();
      ASSERT_EQ(p, ReadFile(signature[p].substr(Path().size() + 1)));
    }
  }
  std::string expected;
  std::istringstream before(Paths());
  for (std::string p; std::getline(before, p);) {
    if (p == victim || p.compare(0, victim.size() + 1, victim + "/") == 0) continue;
    expected += p + "\n";
  }
  ASSERT_EQ(0, db.rmEventInfo(victim.c_str()));
  EXPECT_EQ(expected, Paths());
  for (const auto& [p, sig] : signature) {
    bool below = p.compare(0, victim.size() + 1, victim + "/") == 0;
    EXPECT_EQ(!below, Exists(sig)) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Names, RemoveSubtreeTest, ::testing::ValuesIn(kSubtreeNames));

TEST_F(EventDBTest, RemoveRootOrEmptyPath) {
  Open();
  Write(FileRecord("/a/x"));
  EXPECT_EQ(0, db.rmEventInfo("/"));
  EXPECT_EQ("/\n/a\n/a/x\n", Paths());
  EXPECT_EQ(-1, db.rmEventInfo(""));  // would select everything below the root
  EXPECT_EQ("/\n/a\n/a/x\n", Paths());
  EXPECT_EQ(0, db.rmEventInfo("/missing"));
}

// A folder record has no signature file: deleting it is no error and
// leaves the other records' signatures alone.
TEST_F(EventDBTest, RemovingFolderRecordIsNoError) {
  Open();
  DBFileInfo f = FileRecord("/f");
  f.signaturePath = MakeSignature("s", "f's").c_str();
  Write(f);                   // id 1 (the root is 2)
  Write(FolderRecord("/d"));  // id 3
  EXPECT_EQ(0, db.rmEventInfo("/d"));
  EXPECT_EQ("/\n/f\n", Paths());
  EXPECT_EQ("f's", ReadFile("db/sign/.01"));
}

TEST_F(EventDBTest, RemoveAllFoldersKeepsTopLevel) {
  Open();
  DBFileInfo deep = FileRecord("/a/b/c");
  deep.signaturePath = MakeSignature("s", "deep").c_str();
  Write(deep);
  DBFileInfo top = FileRecord("/t");
  top.signaturePath = MakeSignature("s", "top").c_str();
  Write(top);
  ASSERT_EQ(0, db.rmAllFolders());
  EXPECT_EQ("/\n/a\n/t\n", Paths());
  EXPECT_FALSE(Exists(Sign(".01")));  // /a/b/c
  EXPECT_EQ("top", ReadFile("db/sign/.05"));
  ASSERT_EQ(0, db.clear());
  EXPECT_EQ("", Paths());
  EXPECT_FALSE(Exists(Sign(".05")));
}

// ---- Sync id ----

TEST_F(EventDBTest, SyncIdIsStoredExactly) {
  Open();
  uint64_t id = 99;
  ASSERT_EQ(0, db.getSyncId(id));
  EXPECT_EQ(0u, id);
  for (uint64_t v : {UINT64_C(42), MAX_SYNC_ID, UINT64_MAX, UINT64_C(0)}) {
    ASSERT_EQ(0, db.setSyncId(v));
    ASSERT_EQ(0, db.getSyncId(id));
    EXPECT_EQ(v, id);
  }
  ASSERT_EQ(0, db.setSyncId(42));
  db.destroy();
  EXPECT_EQ("42\n", Shell("SELECT value FROM config_table WHERE key = 'sync_id';"));
  Open();
  ASSERT_EQ(0, db.getSyncId(id));
  EXPECT_EQ(42u, id);
}

TEST_F(EventDBTest, MissingSyncIdRowIsAnError) {
  Open();
  Shell("DELETE FROM config_table WHERE key = 'sync_id';");
  uint64_t id = 5;
  EXPECT_EQ(-1, db.getSyncId(id));
  EXPECT_EQ(5u, id);
}

TEST_F(EventDBTest, InodeOperationsAreNotImplemented) {
  Open();
  ustring p;
  EXPECT_EQ(-1, db.getPathByInode(1, p));
  EXPECT_EQ(-1, db.setPathInode("/f", 1));
}

}  // namespace
