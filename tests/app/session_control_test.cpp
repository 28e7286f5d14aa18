// "reload_session", "remove_session", "pause", "resume" and "add_event" on
// sessions that exist.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_fixture.h"
#include "session/event_manager.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class SessionControlTest : public AppFixture {
 protected:
  // "add_session" of session `id` (its folders made first, with the given
  // rule files), then "resume" unless `paused`.
  void AddSession(uint64_t id, const std::string& black = "", PObject req = PObject(), bool paused = false) {
    MakeSessionFolders(id, black);
    if (req.isNull()) req = SessionRequest(id);
    PObject rsp = Call("add_session", req);
    ASSERT_FALSE(rsp.hasMember("error")) << Text(rsp) << Log();
    if (!paused) Resume(id);
  }
  void Resume(uint64_t id) { Call("resume", Ids(id)); }
  void Pause(uint64_t id) { Call("pause", Ids(id)); }
  static PObject Ids(uint64_t sess_id) {
    PObject req;
    req["session_id"] = static_cast<unsigned long long>(sess_id);
    return req;
  }
  PObject Reload(uint64_t id, const char* key, int value) {
    PObject req = Ids(id);
    req[key] = value;
    return Call("reload_session", req);
  }
  // The last stored sync id of session `id`, as text.
  std::string StoredSyncId(uint64_t id) {
    return Sqlite(EventDbPath(id), "SELECT value FROM config_table WHERE key = 'sync_id'");
  }
  bool ArrivedLocally(uint64_t id, const std::string& rel, const std::string& content) {
    const std::string path = LocalPath(id) + rel;
    return Exists(path) && ReadFile(path.substr(Path().size() + 1)) == content;
  }
  static size_t Pending(uint64_t id) { return EventManager::getInstance()->GetAllPendingEventCount(id); }
  size_t RequestCount(const std::string& action) { return Requests(action).size(); }
};

// ---- reload_session ----

TEST_F(SessionControlTest, ReloadWithoutIdOrWithAnUnknownOne) {
  Link();
  PObject rsp = Call("reload_session");
  EXPECT_EQ("Invalid parameter", std::string(rsp["error"].asString().c_str_utf8()));
  EXPECT_TRUE(Logged("Invalid parameter\n.\n")) << Log();
  rsp = Reload(5, "read_only", 1);
  EXPECT_EQ("Invalid session.", std::string(rsp["error"].asString().c_str_utf8()));
  EXPECT_TRUE(Logged("invalid session 5, stop reload")) << Log();
}

// Read-only to read-write rescans: what was made meanwhile reaches the
// server. Back to read-only, later changes stay local.
TEST_F(SessionControlTest, ReadOnlyOffUploadsWhatWasMadeMeanwhileAndOnKeepsChangesLocal) {
  Link();
  Connect(1);
  PObject req = SessionRequest(1);
  req["read_only"] = 1;
  AddSession(1, "", req);
  WriteFile("local1/made.txt", "made while read-only");
  ASSERT_TRUE(WaitUntil([&] { return Logged("is read-only, ignore event"); }, 20s)) << Log();
  ASSERT_TRUE(WaitDaemonLooked(1));
  EXPECT_FALSE(server_.Get("/made.txt").has_value());

  EXPECT_FALSE(Reload(1, "read_only", 0).hasMember("error"));
  EXPECT_FALSE(Entry(1).read_only);
  EXPECT_TRUE(Logged("chaning permission sync of session 1 to read write")) << Log();
  ASSERT_TRUE(WaitUntil([&] { return server_.Get("/made.txt").has_value(); }, 20s)) << Log();

  EXPECT_FALSE(Reload(1, "read_only", 1).hasMember("error"));
  EXPECT_TRUE(Entry(1).read_only);
  const size_t ignored = CountInLog("is read-only, ignore event");
  WriteFile("local1/later.txt", "stays here");
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("is read-only, ignore event") > ignored; }, 20s)) << Log();
  ASSERT_TRUE(WaitDaemonLooked(1));
  EXPECT_FALSE(server_.Get("/later.txt").has_value());
}

