#include "support/ui_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/pstream.h"
#include "support/loopback.h"
#include "support/pobject_from_bytes.h"
#include "transport/channel.h"

namespace testsupport {

namespace {

constexpr size_t kChannelCapacity = 81920;
// A sender that connects and then stalls is given up after this long, so
// that the stand-in goes on draining.
constexpr uint32_t kReadTimeoutSeconds = 10;
// How long request waits for the daemon's whole reply.
constexpr std::chrono::milliseconds kReplyTimeout(30000);

void CloseFd(int& fd) {
  if (fd >= 0) (void)close(fd);  // sockets and pipes: nothing to flush
  fd = -1;
}

// The wire bytes of `obj`, through a socketpair and a second thread that
// drains the far end while the stream writes.
bool Encode(const PObject& obj, std::string* out) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  std::string bytes;
  std::thread reader([&bytes, fd = fds[1]] {
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bytes.append(buf, static_cast<size_t>(n));
    }
  });
  bool sent = false;
  {
    Channel ch(kChannelCapacity);
    if (ch.Open(fds[0], false) == ERR_OK) {
      PStream stream;
      sent = stream.Send(ch, obj) == PStream::Code::kOk;
      if (ch.Close() != ERR_OK) sent = false;  // closes fds[0]: the reader sees the end
    } else {
      CloseFd(fds[0]);
    }
  }
  reader.join();
  CloseFd(fds[1]);
  if (!sent) return false;
  *out = std::move(bytes);
  return true;
}

bool IsCodeKey(const ustring& key) { return key == "error_type" || key == "code"; }

void Render(const PObject& v, bool signed_integer, std::string& out) {
  if (v.isNull()) {
    out += "null";
  } else if (v.isInteger()) {
    out += signed_integer ? std::to_string(v.asInt64()) : std::to_string(v.asUInt64());
  } else if (v.isString()) {
    out += "\"";
    out += v.asString().c_str_utf8();
    out += "\"";
  } else if (v.isArray()) {
    out += "[";
    const char* sep = "";
    for (const PObject& e : v.asArray()) {
      out += sep;
      sep = ", ";
      Render(e, false, out);
    }
    out += "]";
  } else if (v.isMap()) {
    out += "{";
    const char* sep = "";
    for (const auto& [key, member] : v.asMap()) {
      out += sep;
      sep = ", ";
      out += key.c_str_utf8();
      out += "=";
      Render(member, IsCodeKey(key), out);
    }
    out += "}";
  } else {
    out += "<binary " + std::to_string(v.asBinary().length) + " bytes>";
  }
}

}  // namespace

UiStandIn::UiStandIn(int port, MessageHook hook) : hook_(std::move(hook)) {
  int bound = -1;
  int fd = loopback::BindLoopback(port, 128, &bound);
  // Non-blocking: a client that goes away between poll and accept must not
  // stall the accept thread.
  if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
    error_ = "listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    CloseFd(fd);
    return;
  }
  // Accepted sockets inherit the flag: with it on both sides,
  // reopenListener can take the port while closed connections linger.
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (pipe2(wake_fd_, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    CloseFd(fd);
    return;
  }
  listen_fd_ = fd;
  port_ = bound;
  StartAccepting();
}

UiStandIn::~UiStandIn() {
  StopAccepting();
  CloseFd(listen_fd_);
  CloseFd(wake_fd_[0]);
  CloseFd(wake_fd_[1]);
}

void UiStandIn::StartAccepting() { thread_ = std::thread(&UiStandIn::AcceptLoop, this); }

void UiStandIn::StopAccepting() {
  if (!thread_.joinable()) return;
  char byte = 0;
  while (write(wake_fd_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  while (read(wake_fd_[0], &byte, 1) < 0 && errno == EINTR) {
  }
}

void UiStandIn::closeListener() {
  std::lock_guard<std::mutex> guard(listener_mutex_);
  StopAccepting();
  CloseFd(listen_fd_);
}

bool UiStandIn::reopenListener() {
  std::lock_guard<std::mutex> guard(listener_mutex_);
  if (listen_fd_ >= 0 || port_ < 0) return listen_fd_ >= 0;
  int bound = -1;
  int fd = loopback::BindLoopback(port_, 128, &bound);
  if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
    CloseFd(fd);
    return false;
  }
  listen_fd_ = fd;
  StartAccepting();
  return true;
}

void UiStandIn::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || p[1].revents != 0) return;
    if ((p[0].revents & POLLIN) == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // the client went away before accept
    ReadOne(fd);
  }
}

