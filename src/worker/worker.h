// Worker: one background task that carries out queued events, one at a time.
//
// Each pass of DoTask takes one event from the EventManager (or keeps the one
// a retry left in hand), resolves its session, connection, record and paths
// into the event context, drops what must not run (session gone, read-only,
// root folder, non-recursive depth, unsafe path), hands the event to its
// operation, turns the operation's result into an action (done, retry, give
// back; worker_error.h) and reports to the user interface.
//
// Threads:
//  - The worker's own thread runs DoTask and everything under it: the
//    context, the resume cache, trans_stream's transfers, the counters.
//  - The application thread calls Pause, Resume, Stop, SetAbort(filter,
//    barrier) and GetWorkingStatus.
//  - The event queue calls SetAbort(bool) from whatever thread pushes a local
//    event, while it holds its own lock: SetAbort(bool) only stores the
//    atomic abort flag, takes no lock and never blocks.
//  - A download may read the local file's MD4 on a helper thread of its own
//    (BasisMd4) while the server answers; the helper takes no lock, and the
//    download stops and joins it before it ends.
//
// Locks, in the only order in which two are ever held:
//    EventManager's m_lock -> (SetAbort(bool): no lock, an atomic store)
//    worker_state_lock -> Barrier::mutex (SetAbort with a barrier)
// The worker's thread holds none of its own locks while it calls into the
// event queue (m_lock), the registry (its mutex), the connection's pool
// (the pool's lock), the whole-body marks (WholeBodyAsks' lock), the
// databases (their own mutexes) or the user-interface notifier (UiReporter:
// while linked it only queues, UiNotifier): each is taken
// and released inside that call. worker_state_lock guards only the current-work record and the
// barrier pointer; the task's state mutex (Task) and the stream's status
// lock (PStream) are each taken alone by GetWorkingStatus.
//
// Results: every operation ends in a daemon code (ErrorCode, ERR_OK for
// success; transport/error_code.h). The per-direction event tests answer a
// FilterVerdict (carry out, finish without action, or fail with a code),
// which the operations turn into their result through its Result().
//
// Log component "worker_debug"; lines quote the task id as "Worker (%d)".
#ifndef WORKER_WORKER_H_
#define WORKER_WORKER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/daemon_timing.h"
#include "foundation/file_op.h"
#include "foundation/temp_file.h"
#include "foundation/ustring.h"
#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "session/db_file_info.h"
#include "session/event.h"
#include "session/file_list.h"
#include "server/connection.h"
#include "server/request_road.h"
#include "worker/filter_verdict.h"
#include "worker/whole_body_asks.h"
#include "session/registry.h"
#include "session/session_folders.h"
#include "session/task.h"
#include "foundation/file_identity.h"
#include "worker/basis_md4.h"
#include "worker/worker_error.h"
#include "worker/worker_road.h"

class BlackList2;
class ConnectionManager;
class EventGenerator;
class EventManager;
class FileStatusRows;
class FilterDB;
class UiReporter;
struct FilterLocalEvent;
struct RescanBatch;
class CompareSink;

// The length of `text` in UTF-16 code units (two for a character above
// U+FFFF), counted from its UTF-8 bytes: the unit the path-length rules use.
uint64_t Utf16Length(const ustring& text);

class Worker : public Task, private RoadHooks {
 public:
  enum WorkingType { W_TYPE_NONE = 0, W_TYPE_UPLOAD = 1, W_TYPE_DOWNLOAD = 2 };

  // What the user interface is told when the event in hand is done.
  enum NotifyEventType {
    NOTIFY_NONE = 0,
    NOTIFY_FILTERED = 1,
    NOTIFY_SERVER_MODIFY = 2,
    NOTIFY_SERVER_REMOVE = 3,
    NOTIFY_CLIENT_MODIFY = 4,
    NOTIFY_CLIENT_REMOVE = 5,
  };

  // The current-work record, read by the abort filter and the status report.
  struct ProcessEvent_T {
    uint64_t session_id = 0;
    uint64_t connection_id = 0;
    ustring path;
    WorkingType working_type = W_TYPE_NONE;

    void clear() { *this = ProcessEvent_T(); }
  };

  // A counting barrier: the application registers each interrupted worker
  // (increase, through SetAbort) and waits until each has signalled from the
  // top of its loop. Lives on the application's stack while it waits.
  class Barrier {
   public:
    Barrier() = default;
    Barrier(const Barrier&) = delete;
    Barrier& operator=(const Barrier&) = delete;