// Switching to non-recursive moves every local sub-folder to the user's
// trash, with what the server never had (a file made while paused, an edit
// not yet sent, a file held back by a selective-sync rule, a new folder);
// the records below the top level go, nothing on the server is removed, and
// top-level files, the working folder and a linked folder (with its target)
// stay.
TEST_F(SessionControlTest, RecursiveOffMovesLocalSubfoldersToTheTrash) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/top.txt", "top"));
  ASSERT_NE(0u, server_.Put("/sub/a.txt", "a"));
  ASSERT_NE(0u, server_.Put("/sub/deep/b.txt", "b"));
  AddSession(1, "[Common]\nblack_path_prefix_selective_sync = \"/held\"\n");
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/sub/deep/b.txt", "b"); }, 20s)) << Log();
  ASSERT_EQ(0, mkdir((LocalPath(1) + "/held").c_str(), 0755));
  WriteFile("local1/held/h.txt", "held back");
  ASSERT_TRUE(WaitUntil([&] { return Sqlite(Path("filter.db"),
                                            "SELECT count(*) FROM filtered_local_event_table WHERE path LIKE "
                                            "'%h.txt'") != "0\n"; },
                        20s))
      << Log();
  ASSERT_EQ(0, mkdir(Path("target").c_str(), 0755));
  WriteFile("target/kept.txt", "kept");
  ASSERT_EQ(0, symlink(Path("target").c_str(), (LocalPath(1) + "/linked").c_str()));
  ASSERT_TRUE(WaitUntil([&] { return Pending(1) == 0; }, 10s));
  // Paused: what follows never reaches the server.
  Pause(1);
  WriteFile("local1/sub/new.txt", "made while paused");
  WriteFile("local1/sub/a.txt", "edited while paused");
  ASSERT_EQ(0, mkdir((LocalPath(1) + "/fresh").c_str(), 0755));
  WriteFile("local1/fresh/f.txt", "in a new folder");
  ASSERT_EQ(0, setenv("XDG_DATA_HOME", Path("data").c_str(), 1));  // put back by the fixture

  EXPECT_FALSE(Reload(1, "recursive", 0).hasMember("error"));
  EXPECT_FALSE(Entry(1).recursive);
  for (const char* gone : {"/sub", "/held", "/fresh"}) EXPECT_FALSE(Exists(LocalPath(1) + gone)) << gone;
  EXPECT_EQ("made while paused", ReadFile("data/Trash/files/sub/new.txt"));
  EXPECT_EQ("edited while paused", ReadFile("data/Trash/files/sub/a.txt"));
  EXPECT_EQ("b", ReadFile("data/Trash/files/sub/deep/b.txt"));
  EXPECT_EQ("held back", ReadFile("data/Trash/files/held/h.txt"));
  EXPECT_EQ("in a new folder", ReadFile("data/Trash/files/fresh/f.txt"));
  EXPECT_NE(std::string::npos, ReadFile("data/Trash/info/sub.trashinfo").find("\nPath=" + LocalPath(1) + "/sub\n"));
  EXPECT_EQ("top", ReadFile("local1/top.txt"));
  EXPECT_TRUE(Exists(LocalPath(1) + "/.ZarqelonWorkingDirectory/#ZarqRecycle"));
  EXPECT_FALSE(Exists(Path("data/Trash/files/.ZarqelonWorkingDirectory")));
  EXPECT_TRUE(Exists(LocalPath(1) + "/linked"));
  EXPECT_EQ("kept", ReadFile("target/kept.txt"));
  EXPECT_EQ("0\n", Sqlite(EventDbPath(1), "SELECT count(*) FROM event_table WHERE path GLOB '/*/*'"));
  Resume(1);
  const size_t pulls = RequestCount("pull_event");
  ASSERT_TRUE(WaitUntil([&] { return RequestCount("pull_event") >= pulls + 2; }, 20s)) << Log();
  ASSERT_TRUE(WaitDaemonLooked(1));
  EXPECT_EQ(0u, RequestCount("remove")) << Log();
  EXPECT_TRUE(server_.Get("/sub/deep/b.txt").has_value());
  ASSERT_TRUE(server_.Get("/sub/a.txt").has_value());
  EXPECT_EQ(1u, server_.Get("/sub/a.txt")->size);  // the edit stayed local
}

