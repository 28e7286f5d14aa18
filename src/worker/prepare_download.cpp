// Preparing the downloaded file: a local copy of the same content, the check
// of a received body (whole or delta) by MD4, and the move into place.
//
// A new file is always made in the working folder and moved onto the user's
// path only after the conflict test and a re-check that the local object did
// not change since that test.
#include <sys/stat.h>

#include <cerrno>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"
#include "filter/filter_db.h"
#include "foundation/conflict_rename.h"
#include "session/file_event_db.h"
#include "session/own_changes.h"
#include "session/session_path.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_fs.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// Whether a rename failure is a name the local file system refuses.
bool NameRefused(int err) { return err == ENAMETOOLONG || err == EILSEQ; }

}  // namespace

Worker::LocalStamp Worker::StampOf(const ustring& path) {
  LocalStamp s;
  s.taken = true;
  struct stat st;
  if (lstat(path.c_str_utf8(), &st) != 0) return s;
  s.exists = true;
  s.ino = st.st_ino;
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtime_s = st.st_mtim.tv_sec;
  s.mtime_ns = st.st_mtim.tv_nsec;
  s.ctime_s = st.st_ctim.tv_sec;
  s.ctime_ns = st.st_ctim.tv_nsec;
  s.mode = st.st_mode;
  return s;
}

Worker::Replace Worker::ReplaceLocal(const ustring& new_path, int& err) {
  err = 0;
  OnBeforeReplace();
  // `new_path` lies in the working or recycle folder: it is taken only
  // while both are real, never from a link's target put in their place.
  if (Folders().Ensure() != 0) return Replace::kFailed;
  const LocalStamp now = StampOf(GetFullPath());
  if (!checked_local_.taken || !(now == checked_local_)) {
    // Saved, made or removed since the conflict test: that test no longer
    // holds. The next attempt runs it again.
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): '%s' changed after the conflict test, retry\n", GetId(),
               GetFullPath().c_str_utf8());
    return Replace::kChangedMeanwhile;
  }
  // The file put in place is the worker's own act: recorded before the
  // watcher can look at it, so its notification is not queued as the user's.
  OwnChanges::Act act(OwnChanges::Instance(), context.current_event.m_sess_id);
  const auto moved = [&] { act.Done(GetFullPath().c_str_utf8()); };
  if (!now.exists) {
    err = worker_fs::RenameNoReplaceSynced(new_path, GetFullPath(), moved);
    // A sub-folder on another file system (a mount inside the session):
    // copied across, flushed, then moved in without replacing.
    if (err == EXDEV) {
      err = worker_fs::MoveFileAcross(new_path, GetFullPath());
      if (err == 0) moved();
    }
    if (err == 0) return Replace::kDone;
    if (err == EEXIST) return Replace::kChangedMeanwhile;
    return NameRefused(err) ? Replace::kNameRefused : Replace::kFailed;
  }
  const int renamed = FSRename(new_path, GetFullPath(), true, moved);
  if (renamed == 0) return Replace::kDone;
  return renamed == -100 ? Replace::kNameRefused : Replace::kFailed;
}

const char* Worker::NotPlacedReason(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return "folder not writable";
    case EROFS:
      return "file system is read-only";
    case ENOSPC:
    case EDQUOT:
      return "local disk is full";
    default:
      return "cannot be moved into place";
  }
}

int Worker::CalculateMD4(const ustring& path, ustring& md4) {
  SimpleFileReader reader;
  reader.setAbortFlag(&abort_flag);
  reader.setFile(path);
  reader.setHashString(md4);
  if (reader.readFile() < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): CaculateMD4: Failed to calculate checksum for '%s'\n", GetId(),
               path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::UpdateModifyTime(const ustring& path, const PObject& reply) {
  if (!reply.hasMember("mtime")) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): last motify time is not provided\n");
    return 0;
  }
  if (reply["mtime"]["refer"].asBool()) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): last motify time is not changed\n");
    return 0;
  }
  const uint32_t t = reply["mtime"]["mtime"].asUInt32();
  // A time that cannot be set is not worth failing the download.
  if (path == GetFullPath()) {
    (void)worker_fs::SetOwnTime(context.current_event.m_sess_id, path, t);
  } else {
    (void)FSUTime(path, t, t);
  }
  return 0;
}

