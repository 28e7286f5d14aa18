// The worker's server requests: its exchanges on the request road and the
// resumable transfers (token, dry run, status, offset).
#include "protocol/proto_common.h"
#include "server/connection.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// A reply of the token or status exchange that carries "error" goes to the
// caller as the reply, the exchange itself counted a success.
ErrorCode HandBack(const PObject& got, PObject& reply) {
  reply = got;
  return ERR_OK;
}

}  // namespace

ErrorCode Worker::ProtoResp2ErrorCode(uint32_t server_code) const { return road_.MapServerCode(server_code); }

ErrorCode Worker::RequestChannel(Channel& ch) { return road_.RequestChannel(ch); }

ErrorCode Worker::RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& reply) {
  return road_.RunProtocol(ch, command, request, reply);
}

ErrorCode Worker::streamErr2DaemonErr(PStream::Code stream_code) {
  // Read, not taken: a stop or an interruption stays raised for whatever
  // the operation does next (a second exchange, a file read) until the loop
  // clears it at the top of its next pass and looks at its state again.
  if (abort_flag.load() != 0) {
    // An abort while paused keeps what was moved so far for the resume.
    if (GetState() == PAUSE) return ERR_CH_CONNECTION_ABORT;
    ClearCache();
    return ERR_INT;
  }
  switch (stream_code) {
    case PStream::Code::kIo:
    case PStream::Code::kTimeout:
      return ERR_IO;
    case PStream::Code::kDiskFull:
      ClearCache();
      return ERR_LOCAL_DISKFULL;
    case PStream::Code::kSys:
    case PStream::Code::kStream:
    case PStream::Code::kInput:
    default:
      ClearCache();
      return ERR_SYS;
  }
}

void Worker::InitSessionRequest(PObject& request, const char* action) const {
  InitRequest(request, action);
  request["session"] = context.connection.getConnectionInfo().session;
  request["view_id"] = static_cast<unsigned long long>(context.root_entry.view_id);
}

// ---- Pooled exchanges ----

ErrorCode Worker::ProtoUpload(bool resume, PObject& request, PObject& reply) {
  return road_.Exchange("UploadLocal", reply, [&](Channel& ch) {
    return resume ? ProtoResumeUploadObject(ch, request, reply) : ProtoUploadObject(ch, request, reply);
  });
}

ErrorCode Worker::ProtoDownload(bool resume, PObject& request, PObject& reply) {
  return road_.Exchange("DownloadRemote", reply, [&](Channel& ch) {
    return resume ? ProtoResumeDownloadObject(ch, request, reply) : ProtoDownloadObject(ch, request, reply);
  });
}

ErrorCode Worker::ProtoRemove(const PObject& request, PObject& reply) {
  return road_.Request("RemoveRemote", SCMD_EVT_REMOVE, request, reply);
}

// ---- The work on the lent channel ----

ErrorCode Worker::ProtoUploadObject(Channel& ch, const PObject& request, PObject& reply) {
  return request["is_dir"].asBool() ? ProtoUploadDirectory(ch, request, reply) : ProtoUploadFile(ch, request, reply);
}

ErrorCode Worker::ProtoUploadDirectory(Channel& ch, const PObject& request, PObject& reply) {
  return RunProtocol(ch, SCMD_EVT_RECV_4, request, reply);
}

ErrorCode Worker::ProtoUploadFile(Channel& ch, const PObject& request, PObject& reply) {
  return RunProtocol(ch, SCMD_EVT_RECV_4, request, reply);
}

ErrorCode Worker::ProtoDownloadObject(Channel& ch, const PObject& request, PObject& reply) {
  return RunProtocol(ch, SCMD_EVT_SEND_2, request, reply);
}