// Where no trash can take a sub-folder, it stays in place with its bytes
// and the user interface is told.
TEST_F(SessionControlTest, RecursiveOffWithoutATrashKeepsTheFoldersAndTellsTheUserInterface) {
  Link();
  Connect(1);
  AddSession(1);
  ASSERT_EQ(0, mkdir((LocalPath(1) + "/sub").c_str(), 0755));
  WriteFile("local1/sub/new.txt", "never uploaded");
  Pause(1);
  // A file where the trash folder would be made.
  ASSERT_EQ(0, mkdir(Path("data").c_str(), 0755));
  WriteFile("data/Trash", "not a folder");
  ASSERT_EQ(0, setenv("XDG_DATA_HOME", Path("data").c_str(), 1));  // put back by the fixture

  EXPECT_FALSE(Reload(1, "recursive", 0).hasMember("error"));
  EXPECT_FALSE(Entry(1).recursive);
  EXPECT_EQ("never uploaded", ReadFile("local1/sub/new.txt"));
  EXPECT_TRUE(Logged("is kept: no trash takes it")) << Log();
  ASSERT_TRUE(ui_->waitFor(
      [](const std::vector<PObject>& msgs) {
        return testsupport::UiStandIn::SessionErrors(msgs, 1, ErrorNumber(ERR_SYS)) > 0;
      },
      10s))
      << Log();
}

// Switching to recursive pulls again from sync id 0, now with the
// sub-folders.
TEST_F(SessionControlTest, RecursiveOnPullsAgainFromZero) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/top.txt", "top"));
  ASSERT_NE(0u, server_.Put("/sub/a.txt", "a"));
  PObject req = SessionRequest(1);
  req["recursive"] = 0;
  AddSession(1, "", req);
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/top.txt", "top"); }, 20s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return StoredSyncId(1) != "0\n"; }, 20s)) << Log();
  // Paused, so that no pull stores a newer id before it is read.
  Pause(1);
  EXPECT_FALSE(Reload(1, "recursive", 1).hasMember("error"));
  EXPECT_TRUE(Entry(1).recursive);
  EXPECT_EQ("0\n", StoredSyncId(1));
  const size_t before = RequestCount("pull_event");
  Resume(1);
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/sub/a.txt", "a"); }, 20s)) << Log();
  const std::vector<nlohmann::json> pulls = Requests("pull_event");
  ASSERT_GT(pulls.size(), before);
  EXPECT_EQ(0, pulls[before]["request"].value("sync_id", -1));
  EXPECT_EQ(1, pulls[before]["request"].value("recursive", -1));
}

// A loosened selective-sync prefix: the rules reconcile into a resume
// condition, the progress syncer pulls with it, and the files it held back
// arrive.
TEST_F(SessionControlTest, ReloadFilterWithALoosenedPrefixPullsWhatItHeldBack) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/pub.txt", "pub"));
  ASSERT_NE(0u, server_.Put("/private/p.txt", "private"));
  AddSession(1, "[Common]\nblack_path_prefix_selective_sync = \"/private\"\n");
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/pub.txt", "pub"); }, 20s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return Pending(1) == 0; }, 10s));
  EXPECT_FALSE(Exists(LocalPath(1) + "/private/p.txt"));

  // Paused, so the condition is still there to be read.
  Pause(1);
  WriteFile("config1/conf/blacklist.filter", "");
  PObject req = Ids(1);
  req["do_reload_filter"] = 1;
  PObject rsp = Call("reload_session", req);
  EXPECT_FALSE(rsp.hasMember("error")) << Text(rsp);
  EXPECT_TRUE(Logged("reload_session with reload_filter")) << Log();
  // The first reconciliation's condition for the white list's "*" may
  // still be there too.
  EXPECT_EQ("1|/private\n", Sqlite(Path("filter.db"),
                                   "SELECT sess_id, filter_desc FROM filter_resume_table WHERE filter_type = -13"));
  EXPECT_EQ(0, Entry(1).black_list->TestFilePath("/private/p.txt"));

  Resume(1);
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/private/p.txt", "private"); }, 30s)) << Log();
  bool with_condition = false;
  for (const nlohmann::json& pull : Requests("pull_event")) {
    const nlohmann::json& r = pull["request"];
    if (r.contains("condition") && r["condition"].value("prefix", "") == "/private") with_condition = true;
  }
  EXPECT_TRUE(with_condition);
}

