// Session handlers against running tasks: the registry's recycle time
// under "reload_session", and a soak of every session request while two
// workers sync in both directions. Built also under ThreadSanitizer.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app_fixture.h"
#include "server/recycle_cleaner.h"
#include "support/tree_snapshot.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

class SessionConcurrencyTest : public AppFixture {
 protected:
  static PObject Ids(uint64_t sess_id) {
    PObject req;
    req["session_id"] = static_cast<unsigned long long>(sess_id);
    return req;
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

// The test's own thread plays the cleaner, so the RecycleCleaner task must
// not write the time meanwhile: it keeps its 3-s first wait (no session is
// registered when it starts, and the test pauses it within that wait).
class RecycleTimeConcurrencyTest : public SessionConcurrencyTest {
 protected:
  void Configure(Options& o) override {
    o.server = false;
    o.timing.cleaner_retry_wait = DaemonTiming().cleaner_retry_wait;
  }
};

// A task records recycle times (as a worker recycling files, and the
// cleaner resetting them) while "reload_session" changes the session's
// flags and reloads its rules: no recorded time is ever undone by a stale
// copy of the entry.
TEST_F(RecycleTimeConcurrencyTest, ReloadsNeverUndoARecycleTimeSetMeanwhile) {
  Link();
  ASSERT_EQ(0, app_.recycle_cleaner()->Pause());
  MakeSessionFolders(1);
  RegisterSession(1, 1, "/", /*pause=*/true);
  Registry& registry = Registry::getInstance();
  std::atomic<bool> done{false};
  std::atomic<int> lost{0};
  std::atomic<uint32_t> rounds{0};
  std::thread recycler([&] {
    Registry::Entry key;
    key.sess_id = 1;
    for (uint32_t t = 1; !done; ++t) {
      registry.UpdateRecycleTime(key, 0);
      registry.InitRecycleTime(key, t);
      std::this_thread::yield();
      Registry::Entry out;
      if (registry.Find(1, out) != 1 || out.recycle_time != t) ++lost;
      rounds = t;
    }
  });
  for (int i = 0; i < 1000; ++i) {
    PObject req = Ids(1);
    req["read_only"] = i % 2;
    req["do_reload_filter"] = i % 10 == 0 ? 1 : 0;
    PObject rsp = Call("reload_session", req);
    EXPECT_FALSE(rsp.hasMember("error")) << Text(rsp);
  }
  done = true;
  recycler.join();
  EXPECT_GT(rounds.load(), 0u);
  EXPECT_EQ(0, lost.load());
  EXPECT_TRUE(Entry(1).read_only);  // the last request set it
}

class SoakConcurrencyTest : public SessionConcurrencyTest {
 protected:
  void Configure(Options& o) override {
    o.worker_count = 3;  // two workers
    // A whole run at DEBUG would fill the log many times over.
    o.log_levels = "client_debug=4\nworker_debug=4\nsyncer_debug=4\nprogress_syncer_debug=4\nconnection_debug=4\n";
  }

  // The live server files by path, with their content.
  std::map<std::string, std::string> ServerFiles() {
    std::map<std::string, std::string> out;
    for (const testsupport::ServerStandIn::Object& o : server_.List("/")) {
      if (!o.is_dir) out[o.path] = Slurp(o.content_path);
    }
    return out;
  }
  // The local files of session 1 by session path, the working folder left
  // out: the daemon's temporary files there come and go during the walk.
  std::map<std::string, std::string> LocalFiles() {
    std::map<std::string, std::string> out;
    testsupport::TreeSnapshot::Options options;
    options.skip_working_folder = true;
    const testsupport::TreeSnapshot tree = testsupport::TreeSnapshot::Take(LocalPath(1), options);
    for (const auto& [rel, entry] : tree.entries()) {
      if (entry.type != 'f') continue;
      out[rel] = Slurp(LocalPath(1) + rel);
    }
    return out;
  }
};

// One thread sends "pause", "resume", "reload_session", "get_status" and
// "add_event" for 15 s while two workers carry 150 files each way. Every
// reply comes within 5 s, and afterwards both trees hold the same 300 files.
TEST_F(SoakConcurrencyTest, SessionRequestsWhileTwoWorkersSyncBothWays) {
  constexpr int kEachWay = 150;
  Link();
  Connect(1);
  MakeSessionFolders(1);
  ASSERT_FALSE(Call("add_session", SessionRequest(1)).hasMember("error")) << Log();
  Call("resume", Ids(1));

  std::atomic<bool> stop{false};
  std::atomic<int> slow{0};
  std::atomic<int> errors{0};
  std::atomic<int> sent{0};
  std::chrono::milliseconds slowest{0};
  std::thread control([&] {
    const char* kActions[] = {"pause", "resume", "reload_session", "get_status", "add_event"};
    for (int i = 0; !stop; ++i) {
      const std::string action = kActions[i % 5];
      PObject req = Ids(1);
      if (action == "reload_session") {
        req["read_only"] = 0;
        req["do_reload_filter"] = i % 3 == 0 ? 1 : 0;
      } else if (action == "add_event") {
        req["type"] = "upload";
        req["path"] = ("/up" + std::to_string(i % kEachWay) + ".txt").c_str();
        req["is_dir"] = 0;
      }
      const auto start = std::chrono::steady_clock::now();
      PObject rsp = Call(action, req);
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      if (took > slowest) slowest = took;
      if (took > 5s) ++slow;
      if (rsp.hasMember("error")) ++errors;
      ++sent;
      std::this_thread::sleep_for(10ms);
    }
    // The session ends running.
    Call("resume", Ids(1));
  });

  const auto soak_end = std::chrono::steady_clock::now() + 15s;
  for (int i = 0; i < kEachWay; ++i) {
    EXPECT_NE(0u, server_.Put("/down" + std::to_string(i) + ".txt", "server " + std::to_string(i)));
    WriteFile("local1/up" + std::to_string(i) + ".txt", "local " + std::to_string(i) + std::string(i * 37, 'u'));
    std::this_thread::sleep_for(40ms);
  }
  std::this_thread::sleep_until(soak_end);
  stop = true;
  control.join();
  EXPECT_EQ(0, slow.load()) << "slowest reply " << slowest.count() << " ms";
  EXPECT_EQ(0, errors.load());
  EXPECT_GT(sent.load(), 100);

  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::map<std::string, std::string> local = LocalFiles();
        return local.size() == 2 * kEachWay && local == ServerFiles();
      },
      120s))
      << LocalFiles().size() << " local, " << ServerFiles().size() << " on the server";
}

}  // namespace
