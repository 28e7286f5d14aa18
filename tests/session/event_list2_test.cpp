// The pending-event tree: nodes, walk order, done, redo and clearing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "event_list2_fixture.h"

namespace event_list2_test {
namespace {

using ::testing::HasSubstr;

TEST_F(TreeTest, NewTreeIsABareDoneRoot) {
  Event e;
  EXPECT_EQ(-1, list.Pop(e));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  EXPECT_EQ(-1, list.DoneEvent(Ev("/", Event::EV_MODIFY, kDir)));
  EXPECT_EQ(-1, list.Redo("/", true));
}

TEST_F(TreeTest, DeepPushMakesDoneFoldersThatGoWithTheirLastNode) {
  ASSERT_EQ(0, list.Push(Ev("/a/b/c", Event::EV_CREATE)));
  EXPECT_EQ((Lines{"D / DONE", "D /a DONE", "D /a/b DONE", "F /a/b/c WAITING"}), Shape());
  ExpectCounts(1, 0);

  Event e;
  ASSERT_EQ(0, list.Pop(e));
  EXPECT_EQ("/a/b/c", e.m_path);
  EXPECT_EQ(1, NodeAt("/", true).ref_local);
  EXPECT_EQ(1, NodeAt("/a/b", true).ref_local);
  ASSERT_EQ(0, list.DoneEvent(e));
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
}

TEST_F(TreeTest, FilesBeforeSubFoldersEachInTheOrderAdded) {
  for (const char* p : {"/d1", "/f1", "/d2/x", "/f2", "/d3"}) {
    bool dir = p[1] == 'd' && std::string(p) != "/d2/x";
    ASSERT_EQ(0, list.Push(Ev(p, Event::EV_CREATE, dir ? kDir : 0)));
  }
  EXPECT_EQ((Lines{"/f1", "/f2", "/d1", "/d2/x", "/d3"}), PopAll());
}

TEST_F(TreeTest, WaitingFolderWithWorkBelowWaitsButLaterSiblingsDoNot) {
  ASSERT_EQ(0, list.Push(Ev("/a/f", Event::EV_MODIFY)));
  Event f;
  ASSERT_EQ(0, list.Pop(f));
  ASSERT_EQ(0, list.Push(Ev("/a", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/b", Event::EV_MODIFY, kDir)));
  EXPECT_EQ(Lines{"/b"}, PopAll());
  ASSERT_EQ(0, list.DoneEvent(f));
  EXPECT_EQ(Lines{"/a"}, PopAll());
}

TEST_F(TreeTest, DoneSubFolderWithAllWorkInProgressDoesNotHoldBackItsSiblings) {
  // Decided: when the search inside a DONE folder finds nothing, the walk
  // goes on with the next sibling.
  ASSERT_EQ(0, list.Push(Ev("/a/f", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/b/g", Event::EV_MODIFY)));
  EXPECT_EQ("/a/f", PopPath());
  EXPECT_EQ("/b/g", PopPath());
  EXPECT_EQ("-", PopPath());
}

TEST_F(TreeTest, RootEventInProgressHoldsBackTheWholeSession) {
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY)));
  Event root;
  ASSERT_EQ(0, list.Pop(root));
  EXPECT_EQ("/", root.m_path);
  EXPECT_EQ(1, NodeAt("/", true).ref_local);  // the root counts its own event
  EXPECT_EQ("-", PopPath());

  // A newer root event: RETRY, still nothing else.
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir, 0, "newer")));
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
  EXPECT_EQ("-", PopPath());
  EXPECT_EQ(-1, list.DoneEvent(root));
  Event again;
  ASSERT_EQ(0, list.Pop("/", true, again));
  EXPECT_EQ("newer", again.m_data_hash);
  ASSERT_EQ(0, list.DoneEvent(again));
  EXPECT_EQ(Lines{"/x"}, PopAll());
}

TEST_F(TreeTest, RootEventWaitsForTheWorkBelowIt) {
  // The root is a folder: its own event is not handed out while an event
  // below it is in progress.
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY)));
  Event x;
  ASSERT_EQ(0, list.Pop(x));
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir)));
  EXPECT_EQ("-", PopPath());
  ASSERT_EQ(0, list.DoneEvent(x));
  EXPECT_EQ("/", PopPath());
}