// One rule file that fails loads none: the new black list (without its
// prefix) must not run beside the old white list. Nothing is reconciled
// and the excluded file stays held back.
TEST_F(SessionControlTest, ABrokenWhiteListLoadsNoRuleFile) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/pub.txt", "pub"));
  ASSERT_NE(0u, server_.Put("/private/p.txt", "private"));
  AddSession(1, "[Common]\nblack_path_prefix_selective_sync = \"/private\"\n");
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/pub.txt", "pub"); }, 20s)) << Log();
  // The first white list "*" made a condition of its own; it is worked off.
  ASSERT_TRUE(WaitUntil(
      [&] { return Sqlite(Path("filter.db"), "SELECT count(*) FROM filter_resume_table") == "0\n"; }, 20s));

  WriteFile("config1/conf/blacklist.filter", "");
  WriteFile("config1/conf/whitelist.filter", "[File]\nwhite_ext = \"png\", x\n");
  PObject req = Ids(1);
  req["do_reload_filter"] = 1;
  PObject rsp = Call("reload_session", req);
  EXPECT_EQ("Failed to load white list.", std::string(rsp["error"].asString().c_str_utf8()));
  EXPECT_TRUE(Logged("failed to reload white list filter for sesion 1")) << Log();
  const Registry::Entry e = Entry(1);
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, e.black_list->TestFilePath("/private/p.txt"));
  EXPECT_EQ(0, e.white_list->Test("a.txt"));  // the old "*" stays
  EXPECT_EQ("0\n", Sqlite(Path("filter.db"), "SELECT count(*) FROM filter_resume_table WHERE filter_type = -13"));
  ASSERT_TRUE(WaitDaemonLooked(1));
  EXPECT_FALSE(Exists(LocalPath(1) + "/private/p.txt"));
}

// ---- remove_session ----

TEST_F(SessionControlTest, RemoveWithZeroOrWithoutIdEmptiesTheRegistry) {
  Link();
  for (bool with_zero : {false, true}) {
    for (uint64_t id : {1, 2, 3}) {
      const uint64_t n = id + (with_zero ? 10 : 0);
      AddSession(n, "", PObject(), true);
    }
    ASSERT_EQ(3u, Registry::getInstance().Size());
    PObject req;
    if (with_zero) req["session_id"] = 0;
    PObject rsp = Call("remove_session", req);
    EXPECT_FALSE(rsp.hasMember("error")) << Text(rsp);
    EXPECT_EQ(0u, Registry::getInstance().Size()) << with_zero;
  }
}

// An unknown id answers "Invalid session."; the workers, paused around it,
// go on with the other session.
TEST_F(SessionControlTest, RemovingAnUnknownSessionLeavesTheOthersSyncing) {
  Link();
  Connect(1);
  AddSession(1);
  PObject rsp = Call("remove_session", Ids(9));
  EXPECT_EQ("Invalid session.", std::string(rsp["error"].asString().c_str_utf8()));
  EXPECT_TRUE(Logged("invalid session 9, stop remove")) << Log();
  EXPECT_EQ(1u, Registry::getInstance().Size());
  ASSERT_NE(0u, server_.Put("/after.txt", "after"));
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/after.txt", "after"); }, 20s)) << Log();
}

