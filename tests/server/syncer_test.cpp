// The Syncer's steps driven from the test thread against the stand-in: the
// pull request, changes drained and the sync id stored, the first rescan,
// refused and malformed replies, hostile change records, and the choice of
// the next session.
#include <dirent.h>

#include <algorithm>
#include <set>

#include "server/syncer_error.h"
#include "syncer_fixture.h"
#include "transport/error_code.h"

namespace {

using syncer_test::SyncerTest;
using json = nlohmann::json;
using syncer_error::Action;

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.insert(n);
    }
    closedir(d);
  }
  return out;
}

TEST_F(SyncerTest, ThreeDrainedChangesAdvanceTheSyncIdToTheHead) {
  AddSession(1);
  server_.Put("/r1/a", "A");
  server_.Put("/r1/b", "B");
  server_.Mkdir("/r1/c");
  const uint64_t head = server_.Head();
  Drainer();
  auto syncer = MakeSyncer();
  syncer->SetState(Task::RUN);  // its waits are real; no thread runs

  ASSERT_EQ(0, syncer->UpdateContext());
  ASSERT_TRUE(syncer->IsSessionReady());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  std::vector<std::string> paths = TakenPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ((std::vector<std::string>{"/a", "/b", "/c"}), paths);
  EXPECT_EQ(std::to_string(head), StoredSyncId(1));

  std::vector<json> pulls = Pulls();
  ASSERT_EQ(1u, pulls.size());
  const json& req = pulls[0]["request"];
  EXPECT_EQ(0u, req["sync_id"].get<uint64_t>());
  EXPECT_EQ("test-token", req["session"]);
  EXPECT_EQ("/r1", req["path"]);
  EXPECT_EQ(1u, req["view_id"].get<uint64_t>());
  EXPECT_EQ(41u, req["node_id"].get<uint64_t>());
  EXPECT_EQ(1, req["recursive"].get<int>());  // an integer, not a boolean
  EXPECT_EQ(0, req["file"]["offset"].get<int>());
  EXPECT_EQ(0, req["mtime"]["offset"].get<int>());
  EXPECT_FALSE(req.contains("condition"));

  // The next pull starts at the head and finds the session up to date (the
  // state is no longer RUN, so the 5-second rest returns at once).
  syncer->SetState(Task::STOP);
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  pulls = Pulls();
  ASSERT_EQ(2u, pulls.size());
  EXPECT_EQ(head, pulls[1]["request"]["sync_id"].get<uint64_t>());
  EXPECT_TRUE(Logged("session '1' is uptodate."));
  EXPECT_TRUE(Logged("all session is uptodate, wait for 5 seconds."));
  EXPECT_EQ(std::to_string(head), StoredSyncId(1));
}

// A reply of more changes than a slice: every change is carried out, no
// more than a slice is queued at any moment, and the sync id is stored only
// after the last slice (each taken change still sees the old one), so an
// interruption anywhere in the reply pulls it again whole.
TEST_F(SyncerTest, ReplyLargerThanASliceIsCarriedOutWholeThenStored) {
  struct Case {
    int changes;
    size_t slice;
  } cases[] = {{7, 3}, {6, 3}, {2, 5}, {4, 1}};
  uint64_t id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.changes) + " changes, slice " + std::to_string(c.slice));
    if (id != 0) Registry::getInstance().Clear(id);
    ++id;
    AddSession(id);
    std::vector<std::string> want;
    for (int i = 0; i < c.changes; ++i) {
      server_.Put("/r" + std::to_string(id) + "/f" + std::to_string(i), "x");
      want.push_back("/f" + std::to_string(i));
    }
    const uint64_t head = server_.Head();
    SeenAtTake seen;
    RecordingDrainer(id, seen, [this, id] { return StoredSyncId(id); });
    auto syncer = MakeSyncer();
    syncer->set_pull_slice(c.slice);
    syncer->SetState(Task::RUN);

    ASSERT_EQ(0, syncer->UpdateContext());
    ASSERT_EQ(id, syncer->context().entry.sess_id);
    EXPECT_EQ(ERR_OK, syncer->PullEvent());
    drainer_->Stop();
    std::vector<std::string> paths = TakenPaths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(want, paths);
    EXPECT_EQ(std::to_string(head), StoredSyncId(id));
    EXPECT_EQ(1u, PullsOf("/r" + std::to_string(id)).size());
    ASSERT_EQ(static_cast<size_t>(c.changes), seen.pending.size());
    for (size_t i = 0; i < seen.pending.size(); ++i) {
      EXPECT_LE(seen.pending[i], c.slice) << "change " << i;
      EXPECT_EQ("0", seen.stored[i]) << "change " << i;
    }
  }
}