TEST_F(TreeTest, RefusedPathsChangeNothing) {
  ASSERT_EQ(0, list.Push(Ev("/a/b", Event::EV_MODIFY)));
  ASSERT_EQ("/a/b", PopPath());
  const Lines before = Shape();
  for (const char* path : {"", "/a/", "a//", "/a/b/"}) {
    SCOPED_TRACE(std::string("path '") + path + "'");
    for (uint32_t mode : {0u, kDir, kServer}) {
      Event old = Ev("/stale", Event::EV_CREATE);
      EXPECT_EQ(-1, list.Push(Ev(path, Event::EV_MODIFY, mode), old));
      EXPECT_EQ(Event::EV_EMPTY, old.m_type);
      EXPECT_EQ(-1, list.DoneEvent(Ev(path, Event::EV_MODIFY, mode)));
    }
    Event out;
    EXPECT_EQ(-1, list.Pop(path, false, out));
    EXPECT_EQ(-1, list.Pop(path, true, out));
    EXPECT_EQ(-1, list.Redo(path, false));
    EXPECT_EQ(-1, list.Redo(path, true));
  }
  EXPECT_EQ(before, Shape());
  ExpectCounts(1, 0);
}

TEST_F(TreeTest, PathSpellingsOfOneNodeMeet) {
  // Runs of "/" separate like one, and a path without a leading "/" starts
  // at the root.
  ASSERT_EQ(0, list.Push(Ev("x/y", Event::EV_CREATE)));
  Event old;
  ASSERT_EQ(0, list.Push(Ev("//x///y", Event::EV_MODIFY), old));
  EXPECT_EQ(Event::EV_CREATE, old.m_type);
  EXPECT_EQ("x/y", old.m_path);
  EXPECT_EQ((Lines{"D / DONE", "D /x DONE", "F /x/y WAITING"}), Shape());
  Event e;
  ASSERT_EQ(0, list.Pop(e));
  EXPECT_EQ("//x///y", e.m_path);
  ASSERT_EQ(0, list.DoneEvent(Ev("/x/y", Event::EV_MODIFY)));
  EXPECT_TRUE(list.IsEmpty());
}

TEST_F(TreeTest, PushOfAnEmptyEventIsRefused) {
  // A WAITING node without an event would stop the walk.
  Event old;
  EXPECT_EQ(-1, list.Push(Ev("/a", Event::EV_EMPTY), old));
  EXPECT_EQ(-1, list.Push(Ev("/", Event::EV_EMPTY, kDir)));
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  EXPECT_TRUE(list.IsEmpty());
}

TEST_F(TreeTest, DoneOfARetryNodeIsRefusedAndPopByPathHandsItOut) {
  ASSERT_EQ(0, list.Push(Ev("/d/f", Event::EV_MODIFY, 0, 0, "h1")));
  Event first;
  ASSERT_EQ(0, list.Pop(first));
  ASSERT_EQ(0, list.Push(Ev("/d/f", Event::EV_MODIFY, 0, 0, "h2")));
  EXPECT_EQ(-1, list.DoneEvent(first));
  EXPECT_EQ((Lines{"D / DONE", "D /d DONE", "F /d/f RETRY"}), Shape());
  ExpectCounts(1, 0);

  Event second;
  ASSERT_EQ(0, list.Pop("/d/f", false, second));
  EXPECT_EQ("h2", second.m_data_hash);
  EXPECT_EQ(1, NodeAt("/d", true).ref_local);
  EXPECT_EQ(-1, list.Pop("/d/f", false, second));  // PROCESSING now, not RETRY
  ASSERT_EQ(0, list.DoneEvent(second));
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  EXPECT_TRUE(list.IsEmpty());
}

