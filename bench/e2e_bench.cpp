// The whole daemon beside rsync on the work its users care about: a 1% edit
// of a 1 GiB file (spread over the file, inserted, or in one piece in its
// middle), and many small files. A timed comparison program, run by
// `make bench` (Release).
//
// Both systems work in BENCH_DIR (default build/bench-work), on one disk;
// the program first checks that 8 GiB are free there. The daemon
// (trelvik-daemon, driven over the control protocol) syncs with the
// storage-server stand-in; rsync runs as a daemon of its own on loopback.
// A counting relay in front of each server gives the wire bytes, sampled at
// each window's ends; for rsync they are checked against its --stats.
// Ratios are taken without TLS (rsync's protocol has none); the daemon's
// TLS figures are reported beside. Inputs are made before timing; runs of
// the two systems alternate, three each, and medians are reported.
//
//   e2e_bench [--cases big,insert,mid,small] [--runs N] [--small-sizes 10000,100000]
//             [--workers N] [--daemon BINARY] [--keep]
//
// --keep leaves each case's work folder (the daemon's log in its stdout,
// the stand-in's store and log) in BENCH_DIR for a look afterwards.
//
// 1 GiB, 1% edit: the window runs from the first "get_status" (polled every
// 20 ms) that lists the path among the workers to its "recent_file"; the
// stand-in's share is the sum of its request-end-to-reply-start times of the
// window, the daemon's share the rest. The latency from the edit is
// reported too. Small files: from "resume" until the other side holds every
// file and the daemon reports "uptodate" with nothing unfinished.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/command.h"
#include "support/background_process.h"
#include "support/control_requests.h"
#include "support/daemon_process_core.h"
#include "support/pki.h"
#include "support/server_stand_in_core.h"
#include "support/ui_stand_in.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::CommandResult;
using testsupport::DaemonProcessCore;
using testsupport::RunCommand;
using testsupport::ServerStandInCore;
using testsupport::UiStandIn;

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kBigSize = kGiB;
constexpr size_t kEditRun = 10486;  // 1,024 of them: 1.00% of 1 GiB
constexpr uint64_t kFreeNeeded = 8 * kGiB;
constexpr uint64_t kConnectionId = 1;
constexpr uint64_t kViewId = 1;
constexpr char kToken[] = "bench-token";

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "e2e_bench: %s\n", why.c_str());
  std::exit(1);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double MB(uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

// ------------------------------------------------------------ counting relay

// Listens on 127.0.0.1 and pumps every connection to `target`, counting the
// bytes of both directions.
class CountingRelay {
 public:
  explicit CountingRelay(int target) : target_(target) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listen_fd_, 128) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
      Die(std::string("relay: ") + std::strerror(errno));
    }
    port_ = ntohs(sa.sin_port);
    accept_ = std::thread([this] { AcceptLoop(); });
  }
  ~CountingRelay() {
    stop_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    accept_.join();
    close(listen_fd_);
    std::lock_guard<std::mutex> lock(mu_);
    for (std::thread& t : pumps_) t.join();
  }
  int port() const { return port_; }
  uint64_t total() const { return up_.load() + down_.load(); }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(static_cast<uint16_t>(target_));
      if (connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(client);
        close(server);
        continue;
      }
      // Each read is passed on at once: with Nagle's algorithm the relay
      // would hold a reply's body behind its header until the peer's
      // delayed ACK (40 ms), a wait neither endpoint causes.
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard<std::mutex> lock(mu_);
      pumps_.emplace_back([this, client, server] { Pump(client, server); });
    }
  }
  void Pump(int client, int server) {
    std::vector<char> buf(1 << 16);
    bool open[2] = {true, true};  // client -> server, server -> client
    int from[2] = {client, server}, to[2] = {server, client};
    std::atomic<uint64_t>* count[2] = {&up_, &down_};
    while ((open[0] || open[1]) && !stop_) {
      pollfd p[2];
      int n = 0, which[2];
      for (int d = 0; d < 2; ++d) {
        if (open[d]) {
          which[n] = d;
          p[n++] = {from[d], POLLIN, 0};
        }
      }
      if (poll(p, static_cast<nfds_t>(n), 200) <= 0) continue;
      for (int i = 0; i < n; ++i) {
        if (!p[i].revents) continue;
        int d = which[i];
        ssize_t got = read(from[d], buf.data(), buf.size());
        if (got <= 0) {
          open[d] = false;
          shutdown(to[d], SHUT_WR);
          continue;
        }
        count[d]->fetch_add(static_cast<uint64_t>(got));
        for (ssize_t off = 0; off < got;) {
          ssize_t w = send(to[d], buf.data() + off, static_cast<size_t>(got - off), MSG_NOSIGNAL);
          if (w <= 0) {
            open[0] = open[1] = false;
            break;
          }
          off += w;
        }
      }
    }
    close(client);
    close(server);
  }

  int target_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> up_{0}, down_{0};
  std::thread accept_;
  std::mutex mu_;
  std::vector<std::thread> pumps_;
};

