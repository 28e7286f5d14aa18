// The recycle cleaner's purge of one session, driven without its thread:
// the age limit, nested records, items already gone, links and special
// files, damaged records, a worker recycling in the middle of a purge, a
// removal that fails, and links put in place of the session's folders.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "recycle_cleaner_fixture.h"
#include "foundation/file_op.h"
#include "settings/settings.h"
#include "support/text_count.h"
#include "support/command.h"
#include "support/tree_snapshot.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"

namespace {

using recycle_test::RecycleCleanerTest;

class RecycleRotateTest : public RecycleCleanerTest {
 protected:
  // One purge of the session, as the task does it.
  int RotateOnce() {
    EXPECT_EQ(0, cleaner_.UpdateContext());
    return cleaner_.Rotate();
  }

  RecycleCleaner cleaner_{nullptr, Registry::getInstance()};
};

TEST_F(RecycleRotateTest, RecycleFolderIsBelowTheWorkingFolder) {
  ASSERT_EQ(0, cleaner_.UpdateContext());
  EXPECT_EQ(Path(Bin()), cleaner_.GetRecycleBinDir().c_str_utf8());
}

// The age limit is inclusive: 1799 seconds keeps the item, 1800 purges it.
// A recycle_time in the future lets the purge run (it wraps to a large age).
TEST_F(RecycleRotateTest, ItemsArePurgedAtTheAgeLimit) {
  struct Case {
    int64_t age;            // of the record and of recycle_time
    bool purged;
  } cases[] = {{1799, false}, {1800, true}, {1801, true}, {-600, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.age);
    WriteFile(Bin() + "/aaaaaaaa", "user data");
    ASSERT_NO_FATAL_FAILURE(Recycle("/aaaaaaaa", 0));
    SetAge("/aaaaaaaa", c.age);
    SetRecycleTime(0);
    InitRecycleTime(static_cast<uint32_t>(now_ - c.age));

    EXPECT_EQ(0, RotateOnce());
    EXPECT_EQ(!c.purged, Exists(Bin() + "/aaaaaaaa"));
    EXPECT_EQ(c.purged ? std::set<std::string>{} : std::set<std::string>{"/aaaaaaaa"}, Records());
    EXPECT_EQ(c.purged ? 0u : static_cast<uint32_t>(now_ - c.age), RecycleTime());
    Exec("DELETE FROM recycle_bin_table;");
    unlink(Path(Bin() + "/aaaaaaaa").c_str());
  }
}

TEST_F(RecycleRotateTest, FutureRecycleTimeLetsThePurgeRun) {
  WriteFile(Bin() + "/oldoldol", "x");
  ASSERT_NO_FATAL_FAILURE(Recycle("/oldoldol", 4000));
  InitRecycleTime(static_cast<uint32_t>(now_ + 600));
  EXPECT_EQ(0, RotateOnce());
  EXPECT_FALSE(Exists(Bin() + "/oldoldol"));
  EXPECT_EQ(0u, RecycleTime());
}

// A recycled folder has a record for itself and one per file inside: only
// the folder is removed from disk, both records go.
TEST_F(RecycleRotateTest, NestedRecordGoesWithItsFolder) {
  MakeDir(Bin() + "/dddddddd");
  MakeDir(Bin() + "/dddddddd/sub");
  WriteFile(Bin() + "/dddddddd/sub/f", "inside");
  ASSERT_NO_FATAL_FAILURE(Recycle("/dddddddd", 2000));
  ASSERT_NO_FATAL_FAILURE(Recycle("/dddddddd/sub/f", 2000));
  WriteFile(Bin() + "/newnewne", "young");
  ASSERT_NO_FATAL_FAILURE(Recycle("/newnewne", 100));
  InitRecycleTime(static_cast<uint32_t>(now_ - 2000));

  EXPECT_EQ(0, RotateOnce());
  EXPECT_FALSE(Exists(Bin() + "/dddddddd"));
  EXPECT_EQ("young", ReadFile(Bin() + "/newnewne"));
  EXPECT_EQ(std::set<std::string>{"/newnewne"}, Records());
  // The oldest remaining record's time.
  EXPECT_EQ(static_cast<uint32_t>(now_ - 100), RecycleTime());
  EXPECT_TRUE(Logged("Need rotate '" + Path(Bin()) + "/dddddddd'."));
}

TEST_F(RecycleRotateTest, MissingItemCountsAsRemoved) {
  ASSERT_NO_FATAL_FAILURE(Recycle("/gonegone", 1800));
  InitRecycleTime(static_cast<uint32_t>(now_ - 1800));
  EXPECT_EQ(0, RotateOnce());
  EXPECT_EQ(std::set<std::string>{}, Records());
  EXPECT_EQ(0u, RecycleTime());
  EXPECT_FALSE(Logged("[ERROR]"));
}

TEST_F(RecycleRotateTest, NothingRecycledDoesNothing) {
  WriteFile(Bin() + "/untracke", "kept");
  ASSERT_NO_FATAL_FAILURE(Recycle("/untracke", 5000));
  // recycle_time 0: the session counts as having nothing recycled.
  EXPECT_EQ(0, RotateOnce());
  EXPECT_EQ("kept", ReadFile(Bin() + "/untracke"));
  EXPECT_EQ(std::set<std::string>{"/untracke"}, Records());
}

// Links and special files are unlinked, never followed or opened, at the
// top level of the recycle folder (FSRemove refuses them there) and inside
// a recycled folder.
TEST_F(RecycleRotateTest, LinksAndSpecialFilesGoWithoutTouchingTheirTargets) {
  MakeDir("outside");
  WriteFile("outside/precious", "user data");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path(Bin() + "/linklink").c_str()));
  ASSERT_EQ(0, mkfifo(Path(Bin() + "/fifofifo").c_str(), 0644));
  MakeDir(Bin() + "/folderfo");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path(Bin() + "/folderfo/link").c_str()));
  ASSERT_EQ(0, mkfifo(Path(Bin() + "/folderfo/fifo").c_str(), 0644));
  // A socket, bound to a path in the recycle folder.
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = Path(Bin() + "/socksock");
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  close(sock);
  for (const char* p : {"/linklink", "/fifofifo", "/folderfo", "/socksock"}) {
    ASSERT_NO_FATAL_FAILURE(Recycle(p, 1900));
  }
  InitRecycleTime(static_cast<uint32_t>(now_ - 1900));

  EXPECT_EQ(0, RotateOnce());
  for (const char* p : {"/linklink", "/fifofifo", "/folderfo", "/socksock"}) {
    EXPECT_FALSE(Exists(Bin() + p)) << p;
  }
  EXPECT_EQ("user data", ReadFile("outside/precious"));
  EXPECT_EQ(std::set<std::string>{}, Records());
  EXPECT_FALSE(Logged("Failed to remove file."));
}