TEST_F(TreeTest, DoneWithTheOtherOriginChangesNothing) {
  ASSERT_EQ(0, list.Push(Ev("/f", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir)));
  ASSERT_EQ("/", PopPath());
  ASSERT_EQ(-1, list.DoneEvent(Ev("/", Event::EV_MODIFY, kDir | kServer)));
  ASSERT_EQ(0, list.DoneEvent(Ev("/", Event::EV_MODIFY, kDir)));
  EXPECT_EQ((Lines{"/f", "/d"}), PopAll());
  const Lines before = Shape();
  EXPECT_EQ(-1, list.DoneEvent(Ev("/f", Event::EV_MODIFY, kServer)));
  EXPECT_EQ(-1, list.DoneEvent(Ev("/d", Event::EV_MODIFY, kDir | kServer)));
  EXPECT_EQ(before, Shape());
  ExpectCounts(2, 0);
  EXPECT_THAT(Log(), HasSubstr("Failed to UpdateRoot(attr mode is different) [/]."));
  EXPECT_THAT(Log(), HasSubstr("Failed to UpdateFileDoneEvent(attr mode is diff) [/f]."));
  EXPECT_THAT(Log(), HasSubstr("Failed to UpdateDirDoneEvent(attr mode is diff) [/d]."));
}

TEST_F(TreeTest, DoneOfAMissingOrWaitingNodeIsRefused) {
  ASSERT_EQ(0, list.Push(Ev("/a/f", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/a/d", Event::EV_MODIFY, kDir)));
  const Lines before = Shape();
  EXPECT_EQ(-1, list.DoneEvent(Ev("/a/f", Event::EV_MODIFY)));          // WAITING
  EXPECT_EQ(-1, list.DoneEvent(Ev("/a/d", Event::EV_MODIFY, kDir)));    // WAITING
  EXPECT_EQ(-1, list.DoneEvent(Ev("/a", Event::EV_MODIFY, kDir)));      // DONE
  EXPECT_EQ(-1, list.DoneEvent(Ev("/a/g", Event::EV_MODIFY)));          // no node
  EXPECT_EQ(-1, list.DoneEvent(Ev("/z/g", Event::EV_MODIFY)));          // no parent
  EXPECT_EQ(-1, list.DoneEvent(Ev("/z/g", Event::EV_MODIFY, kDir)));
  EXPECT_EQ(before, Shape());
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Failed to UpdateFileDoneEvent(NOT PROCESSING) [f] in status[0]."));
  EXPECT_THAT(log, HasSubstr("Failed to UpdateDirDoneEvent(NOT PROCESSING) [a] in status[2]."));
  EXPECT_THAT(log, HasSubstr("Failed to UpdateFileDoneEvent(FileNode not found) [/a/g]."));
  EXPECT_THAT(log, HasSubstr("[ERROR] event-list2("));
  EXPECT_THAT(log, HasSubstr("Failed to UpdateFileDoneEvent(parent not found) [/z/g]\n"));
  EXPECT_THAT(log, HasSubstr("Failed to UpdateDirDoneEvent(parent not found) [/z/g]."));
}

TEST_F(TreeTest, DoneFolderWithNodesBelowStaysAsDone) {
  ASSERT_EQ(0, list.Push(Ev("/a/b", Event::EV_CREATE, kDir)));
  Event b;
  ASSERT_EQ(0, list.Pop(b));
  ASSERT_EQ(0, list.Push(Ev("/a/b/f", Event::EV_CREATE)));
  ASSERT_EQ(0, list.DoneEvent(b));
  EXPECT_EQ((Lines{"D / DONE", "D /a DONE", "D /a/b DONE", "F /a/b/f WAITING"}), Shape());
  EXPECT_EQ(Event::EV_EMPTY, NodeAt("/a/b", true).attr.type);
  EXPECT_EQ(Lines{"/a/b/f"}, Drain());
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
}

TEST_F(TreeTest, RedoMovesTheNodeAndItsFoldersBehindTheirSiblings) {
  ASSERT_EQ(0, list.Push(Ev("/a/f1", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/a/f2", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/b/g", Event::EV_MODIFY)));
  ASSERT_EQ("/a/f1", PopPath());
  ASSERT_EQ(0, list.Redo("/a/f1", false));
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
  ExpectCounts(3, 0);
  EXPECT_EQ((Lines{"/b/g", "/a/f2", "/a/f1"}), PopAll());
}

TEST_F(TreeTest, FileAndFolderOfOneNameAreSeparateNodes) {
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_CREATE, kDir)));
  EXPECT_EQ((Lines{"D / DONE", "F /x WAITING", "D /x WAITING"}), Shape());
  ExpectCounts(2, 0);
  Event file, dir;
  ASSERT_EQ(0, list.Pop(file));
  ASSERT_EQ(0, list.Pop(dir));
  EXPECT_FALSE(file.isDir());
  EXPECT_TRUE(dir.isDir());
  ASSERT_EQ(0, list.DoneEvent(dir));  // finds only the folder
  EXPECT_EQ((Lines{"D / DONE", "F /x PROCESSING"}), Shape());
  ASSERT_EQ(0, list.DoneEvent(file));
  EXPECT_TRUE(list.IsEmpty());
}