void UiStandIn::ReadOne(int fd) {
  PObject msg;
  PStream::Code rc;
  {
    Channel ch(kChannelCapacity);
    if (ch.Open(fd, true) != ERR_OK) {
      CloseFd(fd);
      ++decode_failures_;
      return;
    }
    ch.SetTimeout(kReadTimeoutSeconds);
    PStream stream;  // no receive folder: binaries are refused
    rc = stream.Recv(ch, msg);
  }
  if (rc != PStream::Code::kOk) {
    ++decode_failures_;
    return;
  }
  if (hook_) hook_(msg);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.push_back(std::move(msg));
  }
  arrived_.notify_all();
}

std::vector<PObject> UiStandIn::messages() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_;
}

bool UiStandIn::waitFor(const std::function<bool(const std::vector<PObject>&)>& pred,
                        std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex_);
  return arrived_.wait_for(guard, timeout, [&] { return pred(messages_); });
}

int UiStandIn::daemonPort(std::chrono::milliseconds timeout) {
  int found = -1;
  waitFor(
      [&found](const std::vector<PObject>& msgs) {
        for (auto m = msgs.rbegin(); m != msgs.rend(); ++m) {
          if (m->hasMember("daemon_port") && (*m)["daemon_port"].isInteger()) {
            found = static_cast<int>((*m)["daemon_port"].asUInt64());
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

UiStandIn::RequestResult UiStandIn::request(const PObject& req, PObject* reply) {
  std::lock_guard<std::mutex> one_at_a_time(request_mutex_);
  int daemon = daemonPort(std::chrono::milliseconds(0));
  if (daemon < 0) return kNoDaemon;
  std::string bytes;
  if (!Encode(req, &bytes)) return kSendFailed;
  int fd = loopback::ConnectLoopback(daemon);
  if (fd < 0) return kNoDaemon;
  std::string answer;
  bool sent = loopback::SendAll(fd, bytes);
  bool complete = sent && loopback::RecvToEndWithin(fd, &answer, kReplyTimeout);
  CloseFd(fd);
  if (!sent) return kSendFailed;
  if (!complete) return kBadReply;
  if (answer.empty()) return kClosed;
  PObject decoded;
  PStream stream;
  int rc = RecvFromBytes(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), stream, decoded);
  if (rc != 0) return kBadReply;
  if (reply != nullptr) *reply = std::move(decoded);
  return kReply;
}

bool UiStandIn::stop() {
  PObject req;
  req["action"] = "stop";
  return request(req, nullptr) == kClosed;
}

std::string UiStandIn::Describe(const PObject& msg) {
  std::string line;
  const PObject::map_type& members = msg.asMap();
  if (msg.isMap() && msg.hasMember("daemon_port")) {
    line = "daemon is on port ";
    Render(msg["daemon_port"], false, line);
    return line;
  }
  const char* kind_key = msg.hasMember("notify") ? "notify" : msg.hasMember("action") ? "action" : nullptr;
  if (kind_key == nullptr) {
    line = "message ";
    Render(msg, false, line);
    return line;
  }
  line = std::string(kind_key) + " " + msg[kind_key].asString().c_str_utf8() + ":";
  for (const auto& [key, member] : members) {
    if (key == kind_key) continue;
    line += " ";
    line += key.c_str_utf8();
    line += "=";
    Render(member, IsCodeKey(key), line);
  }
  return line;
}

int64_t UiStandIn::ErrorType(const PObject& msg) { return msg["error_type"].asInt64(); }

size_t UiStandIn::SessionErrors(const std::vector<PObject>& messages, uint64_t sess_id, int64_t error_type) {
  size_t n = 0;
  for (const PObject& m : messages) {
    n += m["notify"].asString() == "error" && m.hasMember("session_id") && m["session_id"].asUInt64() == sess_id &&
         (error_type == 0 || ErrorType(m) == error_type);
  }
  return n;
}

int64_t UiStandIn::ErrorCode(const PObject& msg) { return msg["error"]["code"].asInt64(); }

}  // namespace testsupport
