// "add_session": the session it registers, the requests it refuses, the
// folders it prepares, and its replacement of a registered id.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "filter/progress_cache.h"
#include "transport/error_code.h"
#include "support/watch_oracle.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

constexpr char kWorking[] = "/.ZarqelonWorkingDirectory";
constexpr char kRecycle[] = "/.ZarqelonWorkingDirectory/#ZarqRecycle";

bool IsRealFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The names in a folder, "." and ".." left out.
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") out.insert(name);
  }
  closedir(d);
  return out;
}

// The inotify descriptors of this process: one per watched session.
size_t InotifyDescriptors() {
  size_t n = 0;
  for (const std::string& fd : Names("/proc/self/fd")) {
    char target[64] = {};
    const std::string link = "/proc/self/fd/" + fd;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "anon_inode:inotify") ++n;
  }
  return n;
}

class SessionCreateTest : public AppFixture {
 protected:
  // Adds session `id` (folders made first) and expects success.
  void Add(uint64_t id, PObject req = PObject()) {
    if (req.isNull()) req = SessionRequest(id);
    PObject rsp = Call("add_session", req);
    ASSERT_FALSE(rsp.hasMember("error")) << Text(rsp) << Log();
  }
  // The "error" of an "add_session" of `req`.
  std::string AddError(const PObject& req) { return Call("add_session", req)["error"].asString().c_str_utf8(); }
};

// The five keys alone: node id from the view, recursive, remote "/",
// read-write, every permission synced, a merging rescan asked for, paused:
// nothing is pulled until "resume".
TEST_F(SessionCreateTest, TheFiveKeysAloneMakeAPausedSessionThatPullsAfterResume) {
  Link();
  Connect(1);
  MakeSessionFolders(1);
  ASSERT_NE(0u, server_.Put("/a.txt", "alpha"));
  Add(1);
  const Registry::Entry e = Entry(1);
  EXPECT_EQ(1u, e.conn_id);
  EXPECT_EQ(kView, e.view_id);
  EXPECT_EQ(kView, e.node_id);
  EXPECT_TRUE(e.recursive);
  EXPECT_EQ(ustring("/"), e.remote_path);
  EXPECT_FALSE(e.read_only);
  EXPECT_EQ(PERM_SYNC_ALL, e.perm_mode);
  EXPECT_TRUE(e.pause);
  EXPECT_TRUE(Logged("Folder '" + LocalPath(1) + "' is ready (setting: ")) << Log();

  // Two rounds of each syncer passed the paused session by: the Syncer
  // leaves it to the ProgressSyncer (its first rule list made a condition),
  // which holds the condition while the session is paused.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return CountInLog("): session '1' is in ProgrssCache.") >= 2 &&
               CountInLog("): session (1) is under pause status.") >= 2;
      },
      20s))
      << Log();
  EXPECT_TRUE(Requests("pull_event").empty());
  EXPECT_FALSE(Exists(LocalPath(1) + "/a.txt"));

  PObject resume;
  resume["session_id"] = 1;
  EXPECT_FALSE(Call("resume", resume).hasMember("error"));
  ASSERT_TRUE(WaitUntil([&] { return Exists(LocalPath(1) + "/a.txt"); }, 20s)) << Log();
  EXPECT_EQ("alpha", ReadFile("local1/a.txt"));
  const std::vector<nlohmann::json> pulls = Requests("pull_event");
  ASSERT_FALSE(pulls.empty());
  const nlohmann::json& first = pulls.front()["request"];
  EXPECT_EQ("/", first.value("path", ""));
  EXPECT_EQ(1, first.value("recursive", -1));
  EXPECT_EQ(0, first.value("sync_id", -1));
  EXPECT_EQ(kView, first.value("view_id", 0u));
}

