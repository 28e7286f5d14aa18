// The merge rules of the pending-event tree: which event of a path
// survives, what a merge does to statuses and counters, and the pruning
// below a folder delete with its file-status rows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>

#include "event_list2_fixture.h"
#include "filter/file_status_db.h"

namespace event_list2_test {
namespace {

using ::testing::HasSubstr;

constexpr uint32_t kLocalRescan = Event::F_LOCAL_SUBDIR_RESCAN;
constexpr uint32_t kServerRescan = Event::F_SERVER_SUBDIR_RESCAN;
constexpr uint32_t kConflict = Event::F_CONFLICT;

TEST_F(TreeTest, MergeTable) {
  constexpr auto C = Event::EV_CREATE;
  constexpr auto R = Event::EV_REMOVE;
  constexpr auto M = Event::EV_MODIFY;
  constexpr auto N = Event::EV_RENAME;
  constexpr uint64_t MAX = MAX_SYNC_ID;
  struct Case {
    const char* path;
    bool dir;
    uint32_t first_origin;  // 0 local, kServer
    Event::Type first_type;
    uint64_t first_sync;
    uint32_t second_origin;
    Event::Type second_type;
    uint64_t second_sync;
    int winner;      // 1 the first event, 2 the second
    uint32_t added;  // flags the survivor gains
  } cases[] = {
      // Files.
      {"/p/f", false, 0, M, 0, 0, M, 0, 2, 0},
      {"/p/f", false, 0, C, 0, 0, R, 0, 2, 0},
      {"/p/f", false, 0, R, 0, 0, C, 0, 2, 0},
      {"/p/f", false, kServer, M, 12, kServer, M, 10, 1, 0},
      {"/p/f", false, kServer, M, 10, kServer, M, 12, 2, 0},
      {"/p/f", false, kServer, M, 12, kServer, R, 12, 1, 0},  // equal ids keep the first
      {"/p/f", false, kServer, M, MAX, kServer, M, 5, 2, 0},  // a made-up download gives way
      {"/p/f", false, kServer, M, 5, kServer, M, MAX, 2, 0},
      {"/p/f", false, kServer, M, MAX, kServer, M, MAX, 2, 0},
      {"/p/f", false, kServer, M, 7, kServer, M, 0xFFFFFFFFFFFFFFFFull, 2, 0},  // unsigned
      {"/p/f", false, 0, M, 0, kServer, M, 3, 2, kConflict},
      {"/p/f", false, 0, M, 0, kServer, R, 3, 1, 0},  // a local change outlives a server delete
      {"/p/f", false, 0, R, 0, kServer, M, 3, 2, 0},  // a server change outlives a local delete
      {"/p/f", false, 0, R, 0, kServer, R, 3, 2, 0},
      {"/p/f", false, kServer, M, 3, 0, M, 0, 1, kConflict},
      {"/p/f", false, kServer, R, 3, 0, M, 0, 2, 0},
      {"/p/f", false, kServer, M, 3, 0, R, 0, 1, 0},
      {"/p/f", false, kServer, R, 3, 0, R, 0, 1, 0},
      {"/p/f", false, 0, N, 0, kServer, N, 3, 2, kConflict},
      {"/p/f", false, kServer, C, 3, 0, N, 0, 1, kConflict},
      // Folders: no conflict rule; a delete followed by anything else
      // rescans the folder's contents.
      {"/p/d", true, 0, R, 0, 0, C, 0, 2, kLocalRescan},
      {"/p/d", true, kServer, R, 5, kServer, C, 6, 2, kServerRescan},
      {"/p/d", true, kServer, R, 5, 0, C, 0, 2, kServerRescan},
      {"/p/d", true, 0, R, 0, kServer, C, 4, 2, kLocalRescan},
      {"/p/d", true, 0, C, 0, kServer, R, 4, 2, 0},
      {"/p/d", true, kServer, C, 6, kServer, R, 5, 1, 0},
      {"/p/d", true, kServer, M, 5, kServer, M, 5, 1, 0},
      {"/p/d", true, kServer, M, MAX, kServer, M, 3, 2, 0},
      {"/p/d", true, 0, M, 0, kServer, M, 3, 2, 0},
      {"/p/d", true, kServer, M, 3, 0, M, 0, 2, 0},
      {"/p/d", true, kServer, R, 9, kServer, C, 8, 1, 0},  // the delete stays: no mark
      {"/p/d", true, 0, M, 0, 0, R, 0, 2, 0},
      // The root follows the folder rules.
      {"/", true, 0, R, 0, 0, C, 0, 2, kLocalRescan},
      {"/", true, kServer, M, 8, kServer, M, 7, 1, 0},
      {"/", true, 0, M, 0, kServer, M, 2, 2, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(n++));
    EventList2 tree;
    const uint32_t kind = c.dir ? kDir : 0;
    Event first = Ev(c.path, c.first_type, kind | c.first_origin, c.first_sync, "first");
    Event second = Ev(c.path, c.second_type, kind | c.second_origin, c.second_sync, "second");
    first.m_opt = "/opt1";
    second.m_opt = "/opt2";
    first.m_data_size = 1;
    second.m_data_size = 2;

    Event old;
    ASSERT_EQ(0, tree.Push(first, old));
    EXPECT_EQ(Event::EV_EMPTY, old.m_type);
    ASSERT_EQ(0, tree.Push(second, old));
    EXPECT_EQ(first.toString(), old.toString());
    EXPECT_EQ(first.m_mode, old.m_mode);

    const Event& win = c.winner == 1 ? first : second;
    EXPECT_EQ(win.isServerEvent() ? 0 : 1, tree.GetLocalEventCount());
    EXPECT_EQ(win.isServerEvent() ? 1 : 0, tree.GetServerEventCount());

    Event out;
    ASSERT_EQ(0, tree.Pop(out));
    // A whole copy of one event, never a mix of the two.
    EXPECT_EQ(win.toString(), out.toString());
    EXPECT_EQ(win.m_mode | c.added, out.m_mode);
    EXPECT_EQ(win.m_opt, out.m_opt);
    ASSERT_EQ(0, tree.DoneEvent(out));
    EXPECT_TRUE(tree.IsEmpty());
    EXPECT_EQ(Lines{"D / DONE"}, EventList2Inspector::Shape(tree));
  }
}

TEST_F(TreeTest, HandleConflictWithAnEmptySide) {
  EventList2::Attribute empty, a;
  a.type = Event::EV_MODIFY;
  a.path = "/x";
  EventList2::Attribute result;
  EventList2::HandleConflict(empty, a, result);
  EXPECT_EQ("/x", result.path);
  result = EventList2::Attribute();
  EventList2::HandleConflict(a, empty, result);
  EXPECT_EQ("/x", result.path);
}

TEST_F(TreeTest, PushIntoAProcessingFileMakesItRetryWithBalancedCounts) {
  ASSERT_EQ(0, list.Push(Ev("/d/f", Event::EV_MODIFY, 0, 0, "local")));
  Event held;
  ASSERT_EQ(0, list.Pop(held));
  EXPECT_EQ(1, NodeAt("/", true).ref_local);
  EXPECT_EQ(1, NodeAt("/d", true).ref_local);

  Event old;
  ASSERT_EQ(0, list.Push(Ev("/d/f", Event::EV_MODIFY, kServer, 3, "server"), old));
  EXPECT_EQ("local", old.m_data_hash);
  EXPECT_EQ(EventList2::RETRY, NodeAt("/d/f", false).status);
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
  EXPECT_EQ(0, NodeAt("/d", true).ref_local);
  ExpectCounts(0, 1);

  EXPECT_EQ(-1, list.DoneEvent(held));
  Event next;
  ASSERT_EQ(0, list.Pop("/d/f", false, next));
  EXPECT_EQ("server", next.m_data_hash);
  EXPECT_TRUE(next.isConflict());
  EXPECT_EQ(1, NodeAt("/", true).ref_server);
  EXPECT_EQ(1, NodeAt("/d", true).ref_server);
  ASSERT_EQ(0, list.DoneEvent(next));
  ExpectCounts(0, 0);
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
}

TEST_F(TreeTest, PushIntoADoneFolderGivesNoOldEvent) {
  ASSERT_EQ(0, list.Push(Ev("/d/f", Event::EV_MODIFY)));
  Event old = Ev("/stale", Event::EV_CREATE);
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_MODIFY, kDir | kServer, 4), old));
  EXPECT_EQ(Event::EV_EMPTY, old.m_type);
  EXPECT_EQ("", old.m_path);
  EXPECT_EQ(EventList2::WAITING, NodeAt("/d", true).status);
  ExpectCounts(1, 1);
}