void Worker::AdjustMtimeForMSDOS(PObject& reply) {
  const PObject& view = reply;
  const char* part = view.hasMember("mtime") ? "mtime" : view.hasMember("common_attribute") ? "common_attribute" : nullptr;
  if (part == nullptr) return;
  const uint32_t t = view[part]["mtime"].asUInt32() & ~1u;
  reply[part]["mtime"] = static_cast<ull>(t);
}

Worker::LocalCopy Worker::PrepareFileFromLocal() {
  const Event& ev = context.current_event;
  TempFile copy(GetWorkingDirectory());
  TempFile sign(GetSignDirectory());
  SimpleFileReader reader;
  uint32_t mtime = ev.m_time;

  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PreparFileFromLocal: missing databasehandle\n");
    return LocalCopy::kNone;
  }
  // Only a well-formed MD4 is looked up: anything else is not a content
  // hash (a folder's empty one, or text a server made up).
  if (!worker_fs::IsMd4Hex(ev.m_data_hash)) return LocalCopy::kNone;
  ustring found;
  ustring source;
  ustring dest;
  bool from_recycle = db->getFilePathByHashFromRecycle(ev.m_data_hash, ev.m_mac_attr_hash, found) == 1;
  if (from_recycle && !IsRecycleItemPath(found)) {
    // A damaged row: joined to the recycle folder it could name a file of
    // the session or one outside it, which would be moved onto the path.
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Invalid recycle record '%s', not used.\n", found.c_str_utf8());
    from_recycle = false;
  }
  const bool from_folder = !from_recycle && db->getFilePathByHash(ev.m_data_hash, ev.m_mac_attr_hash, found) == 1;
  if (!from_recycle && !from_folder) return LocalCopy::kNone;
  // The copy below is made in the working folder, a recycled file taken
  // from the recycle folder: both real folders of the session right now.
  // Looked at only once a local source exists, as most downloads have none.
  if (Folders().Ensure() != 0) return LocalCopy::kNone;
  if (from_recycle) {
    source = GetRecycleBinDir() + found;
    dest = source;
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Copy file from recycle bin '%s'\n", found.c_str_utf8());
  } else {
    source = GetLocalWatch() + found;
    if (copy.create() != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): PreparFileFromLocal: Failed to create temp file.\n");
      return LocalCopy::kNone;
    }
    dest = copy.getPath();
    reader.setCopyFile(dest);
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Copy file from syncfolder '%s'.\n", found.c_str_utf8());
  }
  if (sign.create() != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PreparFileFromLocal: Failed to create temp signature file.\n");
    return LocalCopy::kNone;
  }
  ustring md4;
  reader.setAbortFlag(&abort_flag);
  reader.setFile(source);
  reader.setSignature(sign.getPath(), 2048, 8);
  reader.setHashString(md4);
  OnBeforeLocalBuild();
  const int rc = reader.readFile();
  if (rc < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PreparFileFromLocal: Failed to prepare file [%d].\n", rc);
    return LocalCopy::kNone;
  }
  if (md4 != ev.m_data_hash) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): PreparFileFromLocal: File locally modification, can not use local copy.\n");
    return LocalCopy::kNone;
  }
  if (context.root_entry.isMSDOS) mtime &= ~1u;
  (void)FSUTime(dest, mtime, mtime);  // the record keeps the server's time either way
  if (!from_recycle && worker_fs::SyncPath(dest, false) != 0) return LocalCopy::kNone;

  // The path may hold a local edit or a never-synced file: the same
  // conflict test as a download's protects it.
  PObject as_reply;
  as_reply["is_dir"] = 0ull;
  as_reply["file"]["size"] = static_cast<ull>(ev.m_data_size);
  as_reply["file"]["hash"] = ev.m_data_hash;
  if (HandleDownloadConflict(as_reply) != ERR_OK) return LocalCopy::kNone;
  int err = 0;
  const Replace moved = ReplaceLocal(dest, err);
  if (moved != Replace::kDone) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PreparFileFromLocal: Cannot rename from %s -> %s\n", dest.c_str_utf8(),
               GetFullPath().c_str_utf8());
    // The copy kept from an earlier attempt stays where it is: a download
    // would only meet the same refusal, at the cost of another body.
    if (from_recycle && moved == Replace::kFailed) {
      (void)KeepPending(ERR_SYS, NotPlacedReason(err));
      return LocalCopy::kNotPlaced;
    }
    return LocalCopy::kNone;
  }
  if (from_recycle && db->rmRecycleByPath(found) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to rmRecycleByPath for '%s'\n", found.c_str_utf8());
  }
  DBFileInfo rec = EventRecord(ev);
  rec.signaturePath = sign.getPath();
  rec.fileModTime = mtime;
  return CommitRecord(rec) == 0 ? LocalCopy::kPlaced : LocalCopy::kNone;
}