// A session whose server certificate does not verify holds back no other:
// a session added after it, on another connection, syncs within seconds,
// and the failing connection's user is told once, not at every retry.
TEST_F(SessionCreateTest, ASessionWhoseServerFailsVerificationHoldsBackNoOther) {
  Link();
  PObject bad = ConnectionRequest(1);
  bad["ssl_server_hostname"] = "other.test";  // the stand-in's certificate names server.test
  EXPECT_FALSE(Call("link_connection", bad).hasMember("error"));
  Connect(2);
  ASSERT_NE(0u, server_.Mkdir("/one"));
  ASSERT_NE(0u, server_.Put("/two/b.txt", "bravo"));
  PObject resume;
  for (uint64_t id : {1u, 2u}) {
    MakeSessionFolders(id);
    PObject req = SessionRequest(id, id);
    req["remote_path"] = id == 1 ? "/one" : "/two";
    Add(id, req);
    resume["session_id"] = static_cast<unsigned long long>(id);
    EXPECT_FALSE(Call("resume", resume).hasMember("error"));
  }
  ASSERT_TRUE(WaitUntil([&] { return Exists(LocalPath(2) + "/b.txt"); }, 15s)) << Log();
  EXPECT_EQ("bravo", ReadFile("local2/b.txt"));
  // The report goes through the notifier's thread: it is waited for before
  // the count, and two more failed handshakes follow it.
  ASSERT_TRUE(ui_->waitFor(
      [](const std::vector<PObject>& m) {
        for (const PObject& e : m) {
          if (e["notify"].asString() == "error") return true;
        }
        return false;
      },
      20s))
      << Log();
  const size_t seen = CountInLog("Convert to SSL channel failed (-24)");
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("Convert to SSL channel failed (-24)") >= seen + 2; }, 20s)) << Log();
  size_t reports = 0;
  for (const PObject& m : ui_->messages()) {
    if (m["notify"].asString() != "error") continue;
    EXPECT_EQ(1u, m["connection_id"].asUInt64()) << Text(m);
    EXPECT_EQ(ErrorNumber(ERR_SSL_VERIFY_FAIL), testsupport::UiStandIn::ErrorType(m));
    ++reports;
  }
  EXPECT_EQ(1u, reports);
}

// The optional keys override the defaults; "perm_mode" maps as the user
// interface names it.
TEST_F(SessionCreateTest, OptionalKeysAndPermissionModes) {
  Link();
  const struct {
    const char* perm_mode;  // null: absent
    PermissionMode mode;
  } cases[] = {
      {nullptr, PERM_SYNC_ALL},
      {"sync-all", PERM_SYNC_ALL},
      {"domain-only", PERM_SYNC_DOMAIN_ONLY},
      {"", PERM_SYNC_EXEC_BIT_ONLY},
      {"Sync-All", PERM_SYNC_EXEC_BIT_ONLY},
      {"exec-bit", PERM_SYNC_EXEC_BIT_ONLY},
  };
  uint64_t id = 1;
  for (const auto& c : cases) {
    MakeSessionFolders(id);
    PObject req = SessionRequest(id, 7);
    if (c.perm_mode != nullptr) req["perm_mode"] = c.perm_mode;
    req["node_id"] = 99;
    req["recursive"] = 0;
    req["remote_path"] = "/team";
    req["read_only"] = "false";  // a non-empty string reads true
    Add(id, req);
    const Registry::Entry e = Entry(id);
    EXPECT_EQ(c.mode, e.perm_mode) << (c.perm_mode ? c.perm_mode : "absent");
    EXPECT_EQ(99u, e.node_id);
    EXPECT_FALSE(e.recursive);
    EXPECT_EQ(ustring("/team"), e.remote_path);
    EXPECT_TRUE(e.read_only);
    EXPECT_EQ(7u, e.conn_id);
    ++id;
  }
}

TEST_F(SessionCreateTest, MissingKeysAndSessionZeroAreInvalidParameters) {
  Link();
  MakeSessionFolders(1);
  for (const char* key : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
    PObject req = SessionRequest(1);
    req.asMap().erase(key);
    EXPECT_EQ("Invalid parameters.", AddError(req)) << key;
  }
  // Id 0 selects every session in "pause", "resume" and "remove_session".
  PObject zero = SessionRequest(1);
  zero["session_id"] = 0;
  EXPECT_EQ("Invalid parameters.", AddError(zero));
  zero["session_id"] = "1";  // a string reads as 0 too
  EXPECT_EQ("Invalid parameters.", AddError(zero));
  EXPECT_EQ(0u, Registry::getInstance().Size());
  EXPECT_FALSE(Exists(ConfigPath(1) + "/db"));
  EXPECT_FALSE(Exists(LocalPath(1) + kWorking));
  EXPECT_EQ(0u, InotifyDescriptors());
}

