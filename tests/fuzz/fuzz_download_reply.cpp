// A worker's download of one server change against a server in this harness
// that answers "connect" and "resume_get_token" properly and sends the input
// as the "resume_download" reply.
//
// The session holds one file, "/f", recorded and unchanged; the event asks
// for a newer version of it, of a size and hash that no local copy matches,
// so the worker always asks the server (with the record's sync id as base).
// After each input the resume cache is cleared, every connection ended (its
// serving thread joined) and the session put back.
// Checks, beyond no crash or sanitizer report:
//  - nothing outside the session changes (a file beside it, the listing of
//    the folder around it);
//  - "/f" holds its old bytes, or bytes whose MD4 is the reply's
//    "file"."hash", or is a folder (or gone) while its old bytes lie in the
//    recycle folder; nothing else appears in the session folder;
//  - with the cache cleared, the working folder holds nothing but the
//    recycle folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "../support/pobject_from_bytes.h"
#include "worker_harness.h"
#include "delta/simple_file_reader.h"
#include "filter/filter_db.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "worker/worker.h"

namespace {

using fuzzharness::Names;
using fuzzharness::RemoveTree;
using fuzzharness::Slurp;
using fuzzharness::Spill;

constexpr uint64_t kSessionId = 1;
constexpr uint64_t kConnId = 1;
constexpr uint64_t kRecordSyncId = 5;
constexpr uint32_t kMtime = 1600000000;
constexpr size_t kFileSize = 20000;

std::string g_root;     // the fuzzer's own temporary folder
std::string g_local;    // the session folder
std::string g_config;   // the session's configuration folder
std::string g_work;     // the working folder
std::string g_recycle;  // the recycle folder
std::string g_sink;     // where the server keeps request bodies
std::string g_decode;   // where the harness decodes the input's bodies
std::string g_file_bytes;
std::string g_file_md4;
std::string g_beside_bytes;
std::set<std::string> g_root_names;

std::mutex g_mu;  // guards g_reply, shared with the server's threads
std::string g_reply;

// Empties `dir`, keeping the folder and the names in `keep`.
void Empty(const std::string& dir, const std::set<std::string>& keep = {}) {
  for (const std::string& n : Names(dir)) {
    if (keep.count(n) == 0) RemoveTree(dir + "/" + n);
  }
}

// The MD4 of the file at `path` ("" when it cannot be read); with `sign`, its
// signature goes there.
std::string Md4(const std::string& path, const std::string& sign = "") {
  ustring md4;
  SimpleFileReader reader;
  reader.setFile(path.c_str());
  reader.setHashString(md4);
  if (!sign.empty()) reader.setSignature(sign.c_str(), 2048, 8);
  return reader.readFile() < 0 ? std::string() : std::string(md4.c_str_utf8());
}

// Whether a regular file below `dir` holds exactly `bytes`.
bool HoldsBytes(const std::string& dir, const std::string& bytes) {
  for (const std::string& n : Names(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && HoldsBytes(p, bytes)) return true;
    if (S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) == bytes.size() && Slurp(p) == bytes) return true;
  }
  return false;
}

// The harness server: "connect" and the token properly, the input as the
// download's reply.
fuzzharness::Answer Reply(PObject& request) {
  // A download request carries no body.
  if (!request["file"]["data"].asBinary().path.empty()) __builtin_trap();
  fuzzharness::Answer a;
  const ustring action = request["action"].asString();
  if (action == "resume_download") {
    // The base is the record, and nothing was received before.
    if (request["sync_id"].asUInt64() != kRecordSyncId || request["file"]["offset"].asUInt64() != 0) {
      __builtin_trap();
    }
    a.raw = true;
    std::lock_guard<std::mutex> lock(g_mu);
    a.bytes = g_reply;
  } else if (action == "connect") {
    a.reply["alive"] = 30u;
    a.reply["server"]["package_version"]["build"] = 7u;
  } else if (action == "resume_get_token") {
    a.reply["resume_token"] = "rt-1";
  } else {
    a.reply["error"]["code"] = 0xB001u;
  }
  return a;
}

class FuzzWorker : public fuzzharness::HarnessWorker {
 public:
  using Worker::DownloadRemote;
  using Worker::patch_err_count;
  using Worker::sys_err_count;
};

FuzzWorker* g_worker = nullptr;
FileEventDB* g_db = nullptr;

// "/f" as recorded, its record, an empty recycle folder and recycle table.
void PutBack() {
  RemoveTree(g_local + "/f");
  Spill(g_local + "/f", g_file_bytes);
  if (FSUTime((g_local + "/f").c_str(), kMtime, kMtime) != 0) __builtin_trap();
  Empty(g_recycle);
  if (g_db->resetRecycleBin() != 0) __builtin_trap();
  const std::string sign = g_config + "/db/sign/fresh";
  if (Md4(g_local + "/f", sign) != g_file_md4) __builtin_trap();
  DBFileInfo rec;
  rec.isExist = 1;
  rec.syncID = kRecordSyncId;
  rec.maxSyncID = kRecordSyncId;
  rec.fileSize = kFileSize;
  rec.fileModTime = kMtime;
  rec.path = "/f";
  rec.fileCheckSum = g_file_md4.c_str();
  rec.signaturePath = sign.c_str();
  if (g_db->setEventInfo(rec) != 0) __builtin_trap();
}

void Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_download_reply.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) __builtin_trap();
  g_root = tmpl;
  std::atexit([] { RemoveTree(g_root); });
  g_local = g_root + "/local";
  g_config = g_root + "/config";
  g_work = g_local + "/" + kWorkingDirName;
  g_recycle = g_work + "/" + kRecycleDirName;
  g_sink = g_root + "/sink";
  g_decode = g_root + "/decode";
  for (const std::string& d : {g_local, g_work, g_recycle, g_config, g_config + "/db", g_config + "/db/sign", g_sink,
                               g_decode}) {
    if (mkdir(d.c_str(), 0700) != 0) __builtin_trap();
  }
  g_file_bytes.resize(kFileSize);
  for (size_t i = 0; i < kFileSize; ++i) g_file_bytes[i] = static_cast<char>((i * 131 + 7) ^ (i >> 7));
  Spill(g_root + "/f-original", g_file_bytes);
  g_file_md4 = Md4(g_root + "/f-original");
  if (g_file_md4.size() != 32) __builtin_trap();
  // A sibling whose name starts like the session folder's.
  g_beside_bytes = "beside the session";
  Spill(g_root + "/localx", g_beside_bytes);

  Spill(g_root + "/levels", "worker_debug=0\nstream=0\nchannel_debug=0\nevent_db_debug=0\nfilter_db_debug=0\n");
  if (Logger::Initialize(Logger::FILE_LOGGER, "/dev/null", (g_root + "/levels").c_str(), 50) != 0) __builtin_trap();
  if (FilterDB::getInstance()->initialize((g_root + "/filter.db").c_str()) != 0) __builtin_trap();


  const uint16_t port = fuzzharness::StartServer(g_sink, Reply);
  g_db = new FileEventDB;  // lives for the process
  if (g_db->initialize((g_config + "/db/event-db.sqlite").c_str()) != 0) __builtin_trap();
  fuzzharness::RegisterSession(kSessionId, kConnId, port, g_local, g_config, g_db, "PC1");
  g_root_names = Names(g_root);
  g_worker = new FuzzWorker;  // lives for the process
  PutBack();
}

// The reply's "file"."hash" as the worker reads it ("" when the input does
// not decode to a map with one).
std::string ReplyHash(const uint8_t* data, size_t size) {
  PStream stream;
  stream.SetDefaultRecvLocation(g_decode.c_str());
  PObject reply;
  const int rc = testsupport::RecvFromBytes(data, size, stream, reply);
  std::string hash;
  const PObject& view = reply;
  if (rc == 0 && view.isMap() && view["file"].isMap() && view["file"]["hash"].isString()) {
    hash = view["file"]["hash"].asString().c_str_utf8();
  }
  Empty(g_decode);
  return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Setup();
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_reply.assign(reinterpret_cast<const char*>(data), size);
  }
  FuzzWorker& w = *g_worker;
  w.context.clear();
  w.patch_err_count = 0;
  w.sys_err_count = 0;
  Event ev;
  ev.m_type = Event::EV_MODIFY;
  ev.setServerEvent();
  ev.m_path = "/f";
  ev.m_sess_id = kSessionId;
  ev.m_sync_id = kRecordSyncId + 1;
  ev.m_max_id = kRecordSyncId + 1;
  ev.m_data_size = 1;  // neither a merge nor a local copy applies
  w.context.current_event = ev;
  if (w.UpdateContext() != 0) __builtin_trap();
  if (ErrorNumber(w.DownloadRemote()) > 0) __builtin_trap();
  w.ClearCache();
  fuzzharness::EndConnections(kConnId);

  // Nothing outside the session changed.
  if (Names(g_root) != g_root_names) __builtin_trap();
  if (Slurp(g_root + "/localx") != g_beside_bytes) __builtin_trap();
  if (!Names(g_sink).empty()) __builtin_trap();
  // The working folder holds nothing the cache named.
  if (Names(g_work) != std::set<std::string>{kRecycleDirName}) __builtin_trap();
  // "/f": as it was, the server's content, or its old bytes recycled.
  struct stat st;
  const std::string f = g_local + "/f";
  if (lstat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    const std::string md4 = Md4(f);
    if (md4 != g_file_md4 && md4 != ReplyHash(data, size)) __builtin_trap();
  } else if (!HoldsBytes(g_recycle, g_file_bytes)) {
    __builtin_trap();
  }
  std::set<std::string> local_names = Names(g_local);
  local_names.erase("f");
  if (local_names != std::set<std::string>{kWorkingDirName}) __builtin_trap();

  PutBack();
  return 0;
}
