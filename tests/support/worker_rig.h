// WorkerRig: one temporary sync session with everything a Worker meets (the
// local folder, the session's configuration folder with its event database
// and rule files, the filter and file-status databases, a user-interface
// stand-in named in the settings) and workers whose operations tests script.
//
// Each test case builds one rig in its own process; the rig's destructor
// stops its workers and empties the process-wide registry, event queue and
// databases, and puts the logger back on standard error.
#ifndef TESTS_SUPPORT_WORKER_RIG_H_
#define TESTS_SUPPORT_WORKER_RIG_H_

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "server/connection_info.h"
#include "session/event.h"
#include "session/registry.h"
#include "support/server_stand_in.h"
#include "support/short_timing.h"
#include "support/ui_stand_in.h"
#include "worker/whole_body_asks.h"
#include "worker/worker.h"

namespace testsupport {

// A worker whose seven operations run scripts (0 at once by default) and
// that records every outcome. The protected parts tests need are public
// here.
class ScriptedWorker : public Worker {
 public:
  enum Op { kUpload, kDownload, kRemoveLocal, kRemoveRemote, kExpand, kRescan, kExpandDelete, kOpCount };
  using Script = std::function<ErrorCode(ScriptedWorker&)>;

  // One operation that ran: which, for which event, its result and the
  // action the error policy chose (none until chosen; expands and rescans
  // get none).
  struct Call {
    Op op;
    Event event;
    ErrorCode result = ERR_MAX;  // ERR_MAX, which is no code: none yet
    std::optional<WorkerAction> action;
  };

  ScriptedWorker();
  // With the rig's waits and time-outs, and the whole-body marks its
  // workers share.
  ScriptedWorker(const DaemonTiming& timing, uint32_t channel_timeout,
                 WholeBodyAsks& whole_body_asks = WholeBodyAsks::Shared());
  // On the given objects alone (a test's own queue, reporter, ...). The
  // two above use the process-wide ones.
  explicit ScriptedWorker(const Collaborators& with);

  // Replaces the script of `op`. Call before the worker runs.
  void SetScript(Op op, Script script);
  // Runs on the worker's thread once an event is in hand, before it is
  // resolved and carried out. Call before the worker runs.
  void SetOnEventInHand(std::function<void(ScriptedWorker&)> hook);
  // Runs on the worker's thread at the top of each pass that found the
  // state RUN, before the abort flag is cleared. Call before the worker runs.
  void SetOnPassStart(std::function<void(ScriptedWorker&)> hook);
  // Runs on the worker's thread right after an event was pulled, before the
  // worker records it as its current work. Call before the worker runs.
  void SetOnEventPulled(std::function<void(ScriptedWorker&)> hook);
  // Puts `ev` in the worker's hands, as a retry would leave it: the next
  // pass carries it out without pulling. Call before the worker runs.
  void Inject(const Event& ev);

  // The worker's own operation `op`, not its script: a script that returns
  // it makes the worker carry events out for real.
  ErrorCode RealOperation(Op op);
  // Sets every script to RealOperation. Call before the worker runs.
  void UseRealOperations();

  // Copies of the calls so far; thread-safe.
  std::vector<Call> calls() const;
  // Waits until `n` calls have an outcome (or were expands/rescans).
  bool waitForCalls(size_t n, std::chrono::milliseconds timeout) const;

  // Runs between the conflict test and the final rename of a download.
  void SetOnBeforeReplace(std::function<void(ScriptedWorker&)> hook) { on_before_replace_ = std::move(hook); }
  // Runs once a download's reply has arrived, before its body is used.
  void SetOnBodyReceived(std::function<void(ScriptedWorker&)> hook) { on_body_received_ = std::move(hook); }
  void SetOnBeforeLocalBuild(std::function<void(ScriptedWorker&)> hook) { on_before_local_build_ = std::move(hook); }
  void SetOnUploadHashed(std::function<void(ScriptedWorker&)> hook) { on_upload_hashed_ = std::move(hook); }

