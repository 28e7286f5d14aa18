// What the worker's fuzz targets share: a server on 127.0.0.1 that reads
// framed requests and answers each as the target decides (a reply object,
// or raw bytes after which the connection closes), the worker they drive,
// and small file helpers.
// Header-only: each fuzz target is one executable of its own.
#ifndef TESTS_FUZZ_WORKER_HARNESS_H_
#define TESTS_FUZZ_WORKER_HARNESS_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "server/connection_manager.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"
#include "transport/channel.h"
#include "worker/worker.h"

namespace fuzzharness {

inline std::set<std::string> Names(const std::string& dir) {
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

inline int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

// Removes `path` and everything below it.
inline void RemoveTree(const std::string& path) { (void)nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void Spill(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.good()) __builtin_trap();
}

// The server's answer to one request.
struct Answer {
  bool raw = false;   // send `bytes` as they are, then close
  std::string bytes;
  PObject reply;      // otherwise: this object, and the next request
};
// Called on the connection's thread with each request received whole.
using Handler = std::function<Answer(PObject& request)>;

inline bool SendRaw(Channel& ch, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t n = std::min(bytes.size() - at, ch.GetCapacity());
    if (ch.Write(bytes.data() + at, n) != ERR_OK) return false;
    at += n;
  }
  return ch.FlushWrite(0) == ERR_OK;
}

// One connection: requests (bodies into `sink`) until the peer goes, a
// request fails to arrive, or raw bytes were sent.
inline void Serve(int fd, const std::string& sink, const Handler& handler) {
  Channel ch(81920);
  if (ch.Open(fd, true) != ERR_OK) {
    close(fd);
    return;
  }
  ch.SetTimeout(5);
  PStream stream;
  stream.SetDefaultRecvLocation(sink.c_str());
  for (;;) {
    unsigned short len = 0;
    unsigned char cmd = 0, version = 0;
    if (ProtoReadHeader(ch, len, cmd, version) != ERR_OK) break;
    PObject request;
    const PStream::Code rc = stream.Recv(ch, request);
    Answer answer = handler(request);
    if (rc != PStream::Code::kOk) break;
    if (answer.raw) {
      (void)SendRaw(ch, answer.bytes);
      break;
    }
    if (stream.Send(ch, answer.reply) != PStream::Code::kOk) break;
  }
  ch.ClearWrite();
  (void)ch.Close();
}

// The harness server's state: one per process.
struct ServerState {
  int listener = -1;
  int wake[2] = {-1, -1};  // a pipe: one byte asks the accept thread to drain
  std::string sink;
  Handler handler;
  std::mutex mu;
  std::condition_variable drained;
  uint64_t asked = 0;                // guarded by mu: drains asked for
  uint64_t done = 0;                 // guarded by mu: drains done
  std::vector<std::thread> serving;  // guarded by mu: not yet joined
};

inline ServerState& Server() {
  static ServerState* state = new ServerState;  // lives for the process
  return *state;
}

// Serves `fd` on a thread of its own, kept for EndConnections to join.
inline void ServeOnThread(ServerState& s, int fd) {
  // Replies go out at once, not held for the worker's acknowledgement.
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::lock_guard<std::mutex> lock(s.mu);
  s.serving.emplace_back(Serve, fd, s.sink, s.handler);
}

// The accept thread: each connection as it comes and, when asked, every
// connection still queued before the drain is reported done.
inline void AcceptLoop(ServerState& s) {
  for (;;) {
    pollfd fds[2] = {{s.listener, POLLIN, 0}, {s.wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[1].revents & POLLIN) != 0) {
      char byte;
      if (read(s.wake[0], &byte, 1) != 1) continue;
      int fd;
      while ((fd = accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) ServeOnThread(s, fd);
      std::lock_guard<std::mutex> lock(s.mu);
      ++s.done;
      s.drained.notify_all();
      continue;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      const int fd = accept4(s.listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) ServeOnThread(s, fd);
    }
  }
}

// Listens on 127.0.0.1 and serves each connection on a thread of its own
// (a channel the worker keeps alive must not hold up the next one); the
// port. Call once; the server lives for the process.
inline uint16_t StartServer(const std::string& sink, Handler handler) {
  ServerState& s = Server();
  s.sink = sink;
  s.handler = std::move(handler);
  // Non-blocking, so that a drain takes what is queued and stops.
  s.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (s.listener < 0 || pipe2(s.wake, O_CLOEXEC) != 0 ||
      bind(s.listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s.listener, 64) != 0 ||
      getsockname(s.listener, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    __builtin_trap();
  }
  std::thread(AcceptLoop, std::ref(s)).detach();
  return ntohs(addr.sin_port);
}

// Ends every connection of the input before it returns, so that nothing it
// started (a serving thread, its channel's buffers, a body being written
// into the sink) lives on into the next input and a target's verdict
// depends on its input alone: closes every channel of connection `conn_id`
// on the worker's side (a reload of its pool with the same settings; the
// worker must hold none), takes every connection still queued at the
// listener, then joins every serving thread, each of which ends as its
// peer goes.
inline void EndConnections(uint64_t conn_id) {
  ConnectionInfo info;
  {
    Connection connection;
    if (ConnectionManager::getInstance()->get(conn_id, connection) != 0) __builtin_trap();
    info = connection.getConnectionInfo();
  }
  if (ConnectionManager::getInstance()->reload(info, nullptr, nullptr) != 0) __builtin_trap();
  // Every connection the worker opened is queued or accepted by now: its
  // connect returned once the kernel had completed it.
  ServerState& s = Server();
  std::vector<std::thread> serving;
  {
    std::unique_lock<std::mutex> lock(s.mu);
    const uint64_t ticket = ++s.asked;
    if (write(s.wake[1], "d", 1) != 1) __builtin_trap();
    s.drained.wait(lock, [&] { return s.done >= ticket; });
    serving.swap(s.serving);
  }
  for (std::thread& t : serving) t.join();
}

// The objects a harness worker is handed besides the process-wide ones:
// made once per process, never destroyed before the workers.
struct HarnessObjects {
  EventGenerator generator{*EventManager::getInstance()};
  UiNotifier notifier;
  UiReporter ui{notifier};
  FileStatusDBRows file_status;

  static HarnessObjects& Get() {
    static HarnessObjects objects;
    return objects;
  }
};

// A worker on the process-wide queue, registry and connections with 2 s
// time-outs, and the parts each target drives.
class HarnessWorker : public Worker {
 public:
  HarnessWorker()
      : Worker(nullptr, nullptr,
               Collaborators{*EventManager::getInstance(), Registry::getInstance(),
                             *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                             *BlackList2::getInstance(), HarnessObjects::Get().file_status,
                             HarnessObjects::Get().ui, HarnessObjects::Get().generator, TwoSecondReplies(), 2}) {}
  static DaemonTiming TwoSecondReplies() {
    DaemonTiming timing;
    timing.worker_reply_timeout = std::chrono::seconds(2);
    return timing;
  }
  using Worker::ClearCache;
  using Worker::context;
  using Worker::UpdateContext;
};

// Adds connection `conn_id` toward the harness server on `port` (plain, token
// "fuzz-token", `computer_name`) and registers session `sess_id` on it with
// its folders and event database (null: none). Traps on failure.
inline void RegisterSession(uint64_t sess_id, uint64_t conn_id, uint16_t port, const std::string& local,
                            const std::string& config, FileEventDB* db, const char* computer_name) {
  ConnectionInfo info;
  info.conn_id = conn_id;
  info.server_ip = "127.0.0.1";
  info.server_port = port;
  info.session = "fuzz-token";
  info.use_ssl = false;
  info.computer_name = computer_name;
  if (ConnectionManager::getInstance()->add(info, nullptr, nullptr) != 0) __builtin_trap();
  Registry::Entry entry;
  entry.sess_id = sess_id;
  entry.conn_id = conn_id;
  entry.view_id = 1;
  entry.recursive = true;
  entry.local_path = local.c_str();
  entry.remote_path = "/";
  entry.config_path = config.c_str();
  if (db != nullptr) entry.event_db = db;
  Registry::getInstance().Set(entry);
}

}  // namespace fuzzharness

#endif  // TESTS_FUZZ_WORKER_HARNESS_H_