// Nothing is deleted on disk; a session added again continues from its
// stored sync id.
TEST_F(SessionControlTest, RemovedSessionKeepsItsStateAndAReAddContinues) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/a.txt", "a"));
  AddSession(1, "[Common]\nblack_path_prefix_selective_sync = \"/private\"\n");
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/a.txt", "a"); }, 20s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return StoredSyncId(1) != "0\n"; }, 20s)) << Log();
  const std::string stored = StoredSyncId(1);
  const std::string filter_rows = Sqlite(Path("filter.db"), "SELECT count(*) FROM filter_table WHERE sess_id = 1");

  PObject rsp = Call("remove_session", Ids(1));
  EXPECT_FALSE(rsp.hasMember("error")) << Text(rsp);
  EXPECT_EQ(0u, Registry::getInstance().Size());
  EXPECT_TRUE(Logged("session '1' is removed.")) << Log();
  EXPECT_EQ("a", ReadFile("local1/a.txt"));
  EXPECT_TRUE(Exists(LocalPath(1) + "/.ZarqelonWorkingDirectory/#ZarqRecycle"));
  EXPECT_TRUE(Exists(ConfigPath(1) + "/conf/blacklist.filter"));
  EXPECT_EQ(stored, StoredSyncId(1));
  EXPECT_NE("0\n", filter_rows);
  EXPECT_EQ(filter_rows, Sqlite(Path("filter.db"), "SELECT count(*) FROM filter_table WHERE sess_id = 1"));

  const size_t before = RequestCount("pull_event");
  ASSERT_FALSE(Call("add_session", SessionRequest(1)).hasMember("error")) << Log();
  Resume(1);
  ASSERT_TRUE(WaitUntil([&] { return RequestCount("pull_event") > before; }, 20s)) << Log();
  EXPECT_EQ(std::stoull(stored), Requests("pull_event")[before]["request"].value("sync_id", 0ull));
}

// ---- pause and resume ----

// Which sessions a request selects: by session (0 every one), by connection
// (0 every one), neither (none), an unknown id (none).
TEST_F(SessionControlTest, PauseAndResumeSelectSessionsByIdOrConnection) {
  MakeSessionFolders(1);
  MakeSessionFolders(2);
  MakeSessionFolders(3);
  const struct {
    const char* name;
    int64_t session;     // -1: absent
    int64_t connection;  // -1: absent
    std::set<uint64_t> selected;
  } cases[] = {
      {"session 0", 0, -1, {1, 2, 3}},
      {"session 3", 3, -1, {3}},
      {"connection 1", -1, 1, {1, 2}},
      {"connection 0", -1, 0, {1, 2, 3}},
      {"session 3 or connection 1", 3, 1, {1, 2, 3}},
      {"neither", -1, -1, {}},
      {"unknown session", 9, -1, {}},
      {"unknown connection", -1, 9, {}},
  };
  for (const char* action : {"pause", "resume"}) {
    const bool pausing = std::string(action) == "pause";
    for (const auto& c : cases) {
      Registry::getInstance().Clear();
      for (uint64_t id : {1, 2, 3}) {
        Registry::Entry e;
        e.sess_id = id;
        e.conn_id = id == 3 ? 2 : 1;
        e.pause = !pausing;
        Registry::getInstance().Set(e);
      }
      PObject req;
      if (c.session >= 0) req["session_id"] = static_cast<unsigned long long>(c.session);
      if (c.connection >= 0) req["connection_id"] = static_cast<unsigned long long>(c.connection);
      PObject rsp = Call(action, req);
      EXPECT_EQ("null", Text(rsp)) << action << " " << c.name;
      for (uint64_t id : {1, 2, 3}) {
        const bool changed = c.selected.count(id) == 1;
        EXPECT_EQ(pausing == changed, Entry(id).pause) << action << " " << c.name << " " << id;
      }
    }
  }
}