  // The download and remove layers.
  using Worker::CalculateMD4;
  using Worker::GetRecycleBinDir;
  using Worker::HandleDownloadConflict;
  using Worker::IsDownloadRemoteFakeEvent;
  using Worker::MergeEvent;
  using Worker::moveFileToRecycleBin;
  using Worker::LocalCopy;
  using Worker::PrepareFileFromLocal;
  using Worker::ProcessDownloadFile;
  using Worker::AdjustMtimeForMSDOS;
  using Worker::TestDownloadConflict;
  using Worker::Verdict;
  using Worker::abort_flag;
  using Worker::cached_request;
  using Worker::cached_response;
  using Worker::ClearCache;
  using Worker::ClearPObject;
  using Worker::CommitDatabaseDownload;
  using Worker::CommitDatabaseUpload;
  using Worker::CommitServerEvent;
  using Worker::context;
  using Worker::LocalFolderChanged;
  using Worker::LocallyModified;
  using Worker::notify_event_type;
  using Worker::patch_err_count;
  using Worker::ProtoDownload;
  using Worker::ProtoRemove;
  using Worker::ProtoResp2ErrorCode;
  using Worker::ProtoUpload;
  using Worker::RequestChannel;
  using Worker::streamErr2DaemonErr;
  using Worker::RemoveDatabaseInfo;
  using Worker::sys_err_count;
  using Worker::WholeBodyAsked;
  using Worker::TestCommonFilter;
  using Worker::TestDownloadRemoteFilter;
  using Worker::TestFilteredDeleteEvent;
  using Worker::TestForceHash;
  using Worker::TestRemoveLocalFilter;
  using Worker::TestRemoveRemoteFilter;
  using Worker::TestUploadLocalFilter;
  using Worker::trans_stream;
  using Worker::upload_sign_file;
  using Worker::UpdateContext;
  // The upload, expansion and rescan layers.
  using Worker::BuildLocalFileListWithoutResursive;
  using Worker::CheckLocalModification;
  using Worker::CompareFileList;
  using Worker::CreateDirSelfEvent;
  using Worker::ExpandLocalDeleteEvent;
  using Worker::ExpandServerDeleteEvent;
  using Worker::IsUploadLocalFakeRequest;
  using Worker::PrepareFileBlock;
  using Worker::PrepareMtime;
  using Worker::TestBaseNameConflict;

 protected:
  ErrorCode UploadLocal() override { return RunScript(kUpload); }
  ErrorCode DownloadRemote() override { return RunScript(kDownload); }
  ErrorCode RemoveLocal() override { return RunScript(kRemoveLocal); }
  ErrorCode RemoveRemote() override { return RunScript(kRemoveRemote); }
  ErrorCode Expand() override { return RunScript(kExpand, true); }
  ErrorCode Rescan() override { return RunScript(kRescan, true); }
  ErrorCode ExpandDeleteEvent() override { return RunScript(kExpandDelete); }
  void OnEventInHand() override;
  void OnPassStart() override;
  void OnEventPulled() override;
  void OnEventOutcome(ErrorCode result, WorkerAction action) override;
  void OnBodyReceived() override {
    if (on_body_received_) on_body_received_(*this);
  }
  void OnBeforeReplace() override {
    if (on_before_replace_) on_before_replace_(*this);
  }
  void OnBeforeLocalBuild() override {
    if (on_before_local_build_) on_before_local_build_(*this);
  }
  void OnUploadHashed() override {
    if (on_upload_hashed_) on_upload_hashed_(*this);
  }

 private:
  ErrorCode RunScript(Op op, bool settled = false);

  Script scripts_[kOpCount];
  std::function<void(ScriptedWorker&)> on_event_in_hand_;
  std::function<void(ScriptedWorker&)> on_pass_start_;
  std::function<void(ScriptedWorker&)> on_event_pulled_;
  std::function<void(ScriptedWorker&)> on_before_replace_;
  std::function<void(ScriptedWorker&)> on_body_received_;
  std::function<void(ScriptedWorker&)> on_before_local_build_;
  std::function<void(ScriptedWorker&)> on_upload_hashed_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;  // guarded by mutex_
  size_t settled_ = 0;       // guarded by mutex_: calls with an outcome
};

class WorkerRig {
 public:
  struct Options {
    uint64_t sess_id = 7;
    uint64_t conn_id = 3;
    bool recursive = true;
    bool read_only = false;
    bool pause = false;
    // The session's rule files (conf/blacklist.filter and so on).
    std::string black_list;
    std::string white_list = "[File]\nwhite_ext = \"*\"\n";
    std::string force_hash_list;
    // Log levels: every worker line at L_DEBUG, so each format runs.
    std::string log_levels = "worker_debug=7\nevent_mgr_debug=7\n";
    // The session's connection (conn_id is set from above): where the
    // server is. By default nothing listens there.
    ConnectionInfo connection = DefaultConnection();
    // Start a storage-server stand-in and point the connection at it: its
    // token and view are the session's; TLS when `tls` (CA tests/data/pki
    // ca.pem, name "server.test").
    bool server = false;
    bool tls = false;
    ServerStandInOptions stand_in = DefaultStandIn();
    // The workers' rests and reply time-out (shortened rests), and their
    // channel time-out.
    DaemonTiming timing = ShortTiming();
    uint32_t channel_timeout = 60;
  };
  static ConnectionInfo DefaultConnection();
  // The session's token and view; versions from 2^32 + 10, so that a sync
  // id cut to 32 bits shows.
  static ServerStandInOptions DefaultStandIn();