// Fault: Redo(path) took the first node of the name of either kind and
// whatever its status.
TEST_F(TreeTest, RedoTouchesOnlyAHeldNodeOfTheEventsKind) {
  // A file replaced by a folder of the same name while its event is out.
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY)));
  ASSERT_EQ("/x", PopPath());
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_CREATE, kDir)));
  EXPECT_EQ(-1, list.Redo("/x", true));  // the folder waits: not held by anyone
  ASSERT_EQ(0, list.Redo("/x", false));
  EXPECT_EQ((Lines{"D / DONE", "F /x WAITING", "D /x WAITING"}), Shape());
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
  EXPECT_EQ((Lines{"/x", "/x"}), Drain());
  EXPECT_TRUE(list.IsEmpty());
  ExpectCounts(0, 0);

  // A DONE folder never becomes WAITING without an event.
  ASSERT_EQ(0, list.Push(Ev("/y/in", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/y", Event::EV_MODIFY)));
  ASSERT_EQ("/y", PopPath());  // the file /y
  EXPECT_EQ(-1, list.Redo("/y", true));
  EXPECT_EQ(-1, list.Redo("/y/in", false));  // waiting, not held
  EXPECT_EQ(NodeAt("/y", true).status, EventList2::DONE);
  ASSERT_EQ(0, list.Redo("/y", false));
  EXPECT_EQ((Lines{"D / DONE", "F /y WAITING", "D /y DONE", "F /y/in WAITING"}), Shape());
  EXPECT_EQ(2u, Drain().size());
  ExpectCounts(0, 0);
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
}

TEST_F(TreeTest, RedoOfARetryNodeMakesItWaitWithItsMergedEvent) {
  ASSERT_EQ(0, list.Push(Ev("/f", Event::EV_MODIFY, 0, 0, "h1")));
  ASSERT_EQ("/f", PopPath());
  ASSERT_EQ(0, list.Push(Ev("/f", Event::EV_MODIFY, 0, 0, "h2")));
  ASSERT_EQ(0, list.Redo("/f", false));
  EXPECT_EQ(0, NodeAt("/", true).ref_local);  // lowered once, by the merge
  Event e;
  ASSERT_EQ(0, list.Pop(e));
  EXPECT_EQ("h2", e.m_data_hash);
  ASSERT_EQ(0, list.DoneEvent(e));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
}

// Fault: Pop(path) took the first RETRY node of the name of either kind.
TEST_F(TreeTest, PopByPathTakesOnlyTheKindOfTheEventInHand) {
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY, 0, 0, "f1")));
  Event file;  // task B
  ASSERT_EQ(0, list.Pop(file));
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_MODIFY, 0, 0, "f2")));  // file RETRY
  ASSERT_EQ(0, list.Push(Ev("/x", Event::EV_CREATE, kDir)));
  Event dir;  // task A
  ASSERT_EQ(0, list.Pop(dir));
  ASSERT_TRUE(dir.isDir());

  // A, finishing its folder, must not take B's file.
  Event out;
  EXPECT_EQ(-1, list.Pop("/x", true, out));
  EXPECT_EQ(EventList2::RETRY, NodeAt("/x", false).status);
  ASSERT_EQ(0, list.DoneEvent(dir));

  ASSERT_EQ(0, list.Pop("/x", false, out));
  EXPECT_EQ("f2", out.m_data_hash);
  ASSERT_EQ(0, list.DoneEvent(out));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
}