// A folder that cannot be a session's, or rule files that do not parse:
// "Failed to create registry entry." and nothing registered or watched.
TEST_F(SessionCreateTest, UnusableFoldersAndRuleFilesRegisterNothing) {
  Link();
  const std::string outside = Path("outside");
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  const struct {
    const char* name;
    std::function<void(uint64_t)> spoil;
    const char* logged;
  } cases[] = {
      {"sync folder missing", [this](uint64_t id) { ASSERT_EQ(0, rmdir(LocalPath(id).c_str())); },
       "is not a directory"},
      {"sync folder a file",
       [this](uint64_t id) {
         ASSERT_EQ(0, rmdir(LocalPath(id).c_str()));
         WriteFile("local" + std::to_string(id), "x");
       },
       "is not a directory"},
      {"sync folder a link",
       [this, &outside](uint64_t id) {
         ASSERT_EQ(0, rmdir(LocalPath(id).c_str()));
         ASSERT_EQ(0, symlink(outside.c_str(), LocalPath(id).c_str()));
       },
       "is not a directory"},
      {"sync folder a FIFO",
       [this](uint64_t id) {
         ASSERT_EQ(0, rmdir(LocalPath(id).c_str()));
         ASSERT_EQ(0, mkfifo(LocalPath(id).c_str(), 0644));
       },
       "is not a directory"},
      {"config folder a file",
       [this](uint64_t id) {
         const std::string n = std::to_string(id);
         ASSERT_EQ(0, testsupport::RunCommand({"rm", "-rf", ConfigPath(id)}).exit_code);
         WriteFile("config" + n, "x");
       },
       "local config folder"},
      {"black list missing",
       [this](uint64_t id) {
         ASSERT_EQ(0, unlink((ConfigPath(id) + "/conf/blacklist.filter").c_str()));
       },
       "Failed to load black list filter for session"},
      {"white list malformed",
       [this](uint64_t id) {
         WriteFile("config" + std::to_string(id) + "/conf/whitelist.filter", "[File]\nwhite_ext = \"png\", x\n");
       },
       "Failed to load white list filter for session"},
      {"force-hash-check list malformed",
       [this](uint64_t id) {
         WriteFile("config" + std::to_string(id) + "/conf/force-hash-check-list.filter", "[Other]\n");
       },
       "Failed to load force hash check filter for session"},
  };
  uint64_t id = 1;
  for (const auto& c : cases) {
    MakeSessionFolders(id);
    c.spoil(id);
    EXPECT_EQ("Failed to create registry entry.", AddError(SessionRequest(id))) << c.name;
    EXPECT_TRUE(Logged(c.logged)) << c.name;
    EXPECT_TRUE(Logged("session " + std::to_string(id) + " is not added, failed to create registry entry")) << c.name;
    EXPECT_EQ(0u, Registry::getInstance().Size()) << c.name;
    EXPECT_EQ(0u, InotifyDescriptors()) << c.name;
    ++id;
  }
  EXPECT_TRUE(Names(outside).empty());
}

// Each creation wipes the working folder (partial downloads and recycled
// files of an earlier run) and makes an empty recycle folder.
TEST_F(SessionCreateTest, AFilledWorkingFolderComesOutEmpty) {
  Link();
  MakeSessionFolders(1);
  ASSERT_EQ(0, mkdir((LocalPath(1) + kWorking).c_str(), 0755));
  ASSERT_EQ(0, mkdir((LocalPath(1) + kRecycle).c_str(), 0755));
  ASSERT_EQ(0, mkdir((LocalPath(1) + kWorking + "/sub").c_str(), 0755));
  WriteFile(std::string("local1") + kWorking + "/partial.tmp", "half");
  WriteFile(std::string("local1") + kWorking + "/sub/x", "x");
  WriteFile(std::string("local1") + kRecycle + "/r1", "old");
  WriteFile("local1/keep.txt", "mine");
  Add(1);
  EXPECT_EQ(std::set<std::string>{"#ZarqRecycle"}, Names(LocalPath(1) + kWorking));
  EXPECT_TRUE(Names(LocalPath(1) + kRecycle).empty());
  EXPECT_EQ("mine", ReadFile("local1/keep.txt"));
  EXPECT_EQ("0\n", Sqlite(EventDbPath(1), "SELECT count(*) FROM recycle_bin_table"));
  EXPECT_TRUE(IsRealFolder(ConfigPath(1) + "/db/sign"));
}