// Damaged rows pass the top-level filter of the table but name no item:
// joined to the recycle folder they would name the folder itself, its
// sibling "#ZarqRecyclex", the working folder or the session folder.
TEST_F(RecycleRotateTest, DamagedRecordsTouchNothingAndGo) {
  WriteFile(Bin() + "/keepkeep", "recycled but young");
  ASSERT_NO_FATAL_FAILURE(Recycle("/keepkeep", 10));
  MakeDir(Work() + "/" + kRecycleDirName + "x");
  WriteFile(Work() + "/" + kRecycleDirName + "x/f", "sibling");
  WriteFile(Work() + "/partial", "working file");
  WriteFile("s/user-file", "user data");
  WriteFile(Bin() + "/.hidden", "named like a dot file");
  const char* damaged[] = {"", "x", "/", "/.", "/.."};
  for (const char* p : damaged) {
    Exec(std::string("INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES ('") + p +
         "', 0, '', '', " + std::to_string(now_ - 4000) + ");");
  }
  InitRecycleTime(static_cast<uint32_t>(now_ - 4000));

  EXPECT_EQ(0, RotateOnce());
  EXPECT_EQ("recycled but young", ReadFile(Bin() + "/keepkeep"));
  EXPECT_EQ("named like a dot file", ReadFile(Bin() + "/.hidden"));
  EXPECT_EQ("sibling", ReadFile(Work() + "/" + kRecycleDirName + "x/f"));
  EXPECT_EQ("working file", ReadFile(Work() + "/partial"));
  EXPECT_EQ("user data", ReadFile("s/user-file"));
  EXPECT_EQ(std::set<std::string>{"/keepkeep"}, Records());
  for (const char* p : damaged) {
    EXPECT_TRUE(Logged(std::string("Invalid recycle record '") + p + "', skip it.")) << p;
  }
  EXPECT_FALSE(Logged("Need rotate"));
}

