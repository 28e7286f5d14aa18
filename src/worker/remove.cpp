// Removing on either side: a local delete becomes a "remove" request; a
// server delete moves the local object into the session's recycle folder,
// or leaves a locally changed one under a conflict name.
//
// Nothing is ever renamed over an object in the recycle folder: each move
// draws names until one is free.
#include <cerrno>
#include <ctime>

#include "filter/filter_db.h"
#include "platform/unique_fd.h"
#include "foundation/conflict_rename.h"
#include "protocol/proto_common.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/session_folders.h"
#include "session/ui_ipc.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_fs.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// Fresh names drawn before a move into the recycle folder gives up.
constexpr int kRecycleNameTries = 10;

// Tells the user interface that the folder of the server delete `ev` was
// left in place (a mount point, or one on another file system), never that
// it was removed. Logged there when not delivered.
void ReportKeptFolder(UiReporter& ui, const Event& ev) {
  Event kept;
  kept.m_path = ev.m_path;
  kept.m_sess_id = ev.m_sess_id;
  kept.m_mode = ev.m_mode;
  kept.setDir();
  (void)ui.ReportFileErrorToUI(kept, ERR_LOCKED_FILE, "on another file system, left in place");
}

}  // namespace

SessionFolders Worker::Folders() const {
  const Registry::Entry& entry = context.root_entry;
  return SessionFolders(entry.local_path, entry.conn_id, entry.sess_id);
}

ustring Worker::GetRecycleBinDir() const { return context.working_directory + "/" + kRecycleDirName; }

Worker::RecycleMove Worker::MoveIntoRecycleBin(const ustring& from, ustring& name) {
  // Opened once for the move, as a real folder of the session: a link put
  // in place of the working or recycle folder would carry the user's file
  // out of the session.
  platform::UniqueFd bin;
  if (Folders().Open(SessionFolders::Which::kRecycle, &bin) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): the recycle folder '%s' is not usable\n", GetId(),
               GetRecycleBinDir().c_str_utf8());
    return RecycleMove::kFailed;
  }
  for (int i = 0; i < kRecycleNameTries; ++i) {
    if (FSCreateTempPath("", name) != 0) return RecycleMove::kFailed;
    const char* leaf = name.c_str_utf8() + 1;  // past the "/"
    int err = worker_fs::RenameIntoSynced(from, bin.get(), leaf);
    if (err == EXDEV || err == EBUSY) {
      // EXDEV: on another file system than the recycle folder; EBUSY: in
      // use by the system, the mount point of a file system of its own.
      FILE_INFO info;
      if (FSStat(from, info, false) != 0 || info.type != FT_FILE) return RecycleMove::kOtherFileSystem;
      if (err == EXDEV) err = worker_fs::MoveFileAcrossInto(from, bin.get(), leaf);
    }
    if (err == 0) return RecycleMove::kMoved;
    if (err != EEXIST) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): cannot move '%s' to '%s': errno %d\n", GetId(),
                 from.c_str_utf8(), (GetRecycleBinDir() + name).c_str_utf8(), err);
      return RecycleMove::kFailed;
    }
  }
  WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): no free recycle name for '%s'\n", GetId(), from.c_str_utf8());
  return RecycleMove::kFailed;
}

int Worker::RenameRemoveFile() {
  const Event& ev = context.current_event;
  if (ev.m_path.empty() || ev.m_path == "/") return -1;  // the session folder itself is never recycled
  ustring name;
  if (MoveIntoRecycleBin(GetFullPath(), name) != RecycleMove::kMoved) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveFile: failed remove file '%s'.\n", GetFullPath().c_str_utf8());
    return -1;
  }
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveFile: missing databasehandle\n");
    return -1;
  }
  if (db->dumpFileToRecycleBin(name, ev.m_path) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveFile: failed to dumpFileToRecycleBin '%s'.\n",
               GetFullPath().c_str_utf8());
    return -1;
  }
  context.database_record.Clear();
  if (filters_.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) < 0) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): RenameRemoveFile : failed to rmLocalFilteredEventByPath for session '%llu', path "
               "'%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}

