// A worker's whole-file resumable upload (and a remove) against a server in
// this harness that answers "connect" properly and sends the input as the
// reply to one of the exchanges, chosen by the input's first byte:
//   0 "resume_get_token", 1 the dry run ("upload"), 2 "resume_get_status"
//   (a retry with a token), 3 "resume_upload", 4 "remove".
// The other exchanges get well-formed replies. After each input the resume
// cache is cleared and every connection ended, its serving thread joined.
// Checks: no crash or sanitizer report; nothing outside the working folder
// changes (the uploaded file, a file beside the session, the session's
// listing); the server never receives more body bytes than the file holds.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "worker/worker.h"
#include "worker_harness.h"

namespace {

using fuzzharness::Names;
using fuzzharness::Slurp;
using fuzzharness::Spill;

constexpr uint64_t kSessionId = 1;
constexpr uint64_t kConnId = 1;
constexpr size_t kFileSize = 20000;

std::string g_root;
std::string g_local;
std::string g_work;
std::string g_sink;  // where the server keeps received bodies
std::string g_file_bytes;
std::string g_outside_bytes;

std::mutex g_mu;  // guards the two below, shared with the server thread
std::string g_reply;
int g_pick = 0;

void Empty(const std::string& dir) {
  for (const std::string& n : Names(dir)) unlink((dir + "/" + n).c_str());
}

const char* kActions[] = {"resume_get_token", "upload", "resume_get_status", "resume_upload", "remove"};

// A well-formed reply to `action`.
PObject GoodReply(const ustring& action) {
  PObject r;
  if (action == "connect") {
    r["alive"] = 30u;
    r["server"]["package_version"]["build"] = 7u;
  } else if (action == "resume_get_token") {
    r["resume_token"] = "rt-1";
  } else if (action == "upload") {
    r["file"]["file_id"] = 0ull;
  } else if (action == "resume_get_status") {
    r["file"]["offset"] = 100ull;
  } else {
    r["sync_id"] = 5ull;
    r["max_id"] = 5ull;
    r["is_dir"] = false;
  }
  return r;
}

// The harness server: well-formed replies, and the input as the reply of
// the exchange the first byte picked.
fuzzharness::Answer Reply(PObject& request) {
  // Whatever arrived of a body: never more than the file holds.
  const PObject::binary_type& body = request["file"]["data"].asBinary();
  if (body.length > kFileSize) __builtin_trap();
  if (!body.path.empty()) unlink(body.path.c_str_utf8());
  fuzzharness::Answer a;
  const ustring action = request["action"].asString();
  std::lock_guard<std::mutex> lock(g_mu);
  if (action == kActions[g_pick] && (g_pick != 1 || request["dry_run"].asBool())) {
    a.raw = true;
    a.bytes = g_reply;
  } else {
    a.reply = GoodReply(action);
  }
  return a;
}

class FuzzWorker : public fuzzharness::HarnessWorker {
 public:
  using Worker::ProtoRemove;
  using Worker::ProtoUpload;
};

FuzzWorker* g_worker = nullptr;

void Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_worker_reply.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) __builtin_trap();
  g_root = tmpl;
  std::atexit([] { fuzzharness::RemoveTree(g_root); });
  g_local = g_root + "/local";
  g_work = g_local + "/.ZarqelonWorkingDirectory";
  g_sink = g_root + "/sink";
  for (const std::string& d : {g_local, g_work, g_sink}) {
    if (mkdir(d.c_str(), 0700) != 0) __builtin_trap();
  }
  g_file_bytes.resize(kFileSize);
  for (size_t i = 0; i < kFileSize; ++i) g_file_bytes[i] = static_cast<char>(i * 131 + 7);
  Spill(g_local + "/file.bin", g_file_bytes);
  g_outside_bytes = "beside the session";
  Spill(g_root + "/localx", g_outside_bytes);

  Spill(g_root + "/levels", "worker_debug=0\nstream=0\nchannel_debug=0\n");
  if (Logger::Initialize(Logger::FILE_LOGGER, "/dev/null", (g_root + "/levels").c_str(), 50) != 0) __builtin_trap();


  fuzzharness::RegisterSession(kSessionId, kConnId, fuzzharness::StartServer(g_sink, Reply), g_local, g_root,
                               nullptr, "");
  g_worker = new FuzzWorker;  // lives for the process
}

PObject UploadRequest(bool with_token) {
  PObject q;
  InitRequest(q, "resume_upload");
  q["session"] = "fuzz-token";
  q["view_id"] = 1ull;
  q["sync_id"] = 0ull;
  q["max_id"] = 0ull;
  q["path"] = "/file.bin";
  q["is_dir"] = false;
  q["file"]["size"] = static_cast<unsigned long long>(kFileSize);
  q["file"]["hash"] = "0123456789abcdef0123456789abcdef";
  PObject::binary_type& body = q["file"]["data"].asBinary();
  body.path = (g_local + "/file.bin").c_str();
  body.length = kFileSize;
  q["mtime"]["mtime"] = 1u;
  if (with_token) q["_resume_token"] = "rt-1";
  return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Setup();
  if (size == 0) return 0;
  const int pick = data[0] % 5;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_pick = pick;
    g_reply.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  FuzzWorker& w = *g_worker;
  w.context.clear();
  Event ev;
  ev.m_type = pick == 4 ? Event::EV_REMOVE : Event::EV_MODIFY;
  ev.m_path = "/file.bin";
  ev.m_sess_id = kSessionId;
  w.context.current_event = ev;
  if (w.UpdateContext() != 0) __builtin_trap();

  PObject reply;
  ErrorCode rc = ERR_OK;
  if (pick == 4) {
    PObject q;
    InitRequest(q, "remove");
    q["session"] = "fuzz-token";
    q["view_id"] = 1ull;
    q["sync_id"] = 5ull;
    q["max_id"] = 5ull;
    q["path"] = "/file.bin";
    rc = w.ProtoRemove(q, reply);
  } else {
    PObject q = UploadRequest(pick == 2);
    rc = w.ProtoUpload(true, q, reply);
  }
  if (ErrorNumber(rc) > 0) __builtin_trap();
  (void)reply.toString();
  w.ClearCache();
  fuzzharness::EndConnections(kConnId);

  // Nothing outside the working folder changed.
  if (Slurp(g_local + "/file.bin") != g_file_bytes) __builtin_trap();
  if (Slurp(g_root + "/localx") != g_outside_bytes) __builtin_trap();
  if (Names(g_local) != std::set<std::string>{".ZarqelonWorkingDirectory", "file.bin"}) __builtin_trap();
  Empty(g_work);
  return 0;
}