// "pause" aborts a download that hangs in the server: the reply comes
// within 2 s and no worker is busy any more.
TEST_F(SessionControlTest, PauseDuringAStalledDownloadAnswersAtOnce) {
  Link();
  Connect(1);
  ASSERT_NE(0u, server_.Put("/slow.bin", std::string(1 << 20, 's')));
  server_.Fault({{"action", "resume_download"}, {"delay_ms", 4000}});
  AddSession(1);
  ASSERT_TRUE(WaitUntil([&] { return RequestCount("resume_download") >= 1; }, 20s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return !Call("get_status")["worker_list"].isNull(); }, 5s)) << Log();
  const auto start = std::chrono::steady_clock::now();
  Pause(1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(Entry(1).pause);
  PObject status = Call("get_status");
  EXPECT_TRUE(status["worker_list"].isNull()) << Text(status);
  EXPECT_EQ("pause", std::string(status["session_list"][0]["status"].asString().c_str_utf8()));
}

// "pause" in the middle of a resumable upload, then "resume": the worker
// asks the server how far it got and the file ends whole on the server.
TEST_F(SessionControlTest, ResumeContinuesAnInterruptedUploadFromTheServersOffset) {
  Link();
  Connect(1);
  // Far more than the socket buffers hold: the worker is still sending
  // when the server stops reading after 1 MiB.
  std::string body(32 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) >> 7);
  server_.Fault({{"action", "resume_upload"}, {"bytes", 1 << 20}, {"stall_ms", 5000}});
  AddSession(1, "", PObject(), true);
  WriteFile("local1/big.bin", body);
  Resume(1);
  // The body is on its way (the journal lists a request only once its body
  // is in).
  ASSERT_TRUE(WaitUntil(
      [&] {
        const PObject workers = Call("get_status")["worker_list"];
        return workers[0]["status"].asString() == "uploading" && workers[0]["progress"].asUInt64() >= (1u << 20);
      },
      20s))
      << Log();
  const auto start = std::chrono::steady_clock::now();
  Pause(1);
  // A sender blocked in the kernel notices the abort at its next 1-s poll.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_TRUE(Call("get_status")["worker_list"].isNull());
  Resume(1);
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto got = server_.Get("/big.bin");
        return got.has_value() && got->size == body.size();
      },
      40s))
      << Log();
  EXPECT_GE(RequestCount("resume_get_status"), 1u) << Log();
}

// Unlinked there are no tasks: the session handlers change the registry
// and touch nothing else.
TEST_F(SessionControlTest, UnlinkedHandlersTouchNoTask) {
  MakeSessionFolders(1);
  RegisterSession(1);
  ASSERT_EQ(nullptr, app_.detector());
  Pause(1);
  EXPECT_TRUE(Entry(1).pause);
  Resume(1);
  EXPECT_FALSE(Entry(1).pause);
  EXPECT_FALSE(Reload(1, "read_only", 1).hasMember("error"));
  EXPECT_TRUE(Entry(1).read_only);
  EXPECT_FALSE(Call("remove_session", Ids(1)).hasMember("error"));
  EXPECT_EQ(0u, Registry::getInstance().Size());
}

// ---- add_event ----

// "upload" and "remove" queue a local event; another type and an unknown
// session queue nothing and answer without "error".
TEST_F(SessionControlTest, AddEventQueuesUploadsAndRemovesOnly) {
  MakeSessionFolders(1);
  RegisterSession(1, 1, "/", true);
  WriteFile("local1/u.txt", "u");
  const struct {
    uint64_t session;
    const char* type;
    const char* path;
    size_t pending;
  } cases[] = {
      {1, "upload", "/u.txt", 1},  {1, "remove", "/gone.txt", 2}, {1, "rename", "/r.txt", 2},
      {1, "", "/e.txt", 2},        {9, "upload", "/u.txt", 2},
  };
  for (const auto& c : cases) {
    PObject req;
    req["session_id"] = static_cast<unsigned long long>(c.session);
    req["type"] = c.type;
    req["path"] = c.path;
    req["is_dir"] = 0;
    PObject rsp = Call("add_event", req);
    EXPECT_EQ("null", Text(rsp)) << c.type;
    EXPECT_EQ(c.pending, Pending(1)) << c.type << " " << c.path;
  }
  EXPECT_TRUE(Logged("add upload event '/u.txt'")) << Log();
  EXPECT_TRUE(Logged("add remove event '/gone.txt'")) << Log();
  EXPECT_TRUE(Logged("invalid session id 9")) << Log();
}