// ------------------------------------------------------------------ files

// Removes a tree; what vanished meanwhile is no error.
void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void MustRun(const std::vector<std::string>& argv) {
  CommandResult r = RunCommand(argv);
  if (r.exit_code != 0) Die(argv[0] + " failed (" + std::to_string(r.exit_code) + "): " + r.err + r.out);
}

void SetOldMtime(const std::string& path) {
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  if (utimes(path.c_str(), old) != 0) Die("utimes " + path + ": " + std::strerror(errno));
}

// Reads a file once, so that every system starts from a warm cache.
void Warm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
  }
}

void CopyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) Die("copy " + from + " to " + to + ": " + ec.message());
}

// One 1% edit: in each 1 MiB stripe, kEditRun random bytes at a random
// offset (overwritten), or inserted there when `insert`.
struct Edit {
  std::vector<std::pair<uint64_t, std::string>> runs;
};

Edit MakeEdit(uint64_t seed, uint64_t file_size) {
  std::mt19937_64 rng(seed);
  Edit e;
  for (uint64_t stripe = 0; stripe + kMiB <= file_size; stripe += kMiB) {
    uint64_t off = stripe + rng() % (kMiB - kEditRun);
    std::string bytes(kEditRun, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    e.runs.emplace_back(off, std::move(bytes));
  }
  return e;
}

// One 1% edit in one piece: random bytes overwriting the middle of the file.
Edit MakeMidEdit(uint64_t seed, uint64_t file_size) {
  std::mt19937_64 rng(seed);
  const uint64_t length = file_size / 100;
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  Edit e;
  e.runs.emplace_back(file_size / 2 - length / 2, std::move(bytes));
  return e;
}

// In place: the file keeps its inode and size.
void ApplyOverwrite(const std::string& path, const Edit& e) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!f) Die("cannot open " + path);
  for (const auto& [off, bytes] : e.runs) {
    f.seekp(static_cast<std::streamoff>(off));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  f.close();
  if (f.fail()) Die("cannot write " + path);
}

// `to` becomes `from` with the runs inserted (the file grows 1%).
void WriteInserted(const std::string& from, const std::string& to, const Edit& e) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  uint64_t at = 0;
  std::vector<char> buf(1 << 20);
  auto copy = [&](uint64_t n) {
    while (n > 0) {
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, buf.size()));
      in.read(buf.data(), static_cast<std::streamsize>(chunk));
      out.write(buf.data(), in.gcount());
      if (in.gcount() == 0) return;
      n -= static_cast<uint64_t>(in.gcount());
    }
  };
  for (const auto& [off, bytes] : e.runs) {
    copy(off - at);
    at = off;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  copy(UINT64_MAX);
  out.close();
  if (out.fail()) Die("cannot write " + to);
}

// `folders` folders of 100 files of 0..8191 random bytes, fixed seed.
uint64_t MakeSmallTree(const std::string& root, int files) {
  std::mt19937_64 rng(4242);
  uint64_t bytes = 0;
  for (int i = 0; i < files; ++i) {
    std::string dir = root + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) fs::create_directories(dir);
    std::string content(rng() % 8192, '\0');
    for (char& c : content) c = static_cast<char>(rng());
    std::ofstream(dir + "/f" + std::to_string(i % 100), std::ios::binary).write(content.data(),
                                                                                 static_cast<std::streamsize>(content.size()));
    bytes += content.size();
  }
  return bytes;
}

// Files below `root` with their sizes, the working folder left out.
std::map<std::string, uint64_t> Listing(const std::string& root) {
  std::map<std::string, uint64_t> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string rel = "/" + it->path().lexically_relative(root).generic_string();
    if (rel == "/.ZarqelonWorkingDirectory") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec)) out[rel] = it->file_size(ec);
  }
  return out;
}

uint64_t VmHWMKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close_paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ------------------------------------------------------------------ rsync

struct RsyncRun {
  double seconds = 0;
  uint64_t wire = 0;  // counted by the relay
  uint64_t stats_bytes = 0;  // sent + received, by --stats
  uint64_t literal = 0, matched = 0;
};