// A worker that recycles between the read of the oldest time and its store
// lowers recycle_time through InitRecycleTime; the store must not leave the
// new item without a time (it would never be purged).
TEST_F(RecycleRotateTest, ItemRecycledDuringThePurgeKeepsItsTime) {
  WriteFile(Bin() + "/oldoldol", "old");
  ASSERT_NO_FATAL_FAILURE(Recycle("/oldoldol", 2000));
  InitRecycleTime(static_cast<uint32_t>(now_ - 2000));
  cleaner_.SetBeforeTimeStoreHookForTest([this] {
    WriteFile(Bin() + "/newnewne", "new");
    ASSERT_EQ(0, db_->addFileToRecycleBin("/newnewne", 3, "hash", ""));
    InitRecycleTime(static_cast<uint32_t>(RecordTime("/newnewne")));
  });

  EXPECT_EQ(0, RotateOnce());
  EXPECT_FALSE(Exists(Bin() + "/oldoldol"));
  ASSERT_EQ(std::set<std::string>{"/newnewne"}, Records());
  EXPECT_EQ(static_cast<uint32_t>(RecordTime("/newnewne")), RecycleTime());
  EXPECT_NE(0u, RecycleTime());
}

TEST_F(RecycleRotateTest, EmptyRegistryClearsTheContext) {
  ASSERT_EQ(0, cleaner_.UpdateContext());
  Registry::getInstance().Clear();
  EXPECT_EQ(-1, cleaner_.UpdateContext());
  EXPECT_EQ(0u, cleaner_.context().entry.sess_id);
  EXPECT_FALSE(cleaner_.context().entry.event_db);
}

TEST_F(RecycleRotateTest, UpdateContextVisitsTheSessionsInTurn) {
  for (uint64_t id : {3, 9}) {
    Registry::Entry e;
    e.sess_id = id;
    Registry::getInstance().Set(e);
  }
  std::vector<uint64_t> seen;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, cleaner_.UpdateContext());
    seen.push_back(cleaner_.context().entry.sess_id);
  }
  EXPECT_EQ((std::vector<uint64_t>{3, 7, 9, 3}), seen);
}

// As an unprivileged user, a recycled folder holding a root-owned folder
// cannot be removed: ERROR, -1, the records stay for the next round. The
// child opens the database itself (no SQLite connection may cross a fork).
TEST_F(RecycleRotateTest, FailedRemovalKeepsTheRecords) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  const unsigned nobody = testsupport::kNobodyId;
  MakeDir(Bin() + "/lockedlo");
  MakeDir(Bin() + "/lockedlo/rootsub");
  WriteFile(Bin() + "/lockedlo/rootsub/f", "root's");
  ASSERT_NO_FATAL_FAILURE(Recycle("/lockedlo", 3000));
  ASSERT_NO_FATAL_FAILURE(Recycle("/lockedlo/rootsub/f", 3000));
  InitRecycleTime(static_cast<uint32_t>(now_ - 3000));
  // Close the parent's connection; give the database and the recycle
  // folders (not rootsub) to the unprivileged user.
  Registry::getInstance().Clear();
  db_ = nullptr;
  ASSERT_EQ(0, chmod(Path().c_str(), 0755));
  for (const std::string& rel : {std::string("db"), std::string("db/sign"), std::string("db/event-db.sqlite"), Bin(),
                                 Bin() + "/lockedlo"}) {
    ASSERT_EQ(0, chown(Path(rel).c_str(), nobody, nobody)) << rel;
  }
  for (const char* extra : {"db/event-db.sqlite-wal", "db/event-db.sqlite-shm"}) {
    if (Exists(extra)) {
      ASSERT_EQ(0, chown(Path(extra).c_str(), nobody, nobody));
    }
  }
  const std::string db_file = DbFile();
  const std::string local = Path("s");
  const uint32_t recycle_time = static_cast<uint32_t>(now_ - 3000);

  const int r = testsupport::RunInChild(
      [&] {
        auto* db = new FileEventDB;
        if (db->initialize(db_file.c_str()) != 0) {
          delete db;
          return 10;
        }
        Registry::Entry e;
        e.sess_id = kSess;
        e.local_path = local.c_str();
        e.recycle_time = recycle_time;
        e.event_db = db;
        Registry::getInstance().Set(e);
        RecycleCleaner cleaner(nullptr, Registry::getInstance());
        if (cleaner.UpdateContext() != 0) return 11;
        if (cleaner.Rotate() != -1) return 12;
        Registry::Entry after;
        Registry::getInstance().Find(kSess, after);
        if (after.recycle_time != recycle_time) return 13;
        Registry::getInstance().Clear();
        return 0;
      },
      true);
  EXPECT_EQ(0, r);
  EXPECT_TRUE(Logged("Failed to remove file. at '" + Path(Bin()) + "/lockedlo'"));
  EXPECT_EQ((std::set<std::string>{"/lockedlo", "/lockedlo/rootsub/f"}), Records());
  EXPECT_EQ("root's", ReadFile(Bin() + "/lockedlo/rootsub/f"));
}

