// Download of a server change: the cheap ways first (echo, fast merge,
// merge, local copy), then the resumable exchange.
#include "delta/simple_file_reader.h"
#include "filter/filter_db.h"
#include "protocol/proto_common.h"
#include "session/file_event_db.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_fs.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

constexpr uint64_t kMaxSyncId = 0x7FFFFFFFFFFFFFFFull;

// Whether a success reply for a file carries what the download needs: a
// body or "refer", and neither "refer" nor a delta without a base.
bool FileReplyUsable(const PObject& reply, uint64_t request_sync_id) {
  if (reply["is_dir"].asBool()) return true;
  const PObject& file = reply["file"];
  const bool refer = file["refer"].asBool();
  const bool body = !file["data"].asBinary().path.empty();
  if (!refer && !body) return false;
  if (request_sync_id == 0 && (refer || file["is_delta"].asBool())) return false;
  return true;
}

}  // namespace

bool Worker::IsDownloadRemoteFakeEvent(const Event& ev, const FILE_INFO& local, const DBFileInfo& record) {
  if (record.syncID == 0 || ev.m_sync_id == kMaxSyncId || !local.isExist) return false;
  if (LocallyModified(local, record, "")) return false;
  if (ev.isDir()) return record.fileType != 0 && ev.m_time == record.fileModTime;
  return record.fileType == 0 && ev.m_data_size == record.fileSize && ev.m_data_hash == record.fileCheckSum &&
         ev.m_time == record.fileModTime;
}

int Worker::MergeEvent() {
  const Event ev = context.current_event;
  TempFile sign(GetSignDirectory());
  FILE_INFO local;
  if (GetFilesystemInfo(local) < 0) return -1;
  if (!local.isExist) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: missing local file, merge failed\n");
    return -1;
  }
  if (local.type == FT_DIR) {
    if (ev.isFile()) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: type different 1\n");
      return -1;
    }
    WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: both sides are folders and ea not change.\n");
  } else {
    if (ev.isDir()) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: type different 2\n");
      return -1;
    }
    if (local.size != ev.m_data_size) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: local file is different in size, merge failed\n");
      return -1;
    }
    if (sign.create() != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): MergeEvent: failed to create temp file'\n");
      return -1;
    }
    ustring md4;
    SimpleFileReader reader;
    reader.setAbortFlag(&abort_flag);
    reader.setFile(GetFullPath());
    reader.setSignature(sign.getPath(), 2048, 8);
    reader.setHashString(md4);
    const BasisMd4::ReadStart start = BasisMd4::Begin(GetFullPath());
    if (reader.readFile() < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): MergeEvent: failed to read '%s'\n", GetFullPath().c_str_utf8());
      return -1;
    }
    // A declined merge is followed by a download whose conflict test needs
    // this same digest: kept, it spares that test a read of the file.
    basis_md4_.Keep(GetFullPath(), start, md4);
    if (md4 != ev.m_data_hash) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): MergeEvent: local file is different in hash, merge failed\n");
      return -1;
    }
  }
  uint32_t mtime = ev.m_time != 0 ? ev.m_time : local.mtime;
  if (context.root_entry.isMSDOS) mtime &= ~1u;
  if (mtime != local.mtime && worker_fs::SetOwnTime(ev.m_sess_id, GetFullPath(), mtime) < 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): MergeEvent: failed to set modified time\n");
  }
  DBFileInfo rec = EventRecord(ev);
  rec.fileModTime = mtime;
  rec.macHash = ev.m_mac_attr_hash;
  rec.signaturePath = ev.isDir() ? ustring() : sign.getPath();
  return CommitRecord(rec);
}