uint64_t StatNumber(const std::string& out, const std::string& label) {
  size_t at = out.find(label);
  if (at == std::string::npos) return 0;
  std::string digits;
  for (size_t i = at + label.size(); i < out.size() && out[i] != '\n'; ++i) {
    if (std::isdigit(static_cast<unsigned char>(out[i]))) digits += out[i];
    else if (out[i] != ',' && !digits.empty()) break;
  }
  return digits.empty() ? 0 : std::strtoull(digits.c_str(), nullptr, 10);
}

class Rsync {
 public:
  explicit Rsync(const std::string& dir) : dir_(dir), module_(dir + "/module") {
    fs::create_directories(module_);
    std::string conf = dir + "/rsyncd.conf";
    std::ofstream(conf) << "use chroot = no\n"
                        << "pid file = " << dir << "/rsyncd.pid\n"
                        << "log file = " << dir << "/rsyncd.log\n"
                        << "[m]\n"
                        << "  path = " << module_ << "\n"
                        << "  read only = no\n"
                        << "  uid = " << getuid() << "\n"
                        << "  gid = " << getgid() << "\n";
    fs::remove(dir + "/rsyncd.pid");
    int port = FreePort();
    std::string error;
    if (!process_.Start({"rsync", "--daemon", "--no-detach", "--config=" + conf, "--address=127.0.0.1",
                         "--port=" + std::to_string(port)},
                        &error)) {
      Die("rsync daemon: " + error);
    }
    Clock::time_point deadline = Clock::now() + 1s;
    while (!Accepts(port)) {
      if (Clock::now() > deadline) Die("the rsync daemon does not accept within 1 s; see " + dir + "/rsyncd.log");
      std::this_thread::sleep_for(10ms);
    }
    relay_ = std::make_unique<CountingRelay>(port);
  }
  const std::string& module() const { return module_; }

  // rsync -a --stats FROM TO, one side "rsync://…/m/<path>".
  RsyncRun Run(const std::string& from, const std::string& to) {
    uint64_t before = relay_->total();
    Clock::time_point t0 = Clock::now();
    CommandResult r = RunCommand({"rsync", "-a", "--stats", from, to});
    RsyncRun run;
    run.seconds = Seconds(Clock::now() - t0);
    if (r.exit_code != 0) Die("rsync " + from + " " + to + ": " + r.err);
    run.wire = relay_->total() - before;
    run.stats_bytes = StatNumber(r.out, "Total bytes sent:") + StatNumber(r.out, "Total bytes received:");
    run.literal = StatNumber(r.out, "Literal data:");
    run.matched = StatNumber(r.out, "Matched data:");
    double off = run.stats_bytes ? std::abs(static_cast<double>(run.wire) - static_cast<double>(run.stats_bytes)) /
                                       static_cast<double>(run.stats_bytes)
                                 : 1;
    if (off > 0.01) {
      Die("the relay counted " + std::to_string(run.wire) + " bytes, rsync's --stats " +
          std::to_string(run.stats_bytes));
    }
    return run;
  }
  std::string Url(const std::string& path) const { return "rsync://127.0.0.1:" + std::to_string(relay_->port()) + "/m/" + path; }

  static std::string Version() {
    CommandResult r = RunCommand({"rsync", "--version"});
    return r.out.substr(0, r.out.find('\n'));
  }

 private:
  static int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
  }
  static bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
  }

  std::string dir_;
  std::string module_;
  testsupport::BackgroundProcess process_;
  std::unique_ptr<CountingRelay> relay_;
};

// ------------------------------------------------------------- the daemon

// The stand-in behind a counting relay, and one daemon with one session.
class DaemonSide {
 public:
  DaemonSide(const std::string& dir, const std::string& binary, bool tls, int worker_count, const std::string& seed)
      : dir_(dir) {
    fs::create_directories(dir);
    testsupport::ServerStandInOptions options;
    options.tokens = {kToken};
    options.views = {kViewId};
    options.seed = seed;
    options.expect_tls = tls;
    options.max_lifetime_s = 86400;
    options.ready_timeout_s = 600;  // the stand-in loads a seed of 100,000 files before it is ready
    options.data_dir = dir + "/server";
    options.stderr_path = dir + "/server.log";
    std::string error;
    if (!server_.Start(options, &error)) Die(error);
    relay_ = std::make_unique<CountingRelay>(server_.port());
    ui_ = std::make_unique<UiStandIn>(0, [this](const PObject& msg) {
      if (!(msg["notify"].asString() == "recent_file")) return;
      std::lock_guard<std::mutex> lock(mu_);
      recent_.emplace_back(msg["path"].asString().c_str_utf8(), Clock::now());
    });
    daemon_ = std::make_unique<DaemonProcessCore>(binary, dir);
    daemon_->Set("ui_port", std::to_string(ui_->port()));
    daemon_->Set("cert_path", testsupport::PkiPath("ca.pem"));
    daemon_->Set("worker_count", std::to_string(worker_count));
    daemon_->SetLogLevels("client_debug=4\n");
    if (!daemon_->Start({}, &error)) Die(error);
    if (ui_->daemonPort(20s) < 0) Die("the daemon did not announce itself; see " + dir + "/stdout");
    Send(testsupport::ControlRequest("link"));
    Send(testsupport::LinkConnectionRequest(kConnectionId, relay_->port(), kToken, "bench", tls));
    tls_ = tls;
  }
  ~DaemonSide() {
    ui_->stop();
    int code = 0;
    std::string error;
    if (!daemon_->WaitExit(&code, 20s, &error)) daemon_->Kill();
    std::string report = daemon_->SanitizerReport();
    if (!report.empty()) std::fprintf(stderr, "%s\n", report.c_str());
    server_.Stop(&error);
  }