  // Builds everything under `root` (an existing empty folder, e.g. a
  // TempDir): root/local, root/config/{db,db/sign,conf}, root/filter.db,
  // root/fstat.db, root/test.log. Failures are reported as test failures.
  explicit WorkerRig(const std::string& root, Options options);
  explicit WorkerRig(const std::string& root) : WorkerRig(root, Options()) {}
  ~WorkerRig();
  WorkerRig(const WorkerRig&) = delete;
  WorkerRig& operator=(const WorkerRig&) = delete;

  // The registered session, as stored now.
  Registry::Entry entry() const;
  // Stores a changed entry (pause, read_only, ...).
  void setEntry(const Registry::Entry& entry);
  // root/local + rel ("" is the folder itself; rel begins with "/").
  std::string local(const std::string& rel = "") const;
  const std::string& root() const { return root_; }
  UiStandIn& ui() { return *ui_; }
  FileEventDB& eventDb() const;
  std::string eventDbPath() const { return root_ + "/config/db/event-db.sqlite"; }

  // The stand-in (Options::server).
  ServerStandIn& server() { return server_; }
  // The journal's "request" events ({action, tls, conn, request, command}).
  std::vector<nlohmann::json> requests();
  // Their actions, in order.
  std::vector<std::string> actions();
  // SHA-256 of every version of every file the stand-in keeps.
  std::set<std::string> storeSha256();
  // One "pull_event" from the session's stored sync id through the road
  // (the Syncer's profile), each change queued with PushEvent as the
  // Syncer does, and the next sync id stored. ERR_OK, the road's code,
  // ERR_SERVER for an "error" reply, or ERR_SYS when the rig's own state
  // cannot be read or written.
  ErrorCode pullServer();

  // A new worker of the rig, not yet running.
  ScriptedWorker& addWorker();
  // A new worker, not running, with `ev` resolved in its context as the
  // loop would (the test fails when it is not).
  ScriptedWorker& holding(const Event& ev);
  ScriptedWorker& worker(size_t i) { return *workers_.at(i); }
  // Runs every worker not yet running.
  void startWorkers();
  // Stops and joins every worker.
  void stopWorkers();

  // An event of the session: local, or server (F_SERVER) with sync ids.
  Event localEvent(Event::Type type, const std::string& path, bool is_dir = false) const;
  Event serverEvent(Event::Type type, const std::string& path, uint64_t sync_id, bool is_dir = false) const;
  // Queues `ev` (a server event when it has F_SERVER).
  void push(const Event& ev) const;

  // The outcome of the next operation the first worker carries out for
  // `ev`, pushed through the queue: its result and the loop's action.
  // {ERR_MAX, none} when none came within `timeout`.
  struct Outcome {
    ErrorCode result = ERR_MAX;
    std::optional<WorkerAction> action;
  };
  Outcome runOne(const Event& ev, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the session has nothing pending (the queue's count, which
  // leaves expands out) and no worker records an event in hand; false after
  // `timeout`.
  bool drain(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Whether the log holds `piece`.
  bool logged(const std::string& piece) const;
  // How often the log holds `piece`.
  size_t countLogged(const std::string& piece) const;
  std::string log() const;

 private:
  std::string root_;
  Options options_;
  std::unique_ptr<UiStandIn> ui_;
  ServerStandIn server_;
  // Shared by the rig's workers, and by no other rig's (declared before
  // them: it outlives them).
  WholeBodyAsks whole_body_asks_;
  std::vector<std::unique_ptr<ScriptedWorker>> workers_;
  std::vector<bool> running_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_WORKER_RIG_H_
