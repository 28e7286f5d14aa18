// ServerStandInCore: a storage server for end-to-end tests. It runs
// tests/server_stand_in/stand_in.py (Python, written apart from the daemon)
// as a child process on 127.0.0.1 and drives it over its control port, whose
// line protocol tests/server_stand_in/README.md fixes: typed calls to change
// the server's files behind the daemon's back, inject faults and read the
// journal, the counters and the protocol violations.
//
// One instance and one data folder per test, so tests run in parallel. The
// child's standard input is a pipe this object holds open: however the
// caller's process ends, the stand-in sees the end of its input and exits.
//
// Free of GoogleTest: Start and Stop return their errors, and the control
// calls hand theirs to an error sink. ServerStandIn (server_stand_in.h) is
// the tests' wrapper that turns them into test failures.
#ifndef TESTS_SUPPORT_SERVER_STAND_IN_CORE_H_
#define TESTS_SUPPORT_SERVER_STAND_IN_CORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/temp_dir_core.h"

namespace testsupport {

struct ServerStandInOptions {
  // Session tokens the server accepts.
  std::vector<std::string> tokens{"test-token"};
  // Views, each writable; the first is the default view of every call.
  std::vector<uint64_t> views{1};
  // A local folder whose tree becomes the first view's content at start
  // ("" for none). Seeded objects take versions from the view's counter.
  std::string seed;
  // The server's certificate: "srv", "cn-only", "self-signed" or "expired"
  // ("" keeps the stand-in's default, "srv").
  std::string cert;
  // The first version of every view (0 keeps the default). Applied before
  // the seed is loaded, so seeded objects take it too.
  uint64_t first_version = 0;
  bool expect_tls = false;  // a request on a plain connection is a violation
  bool tls_max_1_2 = false;  // TLS 1.2 as the highest version
  // Seconds after which the stand-in ends by itself (0: its default, 900).
  int max_lifetime_s = 0;
  // Further members for one "set" right after start (README, "Settings").
  nlohmann::json settings = nlohmann::json::object();
  // The data folder (made when missing; it must hold no earlier store), or
  // "" for a fresh temporary one that goes with the object.
  std::string data_dir;
  // A process group of its own, out of reach of the terminal's Ctrl-C.
  bool own_process_group = false;
  // Its standard error (its log) to this file; "" for the caller's.
  std::string stderr_path;
  // Seconds to wait for the READY line: a large seed takes longer to load.
  int ready_timeout_s = 10;
};

// Threads: every call may come from any thread. Control calls are
// serialised on one connection (one request line, one reply line); Start
// and Stop must not run beside other calls.
//
// Failures of control calls: a call that the stand-in refuses, or a control
// connection that breaks or stays silent for 30 s, passes a text naming the
// operation to the error sink and returns the zero or empty value; after a
// broken connection every further call fails at once. Get alone treats a
// refusal as "no such object" and reports nothing.
class ServerStandInCore {
 public:
  // One state of a path, as "get", "history" and "list" report it.
  struct Object {
    std::string path;  // set by List only
    uint64_t version = 0;
    uint64_t max_id = 0;  // set by Get only
    bool is_dir = false;
    bool removed = false;  // set by History only
    uint64_t size = 0;
    std::string md4;  // 32 lower-case hex digits; "" for a folder
    uint32_t mtime = 0;
    std::string content_path;  // the stored content (files only)
  };

  // Called with the text of each failed control call, from the calling
  // thread. Without one the texts are kept for TakeErrors.
  using ErrorSink = std::function<void(const std::string&)>;

  explicit ServerStandInCore(ErrorSink sink = nullptr);
  // Stops a stand-in that still runs.
  virtual ~ServerStandInCore();
  ServerStandInCore(const ServerStandInCore&) = delete;
  ServerStandInCore& operator=(const ServerStandInCore&) = delete;

  // Starts the stand-in on its data folder, waits up to 10 s for its
  // "READY <port> <control_port>" line, connects to the control port and
  // applies the options. false, with *error quoting every line the child
  // printed, when any step fails (the child is then stopped).
  bool Start(const ServerStandInOptions& options, std::string* error);

  // Asks the stand-in to shut down and reaps it; one that does not end
  // within 5 s is killed. false, with *error set, when it was killed or
  // ended with a status other than 0. Idempotent (true when none runs).
  bool Stop(std::string* error);
  bool running() const { return port_ != 0; }