  // A session on `folder`, resumed at once unless `paused`.
  void AddSession(uint64_t id, const std::string& folder, bool paused = false) {
    std::string config = dir_ + "/session-" + std::to_string(id);
    for (const char* rules : {"blacklist.filter", "whitelist.filter", "force-hash-check-list.filter"}) {
      fs::create_directories(config + "/conf");
      std::ofstream(config + "/conf/" + rules)
          << (std::string(rules) == "whitelist.filter" ? testsupport::kWhiteListEveryFile : "");
    }
    Send(testsupport::AddSessionRequest(kConnectionId, id, kViewId, config, folder));
    if (!paused) Resume(id);
    sessions_[id] = config;
  }
  void Resume(uint64_t id) { Send(testsupport::SessionRequest("resume", id)); }

  PObject Status() { return Send(testsupport::ControlRequest("get_status")); }

  // Every session up to date with nothing unfinished and no worker busy,
  // and its stored sync id the server's head, in two polls 1 s apart.
  bool WaitConverged(std::chrono::seconds timeout) {
    Clock::time_point deadline = Clock::now() + timeout;
    int good = 0;
    while (Clock::now() < deadline) {
      good = IdleAndCurrent() ? good + 1 : 0;
      if (good >= 2) return true;
      std::this_thread::sleep_for(1s);
    }
    return false;
  }
  bool Idle() {
    PObject st = Status();
    if (st["worker_list"].isArray() && !st["worker_list"].asArray().empty()) return false;
    if (!st["session_list"].isArray()) return false;
    for (const PObject& s : st["session_list"].asArray()) {
      if (!(s["status"].asString() == "uptodate") || s["unfinished_files"].asUInt64() != 0) return false;
    }
    return true;
  }
  bool IdleAndCurrent() {
    if (!Idle()) return false;
    uint64_t head = server_.Head();
    for (const auto& [id, config] : sessions_) {
      CommandResult r = RunCommand({"sqlite3", "-readonly", config + "/db/event-db.sqlite",
                                    "SELECT value FROM config_table WHERE key='sync_id'"});
      if (r.exit_code != 0 || std::strtoull(r.out.c_str(), nullptr, 10) != head) return false;
    }
    return true;
  }