// AddRescanEvent(s, true) gives IssueRescan(s, "/", true) the first time the
// session is up to date, and never again.
TEST_F(SyncerTest, RescanIsIssuedOnceWhenFirstUpToDate) {
  AddSession(1);
  auto syncer = MakeSyncer();
  syncer->AddRescanEvent(1, false);
  syncer->AddRescanEvent(1, true);  // replaces the earlier flag
  auto& drainer = Drainer();
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  ASSERT_TRUE(drainer.WaitForCount(2, std::chrono::seconds(5)));
  const std::vector<Event> taken = drainer.Taken();
  EXPECT_EQ(Event::EV_MODIFY, taken[0].m_type);
  EXPECT_EQ("/", taken[0].m_path);
  EXPECT_EQ(static_cast<uint32_t>(Event::F_DIR), taken[0].m_mode);
  EXPECT_EQ(Event::EV_CREATE, taken[1].m_type);
  EXPECT_EQ("/", taken[1].m_path);
  EXPECT_EQ(static_cast<uint32_t>(Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | Event::F_MERGE),
            taken[1].m_mode);
  EXPECT_TRUE(Logged("session #1 is up-to-date, issue rescan"));

  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(2u, drainer.Count());
  EXPECT_EQ(1u, Count("issue rescan"));
}

// Replies that hold no usable changes information: nothing is queued and
// the stored sync id stays. An "error" the daemon has no code for is
// ERR_SERVER (retried after 3 s), never a reply "without changes", which
// would store next_sync_id 0; a missing or oversized next_sync_id is
// ERR_PROTO (above 2^63 - 1 it would read back as the forced-download mark).
TEST_F(SyncerTest, UnusableRepliesQueueAndStoreNothing) {
  AddSession(1);
  server_.Put("/r1/a", "A");
  struct Case {
    const char* name;
    json rule;
    ErrorCode code;
    Action action;
  } cases[] = {
      {"internal error 0x7000", {{"error", 0x7000}}, ERR_SERVER, Action::kRetry},
      {"class 8", {{"error", 0x8001}}, ERR_SERVER, Action::kRetry},
      {"above 16 bits", {{"error", 0x17000}}, ERR_SERVER, Action::kRetry},
      {"no next_sync_id", {{"omit", {"next_sync_id"}}}, ERR_PROTO, Action::kGiveUp},
      {"next_sync_id 2^63", {{"set", {{"next_sync_id", 9223372036854775808ull}}}}, ERR_PROTO, Action::kGiveUp},
      {"next_sync_id 2^64-1", {{"set", {{"next_sync_id", 18446744073709551615ull}}}}, ERR_PROTO, Action::kGiveUp},
      {"next_sync_id as text", {{"set", {{"next_sync_id", "7"}}}}, ERR_PROTO, Action::kGiveUp},
      {"session missing 0x2001", {{"error", 0x2001}}, ERR_AUTH, Action::kRetry},
      {"invalid view 0x3001", {{"error", 0x3001}}, ERR_VIEW, Action::kRetry},
  };
  auto syncer = MakeSyncer();
  syncer->SetState(Task::RUN);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json rule = c.rule;
    rule["action"] = "pull_event";
    ASSERT_NE(0u, server_.Fault(rule));
    ASSERT_EQ(0, syncer->UpdateContext());
    EXPECT_EQ(c.code, syncer->PullEvent());
    EXPECT_EQ(0u, EventManager::getInstance()->GetAllPendingEventCount(1));
    EXPECT_EQ("0", StoredSyncId(1));
    EXPECT_EQ(c.action, syncer->HandleError(c.code));
    server_.ClearFaults();
  }
  // The error reports reach the user interface by type.
  EXPECT_TRUE(ui_->waitFor(
      [](const std::vector<PObject>& msgs) {
        bool conn = false, sess = false;
        for (const PObject& m : msgs) {
          conn =
              conn || (m.hasMember("connection_id") && testsupport::UiStandIn::ErrorType(m) == ErrorNumber(ERR_AUTH));
          sess = sess || (m.hasMember("session_id") && testsupport::UiStandIn::ErrorType(m) == ErrorNumber(ERR_VIEW));
        }
        return conn && sess;
      },
      std::chrono::seconds(5)));
  // A good reply afterwards is processed as usual.
  Drainer();
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  EXPECT_EQ(std::to_string(server_.Head()), StoredSyncId(1));
}