Worker::Recycled Worker::RenameRemoveDirectory() {
  const Event& ev = context.current_event;
  if (ev.m_path.empty() || ev.m_path == "/") return Recycled::kFailed;
  ustring name;
  const RecycleMove moved = MoveIntoRecycleBin(GetFullPath(), name);
  if (moved == RecycleMove::kOtherFileSystem) {
    // A mount inside the synced folder: the tree stays where it is and
    // unrecorded, so a later rescan offers it again. Nothing is lost.
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveDirectory: '%s' is on another file system, left in place.\n",
               GetFullPath().c_str_utf8());
    return RemoveDatabaseInfo() == 0 ? Recycled::kKeptInPlace : Recycled::kFailed;
  }
  if (moved != RecycleMove::kMoved) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveDirectory: failed remove directory from '%s' to '%s'.\n",
               GetFullPath().c_str_utf8(), (GetRecycleBinDir() + name).c_str_utf8());
    return Recycled::kFailed;
  }
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveDirectory: missing databasehandle\n");
    return Recycled::kFailed;
  }
  if (db->dumpDirToRecycleBin(name, ev.m_path) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RenameRemoveDirectory: failed to dumpDirToRecycleBin '%s'.\n",
               GetFullPath().c_str_utf8());
    return Recycled::kFailed;
  }
  context.database_record.Clear();
  if (filters_.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) < 0) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): RenameRemoveDirectory : failed to rmLocalFilteredEventByPath for session '%llu', "
               "path '%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return Recycled::kFailed;
  }
  return Recycled::kRecycled;
}

int Worker::moveFileToRecycleBin(const ustring& src_file, uint64_t file_size, const ustring& file_hash,
                                 const ustring& mac_hash) {
  FileEventDB* db = GetEventDatabase();
  ustring name;
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): moveFileToRecycleBin: missing databasehandle\n");
  } else if (MoveIntoRecycleBin(src_file, name) != RecycleMove::kMoved) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): moveFileToRecycleBin: failed to move from '%s' to '%s'.\n",
               src_file.c_str_utf8(), (GetRecycleBinDir() + name).c_str_utf8());
  } else if (db->addFileToRecycleBin(name, file_size, file_hash, mac_hash) >= 0) {
    return 0;
  } else {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): moveFileToRecycleBin: failed to addFileToRecycleBin '%s'.\n",
               name.c_str_utf8());
  }
  // Only ever the worker's own downloaded file: whatever is left of it goes.
  (void)FSRemove(src_file, false);
  return -1;
}

Worker::Recycled Worker::ProcessRenameRemoveLocal(const FILE_INFO& local_finfo) {
  const uint32_t current_time = static_cast<uint32_t>(time(nullptr));
  const Recycled r = local_finfo.type == FT_DIR ? RenameRemoveDirectory()
                     : RenameRemoveFile() == 0 ? Recycled::kRecycled
                                               : Recycled::kFailed;
  if (r == Recycled::kFailed) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): ProcessRenameRemoveLocal: Failed to remove '%s'\n",
               GetFullPath().c_str_utf8());
    return r;
  }
  if (r == Recycled::kKeptInPlace) return r;  // nothing entered the recycle folder
  registry_.InitRecycleTime(context.root_entry, current_time);
  return r;
}

ErrorCode Worker::RemoveRemote() {
  const char* full = GetFullPath().c_str_utf8();
  const FilterVerdict verdict = TestRemoveRemoteFilter();
  if (!verdict.CarriesOut()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): RemoveRemote: File '%s' cannot pass filter testing '%d'.\n", full,
               verdict.LogNumber());
    return verdict.Result();  // ERR_OK: finished without action
  }
  if (isFileLocked(GetFullPath(), GENERIC_READ)) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
               full);
    return ERR_LOCKED_FILE;
  }
  FILE_INFO info;
  if (GetFilesystemInfo(info) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): RemoveRemote: Failed to get filesystem into for %s\n", GetId(),
               full);
    return ERR_SYS;
  }
  const DBFileInfo record = context.database_record;
  const Event& ev = context.current_event;
  if (record.syncID == 0) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): RemoveRemote: '%llu:%s' cannot be removed (no record).\n",
               GetId(), static_cast<ull>(GetViewId()), ev.m_path.c_str_utf8());
    return ERR_OK;
  }
  if (info.isExist) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): RemoveRemote: Path '%s' exists\n", GetId(), full);
    if (record.fileType != 0) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d) RemoveRemote: Need ExpandLocalDeleteEvent at '%s'.\n", GetId(),
                 full);
      (void)ExpandLocalDeleteEvent(ev.m_path);  // what it finds is queued; nothing more to do here
    }
    return ERR_OK;
  }
  PObject request;
  PObject reply;
  InitSessionRequest(request, "remove");
  request["sync_id"] = static_cast<ull>(record.syncID);
  request["max_id"] = static_cast<ull>(record.maxSyncID);
  request["path"] = GetRemoteWatch() == "/" ? ev.m_path : GetRemoteWatch() + ev.m_path;
  InitRequest(request, "remove");
  const ErrorCode r = ProtoRemove(request, reply);
  const PObject& got = reply;
  const bool refused = got.hasMember("error");
  const uint32_t code = got["error"]["code"].asUInt32();
  ClearPObject(reply);  // a body the server sent along serves nothing
  if (r != ERR_OK) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): RemoveRemote: failed to remove object (%s). %s.\n", GetId(),
               full, GetErrorString(r));
    return r;
  }
  if (refused) {
    const ErrorCode e = ProtoResp2ErrorCode(code);
    if (code == SPROTO_ERR_REMOVE_NOFILE) {
      WORKER_LOG(L_INFO,
                 "[INFO] worker(%d): RemoveRemote: Fake event on '%s' ... how did you do that? remove local entry "
                 "anyway.\n",
                 full);
    } else if (code == SPROTO_ERR_REMOVE_MODIFIED) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): RemoveRemote: Object '%s' on the server is modified, abort anyway\n",
                 full);
      if (record.fileType == 1) {
        WORKER_LOG(L_INFO, "[INFO] worker(%d): RemoveRemote: rescan directory '%s'\n", full);
        events_.IssueRescan(ev.m_sess_id, ev.m_path, false);
        return ERR_OK;
      }
    } else {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveRemote: Failed to remove '%s'. %s\n", full, GetErrorString(e));
      return e;
    }
  }
  const int d = RemoveDatabaseInfo();
  if (d != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveRemote: Failed to update local event database. Error code = %d\n", d);
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_CLIENT_REMOVE;
  return ERR_OK;
}