  // Whether `path` is in the worker list now.
  bool Working(const std::string& path) {
    PObject st = Status();
    if (!st["worker_list"].isArray()) return false;
    for (const PObject& w : st["worker_list"].asArray()) {
      if (w["path"].asString() == path.c_str()) return true;
    }
    return false;
  }
  // The time of the first "recent_file" for `path` from index `from` on.
  std::optional<Clock::time_point> Recent(const std::string& path, size_t from) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = from; i < recent_.size(); ++i) {
      if (recent_[i].first == path) return recent_[i].second;
    }
    return std::nullopt;
  }
  size_t RecentCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return recent_.size();
  }
  // The journal's next sequence number now.
  uint64_t JournalMark() {
    uint64_t next = journal_mark_;
    server_.Journal(journal_mark_, &next);
    journal_mark_ = next;
    return next;
  }
  // The stand-in's request-end-to-reply-start times between two marks.
  double StandInSeconds(uint64_t from, uint64_t to) {
    double ms = 0;
    for (const json& e : server_.Journal(from)) {
      if (e.value("seq", uint64_t{0}) >= to) break;
      if (e.value("event", std::string()) == "reply" && e.contains("ms") && e["ms"].is_number()) {
        ms += e["ms"].get<double>();
      }
    }
    return ms / 1000;
  }

  ServerStandInCore& server() { return server_; }
  CountingRelay& relay() { return *relay_; }
  pid_t daemon_pid() const { return daemon_->pid(); }
  pid_t server_pid() { return server_pid_ ? server_pid_ : (server_pid_ = FindServerPid()); }
  bool tls() const { return tls_; }

 private:
  PObject Send(const PObject& req) {
    PObject reply;
    if (ui_->request(req, &reply) != UiStandIn::kReply) {
      Die(std::string("no reply to \"") + req["action"].asString().c_str_utf8() + "\"; see " + dir_ + "/stdout");
    }
    if (reply["error"].isString()) {
      Die(std::string("\"") + req["action"].asString().c_str_utf8() + "\" failed: " +
          reply["error"].asString().c_str_utf8());
    }
    return reply;
  }
  // The stand-in is the python process listening on its port: found by
  // its data folder in the command lines of /proc.
  pid_t FindServerPid() {
    for (const auto& e : fs::directory_iterator("/proc")) {
      std::string name = e.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream in(e.path() / "cmdline");
      std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (cmd.find("stand_in.py") != std::string::npos && cmd.find(dir_ + "/server") != std::string::npos) {
        return static_cast<pid_t>(std::atoi(name.c_str()));
      }
    }
    return 0;
  }

  std::string dir_;
  bool tls_ = false;
  ServerStandInCore server_;
  std::unique_ptr<CountingRelay> relay_;
  std::unique_ptr<UiStandIn> ui_;
  std::unique_ptr<DaemonProcessCore> daemon_;
  std::map<uint64_t, std::string> sessions_;
  std::mutex mu_;
  std::vector<std::pair<std::string, Clock::time_point>> recent_;
  uint64_t journal_mark_ = 0;
  pid_t server_pid_ = 0;
};

struct Window {
  double window = 0;       // first listed as working .. "recent_file"
  double stand_in = 0;     // the stand-in's share of it
  double latency = 0;      // edit done .. "recent_file"
  uint64_t wire = 0;       // relay bytes over the window
};

// Waits for the transfer of `path` that `edit` sets off: the window from
// the first 20-ms status poll that lists it to its "recent_file".
Window Measure(DaemonSide& side, const std::string& path, const std::function<void()>& edit) {
  size_t recent_mark = side.RecentCount();
  side.JournalMark();
  const uint64_t wire_edit = side.relay().total();
  edit();
  Clock::time_point edited = Clock::now();
  Clock::time_point deadline = edited + 600s;
  std::optional<Clock::time_point> start;
  uint64_t wire0 = 0, seq0 = 0;
  for (;;) {
    if (Clock::now() > deadline) Die("no \"recent_file\" for " + path + " within 600 s");
    if (std::optional<Clock::time_point> done = side.Recent(path, recent_mark)) {
      uint64_t wire1 = side.relay().total();
      uint64_t seq1 = side.JournalMark();
      Window w;
      if (!start) {  // done between two polls: the window is at most one poll
        start = *done;
        wire0 = wire_edit;
        seq0 = seq1;
      }
      w.window = Seconds(*done - *start);
      w.latency = Seconds(*done - edited);
      w.wire = wire1 - wire0;
      w.stand_in = side.StandInSeconds(seq0, seq1);
      return w;
    }
    if (!start && side.Working(path)) {
      start = Clock::now();
      wire0 = side.relay().total();
      seq0 = side.JournalMark();
    }
    std::this_thread::sleep_for(20ms);
  }
}

// ------------------------------------------------------------------ cases

struct Options {
  std::string dir = "build/bench-work";
  std::string binary = DAEMON_BINARY;
  std::string cases = "big,insert,small";
  int runs = 3;
  std::vector<int> small_sizes = {10000, 100000};
  int workers = 3;  // worker_count: two workers
  bool keep = false;  // leave the work folders (logs, journals) in place
  bool Has(const char* c) const { return ("," + cases + ",").find(std::string(",") + c + ",") != std::string::npos; }
};

// `wire_target`: the edit is one the daemon's smaller blocks send in fewer
// bytes than rsync's (spread over the file), so the wire ratio has a target.
void Report(const char* what, const std::vector<Window>& runs, double rsync_seconds, uint64_t rsync_wire,
            bool wire_target) {
  std::vector<double> window, share, latency, wire;
  for (const Window& w : runs) {
    window.push_back(w.window);
    share.push_back(w.stand_in);
    latency.push_back(w.latency);
    wire.push_back(static_cast<double>(w.wire));
  }
  double daemon_share = Median(window) - Median(share);
  std::printf("  %-28s window %.2f s (stand-in %.2f s, daemon %.2f s), latency from the edit %.2f s, wire %.1f MB\n",
              what, Median(window), Median(share), daemon_share, Median(latency), Median(wire) / 1e6);
  if (rsync_seconds > 0) {
    std::printf("  %-28s ratios to rsync: wire %.2fx%s, daemon's time %.2fx (target <= 1.0)\n", "",
                Median(wire) / static_cast<double>(rsync_wire), wire_target ? " (target <= 0.35)" : "",
                daemon_share / rsync_seconds);
  }
}