// Fault: a RETRY root could not be given back and then blocked Pop for good.
TEST_F(TreeTest, RedoOfARetryRootMakesItWaitAgain) {
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir, 0, "r1")));
  ASSERT_EQ(0, list.Push(Ev("/f", Event::EV_MODIFY)));
  ASSERT_EQ("/", PopPath());
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir, 0, "r2")));
  ASSERT_EQ(EventList2::RETRY, NodeAt("/", true).status);
  ASSERT_EQ(0, list.Redo("/", true));
  EXPECT_EQ(EventList2::WAITING, NodeAt("/", true).status);
  EXPECT_EQ(0, NodeAt("/", true).ref_local);
  EXPECT_EQ(-1, list.Redo("/", true));  // WAITING: nothing to give back
  Event e;
  ASSERT_EQ(0, list.Pop(e));
  EXPECT_EQ("r2", e.m_data_hash);
  ASSERT_EQ(0, list.DoneEvent(e));
  EXPECT_EQ(Lines{"/f"}, Drain());
  EXPECT_TRUE(list.IsEmpty());
}

// Fault: paths were cut at 4,095 bytes and names at 1,023, so two long
// paths shared one node and one event replaced the other.
TEST_F(TreeTest, LongPathsAndNamesAreKeptWhole) {
  std::string deep;
  for (int i = 0; i < 41; ++i) deep += "/" + std::string(100, static_cast<char>('a' + i % 26));
  ASSERT_GT(deep.size(), 4096u);
  const std::string long_name = "/" + std::string(1100, 'n');
  const std::string paths[] = {deep + "/f1", deep + "/f2", long_name + "1", long_name + "2"};
  for (const std::string& p : paths) ASSERT_EQ(0, list.Push(Ev(p, Event::EV_CREATE)));
  ExpectCounts(4, 0);
  EXPECT_TRUE(EventList2Inspector::IndexesConsistent(list));
  for (const std::string& p : paths) EXPECT_EQ(EventList2::WAITING, NodeAt(p, false).status) << p.size();
  Lines drained = Drain();
  EXPECT_EQ((Lines{paths[2], paths[3], paths[0], paths[1]}), drained);
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
}