    void increase(int task_id);
    void signal(int task_id);
    // Returns once every registered worker has signalled.
    void wait();
    // The same, giving up after `timeout`: true when every registered
    // worker signalled, false on time-out (then call Worker::ForgetBarrier
    // on each worker before the barrier goes).
    bool wait_for(std::chrono::milliseconds timeout);

   private:
    std::mutex mutex;
    std::condition_variable cond;
    uint32_t count = 0;  // guarded by mutex
  };

  // Which workers an interruption concerns: a set flag with id 0 matches
  // every worker holding an event.
  class AbortFilter {
   public:
    AbortFilter() = default;
    void setSession(uint64_t id) {
      sess_id = id;
      sess_id_set = true;
    }
    void setConnection(uint64_t id) {
      conn_id = id;
      conn_id_set = true;
    }
    bool matchSession(uint64_t id) const { return sess_id_set && (sess_id == 0 || sess_id == id); }
    bool matchConnection(uint64_t id) const { return conn_id_set && (conn_id == 0 || conn_id == id); }

    uint64_t sess_id = 0;
    uint64_t conn_id = 0;
    bool sess_id_set = false;
    bool conn_id_set = false;
  };

  // Everything resolved for the event in hand; the worker's thread only.
  struct EventContext {
    Event current_event;
    Registry::Entry root_entry;
    DBFileInfo database_record;  // cleared when the path has no record
    ustring working_directory;   // local_path + "/" + kWorkingDirName
    ustring sign_directory;      // config_path + "/db/sign"
    ustring full_path;           // local_path, or local_path + the event's path
    // The session's connection: shares its channel pool. Set by
    // UpdateContext for each event; clear() leaves it, and the loop drops
    // it at the top of each pass and before each rest.
    Connection connection;

    // Empties everything above but the connection.
    void clear();
  };

  // What a worker works with; each must outlive it. The worker reaches
  // only these: a worker built on a test's queue, registry or databases
  // works on those alone.
  struct Collaborators {
    EventManager& events;
    Registry& registry;
    ConnectionManager& connections;
    // The held-back local events of the sessions (selective sync).
    FilterDB& filters;
    // The system rules, tested before each session's own black list.
    const BlackList2& system_rules;
    // The file-status list, whose row of a finished file the worker drops.
    FileStatusRows& file_status;
    // The user-interface notifications (errors, finished and locked files).
    UiReporter& ui;
    // Queues the expansions' and rescans' events; bound to `events`.
    EventGenerator& generator;
    // The rests of the loop and the reply time-out (worker_reply_timeout).
    DaemonTiming timing = DaemonTiming();
    uint32_t channel_timeout = 60;  // seconds for connect, send, TLS
    // The events whose body is asked whole, shared by the workers.
    WholeBodyAsks& whole_body_asks = WholeBodyAsks::Shared();
    // Raised by Stop, or by the owner when the daemon must end at once;
    // shared by the workers of one daemon (null: the worker's own). While
    // an upload's reply is awaited the abort flag is not heeded (a
    // committed upload must not be broken off), this one is: a stop ends
    // that wait within a second, a lost reply costing no second body.
    std::atomic<int>* stop_flag = nullptr;
  };

  // `with.generator` must push into `with.events`.
  Worker(TaskManager* owner, TaskContext* ctx, const Collaborators& with);
  // The owner has stopped and joined the thread. Drops the resume cache.
  ~Worker() override;

  // Task::Pause.
  int Pause() override;
  // Task::Resume.
  int Resume() override;
  // Task::Stop, then raises the stop flag and the abort flag (a blocked
  // transfer gives up, the wait for an upload's reply too). In that order:
  // the loop clears the abort flag and then reads the state again, so no
  // stop is lost between the two.
  int Stop() override;
  // Stores 1 or 0 in the abort flag; 0. Any thread, under any lock.
  int SetAbort(bool abort) override;
  void DoTask() override;

