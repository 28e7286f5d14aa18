// SyncBed: the real daemon, driven over the control protocol by UiStandIn,
// keeping one local folder in step with the storage-server stand-in, for
// end-to-end tests. Between the daemon and the stand-in sits a counting TCP
// relay of the bed's own (and, by choice, an HTTP proxy and/or the test
// relay service); around the sync folder, a write watch and a ledger of
// every content the test put on either side.
//
// Threads: the test's main thread drives a bed (the daemon is forked from
// it); the relay and the write watch run threads of their own. WriteLocal,
// PlaceLocal, PutServer and Remember may also be called from one other
// thread of the test.
#ifndef TESTS_SUPPORT_SYNC_BED_H_
#define TESTS_SUPPORT_SYNC_BED_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/daemon_timing_text.h"
#include "protocol/pobject.h"
#include "support/background_process.h"
#include "support/daemon_process.h"
#include "support/server_stand_in.h"
#include "support/short_timing.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/ui_stand_in.h"

namespace testsupport {

namespace relay {
class TestRelay;
}

// A TCP relay on 127.0.0.1 to a target port: counts the bytes of every
// connection both ways, and can drop every connection and stop listening
// for a while (the same port is taken again).
class CountingRelay {
 public:
  CountingRelay() = default;
  ~CountingRelay() { Stop(); }
  CountingRelay(const CountingRelay&) = delete;
  CountingRelay& operator=(const CountingRelay&) = delete;

  // Listens on a free port; false when it cannot.
  bool Start(int target_port);
  // Drops every connection, stops listening and joins every thread.
  void Stop();

  int port() const { return port_; }
  // Bytes from the daemon to the server, and back; connections accepted.
  uint64_t bytes_up() const { return up_.load(); }
  uint64_t bytes_down() const { return down_.load(); }
  int accepted() const { return accepted_.load(); }

  // Shuts every open connection both ways.
  void DropAll();
  // Closes the listener (connections are refused) and drops every
  // connection; ResumeListening takes the same port again.
  void StopListening();
  bool ResumeListening();

 private:
  void AcceptLoop(int listen_fd);
  void Serve(int client);

  int target_ = 0;
  int port_ = 0;
  std::atomic<uint64_t> up_{0};
  std::atomic<uint64_t> down_{0};
  std::atomic<int> accepted_{0};
  std::mutex mu_;  // guards the members below
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::vector<int> open_;
};

// A recursive inotify watch of a folder that reports files closed after
// writing (IN_CLOSE_WRITE) that the test did not announce: outside the
// top-level working folder the daemon may make folders, rename into place,
// set times and delete, never write a file in place.
class WriteWatch {
 public:
  explicit WriteWatch(std::string root);
  ~WriteWatch();
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The test is about to write `rel` ("/a/b"): one close-after-write there
  // is the test's own.
  void Announce(const std::string& rel);
  // The unannounced writes seen so far ("/a/b" each).
  std::vector<std::string> Unexpected() const;

 private:
  void Loop();
  void AddTree(const std::string& rel);