// How the 1 GiB file is edited: 1% in a run per MiB, overwritten or
// inserted, or 1% overwritten in one run in its middle.
enum class BigEdit { kSpread, kInsert, kMiddle };

const char* BigTitle(BigEdit kind) {
  switch (kind) {
    case BigEdit::kSpread:
      return "1 GiB, 1% edited";
    case BigEdit::kInsert:
      return "1 GiB, 1% inserted";
    case BigEdit::kMiddle:
      return "1 GiB, 1% edited in the middle";
  }
  return "";
}

void BigFile(const Options& o, BigEdit kind) {
  const bool insert = kind == BigEdit::kInsert;
  const char* title = BigTitle(kind);
  const std::string dir = o.dir + (insert ? "/insert" : kind == BigEdit::kMiddle ? "/mid" : "/big");
  RemoveTree(dir);
  fs::create_directories(dir + "/seed");
  const std::string base = dir + "/seed/big.bin";
  std::printf("%s: making the 1 GiB file\n", title);
  std::fflush(stdout);
  MustRun({"/bin/sh", "-c",
           "openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f "
           "-iv 00000000000000000000000000000000 -in /dev/zero 2>/dev/null | head -c 1073741824 > '" +
               base + "'"});
  const int runs = insert ? 1 : o.runs;

  // rsync: the local copy and the module's copy start equal.
  Rsync rsync(dir + "/rsync");
  const std::string local = dir + "/rsync-local.bin";
  CopyFile(base, local);
  CopyFile(base, rsync.module() + "/big.bin");

  // The daemon: the same file on both sides before the session starts.
  std::vector<std::unique_ptr<DaemonSide>> sides;
  for (bool tls : {false, true}) {
    std::string side_dir = dir + (tls ? "/daemon-tls" : "/daemon");
    fs::create_directories(side_dir + "/folder");
    CopyFile(base, side_dir + "/folder/big.bin");
    sides.push_back(std::make_unique<DaemonSide>(side_dir, o.binary, tls, o.workers, dir + "/seed"));
    sides.back()->AddSession(1, side_dir + "/folder");
    if (!sides.back()->WaitConverged(600s)) Die("the daemon did not take up the 1 GiB file; see " + side_dir);
  }
  Warm(base);

  std::vector<RsyncRun> push, pull;
  std::map<bool, std::vector<Window>> up, down;
  uint64_t seed = insert ? 1000 : 1;
  const auto make_edit = [&](uint64_t s) {
    return kind == BigEdit::kMiddle ? MakeMidEdit(s, kBigSize) : MakeEdit(s, kBigSize);
  };
  for (int run = 0; run < runs; ++run, ++seed) {
    // Upload: the edit in the local file.
    Edit edit = make_edit(seed);
    auto edit_local = [&](const std::string& file) {
      if (insert) {
        WriteInserted(file, file + ".new", edit);
        fs::rename(file + ".new", file);
      } else {
        ApplyOverwrite(file, edit);
      }
    };
    edit_local(local);
    SetOldMtime(rsync.module() + "/big.bin");
    push.push_back(rsync.Run(local, rsync.Url("big.bin")));
    for (auto& side : sides) {
      std::string file = (side->tls() ? dir + "/daemon-tls" : dir + "/daemon") + "/folder/big.bin";
      up[side->tls()].push_back(Measure(*side, "/big.bin", [&] { edit_local(file); }));
      side->WaitConverged(600s);
    }
    // Download: the next edit on the servers.
    Edit edit2 = make_edit(seed + 500);
    auto edit_remote = [&](const std::string& file) {
      if (insert) {
        WriteInserted(file, file + ".new", edit2);
        fs::rename(file + ".new", file);
      } else {
        ApplyOverwrite(file, edit2);
      }
    };
    edit_remote(rsync.module() + "/big.bin");
    SetOldMtime(local);
    pull.push_back(rsync.Run(rsync.Url("big.bin"), local));
    for (auto& side : sides) {
      std::string side_dir = side->tls() ? dir + "/daemon-tls" : dir + "/daemon";
      std::string mirror = side_dir + "/mirror.bin";
      CopyFile(side_dir + "/folder/big.bin", mirror);
      edit_remote(mirror);
      down[side->tls()].push_back(Measure(*side, "/big.bin", [&] { side->server().PutFile("/big.bin", mirror); }));
      side->WaitConverged(600s);
      fs::remove(mirror);
    }
  }

  std::vector<double> push_s, pull_s;
  for (const RsyncRun& r : push) push_s.push_back(r.seconds);
  for (const RsyncRun& r : pull) pull_s.push_back(r.seconds);
  std::printf("%s, %d run(s) each way (medians)\n", title, runs);
  std::printf("  rsync push                   %.2f s, %.1f MB on the wire (--stats %.1f MB, literal %.1f MB, matched %.1f MB)\n",
              Median(push_s), MB(push.back().wire), MB(push.back().stats_bytes), MB(push.back().literal),
              MB(push.back().matched));
  std::printf("  rsync pull                   %.2f s, %.1f MB on the wire (literal %.1f MB)\n", Median(pull_s),
              MB(pull.back().wire), MB(pull.back().literal));
  const bool wire_target = kind != BigEdit::kMiddle;
  Report("daemon upload", up[false], Median(push_s), push.back().wire, wire_target);
  Report("daemon download", down[false], Median(pull_s), pull.back().wire, wire_target);
  Report("daemon upload, TLS", up[true], 0, 0, false);
  Report("daemon download, TLS", down[true], 0, 0, false);
  for (auto& side : sides) {
    std::printf("  daemon%s VmHWM %.1f MiB\n", side->tls() ? " (TLS)" : "",
                static_cast<double>(VmHWMKiB(side->daemon_pid())) / 1024);
  }
  std::fflush(stdout);
  sides.clear();
  if (!o.keep) RemoveTree(dir);
}

