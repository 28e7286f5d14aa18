// Upload of a local create or modify.
#include "foundation/conflict_rename.h"
#include "foundation/file_op.h"
#include "protocol/proto_common.h"
#include "session/file_event_db.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

// Files above this size go through the resumable exchanges.
constexpr uint64_t kResumableAbove = 0x80000;

// Whether a request part that is present carries a new value.
bool Changes(const PObject& request, const char* part) {
  return request.hasMember(part) && !request[part]["refer"].asBool();
}

}  // namespace

bool Worker::IsUploadLocalFakeEvent(const FILE_INFO& info, const DBFileInfo& /*record: not consulted*/) {
  if (!info.isExist) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadLocal: '%s' cannot be uploaded (vanish)\n",
               GetFullPath().c_str_utf8());
    return true;
  }
  if (info.type != FT_FILE && info.type != FT_DIR) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadLocal: '%s' cannot be uploaded (unsupported file)\n",
               GetFullPath().c_str_utf8());
    notify_event_type = NOTIFY_FILTERED;
    return true;
  }
  return false;
}

bool Worker::NameToRename(const ustring& base_name) {
  // An empty name has no first or last byte to look at.
  if (base_name.empty()) return false;
  const char first = base_name[0];
  const char last = base_name[base_name.length() - 1];
  return first == ' ' || last == ' ' || last == '.';
}

FilterVerdict Worker::TestBaseNameConflict(const ustring& base_name) {
  if (!NameToRename(base_name)) return FilterVerdict::CarryOut();
  const ustring& full = GetFullPath();
  const ustring& computer = context.connection.getConnectionInfo().computer_name;
  int rc = 0;
  if (base_name[0] == ' ' || base_name[base_name.length() - 1] == ' ') {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): TestBaseNameConflict : WhiteSpaceConflict '%s'.\n",
               full.c_str_utf8());
    rc = WhiteSpaceConflictRename(full, base_name, computer);
  } else {  // "." at the end
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): TestBaseNameConflict : TailCharacterConflict '%s'.\n",
               full.c_str_utf8());
    rc = ConflictRename(full, computer, "TailCharacterConflict");
  }
  return rc < 0 ? FilterVerdict::Fail(ERR_SYS) : FilterVerdict::Finish();
}

bool Worker::IsUploadLocalFakeRequest(const DBFileInfo& /*record: not consulted*/, const PObject& request) {
  const PObject& q = request;
  if (!q["is_dir"].asBool() && Changes(q, "file")) return false;
  for (const char* part : {"mac_attribute", "exec_bit", "unix_perm", "zarqelon_acl", "share_priv"}) {
    if (Changes(q, part)) return false;
  }
  WORKER_LOG(L_INFO, "[INFO] worker(%d): upload fake request\n");
  return true;
}

int Worker::CheckLocalModification(const PObject& request, const PObject& /*reply: not read*/) {
  FILE_INFO info;
  if (GetFilesystemInfo(info) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to get local file info at '%s'.\n", GetFullPath().c_str_utf8());
    return -1;
  }
  if (!info.isExist) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): File removed during upload progress, add event remove for '%s'\n",
               GetFullPath().c_str_utf8());
    PushRemoveEvent(GetPath(), request["is_dir"].asBool());
  }
  return 0;
}

void Worker::DropStoredSignature(const char* why) {
  WORKER_LOG(L_WARNING, "[WARNING] worker(%d): UploadLocal: '%s' %s, its signature is dropped\n",
             GetFullPath().c_str_utf8(), why);
  DBFileInfo stored;
  FileEventDB* db = GetEventDatabase();
  if (db != nullptr && db->getEventInfo(GetPath(), stored) == 1 && !stored.signaturePath.empty() &&
      IsFileExist(stored.signaturePath, false) && FSRemove(stored.signaturePath, false) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadLocal: failed to remove signature '%s'\n",
               stored.signaturePath.c_str_utf8());
  }
}