  std::string root_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  mutable std::mutex mu_;  // guards the members below
  std::map<int, std::string> dirs_;  // watch descriptor -> "/a" ("" the root)
  std::map<std::string, int> announced_;
  std::vector<std::string> unexpected_;
  std::thread thread_;
};

enum class Transport {
  kDirect,          // straight to the counting relay
  kTinyproxyBasic,  // tinyproxy asking for Basic
  kSquidNtlm,       // squid with ntlm_fake_auth
  kRelay,           // the test relay service
  kTinyproxyRelay,  // tinyproxy, then the relay service
};

struct SyncBedOptions {
  // The trelvik-daemon executable (required).
  std::string daemon_binary;
  Transport transport = Transport::kDirect;
  bool tls = true;
  // The daemon's setting: worker_count - 1 workers run (2 to 64).
  int worker_count = 3;
  // The session's rule files and the system filter file.
  std::string black_list;
  std::string white_list = "[File]\nwhite_ext = \"*\"\n";
  std::string force_hash_list;
  std::string system_filter;
  std::string computer_name = "e2e-host";
  std::string ssl_server_hostname = "server.test";
  // The connection's "session" ("": the stand-in's first token).
  std::string session;
  // The stand-in's options (its token becomes the connection's "session").
  ServerStandInOptions server = DefaultServer();
  // Another bed's stand-in to share (two daemons on one server folder);
  // null: the bed starts its own.
  ServerStandIn* shared_server = nullptr;
  // Run the daemon through this launcher (DaemonProcess::SetLauncher).
  std::vector<std::string> launcher;
  // The sync folder as the daemon names it ("": <bed>/sync, made by the
  // bed), and where the test reaches it ("": the same; "{pid}" is replaced
  // by the daemon's pid after each start).
  std::string sync_folder;
  std::string test_view;
  // The daemon's log-level file (E2E_LOG_LEVELS, with "," for new lines,
  // replaces it: "worker_debug=7,event_mgr_debug=7").
  std::string log_levels = "client_debug=7\nipc=6\n";
  // Start with the session paused (no "resume").
  bool paused = false;
  // The daemon's waits (TRELVIK_TEST_TIMING): the rigs' short ones; ""
  // keeps the daemon's own.
  std::string timing = FormatDaemonTiming(ShortTiming());

  static ServerStandInOptions DefaultServer();
};

class SyncBed {
 public:
  static constexpr uint64_t kConnectionId = 1;
  static constexpr uint64_t kSessionId = 1;

  SyncBed();
  ~SyncBed();
  SyncBed(const SyncBed&) = delete;
  SyncBed& operator=(const SyncBed&) = delete;

  // Starts the stand-in (unless shared), the transport, the daemon, and
  // sends "link", "link_connection", "add_session" and "resume". false, with
  // test failures, when a step fails.
  bool Start(const SyncBedOptions& options = {});
  // After Kill: starts the daemon again and repeats the requests with the
  // same ids and folders.
  bool Restart();
  // SIGKILL the daemon (and reap it).
  void Kill() { daemon_->Kill(); }
  // Kills the daemon and stops the proxy (squid writes its logs then) and
  // the relay service.
  void StopTransport();

  ServerStandIn& server() { return *server_; }
  UiStandIn& ui() { return *ui_; }
  DaemonProcess& daemon() { return *daemon_; }
  CountingRelay& counting_relay() { return counting_; }
  const SyncBedOptions& options() const { return options_; }
  // Where the bed keeps its files.
  std::string root() const { return root_.path(); }
  // A path in the sync folder as the test reaches it ("" the folder).
  std::string local(const std::string& rel = "") const;
  std::string config_path() const { return root_.path() + "/session"; }
  std::string event_db_path() const { return config_path() + "/db/event-db.sqlite"; }
  std::string filter_db_path() const { return daemon_->folder() + "/filter.sqlite"; }
  std::string fstat_db_path() const { return daemon_->folder() + "/file-status.sqlite"; }
  std::string proxy_folder() const { return root_.path() + "/proxy"; }
  relay::TestRelay* tunnel() { return tunnel_.get(); }

  // One control request; the reply, or a null PObject and a failure.
  PObject Request(const PObject& request);
  PObject Action(const char* action);  // {"action": action, "session_id": 1}
  PObject Status() { return Request(MakeRequest("get_status")); }
  static PObject MakeRequest(const char* action);
  // The "link_connection" request the bed sends (for reloads).
  PObject ConnectionRequest(const char* action = "link_connection") const;
  // The "add_session" request the bed sends.
  PObject SessionRequest() const;

  // Test-side changes. Each content goes into the ledger; local writes are
  // announced to the write watch. Parents are made as needed.
  void WriteLocal(const std::string& rel, const std::string& bytes, time_t mtime = 0);
  // As WriteLocal for an edit of an existing file that keeps its length:
  // written over in place without truncating first, as an editor saves in
  // place. Whenever the daemon reads it meanwhile, the file differs from
  // both the old and the new content only where those two differ, so every
  // upload of it is a small delta; after a truncation a read mid-write
  // finds a short file, and the next upload's delta is rightly large.
  void OverwriteLocal(const std::string& rel, const std::string& bytes);
  // As WriteLocal, but the file is written beside the sync folder and
  // renamed into place: one change for the watcher, where a write in place
  // may give two (create, then close after writing). A sync folder on
  // another file system gets WriteLocal. A non-zero `mtime` is set before
  // the rename.
  void PlaceLocal(const std::string& rel, const std::string& bytes, time_t mtime = 0);
  uint64_t PutServer(const std::string& rel, const std::string& bytes, uint32_t mtime = 0);
  void Remember(const std::string& bytes);