// Change records whose paths would act outside the session folder or on
// the daemon's own folder are dropped by the generator; safe ones go on.
TEST_F(SyncerTest, HostileChangePathsAreDropped) {
  AddSession(1);
  ASSERT_EQ(0, mkdir(Path("local1/" + std::string(kWorkingDirName)).c_str(), 0755));
  WriteFile("outside", "user data");
  server_.Put("/r1/safe", "S");
  auto record = [](const std::string& path, int is_dir, int removed) {
    return json{{"path", path}, {"is_dir", is_dir}, {"is_removed", removed}, {"sync_id", 9},
                {"max_id", 9},  {"file", {{"hash", "00000000000000000000000000000000"}, {"size", 1}}}};
  };
  json extra = json::array({record("/../x", 0, 0), record("", 0, 0), record("/", 0, 0),
                            record("/" + std::string(kWorkingDirName) + "/#ZarqRecycle/x", 0, 0),
                            record("/", 1, 1)});
  ASSERT_NE(0u, server_.Fault({{"action", "pull_event"}, {"extra_records", extra}}));
  const std::set<std::string> top_before = Names(Path());
  Drainer();
  auto syncer = MakeSyncer();
  syncer->SetState(Task::RUN);
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_OK, syncer->PullEvent());
  EXPECT_EQ(std::vector<std::string>{"/safe"}, TakenPaths());
  EXPECT_EQ(5u, Count("Server change with unsafe path")) << Log();
  EXPECT_EQ(top_before, Names(Path()));
  EXPECT_EQ("user data", ReadFile("outside"));
  EXPECT_EQ(std::set<std::string>{kWorkingDirName}, Names(Path("local1")));
  EXPECT_EQ(std::to_string(server_.Head()), StoredSyncId(1));
}

// A session whose connection is gone ("unlink_connection" keeps its
// sessions) is skipped with an ERROR, and the next round moves past it: a
// first session without a connection never holds the others back.
TEST_F(SyncerTest, SessionWithoutConnectionIsSkippedNotRepeated) {
  AddSession(1, /*conn_id=*/9);
  AddSession(2);
  AddSession(3);
  auto syncer = MakeSyncer();
  std::vector<uint64_t> served;
  for (int i = 0; i < 6; ++i) {
    if (syncer->UpdateContext() == 0) served.push_back(syncer->context().entry.sess_id);
  }
  EXPECT_EQ((std::vector<uint64_t>{2, 3, 2, 3}), served);
  EXPECT_EQ(2u, Count("invalid connection id 9"));
}

TEST_F(SyncerTest, EmptyRegistryHasNoSession) {
  auto syncer = MakeSyncer();
  EXPECT_EQ(-1, syncer->UpdateContext());
  EXPECT_TRUE(Logged("invalid session id 0"));
}

TEST_F(SyncerTest, PausedOrProgressHeldSessionIsNotReady) {
  AddSession(1);
  auto syncer = MakeSyncer();
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_TRUE(syncer->IsSessionReady());

  ProgressCache::getInstance()->addProgressEntry(5, ResumeCondition{1, 0, -12, "txt"});
  EXPECT_FALSE(syncer->IsSessionReady());
  EXPECT_TRUE(Logged("session '1' is in ProgrssCache."));
  ProgressCache::getInstance()->clear();

  SetPause(1, true);
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_FALSE(syncer->IsSessionReady());
  EXPECT_TRUE(Pulls().empty());
}

TEST_F(SyncerTest, UnreadableSyncIdSendsNothing) {
  Registry::Entry e;
  e.sess_id = 4;
  e.conn_id = 1;
  e.view_id = 1;
  Registry::getInstance().Set(e);  // no event database
  auto syncer = MakeSyncer();
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_EQ(ERR_SYS, syncer->PullEvent());
  EXPECT_TRUE(Pulls().empty());
}

TEST_F(SyncerTest, FilesystemInfoOfTheSessionFolder) {
  AddSession(1);
  WriteFile("local1/f", "12345");
  auto syncer = MakeSyncer();
  ASSERT_EQ(0, syncer->UpdateContext());
  FILE_INFO info;
  Event ev;
  ev.m_path = "/f";
  ASSERT_EQ(0, syncer->GetFilesystemInfo(ev, info));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(5u, info.size);
  ev.m_path = "/";
  ASSERT_EQ(0, syncer->GetFilesystemInfo(ev, info));
  EXPECT_TRUE(info.isExist);
  EXPECT_EQ(syncer->GetConnectionInfo().session, "test-token");
}

}  // namespace