  // The texts of failed control calls kept since the last call (none when
  // an error sink was given).
  std::vector<std::string> TakeErrors();

  // Calls `pred` at once and then every 20 ms until it holds; false when it
  // still does not after `timeout`.
  static bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

  // The server port and the control port; 0 before Start.
  int port() const { return port_; }
  int control_port() const { return control_port_; }
  // The stand-in's data folder (its journal.jsonl included).
  std::string data_dir() const { return data_dir_; }

  // Store changes from the control side (origin "control"). Each returns the
  // version the change took (0 on failure). `view` 0 means the first view;
  // an `mtime` of 0 leaves the stand-in's default.
  uint64_t Put(const std::string& path, const std::string& bytes, uint32_t mtime = 0, uint64_t view = 0);
  uint64_t PutFile(const std::string& path, const std::string& local_file, uint32_t mtime = 0, uint64_t view = 0);
  uint64_t Mkdir(const std::string& path, uint32_t mtime = 0, uint64_t view = 0);
  uint64_t Remove(const std::string& path, uint64_t view = 0);

  // The live object at `path`, or nullopt when there is none.
  std::optional<Object> Get(const std::string& path, uint64_t view = 0);
  // Every kept state of `path`, oldest first, tombstones included.
  std::vector<Object> History(const std::string& path, uint64_t view = 0);
  // The live objects under `path`, recursively, sorted by path.
  std::vector<Object> List(const std::string& path = "/", uint64_t view = 0);
  // The view's newest version.
  uint64_t Head(uint64_t view = 0);

  // Every kept state of every path of the view, tombstones included,
  // sorted by path and then version (path set on each).
  std::vector<Object> Versions(uint64_t view = 0);

  void AddView(uint64_t view, bool read_only = false);
  void AddToken(const std::string& token);
  // Adds a fault rule (README, "Fault rules"); its id, 0 on failure.
  uint64_t Fault(const nlohmann::json& rule);
  void ClearFaults();
  // Changes settings (README, "Settings"), e.g. {{"alive", 5}}.
  void Set(const nlohmann::json& settings);

  // Journal events with seq >= `since`, in order; *next (when not null)
  // gets the seq to pass next time.
  std::vector<nlohmann::json> Journal(uint64_t since = 0, uint64_t* next = nullptr);
  nlohmann::json Counters();
  // Violations so far: {seq, conn, text} each.
  std::vector<nlohmann::json> Violations();
  // Resume tokens held: {token, offset, path} each.
  std::vector<nlohmann::json> Tokens();
  void ForgetTokens();

  // One raw control request: sends `request`, returns the reply ({"ok":
  // false, "error": ...} included) or nullopt when the connection failed
  // (which goes to the error sink).
  std::optional<nlohmann::json> Call(const nlohmann::json& request);

 private:
  // Call, then a failure unless the reply has "ok": true; the reply, or
  // nullopt after a failure.
  std::optional<nlohmann::json> Request(const nlohmann::json& request);
  // Call and Request with the failure's text in *error instead of the sink.
  std::optional<nlohmann::json> Exchange(const nlohmann::json& request, std::string* error);
  std::optional<nlohmann::json> Checked(const nlohmann::json& request, std::string* error);
  // The array `key` of a reply, or a failure when it has none.
  std::vector<nlohmann::json> Array(const std::optional<nlohmann::json>& reply, const char* key);
  // Hands `text` to the sink, or keeps it.
  void Fail(const std::string& text);
  // Adds "view" when `view` is not 0.
  static nlohmann::json WithView(nlohmann::json request, uint64_t view);
  uint64_t VersionOf(const nlohmann::json& request);
  void CloseControl();

  ErrorSink sink_;
  std::mutex errors_mu_;  // guards errors_
  std::vector<std::string> errors_;

  std::optional<TempDir> temp_data_;
  std::string data_dir_;
  BackgroundProcess process_;
  int port_ = 0;
  int control_port_ = 0;

  std::mutex control_mu_;  // guards the three members below
  int control_fd_ = -1;
  std::string control_buffer_;  // bytes read past the last reply line
  bool control_broken_ = false;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SERVER_STAND_IN_CORE_H_
