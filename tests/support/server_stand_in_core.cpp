#include "support/server_stand_in_core.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <utility>

#include "support/pki.h"

namespace testsupport {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kReplyTimeout = std::chrono::seconds(30);
constexpr auto kExitTimeout = std::chrono::seconds(5);

std::string Base64(const std::string& in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(in[i]) << 16) | (static_cast<uint8_t>(in[i + 1]) << 8) |
                 static_cast<uint8_t>(in[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == in.size()) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t v = (static_cast<uint8_t>(in[i]) << 16) | (static_cast<uint8_t>(in[i + 1]) << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

uint64_t U64(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

std::string Str(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

ServerStandInCore::Object ObjectFrom(const json& j) {
  ServerStandInCore::Object o;
  o.path = Str(j, "path");
  o.version = U64(j, "version");
  o.max_id = U64(j, "max_id");
  o.is_dir = Str(j, "type") == "dir";
  o.removed = j.value("removed", false);
  o.size = U64(j, "size");
  o.md4 = Str(j, "md4");
  o.mtime = static_cast<uint32_t>(U64(j, "mtime"));
  o.content_path = Str(j, "content_path");
  return o;
}

// The array `key` of a reply; *error set when the reply has none.
std::vector<json> ArrayOf(const std::optional<json>& reply, const char* key, std::string* error) {
  std::vector<json> out;
  if (!reply) return out;
  auto it = reply->find(key);
  if (it == reply->end() || !it->is_array()) {
    *error = std::string("stand-in reply without array \"") + key + "\": " + reply->dump();
    return out;
  }
  for (const json& e : *it) out.push_back(e);
  return out;
}

}  // namespace

ServerStandInCore::ServerStandInCore(ErrorSink sink) : sink_(std::move(sink)) {}

ServerStandInCore::~ServerStandInCore() {
  std::string error;
  Stop(&error);
}

bool ServerStandInCore::Start(const ServerStandInOptions& options, std::string* error) {
  if (port_ != 0) {
    *error = "ServerStandIn::Start called twice";
    return false;
  }
  if (options.data_dir.empty()) {
    temp_data_.emplace();
    data_dir_ = temp_data_->path();
  } else {
    std::error_code ec;
    std::filesystem::create_directories(options.data_dir, ec);
    if (ec) {
      *error = "cannot make the stand-in's data folder " + options.data_dir + ": " + ec.message();
      return false;
    }
    data_dir_ = options.data_dir;
  }
  std::vector<std::string> argv = {"/usr/bin/python3", "-B", "-u", SERVER_STAND_IN_SCRIPT,
                                   "--data", data_dir_, "--pki", PkiPath("")};
  for (const std::string& t : options.tokens) argv.insert(argv.end(), {"--token", t});
  for (uint64_t v : options.views) argv.insert(argv.end(), {"--view", std::to_string(v)});
  // The stand-in seeds before its control port opens, so a first version
  // must come first: the seed then goes through the control port instead.
  bool seed_by_control = !options.seed.empty() && options.first_version != 0;
  if (!options.seed.empty() && !seed_by_control) argv.insert(argv.end(), {"--seed", options.seed});
  if (options.max_lifetime_s > 0) argv.insert(argv.end(), {"--max-lifetime", std::to_string(options.max_lifetime_s)});

  process_.SetOwnProcessGroup(options.own_process_group);
  process_.SetStderrPath(options.stderr_path);
  std::string start_error;
  if (!process_.Start(argv, &start_error)) {
    *error = "cannot start the server stand-in: " + start_error;
    return false;
  }
  std::string line, seen;
  bool ready = process_.WaitForLine([](const std::string& l) { return l.rfind("READY ", 0) == 0; }, &line,
                                    std::chrono::seconds(options.ready_timeout_s), &seen);
  int port = 0, control_port = 0;
  if (ready) {
    std::istringstream in(line.substr(6));
    ready = static_cast<bool>(in >> port >> control_port) && port > 0 && control_port > 0;
  }
  if (!ready) {
    *error = "the server stand-in gave no READY line within " + std::to_string(options.ready_timeout_s) +
             " s; its output:\n" + seen;
    process_.Stop();
    return false;
  }
  int fd = ConnectLoopback(control_port);
  if (fd < 0) {
    *error = "cannot connect to the stand-in's control port " + std::to_string(control_port) + ": " +
             std::strerror(errno);
    process_.Stop();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    control_fd_ = fd;
    control_buffer_.clear();
    control_broken_ = false;
  }
  port_ = port;
  control_port_ = control_port;

  json set = options.settings;
  if (!options.cert.empty()) set["cert"] = options.cert;
  if (options.first_version != 0) set["first_version"] = options.first_version;
  if (options.expect_tls) set["expect_tls"] = true;
  if (options.tls_max_1_2) set["tls_max_1_2"] = true;
  if (!set.empty()) {
    set["op"] = "set";
    if (!Checked(set, error)) return false;
  }
  if (seed_by_control) {
    // Parents before children, siblings in name order, as the stand-in's own
    // seeding does.
    std::vector<std::filesystem::path> entries;
    for (const auto& e : std::filesystem::recursive_directory_iterator(options.seed)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& e : entries) {
      std::string rel = "/" + e.lexically_relative(options.seed).generic_string();
      struct stat st;
      if (lstat(e.c_str(), &st) != 0) continue;
      json r;
      if (S_ISDIR(st.st_mode)) {
        r = {{"op", "mkdir"}, {"path", rel}};
      } else if (S_ISREG(st.st_mode)) {
        r = {{"op", "put_file"}, {"path", rel}, {"file", e.string()}};
      } else {
        continue;
      }
      r["mtime"] = static_cast<uint32_t>(st.st_mtime);
      if (!Checked(r, error)) return false;
    }
  }
  return true;
}

bool ServerStandInCore::Stop(std::string* error) {
  error->clear();
  if (port_ == 0) return true;
  port_ = control_port_ = 0;
  // The reply may or may not precede the exit; the exit status is what counts.
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    if (control_fd_ >= 0 && !control_broken_) SendAll(control_fd_, "{\"op\": \"shutdown\"}\n");
  }
  CloseControl();
  int status = -1;
  if (!process_.WaitExit(&status, kExitTimeout)) {
    *error = "the server stand-in did not exit within 5 s of \"shutdown\"; killed it";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "the server stand-in ended with wait status " + std::to_string(status);
  }
  process_.Stop();  // kills one still running; closes the pipes
  return error->empty();
}

std::vector<std::string> ServerStandInCore::TakeErrors() {
  std::lock_guard<std::mutex> lock(errors_mu_);
  return std::exchange(errors_, {});
}

void ServerStandInCore::Fail(const std::string& text) {
  if (sink_) {
    sink_(text);
    return;
  }
  std::lock_guard<std::mutex> lock(errors_mu_);
  errors_.push_back(text);
}

bool ServerStandInCore::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

uint64_t ServerStandInCore::Put(const std::string& path, const std::string& bytes, uint32_t mtime, uint64_t view) {
  json r = {{"op", "put"}, {"path", path}, {"data_b64", Base64(bytes)}};
  if (mtime != 0) r["mtime"] = mtime;
  return VersionOf(WithView(r, view));
}

uint64_t ServerStandInCore::PutFile(const std::string& path, const std::string& local_file, uint32_t mtime,
                                uint64_t view) {
  json r = {{"op", "put_file"}, {"path", path}, {"file", local_file}};
  if (mtime != 0) r["mtime"] = mtime;
  return VersionOf(WithView(r, view));
}

uint64_t ServerStandInCore::Mkdir(const std::string& path, uint32_t mtime, uint64_t view) {
  json r = {{"op", "mkdir"}, {"path", path}};
  if (mtime != 0) r["mtime"] = mtime;
  return VersionOf(WithView(r, view));
}

uint64_t ServerStandInCore::Remove(const std::string& path, uint64_t view) {
  return VersionOf(WithView({{"op", "remove"}, {"path", path}}, view));
}

std::optional<ServerStandInCore::Object> ServerStandInCore::Get(const std::string& path, uint64_t view) {
  std::optional<json> reply = Call(WithView({{"op", "get"}, {"path", path}}, view));
  if (!reply || !reply->value("ok", false)) return std::nullopt;
  return ObjectFrom(*reply);
}

std::vector<ServerStandInCore::Object> ServerStandInCore::History(const std::string& path, uint64_t view) {
  std::vector<Object> out;
  for (const json& v : Array(Request(WithView({{"op", "history"}, {"path", path}}, view)), "versions")) {
    out.push_back(ObjectFrom(v));
  }
  return out;
}

std::vector<ServerStandInCore::Object> ServerStandInCore::List(const std::string& path, uint64_t view) {
  std::vector<Object> out;
  for (const json& e : Array(Request(WithView({{"op", "list"}, {"path", path}}, view)), "entries")) {
    out.push_back(ObjectFrom(e));
  }
  return out;
}

std::vector<ServerStandInCore::Object> ServerStandInCore::Versions(uint64_t view) {
  std::vector<Object> out;
  for (const json& v : Array(Request(WithView({{"op", "versions"}}, view)), "versions")) {
    out.push_back(ObjectFrom(v));
  }
  return out;
}

uint64_t ServerStandInCore::Head(uint64_t view) {
  std::optional<json> reply = Request(WithView({{"op", "head"}}, view));
  return reply ? U64(*reply, "head") : 0;
}

void ServerStandInCore::AddView(uint64_t view, bool read_only) {
  Request({{"op", "add_view"}, {"view", view}, {"read_only", read_only}});
}

void ServerStandInCore::AddToken(const std::string& token) { Request({{"op", "add_token"}, {"token", token}}); }

uint64_t ServerStandInCore::Fault(const json& rule) {
  std::optional<json> reply = Request({{"op", "fault"}, {"rule", rule}});
  return reply ? U64(*reply, "id") : 0;
}

void ServerStandInCore::ClearFaults() { Request({{"op", "clear_faults"}}); }

void ServerStandInCore::Set(const json& settings) {
  json r = settings;
  r["op"] = "set";
  Request(r);
}

std::vector<json> ServerStandInCore::Journal(uint64_t since, uint64_t* next) {
  std::optional<json> reply = Request({{"op", "journal"}, {"since", since}});
  if (next != nullptr) *next = reply ? U64(*reply, "next") : since;
  return Array(reply, "events");
}

json ServerStandInCore::Counters() {
  std::optional<json> reply = Request({{"op", "counters"}});
  return reply && reply->contains("counters") ? (*reply)["counters"] : json::object();
}

std::vector<json> ServerStandInCore::Violations() { return Array(Request({{"op", "violations"}}), "violations"); }

std::vector<json> ServerStandInCore::Tokens() { return Array(Request({{"op", "tokens"}}), "tokens"); }

void ServerStandInCore::ForgetTokens() { Request({{"op", "forget_tokens"}}); }

std::optional<json> ServerStandInCore::Call(const json& request) {
  std::string error;
  std::optional<json> reply = Exchange(request, &error);
  if (!reply) Fail(error);
  return reply;
}

std::optional<json> ServerStandInCore::Exchange(const json& request, std::string* error) {
  std::string op = request.value("op", std::string("?"));
  std::string line;
  try {
    line = request.dump() + "\n";
  } catch (const json::exception& e) {
    *error = "control \"" + op + "\" cannot be written as JSON: " + e.what();
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(control_mu_);
  if (control_fd_ < 0 || control_broken_) {
    *error = "control \"" + op + "\": no control connection to the server stand-in";
    return std::nullopt;
  }
  auto fail = [&](const std::string& why) -> std::optional<json> {
    control_broken_ = true;
    *error = "control \"" + op + "\": " + why;
    return std::nullopt;
  };
  if (!SendAll(control_fd_, line)) return fail(std::string("send: ") + std::strerror(errno));
  Clock::time_point deadline = Clock::now() + kReplyTimeout;
  // Only what arrived since the last look can hold the line's end: a long
  // reply (a journal) is read in linear time.
  size_t scanned = 0;
  size_t nl;
  while ((nl = control_buffer_.find('\n', scanned)) == std::string::npos) {
    scanned = control_buffer_.size();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return fail("no reply within 30 s");
    struct pollfd p = {control_fd_, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::string("poll: ") + std::strerror(errno));
    if (n == 0) continue;
    char chunk[65536];
    ssize_t got = recv(control_fd_, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(std::string("recv: ") + std::strerror(errno));
    if (got == 0) return fail("the stand-in closed the control connection");
    control_buffer_.append(chunk, static_cast<size_t>(got));
  }
  std::string reply_line = control_buffer_.substr(0, nl);
  control_buffer_.erase(0, nl + 1);
  json reply = json::parse(reply_line, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) return fail("a reply that is not a JSON object: " + reply_line);
  return reply;
}

std::optional<json> ServerStandInCore::Request(const json& request) {
  std::string error;
  std::optional<json> reply = Checked(request, &error);
  if (!reply) Fail(error);
  return reply;
}

std::optional<json> ServerStandInCore::Checked(const json& request, std::string* error) {
  std::optional<json> reply = Exchange(request, error);
  if (!reply) return std::nullopt;
  if (!reply->value("ok", false)) {
    *error = "the server stand-in refused " + request.dump() + ": " + reply->dump();
    return std::nullopt;
  }
  return reply;
}

std::vector<json> ServerStandInCore::Array(const std::optional<json>& reply, const char* key) {
  std::string error;
  std::vector<json> out = ArrayOf(reply, key, &error);
  if (!error.empty()) Fail(error);
  return out;
}

json ServerStandInCore::WithView(json request, uint64_t view) {
  if (view != 0) request["view"] = view;
  return request;
}

uint64_t ServerStandInCore::VersionOf(const json& request) {
  std::optional<json> reply = Request(request);
  if (!reply) return 0;
  uint64_t version = U64(*reply, "version");
  if (version == 0) Fail("no version in the reply to " + request.value("op", std::string()) + ": " + reply->dump());
  return version;
}

void ServerStandInCore::CloseControl() {
  std::lock_guard<std::mutex> lock(control_mu_);
  if (control_fd_ >= 0) close(control_fd_);
  control_fd_ = -1;
  control_buffer_.clear();
}

}  // namespace testsupport