void SmallFiles(const Options& o, int files, int workers) {
  const std::string dir = o.dir + "/small";
  RemoveTree(dir);
  const std::string tree = dir + "/tree";
  uint64_t bytes = MakeSmallTree(tree, files);
  std::printf("%d small files in %d folders, %.0f MB, worker_count %d\n", files, files / 100, MB(bytes), workers);
  std::fflush(stdout);
  Rsync rsync(dir + "/rsync");
  std::vector<double> push_s, pull_s, up_s, down_s;
  uint64_t push_wire = 0, pull_wire = 0, up_wire = 0, down_wire = 0;
  uint64_t hwm_up = 0, hwm_down = 0;
  double server_cpu = 0, server_wall = 0, server_cpu_down = 0, server_wall_down = 0;
  for (int run = 0; run < o.runs; ++run) {
    RemoveTree(rsync.module() + "/tree");
    RsyncRun p = rsync.Run(tree, rsync.Url(""));
    push_s.push_back(p.seconds);
    push_wire = p.wire;
    RemoveTree(dir + "/pulled");
    fs::create_directories(dir + "/pulled");
    RsyncRun q = rsync.Run(rsync.Url("tree"), dir + "/pulled");
    pull_s.push_back(q.seconds);
    pull_wire = q.wire;

    // Upload: a session on the filled folder, an empty server.
    std::string up_dir = dir + "/daemon-up";
    RemoveTree(up_dir);
    fs::create_directories(up_dir);
    fs::rename(tree, up_dir + "/folder");
    {
      DaemonSide side(up_dir, o.binary, false, workers, "");
      side.AddSession(1, up_dir + "/folder", true);
      uint64_t wire0 = side.relay().total();
      double cpu0 = CpuSeconds(side.server_pid());
      Clock::time_point t0 = Clock::now();
      side.Resume(1);
      for (;;) {
        if (Seconds(Clock::now() - t0) > 3600) Die("the upload of the small files took over an hour");
        std::this_thread::sleep_for(200ms);
        if (side.server().Head() < static_cast<uint64_t>(files + files / 100)) continue;
        if (side.Idle()) break;
      }
      up_s.push_back(Seconds(Clock::now() - t0));
      up_wire = side.relay().total() - wire0;
      server_cpu = CpuSeconds(side.server_pid()) - cpu0;
      server_wall = up_s.back();
      hwm_up = VmHWMKiB(side.daemon_pid());
      if (side.server().List("/").size() != static_cast<size_t>(files + files / 100)) {
        Die("the server does not hold every file after the upload");
      }

    }
    fs::rename(up_dir + "/folder", tree);
    {
      // Download: a new daemon with a session on an empty folder, and a
      // server seeded with the tree.
      std::string down_dir = dir + "/daemon-down";
      RemoveTree(down_dir);
      fs::create_directories(down_dir + "/folder");
      DaemonSide side(down_dir, o.binary, false, workers, tree);
      side.AddSession(1, down_dir + "/folder", true);
      uint64_t wire0 = side.relay().total();
      double cpu0 = CpuSeconds(side.server_pid());
      Clock::time_point t0 = Clock::now();
      side.Resume(1);
      for (;;) {
        if (Seconds(Clock::now() - t0) > 3600) Die("the download of the small files took over an hour");
        std::this_thread::sleep_for(500ms);
        if (!side.Idle()) continue;
        if (Listing(down_dir + "/folder").size() == static_cast<size_t>(files)) break;
      }
      down_s.push_back(Seconds(Clock::now() - t0));
      down_wire = side.relay().total() - wire0;
      server_cpu_down = CpuSeconds(side.server_pid()) - cpu0;
      server_wall_down = down_s.back();
      hwm_down = VmHWMKiB(side.daemon_pid());
      if (Listing(down_dir + "/folder") != Listing(tree)) Die("the downloaded tree differs from the original");
    }
    // After the daemon has ended: it removes its own files as it stops.
    if (!o.keep) RemoveTree(dir + "/daemon-down");
  }
  double n = files;
  std::printf("  rsync push     %.2f s, %.0f files/s, %.1f MB on the wire\n", Median(push_s), n / Median(push_s),
              MB(push_wire));
  std::printf("  rsync pull     %.2f s, %.0f files/s, %.1f MB on the wire\n", Median(pull_s), n / Median(pull_s),
              MB(pull_wire));
  std::printf("  daemon upload  %.2f s, %.0f files/s (%.3fx rsync, target >= 0.05), %.1f MB on the wire, %.2f ms/file, VmHWM %.1f MiB\n",
              Median(up_s), n / Median(up_s), Median(push_s) / Median(up_s), MB(up_wire), Median(up_s) * 1000 / n,
              static_cast<double>(hwm_up) / 1024);
  std::printf("  daemon download %.2f s, %.0f files/s (%.3fx rsync, target >= 0.05), %.1f MB on the wire, %.2f ms/file, VmHWM %.1f MiB\n",
              Median(down_s), n / Median(down_s), Median(pull_s) / Median(down_s), MB(down_wire),
              Median(down_s) * 1000 / n, static_cast<double>(hwm_down) / 1024);
  for (auto [what, cpu, wall] : {std::tuple("upload", server_cpu, server_wall),
                                  std::tuple("download", server_cpu_down, server_wall_down)}) {
    std::printf("  stand-in CPU during the last %s: %.1f s of %.1f s wall (%.0f%% of a core)%s\n", what, cpu, wall,
                100 * cpu / wall, cpu > 0.9 * wall ? ": it saturates a core" : "");
  }
  std::fflush(stdout);
  if (!o.keep) RemoveTree(dir);
}