ErrorCode Worker::RemoveLocal() {
  const char* full = GetFullPath().c_str_utf8();
  const FilterVerdict verdict = TestRemoveLocalFilter();
  if (!verdict.CarriesOut()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): RemoveLocal: File '%s' cannot pass filter testing '%d'.\n", full,
               verdict.LogNumber());
    return verdict.Result();  // ERR_OK: finished without action
  }
  if (isFileLocked(GetFullPath(), GENERIC_WRITE | DELETE)) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
               full);
    return ERR_LOCKED_FILE;
  }
  FILE_INFO info;
  if (GetFilesystemInfo(info) < 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): RemoveLocal: File '%s' cannot be removed\n", full);
    return ERR_SYS;
  }
  const Event& ev = context.current_event;
  if (!info.isExist) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): RemoveLocal: '%s' has already been removed\n", full);
    (void)RemoveDatabaseInfo();  // a row left behind is dropped by the next remove or rescan
    return ERR_OK;
  }
  const DBFileInfo record = context.database_record;
  if (record.maxSyncID > ev.m_max_id) {
    WORKER_LOG(L_WARNING,
               "[WARNING] worker(%d): RemoveLocal: Based sync id is change, can not remove local [%s]. db max_id = "
               "'%llu', event max_id = '%llu'\n",
               ev.m_path.c_str_utf8(), static_cast<ull>(record.maxSyncID), static_cast<ull>(ev.m_max_id));
    if (info.type == FT_DIR) (void)ExpandServerDeleteEvent(ev.m_path, ev.m_sess_id, ev.m_sync_id);  // queues only
    return ERR_OK;
  }
  // A folder that matches its own record may still hold files that were
  // never synchronised, are held back or were edited: its subtree decides.
  const bool changed = record.syncID == 0 || LocallyModified(info, record, "") ||
                       (info.type == FT_DIR && LocalFolderChanged());
  if (!changed) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Removing local '%s'\n", full);
    const Recycled removed = ProcessRenameRemoveLocal(info);
    if (removed == Recycled::kFailed) return ERR_SYS;
    if (removed == Recycled::kKeptInPlace) {
      // The folder stays: the user interface hears that it was left in
      // place, never that it was removed. The event is done all the same;
      // an error code would hand it back for ever.
      ReportKeptFolder(ui_, ev);
      return ERR_OK;
    }
    notify_event_type = NOTIFY_SERVER_REMOVE;
    return ERR_OK;
  }
  WORKER_LOG(L_INFO, "[INFO] worker(%d): RemoveLocal: Detect local modification to '%s', resolve conflict\n", full);
  if (ConflictRename(GetFullPath(), context.connection.getConnectionInfo().computer_name, "Conflict") < 0) {
    if (info.type != FT_DIR || !worker_fs::IsMountPoint(GetFullPath())) return ERR_SYS;
    // A mount point cannot be renamed, ever: it stays with what it holds,
    // its rows go (a later rescan offers it to the server again), and the
    // user interface hears that it was left in place. Retrying would fail
    // the same way for good.
    if (RemoveDatabaseInfo() != 0) return ERR_SYS;
    ReportKeptFolder(ui_, ev);
    return ERR_OK;
  }
  if (RemoveDatabaseInfo() != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveLocal: Failed to remove database record for '%llu:%s'\n",
               static_cast<ull>(GetViewId()), ev.m_path.c_str_utf8());
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_SERVER_REMOVE;
  return ERR_OK;
}