ErrorCode Worker::DownloadRemote() {
  DBFileInfo record;
  FILE_INFO local;
  TempFile sign(GetSignDirectory());
  PObject request;
  PObject reply;
  const char* full = GetFullPath().c_str_utf8();

  // Whatever the ending, no MD4 of this file outlives its download.
  struct ForgetBasis {
    BasisMd4& basis;
    ~ForgetBasis() { basis.Reset(); }
  } forget_basis{basis_md4_};
  basis_md4_.Reset();

  const FilterVerdict verdict = TestDownloadRemoteFilter();
  if (!verdict.CarriesOut()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): DownloadRemote: File '%s' cannot pass filter testing '%d'.\n", full,
               verdict.LogNumber());
    return verdict.Result();  // ERR_OK: finished without action
  }
  if (isFileLocked(GetFullPath(), GENERIC_READ | GENERIC_WRITE | DELETE)) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
               full);
    // Nothing changes by trying again at once: the change waits, with a
    // growing pause, until the file or its folder can be written.
    return KeepPending(ERR_LOCKED_FILE, "file locked or no permission");
  }
  Event& ev = context.current_event;
  SetCurrentProcessEventInfo(context.root_entry.conn_id, ev.m_sess_id, ev.m_path, W_TYPE_DOWNLOAD);
  record = context.database_record;

  if (record.syncID == 0 && ev.m_sync_id == kMaxSyncId) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Force download '%s' but cannot find any record in event DB, skipping....\n",
               full);
    return ERR_OK;
  }
  if (GetFilesystemInfo(local) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: Failed to get local file info (%s)\n", full);
    return ERR_SYS;
  }
  if (ev.m_sync_id == kMaxSyncId) {
    if (local.isExist && !LocallyModified(local, record, "")) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): Force download event but NOT LocallyModified.\n");
      return ERR_OK;
    }
    ev.m_sync_id = record.syncID;
    ev.m_max_id = record.maxSyncID;
    WORKER_LOG(L_INFO, "[INFO] worker(%d): (%d) Convert MAX_SYNC_ID  to target_sync_id [%llu]\n", GetId(),
               static_cast<ull>(ev.m_sync_id));
    record.Clear();
  }
  if (record.syncID != 0 && record.fileType == 0 && !IsFileExist(record.signaturePath, true)) {
    WORKER_LOG(L_NOTICE, "[NOTE] worker(%d): DownloadRemote: missing signature while downloading '%s'.\n", full);
  }
  if (!local.isExist) {
    record.Clear();
    // A failed drop leaves a stale row that the commit rewrites anyway.
    if (ev.isFile()) (void)RemoveDatabaseInfo();
  }
  if (!(ev.m_sync_id > record.syncID)) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: File '%s' is already up-to-date (server echo).\n", full);
    return ERR_OK;
  }
  if (IsDownloadRemoteFakeEvent(ev, local, record)) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: fast event merge for '%s'.\n", full);
    return CommitServerEvent(ev, local, record) < 0 ? ERR_SYS : ERR_OK;
  }
  if (MergeEvent() == 0) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: '%s' is merged successfully\n", ev.m_path.c_str_utf8());
    notify_event_type = NOTIFY_SERVER_MODIFY;
    return ERR_OK;
  }
  if (ev.isFile()) {
    const LocalCopy copy = PrepareFileFromLocal();
    if (copy == LocalCopy::kPlaced) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: PreparFileFromLocal successfully.\n");
      notify_event_type = NOTIFY_SERVER_MODIFY;
      return ERR_OK;
    }
    // A copy at hand that the folder refuses: no body would fare better.
    if (copy == LocalCopy::kNotPlaced) return ERR_SYS;
  }
  WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: Cannot PreparFileFromLocal, download from server directly.\n");

  if (cached_request.isEmpty()) {
    InitSessionRequest(request, "resume_download");
    // After repeated bad bodies on an unchanged local copy the request
    // names no basis, so the server sends the content whole.
    const bool whole = WholeBodyAsked();
    if (whole) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): DownloadRemote: asking for '%s' whole.\n", GetId(), full);
    }
    request["sync_id"] = whole ? 0ull : static_cast<ull>(record.syncID);
    request["max_id"] = whole ? 0ull : static_cast<ull>(record.maxSyncID);
    request["target_sync_id"] = static_cast<ull>(ev.m_sync_id);
    request["path"] = GetRemoteWatch() == "/" ? ev.m_path : GetRemoteWatch() + ev.m_path;
    request["file"]["offset"] = 0ull;
    request["mtime"]["offset"] = 0ull;
    request["force_current_version"] = 0ull;
    InitRequest(request, "resume_download");
    cached_request = request;
  } else {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): cached_request %s\n", GetId(),
                 cached_request.toString().c_str_utf8());
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): cached_response %s\n", GetId(),
                 cached_response.toString().c_str_utf8());
    }
    request = cached_request;
    const PObject& cached = cached_response;
    const PObject::binary_type& partial = cached["file"]["data"].asBinary();
    if (!partial.path.empty()) {
      request["file"]["offset"] = static_cast<ull>(partial.length);
      reply["file"]["data"] = cached["file"]["data"];
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): continue download file to %s, offset %llu\n", GetId(),
                 partial.path.c_str_utf8(), static_cast<ull>(partial.length));
    }
  }

  // The conflict test after the transfer reads a local file that its record
  // describes by size. Unless the merge check read it already, it is read
  // on a helper thread while the server answers.
  const DBFileInfo& recorded = context.database_record;
  if (ev.isFile() && !basis_md4_.Held() && local.isExist && local.type == FT_FILE && recorded.syncID != 0 &&
      recorded.fileType == 0 && local.size == recorded.fileSize) {
    basis_md4_.Start(GetFullPath());
  }
  ErrorCode r = ProtoDownload(true, request, reply);
  if (r != ERR_OK) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): failed to download '%s'. %s.\n", GetId(), full,
               GetErrorString(r));
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): partial response %s\n", GetId(),
                 reply.toString().c_str_utf8());
    }
    const PObject& got = reply;
    const PObject::binary_type& partial = got["file"]["data"].asBinary();
    if (!partial.path.empty()) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): partial file in response is stored (at '%s' with size %llu).\n",
                 GetId(), partial.path.c_str_utf8(), static_cast<ull>(partial.length));
      // The exchange may have dropped the cache (a local failure): then the
      // partial body has no future and goes with the reply.
      if (!cached_request.isEmpty()) {
        cached_response["file"]["data"] = got["file"]["data"];
        reply["file"].asMap().erase("data");
      }
    }
    // Whatever else arrived (a body under another key) serves no retry.
    ClearPObject(reply);
    return r;
  }

  OnBodyReceived();
  const PObject& got = reply;
  if (got.hasMember("error")) {
    ClearCache();
    const uint32_t code = got["error"]["code"].asUInt32();
    ErrorCode result;
    if (code == SPROTO_ERR_DOWNLOAD_NOFILE) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: Object %s is removed, fake event, abort anyway\n", full);
      result = Worker::RemoveLocal();
    } else if (SProtoErrClass(code) == SProtoErrClass(SPROTO_ERR_RESUME)) {
      result = ERR_INT;
    } else {
      result = ProtoResp2ErrorCode(code);
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: Bad response: %s\n", GetErrorString(result));
    }
    ClearPObject(reply);
    return result;
  }

  ErrorCode result = ERR_OK;
  bool commit = false;  // the object is in place: record it
  const uint64_t request_sync_id = static_cast<const PObject&>(request)["sync_id"].asUInt64();
  if (context.root_entry.isMSDOS) AdjustMtimeForMSDOS(reply);
  if (got.hasMember("sync_id") && request_sync_id != 0 && got["sync_id"].asUInt64() == request_sync_id) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): DownloadRemote: %s is already up to date\n", full);
    notify_event_type = NOTIFY_SERVER_MODIFY;
  } else if (!got.hasMember("sync_id") || !FileReplyUsable(got, request_sync_id)) {
    // A reply that names no version, or whose content cannot stand on the
    // base the request named, is not something to record.
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): DownloadRemote: unusable reply for '%s'\n", GetId(), full);
    ClearCache();
    result = ERR_SYS;
  } else if (!got["is_dir"].asBool()) {
    const FilePlaced placed = ProcessDownloadFile(reply, sign);
    switch (placed.kind) {
      case FilePlaced::Kind::kNameRefused:
        WORKER_LOG(L_CRIT, "[CRIT] worker(%d): ProcessDownloadFile : encounter MAX_PATH_ERR when renaming '%s'.\n",
                   full);
        // No retry can give the name another form: the event ends without a
        // record, and the user is told which file did not arrive and why.
        ReportFileError(ERR_INVAL, "name not accepted by the local file system");
        break;
      case FilePlaced::Kind::kFailed:
        result = placed.code;
        break;
      case FilePlaced::Kind::kPlaced:
        commit = true;
        break;
    }
  } else {
    r = ProcessDownloadDirectory(reply);
    if (r != ERR_OK) {
      result = r;
    } else {
      commit = true;
    }
  }
  if (commit) {
    const int c = CommitDatabaseDownload(reply, record, sign.getPath());
    if (c >= 0) {
      notify_event_type = NOTIFY_SERVER_MODIFY;
    } else {
      WORKER_LOG(L_ERR,
                 "[ERROR] worker(%d): DownloadRemote: Failed to commit changes to '%s' into local database. Error "
                 "Code = %d\n",
                 ev.m_path.c_str_utf8(), c);
      result = ERR_SYS;
    }
  }
  ClearPObject(reply);
  ClearPObject(request);
  return result;
}