TEST_F(TreeTest, FolderAndFileEventsNeverMeetTheOtherKind) {
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY, 0, 0, "file")));
  Event old;
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_REMOVE, kDir), old));
  EXPECT_EQ(Event::EV_EMPTY, old.m_type);  // a new folder node, not the file's
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY, 0, 0, "file2"), old));
  EXPECT_EQ("file", old.m_data_hash);
  EXPECT_EQ((Lines{"D / DONE", "F /x WAITING", "D /x WAITING"}), Shape());
  ExpectCounts(2, 0);
}

// --- Pruning below a folder delete -------------------------------------------

class PruneTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    db_ = Path("fstat.db");
    watch_ = Path("session root");
    ASSERT_EQ(0, FileStatusDB::initialize(db_.c_str()));
    list.SetWatchPath(watch_.c_str());
  }
  void TearDown() override {
    FileStatusDB::destroy();
    TreeTest::TearDown();
  }

  // The row of a session path, as the event manager writes it.
  std::string RowOf(const std::string& path) const {
    std::string row = watch_ + (path == "/" ? "" : path);
    for (char& c : row) {
      if (c == '/') c = '\\';
    }
    return row;
  }

  // Queues an event as the event manager does: its row, then the tree.
  void Queue(const Event& e) {
    FileStatusInfo info;
    info.fileType = e.isDir() ? SFT_DIR1 : SFT_FILE1;
    info.syncStatus = FSTAT_SYNCING;
    info.path = RowOf(e.m_path.c_str_utf8()).c_str();
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
    ASSERT_EQ(0, list.Push(e));
  }

  std::set<std::string> RowsOf(std::initializer_list<const char*> paths) const {
    std::set<std::string> rows;
    for (const char* p : paths) rows.insert(RowOf(p));
    return rows;
  }

  // Every stored path, read with a connection of our own.
  std::set<std::string> Rows() const {
    std::set<std::string> rows;
    sqlite3* conn = nullptr;
    if (sqlite3_open_v2(db_.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << db_;
      sqlite3_close(conn);
      return rows;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(conn, "SELECT path FROM fstatinfo", -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        rows.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
      }
    } else {
      ADD_FAILURE() << sqlite3_errmsg(conn);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(conn);
    return rows;
  }

  std::string db_;
  std::string watch_;
};

TEST_F(PruneTest, LocalFolderDeletePrunesLocalEventsBelowIt) {
  Queue(Ev("/other", Event::EV_MODIFY));
  Queue(Ev("/d/keep", Event::EV_MODIFY));
  ASSERT_EQ("/other", PopPath());
  ASSERT_EQ("/d/keep", PopPath());  // in progress: stays
  Queue(Ev("/d/sub", Event::EV_MODIFY, kDir));
  Queue(Ev("/d/sub/lf", Event::EV_MODIFY));
  Queue(Ev("/d/sub/sf", Event::EV_MODIFY, kServer, 3));
  Queue(Ev("/d/e/x", Event::EV_CREATE));
  ASSERT_EQ(RowsOf({"/other", "/d/keep", "/d/sub", "/d/sub/lf", "/d/sub/sf", "/d/e/x"}), Rows());

  Queue(Ev("/d", Event::EV_REMOVE, kDir));
  EXPECT_EQ((Lines{"D / DONE", "F /other PROCESSING", "D /d WAITING", "F /d/keep PROCESSING",
                   "D /d/sub DONE", "F /d/sub/sf WAITING"}),
            Shape());
  EXPECT_EQ(RowsOf({"/other", "/d", "/d/keep", "/d/sub/sf"}), Rows());
  ExpectCounts(3, 1);  // /other, /d, /d/keep; /d/sub/sf
  EXPECT_TRUE(EventList2Inspector::IndexesConsistent(list));
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("[Remove File Node] = [lf]"));
  EXPECT_THAT(log, HasSubstr("[Cannot Remove File Node] = [sf]"));
  EXPECT_THAT(log, HasSubstr("[Remove Dir Node] = [e]"));
  EXPECT_THAT(log, HasSubstr("[Cannot Remove Dir Node] = [sub],refTemp = [1],status = [0], "
                             "event_mode_equal[1]"));
}

