// A worker's whole-file resumable upload (and a remove) against a server in
// this harness that answers "connect" properly and sends the input as the
// reply to one of the exchanges, chosen by the input's first byte:
//   0 "resume_get_token", 1 the dry run ("upload"), 2 "resume_get_status"
//   (a retry with a token), 3 "resume_upload", 4 "remove".
// The other exchanges get well-formed replies. After each input the resume
// cache is cleared.
// Checks: no crash or sanitizer report; nothing outside the working folder
// changes (the uploaded file, a file beside the session, the session's
// listing); the server never receives more body bytes than the file holds.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "transport/channel.h"
#include "worker/worker.h"

namespace {

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

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
  }
  return names;
}

void Empty(const std::string& dir) {
  for (const std::string& n : Names(dir)) unlink((dir + "/" + n).c_str());
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spill(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.good()) __builtin_trap();
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

bool SendRaw(Channel& ch, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t n = std::min(bytes.size() - at, ch.GetCapacity());
    if (ch.Write(bytes.data() + at, n) < 0) return false;
    at += n;
  }
  return ch.FlushWrite(0) >= 0;
}

// One connection: requests until the peer goes or the input was sent.
void Serve(int fd) {
  Channel ch(81920);
  if (ch.Open(fd, true) < 0) {
    close(fd);
    return;
  }
  ch.SetTimeout(5);
  PStream stream;
  stream.SetDefaultRecvLocation(g_sink.c_str());
  for (;;) {
    unsigned short len = 0;
    unsigned char cmd = 0, version = 0;
    if (ProtoReadHeader(ch, len, cmd, version) < 0) break;
    PObject request;
    const int rc = stream.Recv(ch, request);
    // Whatever arrived of a body: never more than the file holds.
    const PObject::binary_type& body = request["file"]["data"].asBinary();
    if (body.length > kFileSize) __builtin_trap();
    if (!body.path.empty()) unlink(body.path.c_str_utf8());
    if (rc < 0) break;
    const ustring action = request["action"].asString();
    std::string raw;
    bool fuzzed = false;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      fuzzed = action == kActions[g_pick] && (g_pick != 1 || request["dry_run"].asBool());
      raw = g_reply;
    }
    if (fuzzed) {
      (void)SendRaw(ch, raw);
      break;
    }
    if (stream.Send(ch, GoodReply(action)) < 0) break;
  }
  ch.ClearWrite();
  (void)ch.Close();
}

void ServerLoop(int listener) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // One thread per connection: a channel the worker keeps alive must not
    // hold up the next one.
    std::thread(Serve, fd).detach();
  }
}

class FuzzWorker : public Worker {
 public:
  FuzzWorker()
      : Worker(nullptr, nullptr,
               Collaborators{*EventManager::getInstance(), Registry::getInstance(),
                             *ConnectionManager::getInstance(), 2, 2}) {}
  using Worker::ClearCache;
  using Worker::context;
  using Worker::ProtoRemove;
  using Worker::ProtoUpload;
  using Worker::UpdateContext;
};

FuzzWorker* g_worker = nullptr;

void Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_worker_reply.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) __builtin_trap();
  g_root = tmpl;
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

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    __builtin_trap();
  }
  std::thread(ServerLoop, listener).detach();

  ConnectionInfo info;
  info.conn_id = kConnId;
  info.server_ip = "127.0.0.1";
  info.server_port = ntohs(addr.sin_port);
  info.session = "fuzz-token";
  info.use_ssl = false;
  if (ConnectionManager::getInstance()->add(info, nullptr, nullptr) != 0) __builtin_trap();
  Registry::Entry entry;
  entry.sess_id = kSessionId;
  entry.conn_id = kConnId;
  entry.view_id = 1;
  entry.recursive = true;
  entry.local_path = g_local.c_str();
  entry.remote_path = "/";
  entry.config_path = g_root.c_str();
  Registry::getInstance().Set(entry);
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
  int rc = 0;
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
  if (rc > 0) __builtin_trap();
  (void)reply.toString();
  w.ClearCache();

  // Nothing outside the working folder changed.
  if (Slurp(g_local + "/file.bin") != g_file_bytes) __builtin_trap();
  if (Slurp(g_root + "/localx") != g_outside_bytes) __builtin_trap();
  if (Names(g_local) != std::set<std::string>{".ZarqelonWorkingDirectory", "file.bin"}) __builtin_trap();
  Empty(g_work);
  return 0;
}