// Something other than a real folder at the working folder's name is
// unlinked, never followed: a link's target keeps its content, and
// downloads and recycled files stay inside the session.
TEST_F(SessionCreateTest, AWorkingFolderThatIsNotAFolderIsReplacedNeverFollowed) {
  Link();
  const std::string target = Path("target");
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, mkdir((target + "/#ZarqRecycle").c_str(), 0755));
  WriteFile("target/canary", "alive");
  WriteFile("target/#ZarqRecycle/canary", "alive");
  const struct {
    const char* name;
    std::function<void(const std::string& working)> plant;
  } cases[] = {
      {"link to a folder", [&target](const std::string& w) { ASSERT_EQ(0, symlink(target.c_str(), w.c_str())); }},
      {"dangling link", [](const std::string& w) { ASSERT_EQ(0, symlink("/nonexistent/x", w.c_str())); }},
      {"file", [](const std::string& w) { ASSERT_EQ(0, close(open(w.c_str(), O_CREAT | O_WRONLY, 0644))); }},
      {"FIFO", [](const std::string& w) { ASSERT_EQ(0, mkfifo(w.c_str(), 0644)); }},
  };
  uint64_t id = 1;
  for (const auto& c : cases) {
    MakeSessionFolders(id);
    const std::string working = LocalPath(id) + kWorking;
    c.plant(working);
    Add(id);
    EXPECT_TRUE(IsRealFolder(working)) << c.name;
    EXPECT_TRUE(IsRealFolder(LocalPath(id) + kRecycle)) << c.name;
    EXPECT_EQ("alive", ReadFile("target/canary")) << c.name;
    EXPECT_EQ("alive", ReadFile("target/#ZarqRecycle/canary")) << c.name;
    ++id;
  }
}

// Unlinked there is no watcher and no syncer: the request is refused before
// any folder is touched.
TEST_F(SessionCreateTest, UnlinkedAddTouchesNoFolder) {
  MakeSessionFolders(1);
  ASSERT_EQ(0, mkdir((LocalPath(1) + kWorking).c_str(), 0755));
  WriteFile(std::string("local1") + kWorking + "/partial.tmp", "half");
  EXPECT_EQ("Failed to create registry entry.", AddError(SessionRequest(1)));
  EXPECT_TRUE(Logged("daemon is not linked, session 1 is not added")) << Log();
  EXPECT_EQ("half", ReadFile(std::string("local1") + kWorking + "/partial.tmp"));
  EXPECT_FALSE(Exists(ConfigPath(1) + "/db"));
  EXPECT_EQ(0u, Registry::getInstance().Size());
}

// A folder equal to, inside or around another session's would have each
// creation wipe the other's working folder and the outer session upload
// the inner one's files. A name that only begins the same is no overlap,
// and a re-add of the same session is no overlap with itself.
TEST_F(SessionCreateTest, OverlappingSyncFoldersAreRefused) {
  Link();
  MakeSessionFolders(1);
  Add(1);
  ASSERT_EQ(0, mkdir((LocalPath(1) + "/inner").c_str(), 0755));
  ASSERT_EQ(0, symlink(LocalPath(1).c_str(), Path("alias").c_str()));
  ASSERT_EQ(0, mkdir(Path("outer").c_str(), 0755));
  const std::string outer_local = Path("outer/local");
  ASSERT_EQ(0, testsupport::RunCommand({"mv", LocalPath(1), outer_local}).exit_code);
  ASSERT_EQ(0, symlink(outer_local.c_str(), LocalPath(1).c_str()));
  // Session 1 now lies at outer/local, reached through local1.
  const struct {
    std::string folder;
    bool refused;
  } cases[] = {
      {LocalPath(1), true},           // the same path
      {Path("alias/"), true},         // the same folder through a link, with a trailing "/"
      {outer_local, true},            // the same folder by its real path
      {outer_local + "/inner", true},  // inside
      {Path("outer"), true},          // around
      {Path("outer/local2"), false},  // beside, sharing the name's beginning
  };
  ASSERT_EQ(0, mkdir(Path("outer/local2").c_str(), 0755));
  MakeSessionFolders(2);
  for (const auto& c : cases) {
    PObject req = SessionRequest(2);
    req["sync_folder"] = c.folder.c_str();
    PObject rsp = Call("add_session", req);
    if (c.refused) {
      EXPECT_EQ("Failed to create registry entry.", std::string(rsp["error"].asString().c_str_utf8())) << c.folder;
      EXPECT_TRUE(Logged("sync folder " + c.folder + " overlaps session 1")) << c.folder;
      EXPECT_EQ(1u, Registry::getInstance().Size()) << c.folder;
    } else {
      EXPECT_FALSE(rsp.hasMember("error")) << c.folder << Log();
      EXPECT_EQ(2u, Registry::getInstance().Size()) << c.folder;
    }
  }
  // Re-adding session 1 over its own folder replaces it.
  PObject again = SessionRequest(1);
  again["sync_folder"] = outer_local.c_str();
  Add(1, again);
  EXPECT_EQ(2u, Registry::getInstance().Size());
}