TEST_F(PruneTest, ServerFolderDeletePrunesOnlyOlderServerEvents) {
  Queue(Ev("/s/busy", Event::EV_MODIFY, kServer, 5));
  ASSERT_EQ("/s/busy", PopPath());
  Queue(Ev("/s/old49", Event::EV_MODIFY, kServer, 49));
  Queue(Ev("/s/eq50", Event::EV_MODIFY, kServer, 50));
  Queue(Ev("/s/new60", Event::EV_MODIFY, kServer, 60));
  Queue(Ev("/s/max", Event::EV_MODIFY, kServer, MAX_SYNC_ID));
  Queue(Ev("/s/loc", Event::EV_MODIFY));
  Queue(Ev("/s/sd", Event::EV_CREATE, kDir | kServer, 10));
  Queue(Ev("/s/sd2", Event::EV_CREATE, kDir | kServer, 70));
  Queue(Ev("/s/sd2/in", Event::EV_MODIFY, kServer, 20));

  Queue(Ev("/s", Event::EV_REMOVE, kDir | kServer, 50));
  EXPECT_EQ((Lines{"D / DONE", "D /s WAITING", "F /s/busy PROCESSING", "F /s/eq50 WAITING",
                   "F /s/new60 WAITING", "F /s/max WAITING", "F /s/loc WAITING", "D /s/sd2 WAITING"}),
            Shape());
  EXPECT_EQ(RowsOf({"/s", "/s/busy", "/s/eq50", "/s/new60", "/s/max", "/s/loc", "/s/sd2"}), Rows());
  ExpectCounts(1, 6);
}