TEST_F(TreeTest, TwoThousandLevelsDeep) {
  std::string deep;
  for (int i = 0; i < 2100; ++i) deep += "/a";
  ASSERT_EQ(0, list.Push(Ev(deep + "/f", Event::EV_CREATE)));
  // A local remove of the top folder prunes the waiting file and every
  // folder on the way.
  ASSERT_EQ(0, list.Push(Ev("/a", Event::EV_REMOVE, kDir)));
  EXPECT_EQ((Lines{"D / DONE", "D /a WAITING"}), Shape());
  ExpectCounts(1, 0);
  ASSERT_EQ(0, list.Push(Ev(deep + "/f", Event::EV_CREATE)));
  Event e;
  ASSERT_EQ(0, list.Pop(e));  // the remove goes first, marked: a change waits below
  EXPECT_EQ("/a", e.m_path);
  EXPECT_TRUE(e.isLocalSubDirRescanWithStat());
  ASSERT_EQ(0, list.Redo(e.m_path, true));
  list.Clear();
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  ASSERT_EQ(0, list.Push(Ev(deep + "/g", Event::EV_CREATE)));  // the destructor frees it
}

TEST_F(TreeTest, ClearDropsEverything) {
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/a/b", Event::EV_MODIFY, kServer, 4)));
  ASSERT_EQ(0, list.Push(Ev("/c", Event::EV_MODIFY, kDir)));
  list.Clear();
  EXPECT_EQ(Lines{"D / DONE"}, Shape());
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ("-", PopPath());
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("========Clear========="));
  // Children before their folder, the root last.
  EXPECT_LT(log.find("[Remove Dir] = [a]"), log.find("[Remove Dir] = [/]"));
  ASSERT_EQ(0, list.Push(Ev("/n", Event::EV_MODIFY)));
  EXPECT_EQ(Lines{"/n"}, Drain());
}