ErrorCode Worker::HandleDownloadPatchError(const PObject& reply) {
  FILE_INFO local;
  if (GetFilesystemInfo(local) < 0) return ERR_SYS;
  if (!local.isExist) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): Worker (%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file "
               "(basis removed)\n",
               GetId());
    return ERR_INT;
  }
  const DBFileInfo record = context.database_record;
  const Verdict t = TestDownloadConflict(local, record, reply);
  if (t == Verdict::kUnreadable) return ERR_SYS;
  if (t == Verdict::kUnchanged) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): Worker(%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file "
               "(incorrect patch file)\n",
               GetId());
    ++patch_err_count;
    return ERR_SYS;
  }
  if (t == Verdict::kAlreadyServer || t == Verdict::kVanished) return ERR_OK;
  WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): HandleDownloadPatchError: Basis changed, try to resolve conflict\n",
             GetId());
  if (ConflictRename(GetFullPath(), context.connection.getConnectionInfo().computer_name, "Conflict") < 0) {
    return ERR_SYS;
  }
  return ERR_INT;
}

ErrorCode Worker::PrepareDownloadFile(const PObject& reply, ustring& file, TempFile& signature) {
  const PObject& body = reply["file"];
  if (!reply.hasMember("file") || body["refer"].asBool()) {
    file = GetFullPath();
    return ERR_OK;
  }
  if (signature.create() != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareDownloadFile: failed to prepare temporary file\n");
    return ERR_SYS;
  }
  const uint64_t size = body["size"].asUInt64();
  ustring md4;
  if (body["is_delta"].asBool()) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PrepareDownloadFile: download patch file\n");
    ustring rebuilt;
    // Written by path: the working folder is checked real right before.
    if (Folders().Ensure() != 0 || FSMktemp(GetWorkingDirectory(), rebuilt) != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareDownloadFile: failed to prepare temporary file\n");
      return ERR_SYS;
    }
    file = rebuilt;
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): new file will be generated at %s\n", rebuilt.c_str_utf8());
    DeltaFileReader reader;
    reader.setAbortFlag(&abort_flag);
    reader.setFile(body["data"].asBinary().path, GetFullPath());
    reader.setNewFile(rebuilt);
    reader.setHashString(md4);
    reader.setSignature(signature.getPath(), 2048, 8);
    // A delta may repeat the basis without end; the server named the size.
    reader.setMaxOutputSize(size);
    OnBeforeLocalBuild();
    if (reader.readFile() < 0) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareDownloadFile: Check basis file of (%s) after patching failure ...\n",
                 GetFullPath().c_str_utf8());
      const ErrorCode e = HandleDownloadPatchError(reply);
      if (e != ERR_OK) return e;
      WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareDownloadFile: basis file is the same as the new file...\n");
      (void)FSRemove(rebuilt, false);  // in the working folder; the local file is the content
      file = GetFullPath();
      return SignLocal(signature);
    }
  } else {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PrepareDownloadFile: download whole file\n");
    file = body["data"].asBinary().path;
    FILE_INFO got;
    if (file.empty() || FSStat(file, got, false) != 0 || !got.isExist || got.size != size) {
      // A body of another length than announced is not the server's file.
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): PrepareDownloadFile: body of %llu bytes, %llu announced\n",
                 GetId(), static_cast<ull>(got.size), static_cast<ull>(size));
      return ERR_SYS;
    }
    SimpleFileReader reader;
    reader.setAbortFlag(&abort_flag);
    reader.setFile(file);
    reader.setHashString(md4);
    reader.setSignature(signature.getPath(), 2048, 8);
    if (reader.readFile() < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareDownloadFile: Failed to verify new file, try it again.\n");
      return ERR_SYS;
    }
  }
  if (md4 != body["hash"].asString()) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareDownloadFile: Check basis file of (%s) after incorrect patch file ...\n",
               GetFullPath().c_str_utf8());
    const ErrorCode e = HandleDownloadPatchError(reply);
    if (e != ERR_OK) return e;
    WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareDownloadFile: basis file is the same as the new file...\n");
    if (body["is_delta"].asBool()) (void)FSRemove(file, false);  // the rebuilt file, in the working folder
    file = GetFullPath();
    return SignLocal(signature);
  }
  return ERR_OK;
}

