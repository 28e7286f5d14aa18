// FileEventDB: folder listings, lookups by hash and the recycle-bin table.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>

#include "event_db_fixture.h"
#include "session/file_event_db.h"
#include "session/string_buffer.h"

namespace {

using event_db_test::EventDBTest;
using event_db_test::Exists;
using event_db_test::FileRecord;
using event_db_test::FolderRecord;
using event_db_test::Lines;
using event_db_test::Walk;

// A listing with its own name store.
struct Listing {
  StringBuffer buf;
  FileList list{buf};
};

class ListingTest : public EventDBTest {
 protected:
  // The four records of the example: "/", "/a", "/a/b" folders, /a/b/c a file.
  void WriteExample() {
    DBFileInfo c = FileRecord("/a/b/c");
    c.fileModTime = 50;
    c.fileSize = 7;
    c.aclHash = "cacl";
    Write(c);
    DBFileInfo b = FolderRecord("/a/b");
    b.fileModTime = 40;
    b.aclHash = "bacl";
    Write(b);
  }

  Lines All(const std::string& prefix) {
    Listing l;
    EXPECT_EQ(0, db.getFileList(&l.list, prefix.c_str()));
    return Walk(l.list);
  }
  Lines OneLevel(const std::string& prefix) {
    Listing l;
    EXPECT_EQ(0, db.getFileListWithoutRecursive(&l.list, prefix.c_str()));
    return Walk(l.list);
  }
  Lines OneLevel(const std::string& prefix, uint64_t sync_id) {
    Listing l;
    EXPECT_EQ(0, db.getFileListWithoutRecursive(&l.list, prefix.c_str(), sync_id));
    return Walk(l.list);
  }
};

TEST_F(ListingTest, RecursiveListingsOfTheExample) {
  Open();
  WriteExample();
  EXPECT_EQ((Lines{"f /b/c", "d /b"}), All("/a"));
  EXPECT_EQ((Lines{"f /a/b/c", "d /a/b", "d /a"}), All("/"));
  EXPECT_EQ((Lines{"f /a/b/c", "d /a/b", "d /a"}), All(""));
  EXPECT_EQ((Lines{}), All("/a/b/c"));
  EXPECT_EQ((Lines{}), All("/missing"));

  Listing l;
  ASSERT_EQ(0, db.getFileList(&l.list, "/a"));
  auto it = l.list.rbegin();
  EXPECT_EQ(50u, it->attr.mtime);
  EXPECT_EQ(7u, it->attr.size);
  EXPECT_EQ(ustring("cacl"), it->attr.acl_hash);
  ++it;
  EXPECT_EQ(40u, it->attr.mtime);
  EXPECT_EQ(ustring("bacl"), it->attr.acl_hash);

  // Under "/" the record "/" only gives the root its attribute.
  Listing whole;
  ASSERT_EQ(0, db.getFileList(&whole.list, "/"));
  EXPECT_EQ(50u, whole.list.root->attr.mtime);
}

// The one-level listing of "/" holds the top-level names, not the root
// record "/" nor doubled slashes ("//a" would become events for a path that
// does not exist).
TEST_F(ListingTest, OneLevelListingsOfTheExample) {
  Open();
  WriteExample();
  Write(FileRecord("/top"));
  EXPECT_EQ((Lines{"d /b"}), OneLevel("/a"));
  EXPECT_EQ((Lines{"f /top", "d /a"}), OneLevel("/"));
  Listing l;
  ASSERT_EQ(0, db.getFileListWithoutRecursive(&l.list, "/"));
  EXPECT_EQ(2u, l.list.node.size());  // the root and "a"
  EXPECT_EQ(1u, l.list.root->file.size());
  EXPECT_EQ((Lines{}), OneLevel(""));
  EXPECT_EQ((Lines{}), OneLevel("", 100));
}

// The folder listing is the first level of the recursive one: the records
// directly in the folder with their attributes, and a folder for a name
// that only deeper records imply (its own record absent), so that a
// comparison made folder by folder meets the entries one over the whole
// tree meets. A name that sorts between a folder and its contents by
// bytes stays apart from the folder.
TEST_F(ListingTest, FolderListingIsTheFirstLevelOfTheRecursiveOne) {
  Open();
  WriteExample();
  Write(FileRecord("/top"));
  Write(FileRecord("/a/b.txt"));
  Write(FileRecord("/p/q/r"));
  Shell("UPDATE event_table SET isExist = 0 WHERE path = '/p' OR path = '/p/q';");
  auto folder = [&](const char* prefix) {
    Listing l;
    EXPECT_EQ(0, db.getFolderList(&l.list, prefix)) << prefix;
    return Walk(l.list);
  };
  EXPECT_EQ((Lines{"f /top", "d /p", "d /a"}), folder("/"));
  EXPECT_EQ((Lines{"f /b.txt", "d /b"}), folder("/a"));
  EXPECT_EQ((Lines{"f /c"}), folder("/a/b"));
  EXPECT_EQ((Lines{"d /q"}), folder("/p"));
  EXPECT_EQ((Lines{"f /r"}), folder("/p/q"));
  EXPECT_EQ((Lines{}), folder("/top"));
  EXPECT_EQ((Lines{}), folder("/missing"));
  EXPECT_EQ((Lines{}), folder(""));

  Listing c;
  ASSERT_EQ(0, db.getFolderList(&c.list, "/a/b"));
  EXPECT_EQ(50u, c.list.rbegin()->attr.mtime);
  EXPECT_EQ(7u, c.list.rbegin()->attr.size);
  EXPECT_EQ(ustring("cacl"), c.list.rbegin()->attr.acl_hash);
  Listing a;
  ASSERT_EQ(0, db.getFolderList(&a.list, "/a"));
  auto b = a.list.rbegin();
  ++b;
  EXPECT_EQ(40u, b->attr.mtime);
  EXPECT_EQ(ustring("bacl"), b->attr.acl_hash);
  Listing p;
  ASSERT_EQ(0, db.getFolderList(&p.list, "/"));
  auto implied = p.list.rbegin();
  ++implied;
  EXPECT_EQ(0u, implied->attr.mtime);
}

TEST_F(ListingTest, OneLevelLimitedBySyncId) {
  Open();
  Write(FileRecord("/x", 5, 5));
  Write(FileRecord("/y", 10, 10));
  Write(FileRecord("/z", 11, 11));
  Write(FileRecord("/d/w", 3, 3));  // the folder /d gets syncID 0
  EXPECT_EQ((Lines{"f /y", "f /x", "d /d"}), OneLevel("/", 10));
  EXPECT_EQ((Lines{"d /d"}), OneLevel("/", 0));
  EXPECT_EQ((Lines{}), OneLevel("/d", 2));
  EXPECT_EQ((Lines{"f /w"}), OneLevel("/d", 3));
  // Above INT64_MAX the bound is INT64_MAX: still everything.
  EXPECT_EQ((Lines{"f /z", "f /y", "f /x", "d /d"}), OneLevel("/", UINT64_MAX));
}

TEST_F(ListingTest, RecordsMarkedAbsentAreNotListed) {
  Open();
  WriteExample();
  Write(FileRecord("/a/gone"));
  Shell("UPDATE event_table SET isExist = 0 WHERE path = '/a/gone';");
  EXPECT_EQ((Lines{"f /b/c", "d /b"}), All("/a"));
  EXPECT_EQ((Lines{"d /b"}), OneLevel("/a"));
}

// Names are listed as their bytes, invalid UTF-8 included, and a name
// between the prefix's bytes and "/" in byte order is no child.
TEST_F(ListingTest, RawByteNames) {
  Open();
  Write(FileRecord("/d\xff/x\x80y"));
  Write(FileRecord("/d/\xc3\xa9"));
  Write(FileRecord("/d.txt"));
  Write(FileRecord("/d-/x"));
  EXPECT_EQ((Lines{"f /\xc3\xa9"}), All("/d"));
  EXPECT_EQ((Lines{"f /x\x80y"}), OneLevel("/d\xff"));
  EXPECT_EQ((Lines{"f /x\x80y"}), All("/d\xff"));
}

// A long folder path is bound, not formatted into a fixed buffer: its
// listings work whatever its length.
TEST_F(ListingTest, LongPrefix) {
  Open();
  const std::string deep = "/" + std::string(3000, 'a') + "/" + std::string(3000, 'b') + "/" + std::string(3000, 'c');
  Write(FileRecord(deep + "/x/y"));
  Write(FileRecord(deep + "/f"));
  EXPECT_EQ((Lines{"f /x/y", "d /x", "f /f"}), All(deep));
  EXPECT_EQ((Lines{"d /x", "f /f"}), OneLevel(deep));
  EXPECT_EQ((Lines{"d /x", "f /f"}), OneLevel(deep, 1));
  ASSERT_EQ(0, db.dumpDirToRecycleBin("/r", deep));
  EXPECT_EQ("/r\n/r/f\n/r/x/y\n", Paths("recycle_bin_table"));
}

// Every listing of each name lists its own subtree only.
class ListingNamesTest : public ListingTest, public ::testing::WithParamInterface<const char*> {};

const char* const kNames[] = {"/a", "/ab", "/A", "/a*", "/a?", "/a[x]", "/a%", "/a_"};

TEST_P(ListingNamesTest, ListsOnlyItsOwnSubtree) {
  Open();
  for (const char* n : kNames) {
    Write(FileRecord(std::string(n) + "/f", 5, 5));
    Write(FileRecord(std::string(n) + "/x/y", 20, 20));
  }
  const std::string name = GetParam();
  EXPECT_EQ((Lines{"f /x/y", "d /x", "f /f"}), All(name));
  EXPECT_EQ((Lines{"d /x", "f /f"}), OneLevel(name));
  EXPECT_EQ((Lines{"d /x", "f /f"}), OneLevel(name, 5));
  EXPECT_EQ((Lines{"d /x"}), OneLevel(name, 4));  // the folder record /x has syncID 0
  EXPECT_EQ((Lines{"f /y"}), OneLevel(name + "/x"));
  EXPECT_EQ((Lines{"d /ab", "d /a_", "d /a[x]", "d /a?", "d /a*", "d /a%", "d /a", "d /A"}), OneLevel("/"));
}

INSTANTIATE_TEST_SUITE_P(Names, ListingNamesTest, ::testing::ValuesIn(kNames));

// ---- Lookups by hash ----

TEST_F(ListingTest, PathByHash) {
  Open();
  DBFileInfo one = FileRecord("/one");
  one.fileCheckSum = "same";
  Write(one);
  DBFileInfo two = FileRecord("/two");
  two.fileCheckSum = "same";
  Write(two);
  DBFileInfo gone = FileRecord("/gone");
  gone.fileCheckSum = "absent";
  Write(gone);
  Shell("UPDATE event_table SET isExist = 0 WHERE path = '/gone';");

  ustring path;
  ASSERT_EQ(1, db.getFilePathByHash("same", "ignored", path));
  EXPECT_TRUE(path == "/one" || path == "/two") << path.c_str_utf8();
  path = "kept";
  EXPECT_EQ(0, db.getFilePathByHash("other", "", path));
  EXPECT_EQ(0, db.getFilePathByHash("absent", "", path));
  // A quote in the hash is part of the value: it matches nothing.
  EXPECT_EQ(0, db.getFilePathByHash("same' OR '1'='1", "", path));
  EXPECT_EQ(0, db.getFilePathByHash("x'", "", path));
  EXPECT_EQ(ustring("kept"), path);

  ASSERT_EQ(0, db.addFileToRecycleBin("/r.1", 3, "recycled", "mac"));
  EXPECT_EQ(0, db.getFilePathByHash("recycled", "", path));
  ASSERT_EQ(1, db.getFilePathByHashFromRecycle("recycled", "", path));
  EXPECT_EQ(ustring("/r.1"), path);
  path = "kept";
  EXPECT_EQ(0, db.getFilePathByHashFromRecycle("same", "", path));
  EXPECT_EQ(0, db.getFilePathByHashFromRecycle("recycled' OR '1'='1", "", path));
  EXPECT_EQ(ustring("kept"), path);
}

// ---- Recycle bin ----

TEST_F(ListingTest, AddToRecycleBin) {
  Open();
  long long before = static_cast<long long>(time(nullptr));
  ASSERT_EQ(0, db.addFileToRecycleBin("/it's.1", 12, "h'1", "m"));
  long long after = static_cast<long long>(time(nullptr));
  std::string row = Shell("SELECT path, fileSize, fileCheckSum, macHash, time FROM recycle_bin_table;");
  long long t = std::stoll(row.substr(row.rfind('|') + 1));
  EXPECT_EQ("/it's.1|12|h'1|m|", row.substr(0, row.rfind('|') + 1));
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  EXPECT_EQ(-1, db.addFileToRecycleBin("/it's.1", 1, "x", ""));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB addFileToRecycleBin fail: "));
}

TEST_F(ListingTest, DumpFileToRecycleBin) {
  Open();
  DBFileInfo f = FileRecord("/f");
  f.fileSize = 33;
  f.fileCheckSum = "fh";
  f.macHash = "fm";
  f.signaturePath = MakeSignature("s", "sig").c_str();
  Write(f);
  ASSERT_TRUE(Exists(Sign(".01")));
  long long before = static_cast<long long>(time(nullptr));
  ASSERT_EQ(0, db.dumpFileToRecycleBin("/f.1", "/f"));
  EXPECT_EQ("/\n", Paths());
  EXPECT_FALSE(Exists(Sign(".01")));
  std::string row = Shell("SELECT path, fileSize, fileCheckSum, macHash, time FROM recycle_bin_table;");
  EXPECT_EQ("/f.1|33|fh|fm|", row.substr(0, row.rfind('|') + 1));
  EXPECT_GE(std::stoll(row.substr(row.rfind('|') + 1)), before);
  // No record: nothing is added or deleted.
  ASSERT_EQ(0, db.dumpFileToRecycleBin("/g.1", "/g"));
  EXPECT_EQ("/f.1\n", Paths("recycle_bin_table"));
}

TEST_F(ListingTest, DumpDirToRecycleBin) {
  Open();
  Write(FolderRecord("/d"));
  for (const char* p : {"/d/x", "/d/s/y"}) {
    DBFileInfo e = FileRecord(p);
    e.fileSize = std::string(p).size();
    e.fileCheckSum = (std::string("h") + p).c_str();
    e.signaturePath = MakeSignature("s", p).c_str();
    Write(e);
  }
  Write(FolderRecord("/d/s"));
  // Neighbours that a pattern on "/d" would catch.
  Write(FileRecord("/D/x"));
  Write(FileRecord("/d%/x"));
  Write(FileRecord("/dx"));
  ASSERT_TRUE(Exists(Sign(".03")) && Exists(Sign(".04")));
  ASSERT_EQ(0, db.dumpDirToRecycleBin("/d.1", "/d"));
  EXPECT_EQ("/\n/D\n/D/x\n/d%\n/d%/x\n/dx\n", Paths());
  EXPECT_EQ(
      "/d.1|0|||1\n"
      "/d.1/s/y|6|h/d/s/y||1\n"
      "/d.1/x|4|h/d/x||1\n",
      Shell("SELECT path, fileSize, fileCheckSum, macHash, "
            "time = (SELECT time FROM recycle_bin_table WHERE path = '/d.1') FROM recycle_bin_table ORDER BY path;"));
  // The signatures of the two files (ids 3 and 4) are gone.
  EXPECT_FALSE(Exists(Sign(".03")));
  EXPECT_FALSE(Exists(Sign(".04")));
  DBFileInfo info;
  ASSERT_EQ(1, db.getEventInfo("/dx", info));

  // Rotation: the top-level entry only, then everything of that age.
  uint32_t oldest = 0;
  ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
  EXPECT_GT(oldest, 0u);
  std::set<ustring> rotate{"/earlier"};
  ASSERT_EQ(0, db.getRotateList(oldest - 1, rotate));
  EXPECT_EQ(std::set<ustring>{"/earlier"}, rotate);
  ASSERT_EQ(0, db.getRotateList(oldest, rotate));
  EXPECT_EQ((std::set<ustring>{"/d.1", "/earlier"}), rotate);
  ASSERT_EQ(0, db.rmRotateRecords(oldest - 1));
  EXPECT_EQ("3\n", Shell("SELECT count(*) FROM recycle_bin_table;"));
  ASSERT_EQ(0, db.rmRotateRecords(oldest));
  EXPECT_EQ("", Paths("recycle_bin_table"));
  ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
  EXPECT_EQ(0u, oldest);
}

TEST_F(ListingTest, RotationByTime) {
  Open();
  Shell("INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES "
        "('/old', 0, '', '', 100), ('/old/in', 1, 'h', '', 100), ('/new', 0, '', '', 300), "
        "('/mid%', 0, '', '', 200), ('/MID', 0, '', '', 200);");
  uint32_t oldest = 0;
  ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
  EXPECT_EQ(100u, oldest);
  std::set<ustring> rotate;
  ASSERT_EQ(0, db.getRotateList(200, rotate));
  EXPECT_EQ((std::set<ustring>{"/MID", "/mid%", "/old"}), rotate);
  ASSERT_EQ(0, db.rmRotateRecords(100));
  EXPECT_EQ("/MID\n/mid%\n/new\n", Paths("recycle_bin_table"));
  ASSERT_EQ(0, db.getOldestRecyleTime(oldest));
  EXPECT_EQ(200u, oldest);
}

TEST_F(ListingTest, RemoveRecycleEntries) {
  Open();
  for (const char* p : {"/r", "/r/x", "/R", "/r%", "/q'uote"}) ASSERT_EQ(0, db.addFileToRecycleBin(p, 0, "", ""));
  ASSERT_EQ(0, db.rmRecycleByPath("/r"));
  ASSERT_EQ(0, db.rmRecycleByPath("/q'uote"));
  ASSERT_EQ(0, db.rmRecycleByPath("/missing"));
  EXPECT_EQ("/R\n/r%\n/r/x\n", Paths("recycle_bin_table"));
  EXPECT_NE(std::string::npos, Log().find("rmRecycleByPath sql : DELETE FROM recycle_bin_table WHERE path = '/r';"));
  ASSERT_EQ(0, db.resetRecycleBin());
  EXPECT_EQ("", Paths("recycle_bin_table"));
}

// The root is never dumped: "" would select every record below it.
TEST_F(ListingTest, DumpOfTheRootIsRefused) {
  Open();
  Write(FileRecord("/d/x"));
  const std::string before = Paths();
  EXPECT_EQ(-1, db.dumpDirToRecycleBin("/all.1", ""));
  EXPECT_EQ(-1, db.dumpDirToRecycleBin("/all.1", "/"));
  EXPECT_EQ(-1, db.dumpFileToRecycleBin("/all.1", "/"));
  EXPECT_EQ(-1, db.dumpFileToRecycleBin("/all.1", ""));
  EXPECT_EQ(before, Paths());
  EXPECT_EQ("", Paths("recycle_bin_table"));
}

// A dump onto a recycle path that is taken fails as a whole: neither table
// changes, and the connection is left with no open transaction, so the next
// write is committed (another connection sees it).
TEST_F(ListingTest, DumpOntoTakenPathChangesNothing) {
  Open();
  DBFileInfo f = FileRecord("/f");
  f.signaturePath = MakeSignature("s", "sig").c_str();
  Write(f);
  Write(FileRecord("/d/x"));
  ASSERT_EQ(0, db.addFileToRecycleBin("/taken", 1, "t", ""));
  ASSERT_EQ(0, db.addFileToRecycleBin("/d.1/x", 1, "t", ""));
  const std::string tables = "SELECT * FROM event_table ORDER BY id; SELECT * FROM recycle_bin_table ORDER BY id;";
  const std::string before = Shell(tables);

  EXPECT_EQ(-1, db.dumpFileToRecycleBin("/taken", "/f"));
  EXPECT_EQ(before, Shell(tables));
  EXPECT_TRUE(Exists(Sign(".01")));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB dumpFileToRecycleBin fail: UNIQUE constraint failed"));

  EXPECT_EQ(-1, db.dumpDirToRecycleBin("/taken", "/d"));
  EXPECT_EQ(-1, db.dumpDirToRecycleBin("/d.1", "/d"));  // a nested entry is taken
  EXPECT_EQ(before, Shell(tables));
  EXPECT_NE(std::string::npos, Log().find("FileEventDB dumpDirToRecycleBin fail: UNIQUE constraint failed"));

  Write(FileRecord("/after"));
  ASSERT_EQ(0, db.setSyncId(9));
  EXPECT_EQ("1\n", Shell("SELECT count(*) FROM event_table WHERE path = '/after';"));
  EXPECT_EQ("9\n", Shell("SELECT value FROM config_table WHERE key = 'sync_id';"));
  ASSERT_EQ(0, db.dumpFileToRecycleBin("/f.1", "/f"));
  EXPECT_EQ("1\n", Shell("SELECT count(*) FROM recycle_bin_table WHERE path = '/f.1';"));
}

}  // namespace