ErrorCode Worker::UploadLocal() {
  const ustring& full = GetFullPath();
  const char* full_text = full.c_str_utf8();
  const ustring path = GetPath();
  DBFileInfo record;
  FILE_INFO info;
  PObject request;
  PObject reply;
  TempFile sign_file(GetSignDirectory());
  const size_t slash = path.rfind('/');
  const ustring base_name = slash == ustring::npos ? path : path.substr(slash + 1);

  const FilterVerdict verdict = TestUploadLocalFilter();
  if (!verdict.CarriesOut()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): UploadLocal: File '%s' cannot pass filter testing '%d'.\n", full_text,
               verdict.LogNumber());
    return verdict.Result();  // ERR_OK: finished without action
  }
  if (isFileLocked(full, GENERIC_READ)) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
               full_text);
    return ERR_LOCKED_FILE;
  }
  SetCurrentProcessEventInfo(context.root_entry.conn_id, context.current_event.m_sess_id, path, W_TYPE_UPLOAD);
  if (GetFilesystemInfo(info) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadLocal: failed to get local file system info of '%s'\n", full_text);
    return ERR_SYS;
  }
  (void)GetDatabaseInfo(record);  // always 0
  if (IsUploadLocalFakeEvent(info, record)) return ERR_OK;
  if (const FilterVerdict named = TestBaseNameConflict(base_name); !named.CarriesOut()) return named.Result();
  ErrorCode r = ERR_OK;

  if (!cached_request.isNull()) {
    const PObject& cached = cached_request;
    if (cached["mtime"]["mtime"].asUInt32() != info.mtime || cached["file"]["size"].asUInt64() != info.size) {
      WORKER_LOG(L_WARNING,
                 "[WARNING] worker(%d): cached_request is differ from local file system for file '%s', just clear "
                 "cache\n",
                 path.c_str_utf8());
      ClearCache();
    }
  }

  bool do_resume_upload = false;
  if (!cached_request.isNull()) {
    request = cached_request;
    do_resume_upload = true;
  } else {
    request["session"] = context.connection.getConnectionInfo().session;
    request["view_id"] = static_cast<unsigned long long>(GetViewId());
    request["sync_id"] = static_cast<unsigned long long>(record.syncID);
    request["max_id"] = static_cast<unsigned long long>(record.maxSyncID);
    ustring remote = GetRemoteWatch();
    if (remote == "/") {
      remote = path;
    } else {
      remote += path;
    }
    request["path"] = remote;
    if (info.type == FT_DIR) {
      request["is_dir"] = true;
      upload_body_identity = FileIdentity();
    } else {
      do_resume_upload = info.size > kResumableAbove;
      request["is_dir"] = false;
      r = PrepareFileBlock(request, sign_file);
      if (r != ERR_OK) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadLocal: failed to prepare file block for '%s'. %s\n", full_text,
                   GetErrorString(r));
        return r;
      }
    }
    (void)PrepareMtime(info, record, request);  // always 0
    if (!do_resume_upload) {
      InitRequest(request, "upload");
    } else {
      InitRequest(request, "resume_upload");
      cached_request = request;
      sign_file.convert_permanent();
      upload_sign_file = sign_file.getPath();
    }
  }

  if (record.syncID != 0 && IsUploadLocalFakeRequest(record, request)) {
    const PObject& q = request;
    if (q.hasMember("mtime") && !q["mtime"]["refer"].asBool()) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadLocal: Dir attr of '%s' is not changed, adjust mtime back\n",
                 path.c_str_utf8());
      if (FSUTime(full, record.fileModTime, record.fileModTime) != 0) {
        // The next event for the path finds the same time and ends here again.
        WORKER_LOG(L_WARNING, "[WARNING] worker(%d): UploadLocal: failed to set the time of '%s' back\n", full_text);
      }
    }
    return ERR_OK;
  }

  r = ProtoUpload(do_resume_upload, request, reply);
  if (r != ERR_OK) {
    // A resumable request's delta stays for the retry with the cache; any
    // other goes now: the retry builds its own.
    if (!do_resume_upload) ClearPObject(request);
    ClearPObject(reply);  // what arrived of a reply serves no retry
    return r;
  }

  if (!reply.hasMember("error")) {
    const ustring sign_path = do_resume_upload ? upload_sign_file : sign_file.getPath();
    ErrorCode result = ERR_OK;
    if (CommitDatabaseUpload(request, reply, record, sign_path) < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadLocal: Failed to update local event database.\n");
      result = ERR_SYS;
    } else {
      // A whole-file body is read from the live file while it is sent. When
      // the file changed since its hash was taken, the server may hold bytes
      // other than the recorded hash: without the signature the next upload
      // goes whole instead of building a delta on those bytes.
      if (upload_body_identity.valid && !upload_body_identity.Same(FileIdentity::Of(full))) {
        DropStoredSignature("changed while it was sent");
      }
      if (CheckLocalModification(request, reply) < 0) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadLocal: Failed to CheckLocalModification.\n");
      }
      notify_event_type = NOTIFY_CLIENT_MODIFY;
    }
    upload_body_identity = FileIdentity();
    ClearPObject(reply);
    ClearPObject(request);
    return result;
  }

  const uint64_t code = reply["error"]["code"].asUInt32();
  const bool sent_delta = static_cast<const PObject&>(request)["file"]["is_delta"].asBool();
  ClearCache();
  // The request's delta file, if any, serves no later attempt.
  ClearPObject(reply);
  ClearPObject(request);
  upload_body_identity = FileIdentity();
  const int code_class = SProtoErrClass(code);
  if (code == SPROTO_ERR_UPLOAD_NOBASE) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadFile: file is removed during transfer, try it again.\n");
    (void)RemoveDatabaseInfo();  // a failure is logged there; the retry uploads the path anew either way
    return ERR_INT;
  }
  if (code == SPROTO_ERR_UPLOAD_BASE_CHANGED) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadFile: '%s' is changed on the server side, wait \n", full_text);
    return ERR_OK;
  }
  if (code == SPROTO_ERR_CONFLICT_MAC_ATTR) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadFile: wait until '%s' is synced with server ... \n", full_text);
    return ERR_OK;
  }
  if (code_class == SProtoErrClass(SPROTO_ERR_CONFLICT)) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): UploadFile: Pathname '%s' conflict.\n", full_text);
    const ustring& computer = context.connection.getConnectionInfo().computer_name;
    return ConflictRename(full, computer, "Conflict") < 0 ? ERR_SYS : ERR_INT;
  }
  if (code == SPROTO_ERR_INTERNAL) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadFile: Bad response: %s\n",
               GetErrorString(ProtoResp2ErrorCode(SPROTO_ERR_INTERNAL)));
    (void)RemoveDatabaseInfo();  // as above
    return ERR_INT;
  }
  if (code == SPROTO_ERR_UPLOAD && sent_delta) {
    // The server could not apply the delta to its version: the stored
    // signature is not of that version (a kill between the record's write
    // and the signature's move leaves such a pair). Retried with the same
    // signature, the delta would be refused for ever. The error is then
    // handled as any other.
    DropStoredSignature("had a delta refused");
  }
  if (code_class == SProtoErrClass(SPROTO_ERR_RESUME)) return ERR_INT;
  const ErrorCode mapped = ProtoResp2ErrorCode(static_cast<uint32_t>(code));
  WORKER_LOG(L_ERR, "[ERROR] worker(%d): UploadFile: Bad response: %s\n", GetErrorString(mapped));
  return mapped;
}