  // Polls until every session is "uptodate" with no unfinished file and no
  // worker, the database's sync id at the stand-in's head, and the local
  // tree equal to the stand-in's listing (the top-level working folder left
  // out), and still so once the daemon has looked again after that was
  // first seen (DaemonLookedSince). Default 60 s, x3 under TSan.
  // false, with a failure that shows the last difference, after `timeout`.
  bool WaitConverged(std::chrono::seconds timeout = std::chrono::seconds(0));
  // Whether the daemon's output after byte `mark` shows a Syncer round
  // that found every session up to date and two Detector waits that found
  // no change: each change made before the mark is then queued or done.
  bool DaemonLookedSince(size_t mark) const;
  // Waits until the daemon has looked `turns` times in a row
  // (DaemonLookedSince from the end of its output, again from there), so
  // that a test asserting that nothing happens checks after it. false, with
  // a failure, after `timeout`.
  bool WaitDaemonLooked(int turns = 2, std::chrono::seconds timeout = std::chrono::seconds(60));
  // Paths at or below these are left out of WaitConverged's tree
  // comparison (files a filter holds back on one side).
  void IgnoreInTrees(std::vector<std::string> prefixes) { ignored_ = std::move(prefixes); }
  // The last difference WaitConverged found ("" when none).
  const std::string& last_difference() const { return last_difference_; }

  // Every stand-in path has an event_table row at its version and MD4; no
  // row names a path that is on neither side.
  void ExpectRecords();
  // No unannounced write in place was seen.
  void ExpectNoWritesInPlace();
  // Every ledger content is on one side (the local tree, the recycle folder
  // included, or a version the stand-in keeps).
  void ExpectNothingLost();
  // Every version the stand-in keeps is a ledger content.
  void ExpectStoreFromLedger();
  // The end of every scenario: the three checks above (not the store one).
  void Finish();

  // Journal events of the stand-in with `event` (and `action`, when not "").
  std::vector<nlohmann::json> JournalOf(const std::string& event, const std::string& action = "");
  // Notifications the user interface received with "notify" == kind.
  std::vector<PObject> Notifications(const std::string& kind) const;

  // The local tree with the working folder left out, and the stand-in's
  // listing in the same form.
  std::map<std::string, TreeEntry> LocalTree() const;
  std::map<std::string, TreeEntry> ServerTree();
  // sqlite3 -readonly -json on `db`; null on failure (with a test failure).
  static nlohmann::json Query(const std::string& db, const std::string& sql);

 private:
  bool StartDaemon();
  bool Link();
  bool StartTransport();
  std::string ConvergedDifference();

  TempDir root_;
  SyncBedOptions options_;
  std::unique_ptr<ServerStandIn> own_server_;
  ServerStandIn* server_ = nullptr;
  std::unique_ptr<UiStandIn> ui_;
  std::unique_ptr<DaemonProcess> daemon_;
  CountingRelay counting_;
  BackgroundProcess proxy_;
  int proxy_port_ = 0;
  std::unique_ptr<relay::TestRelay> tunnel_;
  std::unique_ptr<WriteWatch> watch_;
  std::string view_root_;
  std::mutex ledger_mu_;  // guards ledger_: a test may write from a thread of its own
  std::set<std::string> ledger_;  // SHA-256 of every content the test put
  std::atomic<uint64_t> puts_staged_{0};  // names PutServer's staged files
  std::map<std::string, std::string> blob_sha_;  // stand-in content path -> SHA-256
  std::vector<std::string> carried_writes_;  // unexpected writes of earlier watches
  std::string last_difference_;
  std::vector<std::string> ignored_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SYNC_BED_H_