TEST_F(TreeTest, ClearLocalEventKeepsServerEventsAndTheRootsEvent) {
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/l", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/s", Event::EV_MODIFY, kServer, 5)));
  ASSERT_EQ(0, list.Push(Ev("/dl/x", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/ds/y", Event::EV_MODIFY, kServer, 6)));
  ASSERT_EQ(0, list.Push(Ev("/m", Event::EV_MODIFY, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/m/z", Event::EV_MODIFY, kServer, 7)));
  list.ClearLocalEvent();
  EXPECT_EQ((Lines{"D / WAITING", "F /s WAITING", "D /ds DONE", "F /ds/y WAITING", "D /m DONE",
                   "F /m/z WAITING"}),
            Shape());
  // The root's local event is still there and still counted, so finishing
  // it cannot drive the count below 0.
  ExpectCounts(1, 3);
  EXPECT_EQ((Lines{"/", "/s", "/ds/y", "/m/z"}), Drain());
  ExpectCounts(0, 0);
}

TEST_F(TreeTest, RemoveFolderHandedOutWithOtherWorkBelowIsMarkedForRescan) {
  // Below a local remove, a server change stays (other origin): the remove
  // handed out carries the rescan-with-stat mark.
  ASSERT_EQ(0, list.Push(Ev("/d/s", Event::EV_MODIFY, kServer, 3)));
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_REMOVE, kDir)));
  ASSERT_EQ(0, list.Push(Ev("/r/s", Event::EV_REMOVE, kServer, 3)));
  ASSERT_EQ(0, list.Push(Ev("/r", Event::EV_REMOVE, kDir)));
  Event d, r;
  ASSERT_EQ(0, list.Pop(d));
  ASSERT_EQ(0, list.Pop(r));
  EXPECT_EQ("/d", d.m_path);
  EXPECT_TRUE(d.isLocalSubDirRescanWithStat());
  EXPECT_EQ("/r", r.m_path);
  EXPECT_FALSE(r.isSubDirRescan());  // everything below is a remove
  EXPECT_THAT(Log(), HasSubstr("SetLocalSubDirRescanWithStat(sub-node not empty) [/d]."));

  // The mirror case for a server remove.
  list.Clear();
  ASSERT_EQ(0, list.Push(Ev("/e/l", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/e", Event::EV_REMOVE, kDir | kServer, 9)));
  Event e;
  ASSERT_EQ(0, list.Pop(e));
  EXPECT_TRUE(e.isServerSubDirRescanWithStat());
}

TEST_F(TreeTest, RemoveFolderWaitingOnOtherSidesWorkIsMarked) {
  ASSERT_EQ(0, list.Push(Ev("/d/s", Event::EV_MODIFY, kServer, 3)));
  ASSERT_EQ(0, list.Push(Ev("/e/s", Event::EV_REMOVE, kServer, 3)));
  ASSERT_EQ(0, list.Push(Ev("/g/l", Event::EV_MODIFY)));
  ASSERT_EQ(3u, PopAll().size());
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_REMOVE, kDir)));           // local, server work below
  ASSERT_EQ(0, list.Push(Ev("/e", Event::EV_REMOVE, kDir)));           // below: a remove only
  ASSERT_EQ(0, list.Push(Ev("/g", Event::EV_REMOVE, kDir | kServer, 8)));  // server, local work below
  EXPECT_EQ("-", PopPath());
  EXPECT_TRUE(EventList2::IsLocalSubDirRescanWithStat(NodeAt("/d", true).attr));
  EXPECT_FALSE(EventList2::IsSubDirRescan(NodeAt("/e", true).attr));
  EXPECT_TRUE(EventList2::IsServerSubDirRescanWithStat(NodeAt("/g", true).attr));
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("SetLocalSubDirRescanWithStat(sub-node processing) [/d]."));
  EXPECT_THAT(log, HasSubstr("SetServerSubDirRescanWithStat(sub-node processing) [/g]."));
  EXPECT_THAT(log, HasSubstr("file '/d/s' is processing with event type [3]"));
}

TEST_F(TreeTest, PrintShowsTheWalk) {
  ASSERT_EQ(0, list.Push(Ev("/f", Event::EV_CREATE)));
  ASSERT_EQ(0, list.Push(Ev("/d", Event::EV_MODIFY, kDir | kServer, 3)));
  ASSERT_EQ(0, list.Push(Ev("/d/g", Event::EV_MODIFY)));
  ASSERT_EQ(0, list.Push(Ev("/d/g", Event::EV_MODIFY, kServer, 4)));  // conflict
  ASSERT_EQ("/f", PopPath());
  ::testing::internal::CaptureStdout();
  list.Print();
  EXPECT_EQ(
      "* /, ref = (1, 0), mode = local, status = DONE, path = \n"
      "  + f, mode = local, status = PROCESSING, path = /f\n"
      "  * d, ref = (0, 0), mode = server, status = WAITING, path = /d\n"
      "    + g, mode = server,conflict, status = WAITING, path = /d/g\n",
      ::testing::internal::GetCapturedStdout());

  list.TraverseTree();
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("========TraverseTree , server_event_count = [2], local_event_count=[1]"));
  EXPECT_THAT(log, HasSubstr("[Dir] server=[1],Conflict=[0],SubDirRescan=[0],name=[d],status =[0],"
                             "type[3],refSerCount=[0],refLocCount=[0],path=[/d]"));
  EXPECT_THAT(log, HasSubstr("[File] server=[1],Conflict=[1],SubDirRescan=[0],name=[g],status=[0],"
                             "type=[3],path=[/d/g]"));
}

TEST_F(TreeTest, MessagesOfPushAndPop) {
  ASSERT_EQ(0, list.Push(Ev("/a/b.txt", Event::EV_CREATE, 0, 0, "hh")));
  ASSERT_EQ(0, list.Push(Ev("/", Event::EV_MODIFY, kDir | kServer, 17)));
  ASSERT_EQ("/", PopPath());
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("[INFO] event-list2("));
  EXPECT_THAT(log, HasSubstr("): [Push Event] = [Event<EV_ADD>: [0] /a/b.txt (local,file) size = 0, "
                             "hash = hh]\n"));
  EXPECT_THAT(log, HasSubstr("): [Pop Event] = ['/', 17, server]\n"));
}

}  // namespace
}  // namespace event_list2_test
