#include "support/sync_bed.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "support/command.h"
#include "support/loopback.h"
#include "support/pki.h"
#include "support/relay_stand_in.h"
#include "transport/proxy_peers.h"

namespace testsupport {

namespace {

constexpr char kWorkingFolder[] = "/.ZarqelonWorkingDirectory";

#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

void CloseFd(int& fd) {
  if (fd >= 0) (void)close(fd);  // sockets, pipes, inotify: nothing to flush
  fd = -1;
}

void Wake(int fd) {
  char byte = 0;
  while (write(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void DrainWake(int fd) {
  char byte;
  while (read(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool InWorkingFolder(const std::string& rel) {
  const size_t n = sizeof kWorkingFolder - 1;
  return rel.compare(0, n, kWorkingFolder) == 0 && (rel.size() == n || rel[n] == '/');
}

std::string TreeDiff(const std::map<std::string, TreeEntry>& local, const std::map<std::string, TreeEntry>& server) {
  std::string out;
  for (const auto& [path, e] : local) {
    auto it = server.find(path);
    if (it == server.end()) {
      out += "  only local:  " + path + " (" + Describe(e) + ")\n";
    } else if (!(it->second == e)) {
      out += "  differs:     " + path + " local " + Describe(e) + ", server " + Describe(it->second) + "\n";
    }
  }
  for (const auto& [path, e] : server) {
    if (local.count(path) == 0) out += "  only server: " + path + " (" + Describe(e) + ")\n";
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- relay

bool CountingRelay::Start(int target_port) {
  target_ = target_port;
  if (pipe2(wake_, O_CLOEXEC) != 0) return false;
  int fd = loopback::BindLoopback(0, 64, &port_);
  if (fd < 0) return false;
  // Accepted sockets inherit the flag: with it on both sides, the port can
  // be taken again while dropped connections linger.
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  std::lock_guard<std::mutex> lock(mu_);
  listen_fd_ = fd;
  acceptor_ = std::thread(&CountingRelay::AcceptLoop, this, fd);
  return true;
}

void CountingRelay::AcceptLoop(int listen_fd) {
  for (;;) {
    pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    int client = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mu_);
    open_.push_back(client);
    workers_.emplace_back(&CountingRelay::Serve, this, client);
  }
}

void CountingRelay::Serve(int client) {
  int server = loopback::ConnectLoopback(target_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (server >= 0) open_.push_back(server);
  }
  char buf[65536];
  while (server >= 0) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bool done = false;
    for (int i = 0; i < 2 && !done; ++i) {
      if (p[i].revents == 0) continue;
      ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
      if (n <= 0 || !loopback::SendAll(p[1 - i].fd, std::string(buf, static_cast<size_t>(n)))) {
        done = true;
        break;
      }
      (i == 0 ? up_ : down_) += static_cast<uint64_t>(n);
    }
    if (done) break;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (int fd : {client, server}) {
    if (fd < 0) continue;
    open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
    close(fd);
  }
}

void CountingRelay::DropAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (int fd : open_) shutdown(fd, SHUT_RDWR);
}

void CountingRelay::StopListening() {
  std::thread acceptor;
  {
    std::lock_guard<std::mutex> lock(mu_);
    acceptor = std::move(acceptor_);
  }
  if (acceptor.joinable()) {
    Wake(wake_[1]);
    acceptor.join();
    DrainWake(wake_[0]);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    CloseFd(listen_fd_);
  }
  DropAll();
}

bool CountingRelay::ResumeListening() {
  std::lock_guard<std::mutex> lock(mu_);
  if (listen_fd_ >= 0) return true;
  int bound = 0;
  int fd = loopback::BindLoopback(port_, 64, &bound);
  if (fd < 0) return false;
  listen_fd_ = fd;
  acceptor_ = std::thread(&CountingRelay::AcceptLoop, this, fd);
  return true;
}

void CountingRelay::Stop() {
  if (wake_[0] < 0) return;
  StopListening();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

// ---------------------------------------------------------- write watch

WriteWatch::WriteWatch(std::string root) : root_(std::move(root)) {
  fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    CloseFd(fd_);
    return;
  }
  AddTree("");
  thread_ = std::thread(&WriteWatch::Loop, this);
}

WriteWatch::~WriteWatch() {
  if (thread_.joinable()) {
    Wake(wake_[1]);
    thread_.join();
  }
  CloseFd(fd_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void WriteWatch::Announce(const std::string& rel) {
  std::lock_guard<std::mutex> lock(mu_);
  ++announced_[rel];
}

std::vector<std::string> WriteWatch::Unexpected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unexpected_;
}

// Watches `rel` and every folder below it. A folder renamed keeps its watch
// descriptor; adding it again under the new name renames it here too.
void WriteWatch::AddTree(const std::string& rel) {
  if (InWorkingFolder(rel)) return;
  const std::string full = root_ + rel;
  int wd = inotify_add_watch(fd_, full.c_str(),
                             IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
  if (wd < 0) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dirs_[wd] = rel;
  }
  DIR* dir = opendir(full.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> subs;
  while (dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != ".." && d->d_type == DT_DIR) subs.push_back(rel + "/" + name);
  }
  closedir(dir);
  for (const std::string& sub : subs) AddTree(sub);
}

void WriteWatch::Loop() {
  alignas(inotify_event) char buf[65536];
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) continue;
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      std::string rel;
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = dirs_.find(ev->wd);
        if (it == dirs_.end()) continue;
        if ((ev->mask & IN_IGNORED) != 0) {
          dirs_.erase(it);
          continue;
        }
        rel = it->second + "/" + (ev->len > 0 ? std::string(ev->name) : std::string());
      }
      if ((ev->mask & IN_ISDIR) != 0) {
        if ((ev->mask & (IN_CREATE | IN_MOVED_TO)) != 0) AddTree(rel);
        continue;
      }
      if ((ev->mask & IN_CLOSE_WRITE) == 0 || InWorkingFolder(rel)) continue;
      std::lock_guard<std::mutex> lock(mu_);
      auto it = announced_.find(rel);
      if (it != announced_.end() && it->second > 0) {
        --it->second;
      } else {
        unexpected_.push_back(rel);
      }
    }
  }
}

// -------------------------------------------------------------- the bed

ServerStandInOptions SyncBedOptions::DefaultServer() {
  ServerStandInOptions o;
  o.tokens = {"e2e-session-token"};
  o.views = {21};
  // Versions above 32 bits, so that a sync id cut short shows.
  o.first_version = (1ull << 32) + 100;
  return o;
}

SyncBed::SyncBed() = default;

SyncBed::~SyncBed() {
  // The daemon first: it must not see its server vanish and retry while
  // the rest goes.
  if (daemon_) daemon_->Kill();
  // E2E_LOG_LINES=N prints the daemon log's last N lines after a failure.
  const char* lines = getenv("E2E_LOG_LINES");
  if (daemon_ && lines != nullptr && ::testing::Test::HasFailure()) {
    const CommandResult tail = RunCommand({"tail", "-n", lines, daemon_->folder() + "/stdout"});
    std::cerr << "---- the daemon's output, last " << lines << " lines\n" << tail.out << "----\n";
  }
  watch_.reset();
  counting_.Stop();
  if (tunnel_) tunnel_->Stop();
  if (options_.transport == Transport::kSquidNtlm) {
    proxypeers::StopSquid(&proxy_);
  } else {
    proxy_.Stop();
  }
}

void SyncBed::StopTransport() {
  daemon_->Kill();
  if (tunnel_) tunnel_->Stop();
  if (options_.transport == Transport::kSquidNtlm) {
    proxypeers::StopSquid(&proxy_);
  } else {
    proxy_.Stop();
  }
}

std::string SyncBed::local(const std::string& rel) const { return view_root_ + rel; }

bool SyncBed::Start(const SyncBedOptions& options) {
  options_ = options;
  if (options_.daemon_binary.empty()) {
    ADD_FAILURE() << "SyncBed: no daemon binary";
    return false;
  }
  if (options_.shared_server != nullptr) {
    server_ = options_.shared_server;
  } else {
    own_server_ = std::make_unique<ServerStandIn>();
    ServerStandInOptions so = options_.server;
    so.expect_tls = so.expect_tls || options_.tls;
    if (!own_server_->Start(so)) return false;
    server_ = own_server_.get();
  }
  if (!counting_.Start(server_->port())) {
    ADD_FAILURE() << "SyncBed: the counting relay cannot listen";
    return false;
  }
  if (!StartTransport()) return false;

  std::error_code ec;
  if (options_.sync_folder.empty()) {
    options_.sync_folder = root_.path() + "/sync";
    std::filesystem::create_directories(options_.sync_folder, ec);
  }
  const std::string conf = config_path() + "/conf";
  std::filesystem::create_directories(conf, ec);
  std::filesystem::create_directories(root_.path() + "/daemon", ec);
  bool written = true;
  for (const auto& [name, text] : {std::pair<std::string, std::string>{"/blacklist.filter", options_.black_list},
                                   {"/whitelist.filter", options_.white_list},
                                   {"/force-hash-check-list.filter", options_.force_hash_list}}) {
    std::ofstream out(conf + name, std::ios::binary | std::ios::trunc);
    out << text;
    written = written && static_cast<bool>(out);
  }
  if (!written) {
    ADD_FAILURE() << "SyncBed: cannot write the rule files in " << conf;
    return false;
  }
  ui_ = std::make_unique<UiStandIn>();
  if (ui_->port() < 0) {
    ADD_FAILURE() << "SyncBed: " << ui_->error();
    return false;
  }
  daemon_ = std::make_unique<DaemonProcess>(options_.daemon_binary, root_.path() + "/daemon");
  return StartDaemon() && Link();
}

bool SyncBed::Restart() {
  if (daemon_->running()) {
    ADD_FAILURE() << "SyncBed: Restart while the daemon runs";
    return false;
  }
  return StartDaemon() && Link();
}

bool SyncBed::StartTransport() {
  std::error_code ec;
  std::filesystem::create_directories(proxy_folder(), ec);
  switch (options_.transport) {
    case Transport::kDirect:
    case Transport::kRelay:
      break;
    case Transport::kTinyproxyBasic:
    case Transport::kTinyproxyRelay:
      proxypeers::StartTinyproxy(&proxy_, proxy_folder(), "bob secret", &proxy_port_);
      break;
    case Transport::kSquidNtlm:
      // Squid drops to the user "proxy", who must reach the proxy folder.
      (void)chmod(root_.path().c_str(), 0711);  // a failure shows as squid's
      proxypeers::StartSquid(&proxy_, proxy_folder(), false, &proxy_port_);
      break;
  }
  if (::testing::Test::HasFatalFailure()) return false;
  if (options_.transport == Transport::kRelay || options_.transport == Transport::kTinyproxyRelay) {
    tunnel_ = std::make_unique<relay::TestRelay>();
    std::string error;
    if (!tunnel_->Start(relay::Mode::kConnect, 0, &error)) {
      ADD_FAILURE() << "SyncBed: " << error;
      return false;
    }
  }
  return true;
}

bool SyncBed::StartDaemon() {
  const std::string system_filter = root_.path() + "/system.filter";
  {
    std::ofstream out(system_filter, std::ios::binary | std::ios::trunc);
    out << options_.system_filter;
  }
  std::string levels = options_.log_levels;
  if (const char* env = getenv("E2E_LOG_LEVELS")) {
    levels = env;
    std::replace(levels.begin(), levels.end(), ',', '\n');
    levels += "\n";
  }
  // WaitConverged reads the passes of the Syncer and the Detector.
  levels += "syncer_debug=7\ndetector_debug=7\n";
  {
    std::ofstream out(root_.path() + "/levels", std::ios::binary | std::ios::trunc);
    out << levels;
  }
  DaemonProcess& d = *daemon_;
  d.Set("log_level_file_path", root_.path() + "/levels");
  d.Set("ui_port", std::to_string(ui_->port()));
  d.Set("cert_path", PkiPath("ca.pem"));
  d.Set("worker_count", std::to_string(options_.worker_count));
  d.Set("system_filter_path", system_filter);
  if (!options_.launcher.empty()) d.SetLauncher(options_.launcher);
  d.SetTiming(options_.timing);
  auto announcements = [](const std::vector<PObject>& msgs) {
    size_t n = 0;
    for (const PObject& m : msgs) n += m.hasMember("daemon_port") ? 1 : 0;
    return n;
  };
  const size_t before = announcements(ui_->messages());
  if (!d.Start()) return false;
  if (!ui_->waitFor([&](const std::vector<PObject>& m) { return announcements(m) > before; },
                    std::chrono::seconds(30 * kSlowdown))) {
    ADD_FAILURE() << "SyncBed: the daemon did not announce its port; standard error:\n" << d.Stderr();
    return false;
  }
  view_root_ = options_.test_view.empty() ? options_.sync_folder : options_.test_view;
  const size_t at = view_root_.find("{pid}");
  if (at != std::string::npos) view_root_.replace(at, 5, std::to_string(d.pid()));
  // A new watch for each daemon: the folder may be the daemon's own mount.
  // What the old one found is kept.
  if (watch_) {
    for (const std::string& rel : watch_->Unexpected()) carried_writes_.push_back(rel);
  }
  watch_.reset();
  watch_ = std::make_unique<WriteWatch>(view_root_);
  if (!watch_->ok()) {
    ADD_FAILURE() << "SyncBed: cannot watch " << view_root_;
    return false;
  }
  return true;
}

PObject SyncBed::MakeRequest(const char* action) {
  PObject req;
  req["action"] = action;
  return req;
}

PObject SyncBed::Request(const PObject& request) {
  PObject reply;
  const UiStandIn::RequestResult rc = ui_->request(request, &reply);
  if (rc != UiStandIn::kReply) {
    ADD_FAILURE() << "SyncBed: no reply (" << rc << ") to " << UiStandIn::Describe(request);
    return PObject();
  }
  return reply;
}

PObject SyncBed::Action(const char* action) {
  PObject req = MakeRequest(action);
  req["session_id"] = static_cast<unsigned long long>(kSessionId);
  return Request(req);
}

PObject SyncBed::ConnectionRequest(const char* action) const {
  PObject req = MakeRequest(action);
  req["connection_id"] = static_cast<unsigned long long>(kConnectionId);
  req["server_ip"] = "127.0.0.1";
  req["server_port"] = counting_.port();
  std::string session = options_.session;
  if (session.empty() && !options_.server.tokens.empty()) session = options_.server.tokens.front();
  req["session"] = session.c_str();
  req["computer_name"] = options_.computer_name.c_str();
  req["username"] = "e2e";
  req["use_ssl"] = options_.tls ? 1 : 0;
  req["ssl_allow_untrust"] = 0;
  req["ssl_server_hostname"] = options_.ssl_server_hostname.c_str();
  switch (options_.transport) {
    case Transport::kTinyproxyBasic:
    case Transport::kTinyproxyRelay:
    case Transport::kSquidNtlm:
      req["use_proxy"] = 1;
      req["proxy_ip"] = "127.0.0.1";
      req["proxy_port"] = proxy_port_;
      req["proxy_username"] = "bob";
      req["proxy_password"] = "secret";
      if (options_.transport == Transport::kSquidNtlm) {
        req["proxy_domain"] = "DOM1";
        req["proxy_host"] = "WS1";
      }
      break;
    default:
      break;
  }
  if (tunnel_) {
    req["use_tunnel"] = 1;
    req["tunnel_ip"] = "127.0.0.1";
    req["tunnel_port"] = tunnel_->port();
  }
  return req;
}

PObject SyncBed::SessionRequest() const {
  PObject add = MakeRequest("add_session");
  add["connection_id"] = static_cast<unsigned long long>(kConnectionId);
  add["session_id"] = static_cast<unsigned long long>(kSessionId);
  add["view_id"] = static_cast<unsigned long long>(options_.server.views.empty() ? 1 : options_.server.views[0]);
  add["config_path"] = config_path().c_str();
  add["sync_folder"] = options_.sync_folder.c_str();
  add["remote_path"] = "/";
  return add;
}

bool SyncBed::Link() {
  std::vector<PObject> steps = {MakeRequest("link"), ConnectionRequest(), SessionRequest()};
  if (!options_.paused) {
    PObject resume = MakeRequest("resume");
    resume["session_id"] = static_cast<unsigned long long>(kSessionId);
    steps.push_back(resume);
  }
  for (const PObject& step : steps) {
    PObject reply = Request(step);
    if (reply.isNull() || reply.hasMember("error")) {
      ADD_FAILURE() << "SyncBed: " << UiStandIn::Describe(step) << " answered " << UiStandIn::Describe(reply);
      return false;
    }
  }
  return true;
}

// ------------------------------------------------------ changes, ledger

void SyncBed::Remember(const std::string& bytes) {
  const std::string sha = Sha256Hex(bytes);
  std::lock_guard<std::mutex> lock(ledger_mu_);
  ledger_.insert(sha);
}

void SyncBed::WriteLocal(const std::string& rel, const std::string& bytes, time_t mtime) {
  const std::string full = local(rel);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
  Remember(bytes);
  watch_->Announce(rel);
  {
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) ADD_FAILURE() << "SyncBed: cannot write " << full;
  }
  if (mtime != 0) {
    struct utimbuf times{mtime, mtime};
    if (utime(full.c_str(), &times) != 0) ADD_FAILURE() << "SyncBed: cannot set the time of " << full;
  }
}

void SyncBed::OverwriteLocal(const std::string& rel, const std::string& bytes) {
  const std::string full = local(rel);
  struct stat st;
  if (stat(full.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != bytes.size()) {
    ADD_FAILURE() << "SyncBed: " << full << " is not there with the new content's length";
    return;
  }
  Remember(bytes);
  watch_->Announce(rel);
  std::fstream out(full, std::ios::binary | std::ios::in | std::ios::out);
  out << bytes;
  if (!out) ADD_FAILURE() << "SyncBed: cannot write " << full;
}

void SyncBed::PlaceLocal(const std::string& rel, const std::string& bytes, time_t mtime) {
  const std::string staged = root_.path() + "/staged";
  {
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) ADD_FAILURE() << "SyncBed: cannot write " << staged;
  }
  if (mtime != 0) {
    struct utimbuf times{mtime, mtime};
    if (utime(staged.c_str(), &times) != 0) ADD_FAILURE() << "SyncBed: cannot set the time of " << staged;
  }
  const std::string full = local(rel);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
  if (std::rename(staged.c_str(), full.c_str()) == 0) {
    Remember(bytes);
    return;
  }
  (void)unlink(staged.c_str());  // cross-device: written in place instead
  WriteLocal(rel, bytes, mtime);
}

uint64_t SyncBed::PutServer(const std::string& rel, const std::string& bytes, uint32_t mtime) {
  Remember(bytes);
  // In base64 on a JSON line a 20-MiB body costs this unoptimised, sanitized
  // process 10 s and more of processor time; the stand-in reads a file
  // beside the sync folder in a moment, into the same store.
  constexpr size_t kInline = 64 << 10;
  if (bytes.size() <= kInline) return server_->Put(rel, bytes, mtime);
  const std::string staged = root_.path() + "/put-" + std::to_string(++puts_staged_);
  {
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) {
      ADD_FAILURE() << "SyncBed: cannot write " << staged;
      return 0;
    }
  }
  const uint64_t version = server_->PutFile(rel, staged, mtime);
  (void)unlink(staged.c_str());
  return version;
}

// ---------------------------------------------------------- observation

// A file the daemon moves during the walk is listed as type 'v', so that no
// comparison holds meanwhile.
std::map<std::string, TreeEntry> SyncBed::LocalTree() const {
  TreeSnapshot::Options options;
  options.skip_working_folder = true;
  options.vanished_as_entry = true;
  return TreeSnapshot::Take(view_root_, options).entries();
}

std::map<std::string, TreeEntry> SyncBed::ServerTree() {
  std::map<std::string, TreeEntry> out;
  for (const ServerStandIn::Object& o : server_->List("/")) {
    TreeEntry e;
    e.type = o.is_dir ? 'd' : 'f';
    if (!o.is_dir) {
      e.size = o.size;
      auto it = blob_sha_.find(o.content_path);
      if (it == blob_sha_.end()) it = blob_sha_.emplace(o.content_path, Sha256Hex(Slurp(o.content_path))).first;
      e.sha256 = it->second;
    }
    out[o.path] = e;
  }
  return out;
}

nlohmann::json SyncBed::Query(const std::string& db, const std::string& sql) {
  const CommandResult r = RunSqlite3({"-readonly", "-json", db, sql});
  if (r.exit_code != 0) {
    ADD_FAILURE() << "sqlite3 " << db << " '" << sql << "': " << r.err;
    return nullptr;
  }
  if (r.out.find_first_not_of(" \n") == std::string::npos) return nlohmann::json::array();
  return nlohmann::json::parse(r.out, nullptr, false);
}

std::string SyncBed::ConvergedDifference() {
  const PObject status = Status();
  if (status.isNull()) return "no status";
  const PObject& sessions = status["session_list"];
  if (!sessions.isArray() || sessions.asArray().empty()) return "no session in " + UiStandIn::Describe(status);
  for (const PObject& s : sessions.asArray()) {
    if (s["status"].asString() != "uptodate" || s["unfinished_files"].asUInt64() != 0) {
      return "status " + UiStandIn::Describe(status);
    }
  }
  const PObject& workers = status["worker_list"];
  if (!workers.isNull() && !(workers.isArray() && workers.asArray().empty())) {
    return "workers busy: " + UiStandIn::Describe(status);
  }
  const nlohmann::json rows = Query(event_db_path(), "SELECT value FROM config_table WHERE key = 'sync_id';");
  const uint64_t head = server_->Head();
  std::string sync_id = "?";
  if (rows.is_array() && !rows.empty()) {
    const nlohmann::json& v = rows[0]["value"];
    sync_id = v.is_string() ? v.get<std::string>() : v.dump();
  }
  if (sync_id != std::to_string(head)) return "sync_id " + sync_id + ", stand-in head " + std::to_string(head);
  std::map<std::string, TreeEntry> local_tree = LocalTree();
  std::map<std::string, TreeEntry> server_tree = ServerTree();
  for (auto* tree : {&local_tree, &server_tree}) {
    for (auto it = tree->begin(); it != tree->end();) {
      bool drop = false;
      for (const std::string& p : ignored_) {
        drop = drop || it->first == p || it->first.rfind(p + "/", 0) == 0;
      }
      it = drop ? tree->erase(it) : std::next(it);
    }
  }
  const std::string diff = TreeDiff(local_tree, server_tree);
  if (!diff.empty()) return "trees differ:\n" + diff;
  return "";
}

bool SyncBed::DaemonLookedSince(size_t mark) const {
  const std::string out = daemon_->Stdout();
  if (out.size() < mark) mark = 0;  // a new daemon since: all of its output counts
  auto count = [&](const char* piece) {
    size_t n = 0;
    for (size_t at = out.find(piece, mark); at != std::string::npos; at = out.find(piece, at + 1)) ++n;
    return n;
  };
  return count("): all session is uptodate") >= 1 && count("): No incoming events") >= 2;
}

bool SyncBed::WaitDaemonLooked(int turns, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout * kSlowdown;
  for (int turn = 0; turn < turns; ++turn) {
    const size_t mark = daemon_->Stdout().size();
    while (!DaemonLookedSince(mark)) {
      if (std::chrono::steady_clock::now() >= end) {
        ADD_FAILURE() << "SyncBed: the daemon did not look " << turns << " times in " << timeout.count() << " s";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return true;
}

bool SyncBed::WaitConverged(std::chrono::seconds timeout) {
  if (timeout.count() == 0) timeout = std::chrono::seconds(60);
  timeout *= kSlowdown;
  const auto end = std::chrono::steady_clock::now() + timeout;
  constexpr size_t kNoMark = std::string::npos;
  size_t mark = kNoMark;  // the daemon's output length when convergence was first seen
  for (;;) {
    last_difference_ = ConvergedDifference();
    if (last_difference_.empty()) {
      if (mark != kNoMark && DaemonLookedSince(mark)) {
        // Everything it found since is done, and it found nothing more.
        last_difference_ = ConvergedDifference();
        if (last_difference_.empty()) return true;
        mark = kNoMark;
        continue;
      }
      if (mark == kNoMark) mark = daemon_->Stdout().size();
    } else {
      mark = kNoMark;
    }
    if (std::chrono::steady_clock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "SyncBed: not converged after " << timeout.count() << " s: " << last_difference_;
  return false;
}

void SyncBed::ExpectRecords() {
  const nlohmann::json rows = Query(event_db_path(), "SELECT path, syncID, fileCheckSum, fileType FROM event_table;");
  if (!rows.is_array()) return;
  std::map<std::string, nlohmann::json> by_path;
  for (const nlohmann::json& row : rows) by_path[row.value("path", "")] = row;
  const std::map<std::string, TreeEntry> local_tree = LocalTree();
  std::set<std::string> on_server;
  for (const ServerStandIn::Object& o : server_->List("/")) {
    on_server.insert(o.path);
    auto it = by_path.find(o.path);
    if (it == by_path.end()) {
      ADD_FAILURE() << "no record of " << o.path;
      continue;
    }
    const nlohmann::json& row = it->second;
    const std::string sync_id = row["syncID"].is_string() ? row["syncID"].get<std::string>() : row["syncID"].dump();
    EXPECT_EQ(std::to_string(o.version), sync_id) << "record of " << o.path;
    if (!o.is_dir) {
      EXPECT_EQ(o.md4, row.value("fileCheckSum", "")) << "record of " << o.path;
    }
  }
  for (const auto& [path, row] : by_path) {
    if (path == "/") continue;  // the sync folder itself
    EXPECT_TRUE(on_server.count(path) != 0 || local_tree.count(path) != 0)
        << "a record of " << path << ", which is on neither side";
  }
}

void SyncBed::ExpectNoWritesInPlace() {
  std::vector<std::string> all = carried_writes_;
  if (watch_) {
    for (const std::string& rel : watch_->Unexpected()) all.push_back(rel);
  }
  for (const std::string& rel : all) ADD_FAILURE() << "a file was written in place: " << rel;
}

void SyncBed::ExpectNothingLost() {
  std::set<std::string> found;
  testsupport::TreeSnapshot whole = TreeSnapshot::Take(view_root_);
  for (const auto& [path, e] : whole.entries()) {
    if (e.type == 'f') found.insert(e.sha256);
  }
  for (const ServerStandIn::Object& v : server_->Versions()) {
    if (v.is_dir || v.removed || v.content_path.empty()) continue;
    auto it = blob_sha_.find(v.content_path);
    if (it == blob_sha_.end()) it = blob_sha_.emplace(v.content_path, Sha256Hex(Slurp(v.content_path))).first;
    found.insert(it->second);
  }
  std::lock_guard<std::mutex> lock(ledger_mu_);
  for (const std::string& sha : ledger_) {
    EXPECT_TRUE(found.count(sha) != 0) << "a content the test put (SHA-256 " << sha << ") is on neither side";
  }
}

void SyncBed::ExpectStoreFromLedger() {
  for (const ServerStandIn::Object& v : server_->Versions()) {
    if (v.is_dir || v.removed || v.content_path.empty()) continue;
    const std::string sha = Sha256Hex(Slurp(v.content_path));
    std::lock_guard<std::mutex> lock(ledger_mu_);
    EXPECT_TRUE(ledger_.count(sha) != 0) << "the stand-in keeps a content nobody put: " << v.path << " version "
                                         << v.version;
  }
}

void SyncBed::Finish() {
  ExpectNoWritesInPlace();
  ExpectRecords();
  ExpectNothingLost();
}

std::vector<nlohmann::json> SyncBed::JournalOf(const std::string& event, const std::string& action) {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json& e : server_->Journal()) {
    if (e.value("event", "") != event) continue;
    if (!action.empty() && e.value("action", "") != action) continue;
    out.push_back(e);
  }
  return out;
}

std::vector<PObject> SyncBed::Notifications(const std::string& kind) const {
  std::vector<PObject> out;
  for (const PObject& m : ui_->messages()) {
    if (m.hasMember("notify") && m["notify"].asString() == kind.c_str()) out.push_back(m);
  }
  return out;
}

}  // namespace testsupport