// A selective-sync rule dropped between two runs becomes a resume
// condition when the session is added again; the progress cache then holds
// every stored condition of the session once, and unchanged files record
// nothing more. Removing the session empties its part of the cache.
class SessionCreateOfflineTest : public SessionCreateTest {
 protected:
  // No server and no connection: no condition is worked off meanwhile.
  void Configure(Options& o) override { o.server = false; }
};

TEST_F(SessionCreateOfflineTest, ARuleDroppedBetweenRunsIsCachedOnce) {
  Link();
  MakeSessionFolders(1, "[Common]\nblack_path_prefix_selective_sync = \"/private\"\n");
  const auto cached_rows = [] {
    std::vector<ProgressCache::Entry> entries;
    ProgressCache::getInstance()->getProgressEntries(entries);
    std::multiset<uint64_t> rows;
    for (const ProgressCache::Entry& e : entries) rows.insert(e.row_id);
    return rows;
  };
  const auto stored_rows = [this] {
    std::multiset<uint64_t> rows;
    const std::string out = Sqlite(Path("filter.db"), "SELECT id FROM filter_resume_table WHERE sess_id = 1");
    size_t at = 0;
    while (at < out.size()) {
      const size_t nl = out.find('\n', at);
      rows.insert(std::stoull(out.substr(at, nl - at)));
      at = nl + 1;
    }
    return rows;
  };
  Add(1);
  const std::multiset<uint64_t> first = stored_rows();  // the white list's "*"
  EXPECT_EQ(first, cached_rows());

  ASSERT_FALSE(Call("remove_session", PObject()).hasMember("error"));
  EXPECT_FALSE(ProgressCache::getInstance()->isInProgrssCache(1));
  WriteFile("config1/conf/blacklist.filter", "");
  Add(1);
  const std::multiset<uint64_t> second = stored_rows();
  EXPECT_EQ(first.size() + 1, second.size());
  EXPECT_EQ("/private\n", Sqlite(Path("filter.db"), "SELECT filter_desc FROM filter_resume_table WHERE filter_type = -13"));
  EXPECT_EQ(second, cached_rows());

  Add(1);  // the replacement path, files unchanged
  EXPECT_EQ(second, stored_rows());
  EXPECT_EQ(second, cached_rows());
}

// A second "add_session" of a registered id while a worker downloads into
// its working folder: the worker is stopped before the folder is wiped, the
// old watch goes (one inotify descriptor per session), and the file still
// arrives whole, with no partial left behind.
TEST_F(SessionCreateTest, ReAddingASessionDuringADownloadReplacesIt) {
  Link();
  Connect(1);
  MakeSessionFolders(1);
  std::string body(3 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7919) >> 5);
  ASSERT_NE(0u, server_.Put("/big.bin", body));
  // The first body is cut after 1 MiB, leaving a partial download in the
  // working folder; the retry then hangs in the server.
  server_.Fault({{"action", "resume_download"}, {"close", "send_bytes"}, {"bytes", 1 << 20}});
  server_.Fault({{"action", "resume_download"}, {"nth", 2}, {"delay_ms", 6000}});
  Add(1);
  PObject resume;
  resume["session_id"] = 1;
  Call("resume", resume);
  ASSERT_TRUE(WaitUntil([&] { return Requests("resume_download").size() >= 2; }, 30s)) << Log();
  EXPECT_EQ(1u, InotifyDescriptors());

  Add(1);
  EXPECT_TRUE(Logged("session #1 exists, replacing it")) << Log();
  EXPECT_EQ(1u, InotifyDescriptors());
  EXPECT_TRUE(Entry(1).pause);
  Call("resume", resume);
  ASSERT_TRUE(WaitUntil([&] { return Exists(LocalPath(1) + "/big.bin") && ReadFile("local1/big.bin") == body; },
                        40s))
      << Log();
  EXPECT_TRUE(Names(LocalPath(1) + kRecycle).empty());
  EXPECT_EQ(std::set<std::string>{"#ZarqRecycle"}, Names(LocalPath(1) + kWorking));
  EXPECT_EQ(1u, InotifyDescriptors());
}

}  // namespace