TEST_F(PruneTest, DeleteMergedIntoAFolderInProgressPrunesTooAndADoneFolderTakesIt) {
  Queue(Ev("/p", Event::EV_CREATE, kDir));
  ASSERT_EQ("/p", PopPath());
  Queue(Ev("/p/c", Event::EV_CREATE));
  Queue(Ev("/p", Event::EV_REMOVE, kDir));
  EXPECT_EQ((Lines{"D / DONE", "D /p RETRY"}), Shape());
  EXPECT_EQ(RowsOf({"/p"}), Rows());
  ExpectCounts(1, 0);

  // A DONE folder that receives a delete prunes as well.
  Queue(Ev("/q/w/f", Event::EV_CREATE));
  Queue(Ev("/q", Event::EV_REMOVE, kDir));
  EXPECT_EQ((Lines{"D / DONE", "D /p RETRY", "D /q WAITING"}), Shape());
  EXPECT_EQ(RowsOf({"/p", "/q"}), Rows());
  ExpectCounts(2, 0);
}

TEST_F(PruneTest, FailedRowRemovalIsLoggedAndPruningGoesOn) {
  Queue(Ev("/d/f", Event::EV_CREATE));
  FileStatusDB::destroy();  // every row operation now fails
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_REMOVE, kDir)));
  EXPECT_EQ((Lines{"D / DONE", "D /d WAITING"}), Shape());
  ExpectCounts(1, 0);
  EXPECT_THAT(Log(), HasSubstr("Failed to rm synced event from FStatDB [" + RowOf("/d/f") + "]."));
}

}  // namespace
}  // namespace event_list2_test
