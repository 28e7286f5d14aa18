// The file and time parts of an upload request.
#include "delta/simple_file_reader.h"
#include "foundation/file_op.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

// The signature's block size and strong-sum length: the stored signatures
// and the server's deltas both use these.
constexpr unsigned kSignatureBlock = 2048;
constexpr unsigned kSignatureStrong = 8;

}  // namespace

ErrorCode Worker::PrepareFileBlock(PObject& request, TempFile& sign_file) {
  const ustring& full = GetFullPath();
  const char* full_text = full.c_str_utf8();
  upload_body_identity = FileIdentity();

  FILE_INFO start;
  if (GetFilesystemInfo(start) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: Failed to get file status for '%s', redo\n", full_text);
    return ERR_SYS;
  }
  DBFileInfo record;
  (void)GetDatabaseInfo(record);  // always 0

  ustring hash;
  bool refer = false;
  bool do_patch = false;
  TempFile delta(GetWorkingDirectory());
  FileIdentity read_start;

  // The weak check trusts size and time only while the record's signature
  // exists: an upload whose body changed while it was sent drops that
  // signature (UploadLocal), and the server's bytes may then differ from
  // the recorded hash, so the file must be read and sent again.
  if (record.syncID != 0 && !LocallyModified(start, record, ustring()) &&
      (record.fileType != 0 || IsFileExist(record.signaturePath, true))) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareFileBlock: File '%s' is not modified (weak check)\n", full_text);
    hash = record.fileCheckSum;
    refer = true;
  } else {
    if (sign_file.create() < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: Failed to create signature \n");
      return ERR_SYS;
    }
    SimpleFileReader reader;
    reader.setFile(full);
    reader.setAbortFlag(&abort_flag);
    reader.setHashString(hash);
    reader.setSignature(sign_file.getPath(), kSignatureBlock, kSignatureStrong);

    do_patch = record.syncID != 0 && record.fileType == 0 && IsFileExist(record.signaturePath, true) &&
               record.fileSize != 0;
    if (!do_patch) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PrepareFileBlock: Cannot retrieve base event info for file '%s'\n",
                 full_text);
    } else {
      // The working folder is the daemon's own, made here when missing and
      // checked real right before the delta is created in it: a link in its
      // place would put the delta outside the session.
      if (Folders().Ensure() != 0 || delta.create() < 0) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: Failed to create temporary delta file, try it again\n");
        return ERR_SYS;
      }
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PrepareFileBlock: prepare delta file at '%s'\n",
                 delta.getPath().c_str_utf8());
      reader.setDelta(delta.getPath(), record.signaturePath);
    }

    read_start = FileIdentity::Of(full);
    if (reader.readFile() < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: Failed to read file for '%s', try it again\n",
                 full_text);
      return ERR_SYS;
    }

    if (hash == record.fileCheckSum) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): PrepareFileBlock: File content of '%s' is not changed, do refer\n",
                 full_text);
      refer = true;
    } else {
      FILE_INFO end;
      if (GetFilesystemInfo(end) < 0) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: Failed to get file status for '%s', undo\n",
                   full_text);
        return ERR_SYS;
      }
      // The identity also sees a rewrite of the same size within the same
      // second, which the examination's whole seconds miss.
      if (end != start || !read_start.Same(FileIdentity::Of(full))) {
        WORKER_LOG(L_INFO,
                   "[INFO] worker(%d): PrepareFileBlock: File '%s' is modified while preparing upload (file "
                   "system), try it again\n",
                   full_text);
        return ERR_INT;
      }
    }
  }

  request["file"]["size"] = static_cast<unsigned long long>(start.size);
  request["file"]["hash"] = hash;
  if (refer) {
    request["file"]["refer"] = true;
    return ERR_OK;
  }

  ustring target = full;
  if (do_patch) {
    delta.convert_permanent();
    target = delta.getPath();
  }
  OnUploadHashed();
  FILE_INFO target_info;
  const int rc = FSStat(target, target_info, true);
  if (rc < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): PrepareFileBlock: FSStat(%s) returns %d\n", target.c_str_utf8(), rc);
    if (do_patch) (void)FSRemove(target, false);  // made permanent above; nothing else names it
    return ERR_SYS;
  }
  // A whole body is as long as the file that was hashed: a file that grew
  // or shrank since would send a body the request's size and hash do not
  // describe.
  if (!do_patch && target_info.size != start.size) {
    WORKER_LOG(L_INFO,
               "[INFO] worker(%d): PrepareFileBlock: File '%s' is modified while preparing upload (size), try it "
               "again\n",
               full_text);
    return ERR_INT;
  }
  PObject::binary_type body;
  body.offset = 0;
  body.length = target_info.size;
  body.path = target;
  request["file"]["refer"] = false;
  request["file"]["is_delta"] = do_patch;
  request["file"]["data"] = body;
  // The whole file is read again when it is sent: remember what was read.
  if (!do_patch) upload_body_identity = read_start;
  return ERR_OK;
}

int Worker::PrepareMtime(const FILE_INFO& info, const DBFileInfo& record, PObject& request) {
  if (record.syncID != 0 && info.mtime == record.fileModTime) {
    request["mtime"]["refer"] = true;
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): modify time: same as the base version\n");
  } else {
    request["mtime"]["refer"] = false;
    request["mtime"]["mtime"] = static_cast<unsigned int>(info.mtime);
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): modify time: %u\n", info.mtime);
  }
  return 0;
}