std::vector<int> Numbers(const std::string& list) {
  std::vector<int> out;
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const char* d = std::getenv("BENCH_DIR"); d != nullptr && *d) o.dir = d;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--cases") o.cases = next();
    else if (a == "--runs") o.runs = std::atoi(next().c_str());
    else if (a == "--small-sizes") o.small_sizes = Numbers(next());
    else if (a == "--workers") o.workers = std::atoi(next().c_str());
    else if (a == "--daemon") o.binary = next();
    else if (a == "--keep") o.keep = true;
    else Die("usage: e2e_bench [--cases big,insert,mid,small] [--runs N] [--small-sizes 10000,100000] [--workers N] [--daemon BINARY] [--keep]");
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  o.dir = fs::absolute(o.dir).lexically_normal().string();
  if (o.dir.back() == '/') o.dir.pop_back();
  struct statvfs vfs;
  if (statvfs(o.dir.c_str(), &vfs) != 0) Die("statvfs " + o.dir + ": " + std::strerror(errno));
  uint64_t free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  if (free_bytes < kFreeNeeded) {
    std::printf("e2e_bench: NOT RUN: %.1f GiB free in %s, 8 GiB needed (set BENCH_DIR to a larger disk)\n",
                static_cast<double>(free_bytes) / kGiB, o.dir.c_str());
    return 0;
  }
  std::printf("e2e_bench in %s (%.0f GiB free), %u cores; %s\n", o.dir.c_str(), static_cast<double>(free_bytes) / kGiB,
              std::thread::hardware_concurrency(), Rsync::Version().c_str());
  if (o.Has("big")) BigFile(o, BigEdit::kSpread);
  if (o.Has("insert")) BigFile(o, BigEdit::kInsert);
  if (o.Has("mid")) BigFile(o, BigEdit::kMiddle);
  if (o.Has("small")) {
    for (int files : o.small_sizes) SmallFiles(o, files, o.workers);
    if (o.Has("workers9")) SmallFiles(o, o.small_sizes.back(), 9);
  }
  return 0;
}