ErrorCode Worker::ProtoResumeUploadObject(Channel& ch, PObject& request, PObject& reply) {
  if (!request.hasMember("_resume_token")) {
    PObject ask;
    PObject got;
    InitSessionRequest(ask, "resume_get_token");
    ErrorCode rc = RunProtocol(ch, SCMD_RESUME_TRANSFER, ask, got);
    if (rc != ERR_OK) {
      ClearPObject(got);
      return rc;
    }
    if (got.hasMember("error")) return HandBack(got, reply);
    request["_resume_token"] = got["resume_token"];
    cached_request["_resume_token"] = got["resume_token"];
    ClearPObject(got);  // a body the server sent along serves nothing

    // The dry run: the same request without any body, so that content the
    // server already holds goes as a reference.
    PObject dry = request;
    InitRequest(dry, "upload");
    dry["dry_run"] = true;
    const PObject& dry_view = dry;  // const access never inserts members
    if (dry_view["file"].isMap()) dry["file"].asMap().erase("data");
    if (dry_view["mac_attribute"].isMap()) dry["mac_attribute"].asMap().erase("data");
    PObject dry_reply;
    rc = RunProtocol(ch, SCMD_EVT_RECV_4, dry, dry_reply);
    if (rc != ERR_OK) {
      ClearPObject(dry_reply);
      return rc;
    }
    if (dry_reply.hasMember("error")) {
      if (worker_log::On(Logger::L_ERR)) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): upload file: %s\n", GetId(),
                   dry_reply["error"].toString().c_str_utf8());
      }
      return HandBack(dry_reply, reply);
    }
    const uint64_t file_id = dry_reply["file"]["file_id"].asUInt64();
    if (file_id != 0) {
      const PObject& view = request;
      WORKER_LOG(L_INFO, "[INFO] worker(%d): Server side has same file hash '%s' in file_id '%llu'.\n",
                 view["file"]["hash"].asString().c_str_utf8(), static_cast<ull>(file_id));
      request["file"]["refer"] = true;
      request["file"]["file_id"] = static_cast<unsigned long long>(file_id);
      request["file"].asMap().erase("data");
    }
    ClearPObject(dry_reply);
  } else {
    PObject ask;
    PObject got;
    InitSessionRequest(ask, "resume_get_status");
    ask["_resume_token"] = request["_resume_token"];
    ErrorCode rc = RunProtocol(ch, SCMD_RESUME_TRANSFER, ask, got);
    if (rc != ERR_OK) {
      ClearPObject(got);
      return rc;
    }
    if (got.hasMember("error")) return HandBack(got, reply);
    const PObject& view = request;
    const PObject& got_view = got;  // const access never inserts members
    const bool has_offset = got_view.hasMember("file");
    const uint64_t offset = got_view["file"]["offset"].asUInt64();
    ClearPObject(got);  // a body the server sent along serves nothing
    if (has_offset && view["file"]["data"].isBinary()) {
      PObject::binary_type& body = request["file"]["data"].asBinary();
      // The body is the slice [offset, end) of the file; the server's offset
      // counts from its start. An offset past the end would wrap the length
      // and make the stream announce a huge body: start afresh instead.
      const uint64_t end = body.offset + body.length;
      if (offset > end) {
        WORKER_LOG(L_WARNING,
                   "[WARNING] worker(%d): Worker (%d): server offset %llu is beyond the body's %llu bytes, "
                   "upload starts afresh\n",
                   GetId(), static_cast<ull>(offset), static_cast<ull>(end));
        ClearCache();
        return ERR_INT;
      }
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): adjust upload file offset to %llu\n", GetId(),
                 static_cast<ull>(offset));
      body.offset = offset;
      body.length = end - offset;
    }
  }
  return RunProtocol(ch, SCMD_RESUME_TRANSFER, request, reply);
}

ErrorCode Worker::ProtoResumeDownloadObject(Channel& ch, PObject& request, PObject& reply) {
  if (!request.hasMember("_resume_token")) {
    PObject ask;
    PObject got;
    InitSessionRequest(ask, "resume_get_token");
    const ErrorCode rc = RunProtocol(ch, SCMD_RESUME_TRANSFER, ask, got);
    if (rc != ERR_OK) {
      ClearPObject(got);
      return rc;
    }
    if (got.hasMember("error")) return HandBack(got, reply);
    request["_resume_token"] = got["resume_token"];
    cached_request["_resume_token"] = got["resume_token"];
    ClearPObject(got);  // a body the server sent along serves nothing
  }
  return RunProtocol(ch, SCMD_RESUME_TRANSFER, request, reply);
}