ErrorCode Worker::SignLocal(TempFile& signature) {
  // The signature written so far is that of the refused content.
  ustring md4;
  SimpleFileReader reader;
  reader.setAbortFlag(&abort_flag);
  reader.setFile(GetFullPath());
  reader.setHashString(md4);
  reader.setSignature(signature.getPath(), 2048, 8);
  return reader.readFile() < 0 ? ERR_SYS : ERR_OK;
}

Worker::FilePlaced Worker::ProcessDownloadFile(PObject& reply, TempFile& signature) {
  using Kind = FilePlaced::Kind;
  const ustring& full = GetFullPath();
  ustring new_path;
  // Only the worker's own files are deleted: never the user's file itself.
  auto drop_new = [&] {
    if (!new_path.empty() && new_path != full) (void)FSRemove(new_path, false);
  };
  const ErrorCode r = PrepareDownloadFile(reply, new_path, signature);
  if (r != ERR_OK) {
    drop_new();
    return {Kind::kFailed, r};
  }
  const PObject& view = reply;
  if (new_path == full && view["file"]["refer"].asBool()) {
    // The server's content is the local file's: its time moves only when
    // the local file is as recorded, else an edit of the same size would
    // pass the weak check from then on and never be uploaded.
    FILE_INFO local;
    if (GetFilesystemInfo(local) == 0 && local.isExist && !LocallyModified(local, context.database_record, "")) {
      UpdateModifyTime(new_path, reply);
    }
  } else {
    UpdateModifyTime(new_path, reply);
  }
  if (new_path == full) return {Kind::kPlaced, ERR_OK};
  const ustring parent = worker_fs::ParentOf(full);
  if (HandleDownloadConflict(reply) != ERR_OK) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): ProcessDownloadFile: HandleDownloadConflict(%s) failed\n", full.c_str_utf8());
    drop_new();
    return {Kind::kFailed, ERR_SYS};
  }
  if (FSMKDir(parent, true) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: Cannot create parent directory of '%s'\n", full.c_str_utf8());
    drop_new();
    return {Kind::kFailed, ERR_SYS};
  }
  if (worker_fs::SyncPath(new_path, false) != 0) {
    drop_new();
    return {Kind::kFailed, ERR_SYS};
  }
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): rename %s -> %s\n", new_path.c_str_utf8(), full.c_str_utf8());
  int err = 0;
  const Replace moved = ReplaceLocal(new_path, err);
  switch (moved) {
    case Replace::kDone:
      return {Kind::kPlaced, ERR_OK};
    case Replace::kChangedMeanwhile:
      drop_new();
      return {Kind::kFailed, ERR_INT};
    case Replace::kNameRefused:
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: Cannot rename from %s -> %s\n", new_path.c_str_utf8(),
                 full.c_str_utf8());
      drop_new();
      return {Kind::kNameRefused, ERR_OK};
    case Replace::kFailed:
      break;
  }
  WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: Cannot rename from %s -> %s\n", new_path.c_str_utf8(),
             full.c_str_utf8());
  // The body is kept in the recycle folder, where the next attempt's local
  // copy finds it by its hash: the change waits for the folder, not for
  // another body.
  const ustring mac = view.hasMember("mac_attribute") ? view["mac_attribute"]["hash"].asString() : ustring();
  const int kept = moveFileToRecycleBin(new_path, view["file"]["size"].asUInt64(), view["file"]["hash"].asString(), mac);
  drop_new();
  if (kept == 0) (void)KeepPending(ERR_SYS, NotPlacedReason(err));
  return {Kind::kFailed, ERR_SYS};
}

ErrorCode Worker::ProcessDownloadDirectory(PObject& reply) {
  const ErrorCode r = HandleDownloadConflict(reply);
  if (r != ERR_OK) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): ProcessDownloadDirectory: HandleDownloadConflict(%s) failed\n",
               GetFullPath().c_str_utf8());
    return r;
  }
  if (FSMKDir(GetFullPath(), true) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): ProcessDownloadDirectory: Cannot create directory %s\n",
               GetFullPath().c_str_utf8());
    return ERR_SYS;
  }
  return UpdateModifyTime(GetFullPath(), reply) == 0 ? ERR_OK : ERR_SYS;
}