  // Application thread: when the worker holds an event matching `filter`,
  // raises its abort flag and, with a barrier, registers on it; the worker
  // signals it from the top of its next pass. Takes worker_state_lock, then
  // the barrier's mutex.
  void SetAbort(const AbortFilter& filter, Barrier* barrier);
  // Worker thread: signals the barrier registered by SetAbort, if any: at
  // the top of each pass and before each pause of the loop. Takes
  // worker_state_lock, and signals under it, so that ForgetBarrier can
  // tell that the barrier is no longer touched.
  void NotifyAbortDone();
  // Application thread, after a wait on `barrier` timed out: unregisters
  // it when this worker still holds it. On return the worker never touches
  // `barrier` again. Takes worker_state_lock.
  void ForgetBarrier(const Barrier* barrier);

  // The current-work record, each under worker_state_lock; any thread.
  void SetCurrentProcessEventInfo(uint64_t conn_id, uint64_t sess_id, const ustring& path, WorkingType type);
  void ClearCurrentProcessEventInfo();
  void GetCurrentProcessEventInfo(ProcessEvent_T& out);

  // Status report (application thread): the session, path and kind of the
  // transfer in hand and the bytes of its file body moved so far; zeros and
  // "" while paused or stopped, bytes 0 unless "file.file.data" moves.
  void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& w_type, uint64_t& sent,
                        uint64_t& total_size);

  // The action for an operation's result (worker_error.h), with the report
  // it calls for; WorkerAction::kNone for a code without one. Worker thread.
  WorkerAction HandleError(ErrorCode code);
  // Reports a finished file of `type` to the user interface; 0.
  int NotifyEvent(NotifyEventType type);

  // The abort flag's value, for tests and the status of a transfer.
  int AbortFlag() const { return abort_flag.load(); }

  // Decisions one pass of a rescan queues at most. A rescan of a folder
  // with more to decide queues one pass, then a continuation of itself
  // behind the session's events (EventManager::ContinueRescan): the queue
  // holds a pass, not the whole folder. Each queued event costs about a
  // kilobyte; a pass re-lists only what is still undecided. An expansion
  // pushes as many events a pass, the same way.
  static constexpr size_t kRescanBatch = 5000;
  // For tests, before the worker runs; 0 counts as 1.
  void set_rescan_batch(size_t decisions) { rescan_batch_ = decisions; }

 protected:
  // ---- The operations; later layers fill them in. Each returns ERR_OK or
  // another code (an interrupted or failed expansion or rescan: ERR_INT).
  // The base logs CRIT and returns ERR_INT: ERR_OK would finish a server
  // event and let change pulling move past it. ----
  virtual ErrorCode UploadLocal();
  virtual ErrorCode DownloadRemote();
  virtual ErrorCode RemoveLocal();
  virtual ErrorCode RemoveRemote();
  virtual ErrorCode Expand();
  virtual ErrorCode Rescan();
  virtual ErrorCode ExpandDeleteEvent();

  // Called at the top of each pass once the state was found RUN, before the
  // abort flag is cleared; does nothing. Tests act in that window.
  virtual void OnPassStart() {}
  // Called right after an event was taken from the queue, before the
  // current-work record shows it; does nothing. Tests act in that window.
  virtual void OnEventPulled() {}
  // Called once an event is in hand (pulled, or kept from a retry), before
  // it is resolved and carried out; does nothing. Tests act in that window.
  virtual void OnEventInHand() {}
  // Called once the error policy has placed an operation's result; does
  // nothing. Tests observe outcomes there.
  virtual void OnEventOutcome(ErrorCode /*result*/, WorkerAction /*action*/) {}

  // ---- The steps of the loop (worker.cpp) ----
  // 0 with an event in the context, recorded as the current work; -1 when
  // none is ready, or when the worker was found paused or stopping once it
  // had recorded the event (the event then stays in the context, untouched,
  // for the pass that runs again).
  int GetEvent();
  // 0 when the event is to be carried out; -1 when it was finished or given
  // back here.
  int UpdateContext();
  // The event's operation; its result.
  ErrorCode ProcessEvent();
  // 0 done and the context cleared; -1 with the newer event of the same
  // path now in the context.
  int DoneEvent();
  // Gives the event back to the queue, clears the context, waits 2 s.
  void RedoEvent();
  // Clears the record for an expand or rescan; else records the event with
  // its session's connection (from the registry while it is unresolved).
  void AdjustCurrentProcessEventInfo();

  // ---- Accessors of the context ----
  ustring GetPath() const { return context.current_event.m_path; }
  const ustring& GetFullPath() const { return context.full_path; }
  const ustring& GetWorkingDirectory() const { return context.working_directory; }
  const ustring& GetSignDirectory() const { return context.sign_directory; }
  const ustring& GetLocalWatch() const { return context.root_entry.local_path; }
  const ustring& GetRemoteWatch() const { return context.root_entry.remote_path; }
  uint64_t GetViewId() const { return context.root_entry.view_id; }
  const ConnectionInfo& GetConnectionInfo() const { return context.connection.getConnectionInfo(); }
  FileEventDB* GetEventDatabase() const { return context.root_entry.event_db.operator->(); }
  BlackList2* GetBlackList() const { return context.root_entry.black_list.operator->(); }
  WhiteListCpp* GetWhiteList() const { return context.root_entry.white_list.operator->(); }
  ForceHashCheckListCpp* GetForceHashCheckList() const { return context.root_entry.force_hash_check_list.operator->(); }
  // Copies database_record; 0.
  int GetDatabaseInfo(DBFileInfo& out) const;
  // FSStat of full_path (exact-case); even seconds on an MS-DOS session.
  // 0, or -1 when the path cannot be examined.
  int GetFilesystemInfo(FILE_INFO& info) const;

  // ---- Event tests (worker_filter.cpp): carry the event out, finish it,
  // or fail with a code. ----
  FilterVerdict TestUploadLocalFilter();
  FilterVerdict TestDownloadRemoteFilter();
  FilterVerdict TestRemoveLocalFilter();
  FilterVerdict TestRemoveRemoteFilter();
  // The rescan's test for a recorded path missing on disk: true when a
  // selective-sync path-prefix rule holds it back (a row is written).
  bool TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir);
  // 0 or a FILTER_* code: white list, then the black lists.
  int TestCommonFilter();
  // 0 accepted, -1 not on the white list.
  int TestWhiteList();
  int TestFilePath(const ustring& path, const ustring& full_path);
  int TestDirectory(const ustring& path, const ustring& full_path);
  int TestBlackListPath();
  // 1 force a hash check, 0 no, -1 for the root or an empty path.
  int TestForceHash();
  // Whether the local item differs from its record (see the checks in
  // worker_filter.cpp). `hash` may be empty (not compared).
  bool LocallyModified(const FILE_INFO& info, const DBFileInfo& record, const ustring& hash);
  // The expansion's test: true when the file at `full` (session path
  // `path`) is a recorded file its upload would find unchanged by the weak
  // check (size, time, signature in place) and would neither rename nor
  // hash. Such a file is left out of an expansion: the folder a download
  // makes is expanded after its files are in place, and each would
  // otherwise go through a whole event that sends nothing.
  bool AsRecorded(const ustring& full, const ustring& path);
  // Stores a local event as held back; 0 (a failed write is logged).
  int AddFilteredEventToDB(const Event& ev, int filter_type);
  int ConvertToFilteredEvent(const Event& ev, int filter_type, FilterLocalEvent& out);
  // Whether the session folder is on vfat, where no file reaches 4 GiB.
  bool IsVfatSession() const;

  // ---- Results into the event database (worker_commit.cpp); 0 or -1 ----
  int CommitDatabaseUpload(const PObject& request, const PObject& response, const DBFileInfo& dbinfo,
                           const ustring& sign_file);
  int CommitDatabaseDownload(const PObject& response, const DBFileInfo& dbinfo, const ustring& sign_file);
  int CommitServerEvent(const Event& server_event, const FILE_INFO& local_info, const DBFileInfo& db_info);
  int UpdateDatabaseInfo(const DBFileInfo& record);
  int RemoveDatabaseInfo();
  // The modification time of a commit: from `q`'s "mtime", else the local
  // file's, else the old record's.
  void TakeModTime(const PObject& q, const DBFileInfo& d, DBFileInfo& rec) const;
  // UpdateDatabaseInfo, then the path's held-back local events are dropped.
  int CommitRecord(const DBFileInfo& rec);
  // The record a server event describes (ids, type, path, size, MD4, exec
  // bit); time and signature are the caller's.
  static DBFileInfo EventRecord(const Event& ev);

  // ---- Server requests (worker_request.cpp); results 0 or a negative
  // ERR_* code. A reply that carries "error" is a successful exchange: the
  // caller maps "error"."code" with ProtoResp2ErrorCode. ----
  // Reopens and handshakes a pooled channel.
  ErrorCode RequestChannel(Channel& ch);
  // One exchange on an open channel, into the working folder.
  ErrorCode RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& reply);
  // Pooled exchanges: a channel of the event's connection, handshaken when
  // expired, given back on every path.
  ErrorCode ProtoUpload(bool resume, PObject& request, PObject& reply);
  ErrorCode ProtoDownload(bool resume, PObject& request, PObject& reply);
  ErrorCode ProtoRemove(const PObject& request, PObject& reply);
  // The work on the lent channel.
  ErrorCode ProtoUploadObject(Channel& ch, const PObject& request, PObject& reply);
  ErrorCode ProtoUploadDirectory(Channel& ch, const PObject& request, PObject& reply);
  ErrorCode ProtoUploadFile(Channel& ch, const PObject& request, PObject& reply);
  ErrorCode ProtoDownloadObject(Channel& ch, const PObject& request, PObject& reply);
  // Token, dry run and upload; a retry asks the server's offset first and
  // sends only the rest of the body. May add "_resume_token" to `request`
  // and cached_request and rewrite request "file".
  ErrorCode ProtoResumeUploadObject(Channel& ch, PObject& request, PObject& reply);
  // Token (first attempt), then the download.
  ErrorCode ProtoResumeDownloadObject(Channel& ch, PObject& request, PObject& reply);
  // A failed send or receive (PStream::Code) as a daemon code. A raised
  // abort flag wins and stays raised (the loop clears it between events):
  // ERR_CH_CONNECTION_ABORT while paused (cache kept), else ERR_INT (cache
  // dropped). Otherwise a local failure, a malformed stream or a full disk
  // drops the cache; a broken or timed out connection keeps it, so the
  // retry resumes.
  ErrorCode streamErr2DaemonErr(PStream::Code stream_code);
  // The worker's mapping of a server code (worker_road.h); never 0 but for
  // SPROTO_ERR_OK.
  ErrorCode ProtoResp2ErrorCode(uint32_t server_code) const;
  // The stream of every exchange.
  PStream& trans_stream() { return road_.stream(); }

  // ---- Upload of a local change (upload_local.cpp) ----
  // True when there is nothing to upload: the file vanished, or it is
  // neither a file nor a folder (notify_event_type NOTIFY_FILTERED).
  bool IsUploadLocalFakeEvent(const FILE_INFO& info, const DBFileInfo& record);
  // Carry out for a name the server can hold (an empty name too); finish
  // after the local entry was renamed (blank at either end, "." at the
  // end); fail with ERR_SYS when that rename failed.
  FilterVerdict TestBaseNameConflict(const ustring& base_name);
  // Whether the upload renames an entry of this name before it goes up
  // (blank at either end, "." at the end); false for the empty name.
  static bool NameToRename(const ustring& base_name);
  // True when `request` carries nothing new but perhaps its "mtime".
  bool IsUploadLocalFakeRequest(const DBFileInfo& record, const PObject& request);
  // After an accepted upload: queues a local remove when the file is gone.
  // 0, or -1 when it cannot be examined.
  int CheckLocalModification(const PObject& request, const PObject& reply);
  // Removes the stored signature of the current path (the record's
  // `signaturePath`), so that its next upload goes whole. `why` ends the
  // warning logged.
  void DropStoredSignature(const char* why);

  // ---- The file block of an upload (prepare_file_block.cpp) ----
  // Fills request "file": a reference, a delta against the record's
  // signature, or the whole file, with MD4 and a new signature in
  // `sign_file` from one read. 0, ERR_SYS, or ERR_INT when the file changed
  // while it was read. Records the file's identity at the read's start in
  // upload_body_identity.
  ErrorCode PrepareFileBlock(PObject& request, TempFile& sign_file);
  // Fills request "mtime"; 0.
  int PrepareMtime(const FILE_INFO& info, const DBFileInfo& record, PObject& request);

  // ---- Folder expansion and rescans (expand.cpp); 0 done, -1 interrupted
  // or failed ----
  // One level of a local folder against the records directly below `path`.
  int ExpandLocalDeleteEvent(const ustring& path);
  // Server removes of the records directly below `path` whose sync id is at
  // most `sync_id` (sess_id is not used).
  int ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id);
  // One pass of the rescan in hand (Rescan, then the memory it used is
  // given back); 0 done, -1 interrupted or failed.
  ErrorCode RescanPass();
  // After a subfolder-rescan event is done: queues the folder's own event.
  void CreateDirSelfEvent();
  // Queues the continuation of a filled pass of a rescan or an expansion
  // (`what` names it in the INFO line): the event in hand resuming after
  // the pass's last path.
  void QueueRest(const char* what, const ustring& path, const RescanBatch& pass);
  // The comparison of a folder's listings (compare_file_list.h), pushing
  // into the event queue. `unlisted`: folders, relative to `root`, whose
  // listing failed; nothing at or below them is compared. With `batch`,
  // only the decisions of that pass (walk.h).
  int CompareFileList(const ustring& root, const FileList& fs_list, const FileList& db_list, bool do_merge,
                      const std::vector<ustring>& unlisted = {}, RescanBatch* batch = nullptr);
  // The sink behind both: decisions go into the event queue; with `batch`,
  // only those of that pass.
  std::unique_ptr<CompareSink> QueueSinkFor(RescanBatch* batch);
  // One level of a local folder, times and sizes, without the working
  // folder. 0, or -1 when aborted.
  int BuildLocalFileListWithoutResursive(const ustring& path, FileList& flist);
  // The session-level pushes for the event's session (event_generator.h).
  void PushUploadEvent(const ustring& path, bool is_dir);
  void PushRemoveEvent(const ustring& path, bool is_dir);
  void PushDownloadEvent(const ustring& path, bool is_dir);

  // ---- Download of a server change (download_remote.cpp,
  // prepare_download.cpp, download_conflict.cpp) ----
  // Whether `ev` describes exactly the recorded local object, so that only
  // the record's sync ids move on.
  bool IsDownloadRemoteFakeEvent(const Event& ev, const FILE_INFO& local, const DBFileInfo& record);
  // 0 when the local object already holds the event's content and its
  // record was rewritten; -1 otherwise.
  int MergeEvent();
  // What became of a local copy of the event's content.
  enum class LocalCopy {
    kPlaced,     // found on disk (recycle folder, then the session), put in place and recorded
    kNone,       // no usable copy: the content comes from the server
    kNotPlaced,  // a copy is at hand (left in the recycle folder) but could not be
                 // put in place; the change is kept pending (KeepPending)
  };
  LocalCopy PrepareFileFromLocal();
  // Checks a received body (delta or whole) by MD4; `file` gets the path of
  // the new content (the full path when the local file already is it).
  ErrorCode PrepareDownloadFile(const PObject& reply, ustring& file, TempFile& signature);
  // 0 local file already is the content; ERR_INT after a conflict rename or
  // when the local file vanished; ERR_SYS otherwise.
  ErrorCode HandleDownloadPatchError(const PObject& reply);
  // What became of a downloaded file: put in place (code 0), its final
  // name refused by the local file system (code 0: nothing to retry), or
  // not put in place (a negative ERR_* code; when the folder refused the
  // move, the body is left in the recycle folder for the next attempt and
  // the change is kept pending).
  struct FilePlaced {
    enum class Kind { kPlaced, kNameRefused, kFailed };
    Kind kind;
    ErrorCode code;
  };
  FilePlaced ProcessDownloadFile(PObject& reply, TempFile& signature);
  ErrorCode ProcessDownloadDirectory(PObject& reply);
  int UpdateModifyTime(const ustring& path, const PObject& reply);
  void AdjustMtimeForMSDOS(PObject& reply);
  // 0 with the MD4 of `path`, or -1.
  int CalculateMD4(const ustring& path, ustring& md4);
  // The conflict test's verdict on the local object (the download's basis).
  // Its own type: the verdicts once shared numbers with the daemon codes.
  enum class Verdict {
    kUnchanged,      // as recorded (or neither record nor local object)
    kConflict,       // differs from its record and from the server's version
    kAlreadyServer,  // already the server's version (same MD4, or both folders)
    kVanished,       // recorded, but gone locally
    kUnreadable,     // its MD4 cannot be computed
  };
  Verdict TestDownloadConflict(const FILE_INFO& local, const DBFileInfo& record, const PObject& reply);
  // Moves a conflicting or type-jumping local object out of the way and
  // keeps its lstat for the re-check before the final rename; 0 when the
  // download may go on, else a negative ERR_* code.
  ErrorCode HandleDownloadConflict(const PObject& reply);
  // Whether the local folder at full_path holds anything its records do not
  // describe (a file or folder without a record, a file whose size or time
  // differs, a subfolder that cannot be listed).
  bool LocalFolderChanged();
  // The outcome of the final move of a download. Never a daemon code: a
  // failed move once read as ERR_INT ("changed meanwhile") and cost one
  // body per attempt.
  enum class Replace {
    kDone,
    kChangedMeanwhile,  // the local object changed after the conflict test
    kNameRefused,       // the local file system refuses the name
    kFailed,            // the folder or file system refused the move
  };
  // Moves the worker's `new_path` onto full_path once the local object is
  // still as HandleDownloadConflict left it (without replacing when it left
  // nothing there; across file systems by a flushed copy). `err` gets the
  // errno of a failed move when one is known, else 0.
  Replace ReplaceLocal(const ustring& new_path, int& err);
  // The reason told to the user interface for a move that failed with
  // `err` (0 when unknown).
  static const char* NotPlacedReason(int err);
  // Writes the signature of the local file into `signature`; 0 or ERR_SYS.
  ErrorCode SignLocal(TempFile& signature);
  // Called between the conflict test and the final rename of a download;
  // does nothing. Tests change the local file there.
  virtual void OnBeforeReplace() {}
  // Called once a download's reply has arrived, before its body is used;
  // does nothing. Tests change the local file there.
  virtual void OnBodyReceived() {}
  // Called right before a download's new content is read or built from a
  // local file (a delta applied to the local version, a copy of a recorded
  // file); does nothing. Tests interrupt the worker there.
  virtual void OnBeforeLocalBuild() {}
  // Called once an upload's file is hashed, right before the body's size
  // is taken; does nothing. Tests change the file there.
  virtual void OnUploadHashed() {}
  // The MD4 of the event's local file as read by the merge check, or on a
  // helper thread while the server answers: the conflict test takes it
  // while the file is still the one read. Empty between downloads.
  BasisMd4 basis_md4_;

  // ---- Removes on either side (remove.cpp) ----
  // The session's recycle folder.
  ustring GetRecycleBinDir() const;
  // The working and recycle folders of the event's session, for opening or
  // checking right before a move, write or delete inside them.
  SessionFolders Folders() const;
  // What became of a server delete's local object (ProcessRenameRemoveLocal,
  // RenameRemoveDirectory). Never a daemon code: ERR_* are negative and
  // kKeptInPlace once passed for success where `< 0` was the test.
  enum class Recycled {
    kRecycled,
    // A folder on another file system than the recycle folder (inside a
    // mount in the session, or the mount point itself): it stays where it
    // is, unrecorded, and a later rescan offers it to the server again. A
    // mounted tree is never copied or emptied.
    kKeptInPlace,
    kFailed,
  };
  // Recycles the local object at full_path with its rows (a folder through
  // RenameRemoveDirectory, else RenameRemoveFile) and sets the session's
  // recycle time.
  Recycled ProcessRenameRemoveLocal(const FILE_INFO& local_finfo);
  // Moves the file at full_path into the recycle folder with its row; 0 or -1.
  int RenameRemoveFile();
  // Moves the folder at full_path into the recycle folder with its rows
  // (kKeptInPlace: its rows dropped).
  Recycled RenameRemoveDirectory();
  // Recycles the worker's own file `src_file` with a new record; on any
  // failure the file is deleted (-1).
  int moveFileToRecycleBin(const ustring& src_file, uint64_t file_size, const ustring& file_hash,
                           const ustring& mac_hash);
  // MoveIntoRecycleBin's outcome.
  enum class RecycleMove {
    kMoved,
    kOtherFileSystem,  // a folder (or other non-file) on another file system, or a mount point
    kFailed,
  };
  // Moves `from` into the recycle folder under a fresh name that nothing
  // holds (never replacing; a file on another file system by a flushed
  // copy); `name` gets "/" + the 8 characters.
  RecycleMove MoveIntoRecycleBin(const ustring& from, ustring& name);

  // ---- Resume cache ----
  // Drops cached_response, cached_request and upload_sign_file, deleting
  // the working-folder files they name.
  void ClearCache();
  // Deletes the files that the binaries of obj (at any depth) name when
  // they lie inside the working folder, then nulls obj. A file anywhere
  // else (the user's own file, sent whole) is never deleted.
  void ClearPObject(PObject& obj);

  // 1 asks the transfer in hand to give up. Its address goes to every
  // channel and file reader of the transfer, which poll it without a lock.
  std::atomic<int> abort_flag{0};
  int sys_err_count = 0;
  uint32_t patch_err_count = 0;
  // Whether the next download of the event in hand asks for its body whole
  // (no basis): marked by HandleError, on any worker, when bad bodies on an
  // unchanged local copy reach their limit; unmarked when the event ends.
  bool WholeBodyAsked() const;
  // Tells the user interface that the event's path could not be put in
  // place: the file-level report ("locked_file") with `code` and `reason`.
  void ReportFileError(ErrorCode code, const char* reason);
  // Marks the event in hand as a change that cannot be put in place right
  // now (a folder that refuses it, a full disk): instead of the error
  // policy, the loop gives it back to the queue with a growing pause
  // (EventManager::DeferEvent) and tells the user interface once per spell,
  // with `code` and `reason` (a literal). Returns `code`.
  ErrorCode KeepPending(ErrorCode code, const char* reason);
  struct PendingApply {
    bool set = false;
    ErrorCode code = ERR_OK;
    const char* reason = "";
  };
  PendingApply pending_apply_;
  // The loop's step for a pending change: defers the event, reports the
  // first deferral, clears the context.
  void DeferPending(ErrorCode result);
  NotifyEventType notify_event_type = NOTIFY_NONE;
  int notify_file_status = -1;  // -1: none recorded
  uint32_t m_start_time = 0;    // Unix time the dispatch began; 0 between events
  EventContext context;
    // The local object's lstat taken by HandleDownloadConflict, compared again
  // right before the final rename of a download.
  struct LocalStamp {
    bool taken = false;
    bool exists = false;
    uint64_t ino = 0, size = 0;
    int64_t mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;
    uint32_t mode = 0;
    bool operator==(const LocalStamp&) const = default;
  };
  // Reads the lstat of `path` into a stamp.
  static LocalStamp StampOf(const ustring& path);
  LocalStamp checked_local_;
  PObject cached_request;
  PObject cached_response;
  ustring upload_sign_file;
  // The whole-file body's identity when its first read began (invalid when
  // the request sends no whole file); compared after the server accepted it.
  FileIdentity upload_body_identity;

 private:
  // Whether the event's path may be acted on: syntax, "/" only for a
  // folder, and no existing link between the session folder and the last
  // component. Reads the disk (lstat), writes nothing.
  bool PathIsUsable() const;
  // Whether the session folder exists as a folder (a link to one counts).
  bool RootIsPresent() const;
  // Drops the context's connection, signals a registered barrier (the
  // worker acts on nothing until its next pass), then Task::Wait(time).
  void Rest(std::chrono::milliseconds time);
  // Lets go of the context's share of a connection's pool, on the worker's
  // thread and under no lock: the last share of a removed connection closes
  // its channels here.
  void DropConnection();
  // Finishes the event in hand after a drop: ClearCurrentProcessEventInfo,
  // DoneEvent; -1.
  int Finish();

  // RoadHooks: the stream codes and the receive folder of the road.
  ErrorCode StreamError(PStream::Code stream_code) override { return streamErr2DaemonErr(stream_code); }
  // The working folder, checked real (SessionFolders::Ensure) right before
  // each exchange; "" when it cannot be made real, which refuses bodies.
  ustring ReceiveFolder() override;
  // The stop flag (Collaborators::stop_flag or the worker's own).
  const std::atomic<int>* StopFlag() override { return stop_flag_; }
  // The session's "session" and "view_id" into a new request of `action`.
  void InitSessionRequest(PObject& request, const char* action) const;

  EventManager& events_;
  Registry& registry_;
  ConnectionManager& connections_;
  FilterDB& filters_;
  const BlackList2& system_rules_;
  FileStatusRows& file_status_;
  UiReporter& ui_;
  EventGenerator& generator_;
  WholeBodyAsks& whole_body_asks_;
  const DaemonTiming timing_;
  size_t rescan_batch_ = kRescanBatch;
  std::atomic<int> own_stop_flag_{0};
  std::atomic<int>* const stop_flag_;  // never null
  WorkerRoadLog road_log_;
  RequestRoad road_;

  std::mutex worker_state_lock;
  ProcessEvent_T m_current_event;       // guarded by worker_state_lock
  Barrier* abort_done_barrier = nullptr;  // guarded by worker_state_lock
};

#endif  // WORKER_WORKER_H_