// A path that would reach outside the session, or the session root in a
// removal, is dropped with a warning: nothing queued, nothing sent, no
// "error".
TEST_F(SessionControlTest, AddEventDropsUnsafePaths) {
  Link();
  Connect(1);
  AddSession(1);
  // The rescan that the first up-to-date pull issues is done, and with it
  // whatever it queued: an empty queue alone can be the moment a worker
  // has taken the rescan and not yet pushed what it found.
  ASSERT_TRUE(WaitUntil([&] { return Logged("is up-to-date, issue rescan"); }, 20s)) << Log();
  ASSERT_TRUE(WaitDaemonLooked(1));
  const size_t uploads = RequestCount("upload") + RequestCount("resume_upload");
  const struct {
    const char* type;
    const char* path;
  } cases[] = {
      {"upload", ""},  {"upload", "a"}, {"upload", "/../x"}, {"remove", "/a/../../x"},
      {"upload", "/.ZarqelonWorkingDirectory/x"},           {"remove", "/"},
  };
  for (const auto& c : cases) {
    PObject req = Ids(1);
    req["type"] = c.type;
    req["path"] = c.path;
    req["is_dir"] = 0;
    PObject rsp = Call("add_event", req);
    EXPECT_EQ("null", Text(rsp)) << c.path;
    EXPECT_EQ(0u, Pending(1)) << c.path;
    EXPECT_TRUE(Logged(std::string("Unsafe path [") + c.path + "] in session 1, drop the event.")) << c.path;
  }
  ASSERT_TRUE(WaitDaemonLooked(1));
  EXPECT_EQ(uploads, RequestCount("upload") + RequestCount("resume_upload"));
  EXPECT_EQ(0u, RequestCount("remove"));
}

// ---- the recycle time against "reload_session" ----

// Server deletes recycle files while "reload_session" requests keep coming:
// the session's recycle time must end as the oldest recycled record's, not
// as a stale copy written back.
TEST_F(SessionControlTest, ReloadsRacingRecyclesKeepTheRecycleTime) {
  Link();
  Connect(1);
  constexpr int kFiles = 40;
  for (int i = 0; i < kFiles; ++i) ASSERT_NE(0u, server_.Put("/f" + std::to_string(i), "x" + std::to_string(i)));
  AddSession(1);
  ASSERT_TRUE(WaitUntil([&] { return ArrivedLocally(1, "/f" + std::to_string(kFiles - 1), "x39"); }, 30s)) << Log();
  ASSERT_TRUE(WaitUntil([&] { return Pending(1) == 0; }, 10s));

  std::atomic<bool> done{false};
  std::thread deleter([&] {
    for (int i = 0; i < kFiles; ++i) {
      server_.Remove("/f" + std::to_string(i));
      std::this_thread::sleep_for(50ms);
    }
    done = true;
  });
  // Rule files read again widen each reload, so that a recycle lands
  // inside one.
  PObject req = Ids(1);
  req["read_only"] = 0;
  req["do_reload_filter"] = 1;
  int reloads = 0;
  while (reloads < 1000 || !done) {
    PObject rsp = Call("reload_session", req);
    EXPECT_FALSE(rsp.hasMember("error"));
    ++reloads;
  }
  deleter.join();
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (int i = 0; i < kFiles; ++i) {
          if (Exists(LocalPath(1) + "/f" + std::to_string(i))) return false;
        }
        return Pending(1) == 0;
      },
      30s))
      << Log();
  const std::string oldest = Sqlite(EventDbPath(1), "SELECT min(time) FROM recycle_bin_table");
  ASSERT_NE("\n", oldest);
  // The worker reads the clock before its move into the recycle folder, the
  // row's time is read after it: the two may lie on either side of the turn
  // of a second, never further apart, and the kept time is never later.
  const unsigned long row_time = std::stoul(oldest);
  const unsigned long kept = Entry(1).recycle_time;
  EXPECT_LE(kept, row_time);
  EXPECT_GE(kept + 1, row_time);
}

}  // namespace