// A link put in place of the working folder, then of the recycle folder,
// while the session runs: the purge must not delete through it (the old
// one-component check accepted "/Documents", which would have removed the
// link target's "Documents" whole). The link itself goes, the folder is made
// again, the user interface is told, and the target keeps every byte.
class RecycleFolderLinkTest : public RecycleRotateTest {
 protected:
  void SetUp() override {
    RecycleRotateTest::SetUp();
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
  }
  void TearDown() override {
    Settings::getInstance()->resetToDefaults();
    ui_.reset();
    RecycleRotateTest::TearDown();
  }

  // Session errors of session kSess among `messages`.
  static size_t SessionErrors(const std::vector<PObject>& messages) {
    return testsupport::UiStandIn::SessionErrors(messages, kSess);
  }

  std::unique_ptr<testsupport::UiStandIn> ui_;
};

TEST_F(RecycleFolderLinkTest, PurgeNeverDeletesThroughALinkedFolder) {
  const struct {
    const char* name;
    std::string folder;  // relative to the temporary folder
  } cases[] = {{"working folder", Work()}, {"recycle folder", Bin()}};
  size_t errors = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string outside = std::string("outside-") + (c.folder == Work() ? "w" : "r");
    // The target looks like what the folder held: a recycled item's name,
    // a folder a damaged one-component row names, and (for the working
    // folder) a recycle folder with the same items.
    MakeDir(outside);
    MakeDir(outside + "/Documents");
    WriteFile(outside + "/Documents/report", "canary document");
    WriteFile(outside + "/itemitem", "canary file");
    MakeDir(outside + "/" + kRecycleDirName);
    WriteFile(outside + "/" + kRecycleDirName + "/itemitem", "canary recycled");
    MakeDir(outside + "/" + kRecycleDirName + "/Documents");
    ASSERT_EQ(0, FSRemove(Path(c.folder).c_str(), false));
    ASSERT_EQ(0, symlink(Path(outside).c_str(), Path(c.folder).c_str()));
    for (const char* p : {"/itemitem", "/Documents"}) ASSERT_NO_FATAL_FAILURE(Recycle(p, 1900));
    InitRecycleTime(static_cast<uint32_t>(now_ - 1900));
    const testsupport::TreeSnapshot before = testsupport::TreeSnapshot::Take(Path(outside));
    const char* kLinkLine = "is a symbolic link, not the session's folder";
    const size_t link_lines = testsupport::CountOf(ReadFile("test.log"), kLinkLine);

    EXPECT_EQ(0, RotateOnce());

    const testsupport::TreeSnapshot after = testsupport::TreeSnapshot::Take(Path(outside));
    EXPECT_EQ(before, after) << after.Diff(before);
    EXPECT_TRUE(ui_->waitFor([&](const std::vector<PObject>& m) { return SessionErrors(m) > errors; },
                             std::chrono::seconds(10)))
        << "session errors: " << SessionErrors(ui_->messages());
    errors = SessionErrors(ui_->messages());
    for (const std::string& f : {Work(), Bin()}) {
      struct stat st;
      ASSERT_EQ(0, lstat(Path(f).c_str(), &st)) << f;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << f;
    }
    EXPECT_GT(testsupport::CountOf(ReadFile("test.log"), kLinkLine), link_lines);
    // The items were never in the real folder: their records go.
    EXPECT_EQ(std::set<std::string>{}, Records());
  }
}

}  // namespace
