// sync-demo: two daemons, "alice" and "bob", keep two folders in step
// through one storage-server stand-in, and the terminal says what happens.
//
//   sync-demo [--dir DIR] [--daemon BINARY]
//   sync-demo --self-test [--daemon BINARY]
//
// The demonstration works in DIR (default run/demo, emptied first): the
// stand-in's store in DIR/server, each daemon's folder (configuration, pid
// file, databases, session configuration, "stdout" holding its log,
// "stderr") in DIR/daemons/<name>, the synced folders DIR/alice and DIR/bob.
// It prints one line per event until Ctrl-C, then stops both daemons and the
// stand-in. The daemons and the stand-in run in process groups of their own,
// so that Ctrl-C reaches this program alone.
//
// --self-test runs the same in a temporary folder, carries out the steps the
// demonstration suggests (a new file, a 1 MB edit of the large file, a
// removal that lands in the other side's recycle folder, an edit of one file
// on both sides) and checks the outcome within 120 s. Exit status 0 when it
// holds, 1 when not (the reason on standard error), 2 for a usage error.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
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
#include <vector>

#include "support/control_requests.h"
#include "support/daemon_process_core.h"
#include "support/pki.h"
#include "support/server_stand_in_core.h"
#include "support/temp_dir_core.h"
#include "support/ui_stand_in.h"
#include "transport/error_code.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::ControlRequest;
using testsupport::DaemonProcessCore;
using testsupport::ServerStandInCore;
using testsupport::UiStandIn;

constexpr uint64_t kConnectionId = 1;
constexpr uint64_t kSessionId = 1;
constexpr uint64_t kViewId = 1;
constexpr size_t kBigFileSize = 64u << 20;
constexpr char kWorkingFolder[] = ".ZarqelonWorkingDirectory";
constexpr char kRecycleFolder[] = ".ZarqelonWorkingDirectory/#ZarqRecycle";
constexpr auto kSelfTestLimit = 120s;

// ---------------------------------------------------------------- output

// Lines come from the user-interface stand-ins' threads and the main
// thread; each is written whole.
std::mutex g_print_mu;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_print_mu);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm;
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
  return buf;
}

// "12:00:03 bob    synced   /notes.txt"
std::string EventLine(const std::string& who, const std::string& what, const std::string& rest) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %-6s %-8s ", Now().c_str(), who.c_str(), what.c_str());
  return buf + rest;
}

std::string Size(uint64_t bytes) {
  char buf[32];
  double mb = static_cast<double>(bytes) / (1 << 20);
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < (1u << 20)) {
    std::snprintf(buf, sizeof buf, "%.1f KB", static_cast<double>(bytes) / 1024);
  } else if (mb < 10) {
    std::snprintf(buf, sizeof buf, "%.1f MB", mb);
  } else {
    std::snprintf(buf, sizeof buf, "%.0f MB", mb);
  }
  return buf;
}

// ----------------------------------------------------------------- files

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string RandomBytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng();
    std::memcpy(&bytes[i], &v, std::min<size_t>(8, n - i));
  }
  return bytes;
}

// A synced folder's content: path -> bytes ("/" + "d" marks a folder), the
// working folder left out.
using Tree = std::map<std::string, std::string>;

Tree TakeTree(const std::string& root) {
  Tree tree;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string rel = "/" + it->path().lexically_relative(root).generic_string();
    if (rel == std::string("/") + kWorkingFolder) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory(ec)) {
      tree[rel] = "/d";
    } else if (it->is_regular_file(ec)) {
      tree[rel] = ReadFile(it->path()).value_or("/unreadable");
    }
  }
  return tree;
}

// The paths of one tree that the other lacks or holds otherwise, a few.
std::string TreeDiff(const Tree& a, const Tree& b) {
  std::string out;
  int shown = 0;
  for (const auto& [path, bytes] : a) {
    auto it = b.find(path);
    if (it == b.end() || it->second != bytes) {
      if (++shown > 5) break;
      out += " " + path + (it == b.end() ? " (alice only)" : " (differs)");
    }
  }
  for (const auto& [path, bytes] : b) {
    if (a.count(path) == 0 && ++shown <= 5) out += " " + path + " (bob only)";
  }
  return out;
}

// ----------------------------------------------------------- the daemons

// One daemon with its user-interface stand-in, its session and its folder.
struct Peer {
  std::string name;
  std::string token;
  std::string sync_folder;
  std::unique_ptr<UiStandIn> ui;
  std::unique_ptr<DaemonProcessCore> daemon;
  std::string last_status;  // the last status line printed
  bool up_to_date = false;  // as the last "get_status" said
};

// Sends `req`; the reply, or an error text.
bool Send(Peer& peer, const PObject& req, PObject* reply, std::string* error) {
  PObject local;
  PObject* r = reply != nullptr ? reply : &local;
  UiStandIn::RequestResult rc = peer.ui->request(req, r);
  std::string action = req["action"].asString().c_str_utf8();
  if (rc != UiStandIn::kReply) {
    *error = peer.name + ": \"" + action + "\" got no reply (" + std::to_string(rc) + ")";
    return false;
  }
  if ((*r)["error"].isString()) {
    *error = peer.name + ": \"" + action + "\" failed: " + (*r)["error"].asString().c_str_utf8();
    return false;
  }
  return true;
}

// A notification as one line: "synced", "removed", "error", "syncing" is
// left out (the status line counts those).
std::optional<std::string> NotificationLine(const std::string& who, const PObject& msg) {
  std::string notify = msg["notify"].asString().c_str_utf8();
  std::string path = msg["path"].asString().c_str_utf8();
  if (notify == "recent_file") {
    int type = msg["event_type"].asInt32();
    return EventLine(who, type == 2 ? "removed" : "synced", path);
  }
  if (notify == "error") {
    int64_t code = UiStandIn::ErrorType(msg);
    std::string where = msg.hasMember("connection_id") ? "connection" : "session";
    return EventLine(who, "error", where + ": " + GetErrorString(static_cast<int>(code)) + " (" +
                                       std::to_string(code) + ")");
  }
  if (notify == "locked_file") return EventLine(who, "locked", path);
  return std::nullopt;
}

class Demo {
 public:
  Demo(std::string root, std::string binary, bool self_test)
      : root_(std::move(root)), binary_(std::move(binary)), self_test_(self_test) {}

  // Starts the stand-in and both daemons and links them. false with *error.
  bool Start(std::string* error);
  // One round: notifications, status, journal. Returns at once.
  void Poll();
  // Stops the daemons ("stop", else killed) and the stand-in. One closing line.
  bool Stop();

  bool BothUpToDate() const { return peers_[0].up_to_date && peers_[1].up_to_date; }
  // Both folders and the server hold the same, and both daemons are idle.
  bool Converged(std::string* why);
  const std::string& Folder(int i) const { return peers_[i].sync_folder; }
  const std::string& root() const { return root_; }
  // Journal events seen so far.
  const std::vector<json>& journal() const { return journal_; }
  void TakeNotifications(std::vector<std::string>* lines);

 private:
  bool StartPeer(Peer& peer, std::string* error);
  void PollStatus(Peer& peer);
  void PollJournal();

  std::string root_;
  std::string binary_;
  bool self_test_;
  ServerStandInCore server_;
  Peer peers_[2];
  std::mutex lines_mu_;
  std::deque<std::string> lines_;  // notifications from the stand-ins' threads
  uint64_t journal_next_ = 0;
  std::vector<json> journal_;
  std::map<uint64_t, json> pending_;  // connection -> its last request
  Clock::time_point last_status_{};  // the clock's epoch: the first poll asks at once
};

bool Demo::Start(std::string* error) {
  // The server's folder, seeded with two files.
  testsupport::TempDir seed;
  if (!WriteFile(seed.path() + "/Welcome.txt",
                 "Welcome! This file came from the server to both folders.\n") ||
      !WriteFile(seed.path() + "/Shared/plan.md", "# Plan\n\n- keep two folders in step\n")) {
    *error = "cannot write the server's seed files";
    return false;
  }
  peers_[0].name = "alice";
  peers_[1].name = "bob";
  for (Peer& p : peers_) {
    p.token = p.name + "-token";
    p.sync_folder = root_ + "/" + p.name;
  }
  testsupport::ServerStandInOptions options;
  options.tokens = {peers_[0].token, peers_[1].token};
  options.views = {kViewId};
  options.seed = seed.path();
  options.expect_tls = true;
  options.max_lifetime_s = 86400;
  options.data_dir = root_ + "/server";
  options.own_process_group = true;
  options.stderr_path = root_ + "/server.log";
  if (!server_.Start(options, error)) return false;
  Print("sync-demo: the server stand-in listens on 127.0.0.1:" + std::to_string(server_.port()) +
        " (TLS, \"server.test\"); its store is " + options.data_dir);

  // alice starts with a small note and a 64 MiB file; bob with nothing.
  if (!WriteFile(peers_[0].sync_folder + "/notes.txt", "Notes of alice.\n") ||
      !WriteFile(peers_[0].sync_folder + "/photos/big.bin", RandomBytes(kBigFileSize, 2718)) ||
      !fs::create_directories(peers_[1].sync_folder)) {
    *error = "cannot write the sync folders in " + root_;
    return false;
  }
  for (Peer& p : peers_) {
    if (!StartPeer(p, error)) return false;
  }
  return true;
}

bool Demo::StartPeer(Peer& peer, std::string* error) {
  std::string folder = root_ + "/daemons/" + peer.name;
  std::string session_config = folder + "/session";
  for (const char* rules : {"blacklist.filter", "whitelist.filter", "force-hash-check-list.filter"}) {
    std::string text = std::string(rules) == "whitelist.filter" ? testsupport::kWhiteListEveryFile : "";
    if (!WriteFile(session_config + "/conf/" + rules, text)) {
      *error = "cannot write the rule files in " + session_config;
      return false;
    }
  }
  std::string who = peer.name;
  peer.ui = std::make_unique<UiStandIn>(0, [this, who](const PObject& msg) {
    std::optional<std::string> line = NotificationLine(who, msg);
    if (!line) return;
    std::lock_guard<std::mutex> lock(lines_mu_);
    lines_.push_back(*line);
  });
  if (peer.ui->port() < 0) {
    *error = peer.name + "'s user-interface stand-in: " + peer.ui->error();
    return false;
  }
  peer.daemon = std::make_unique<DaemonProcessCore>(binary_, folder);
  peer.daemon->Set("ui_port", std::to_string(peer.ui->port()));
  peer.daemon->Set("cert_path", testsupport::PkiPath("ca.pem"));
  peer.daemon->SetOwnProcessGroup(true);
  if (!peer.daemon->Start({}, error)) return false;
  if (peer.ui->daemonPort(20s) < 0) {
    *error = peer.name + "'s daemon did not announce itself within 20 s; see " + folder + "/stdout and " + folder +
             "/stderr";
    return false;
  }
  PObject conn = testsupport::LinkConnectionRequest(kConnectionId, server_.port(), peer.token, peer.name, true);
  PObject session =
      testsupport::AddSessionRequest(kConnectionId, kSessionId, kViewId, session_config, peer.sync_folder);
  PObject resume = testsupport::SessionRequest("resume", kSessionId);
  for (const PObject& req : {ControlRequest("link"), conn, session, resume}) {
    if (!Send(peer, req, nullptr, error)) return false;
  }
  Print(EventLine(peer.name, "started", peer.sync_folder + " (daemon pid " + std::to_string(peer.daemon->pid()) +
                                            ", log in " + folder + "/stdout)"));
  return true;
}

void Demo::TakeNotifications(std::vector<std::string>* lines) {
  std::lock_guard<std::mutex> lock(lines_mu_);
  lines->assign(lines_.begin(), lines_.end());
  lines_.clear();
}

void Demo::Poll() {
  std::vector<std::string> lines;
  TakeNotifications(&lines);
  for (const std::string& l : lines) Print(l);
  PollJournal();
  if (Clock::now() - last_status_ >= 1s) {
    last_status_ = Clock::now();
    for (Peer& p : peers_) PollStatus(p);
  }
}

void Demo::PollStatus(Peer& peer) {
  if (!peer.daemon->running()) return;
  PObject reply;
  std::string error;
  std::string line;
  if (!Send(peer, ControlRequest("get_status"), &reply, &error)) {
    line = error;
    peer.up_to_date = false;
  } else {
    const PObject& sessions = reply["session_list"];
    std::string status = "no session";
    uint64_t left = 0;
    if (sessions.isArray() && !sessions.asArray().empty()) {
      status = sessions.asArray()[0]["status"].asString().c_str_utf8();
      left = sessions.asArray()[0]["unfinished_files"].asUInt64();
    }
    bool busy = reply["worker_list"].isArray() && !reply["worker_list"].asArray().empty();
    peer.up_to_date = status == "uptodate" && left == 0 && !busy;
    if (peer.up_to_date) {
      line = peer.name + ": up to date";
    } else if (status == "no session") {
      line = peer.name + ": no session";
    } else if (status == "uptodate") {
      line = peer.name + ": syncing";
    } else {
      line = peer.name + ": " + status + ", " + std::to_string(left) + " left";
    }
    const PObject& conns = reply["connection_list"];
    if (conns.isArray() && !conns.asArray().empty() && !(conns.asArray()[0]["status"].asString() == "connected")) {
      line += " (server disconnected)";
    }
  }
  if (line != peer.last_status) {
    peer.last_status = line;
    Print(Now() + " " + line);
  }
}

void Demo::PollJournal() {
  std::vector<json> events = server_.Journal(journal_next_, &journal_next_);
  for (std::string& e : server_.TakeErrors()) Print("sync-demo: server stand-in: " + e);
  for (json& e : events) {
    journal_.push_back(e);
    uint64_t conn = e.value("conn", uint64_t{0});
    std::string event = e.value("event", std::string());
    if (event == "request") {
      pending_[conn] = e.value("request", json::object());
      continue;
    }
    if (event != "reply" || !e["error"].is_null()) continue;
    auto it = pending_.find(conn);
    if (it == pending_.end()) continue;
    const json& req = it->second;
    std::string action = e.value("action", std::string());
    std::string token = req.value("session", std::string());
    std::string who = token.substr(0, token.find('-'));
    std::string path = req.value("path", std::string());
    const json& file = req.contains("file") && req["file"].is_object() ? req["file"] : json::object();
    const json& summary = e.contains("summary") && e["summary"].is_object() ? e["summary"] : json::object();
    std::string line;
    if ((action == "upload" || action == "resume_upload") && !req.value("dry_run", 0) &&
        req.value("is_dir", 0) == 0) {
      uint64_t size = file.value("size", uint64_t{0});
      uint64_t sent = 0;
      if (file.contains("data") && file["data"].is_object()) sent = file["data"].value("binary", uint64_t{0});
      if (file.value("refer", 0)) {
        line = who + " uploaded " + path + ", nothing sent for " + Size(size) + " (the server has the bytes)";
      } else {
        line = who + " uploaded " + path + ", " + Size(sent) + " sent for " + Size(size) +
               (file.value("is_delta", 0) ? " (delta)" : "");
      }
    } else if (action == "resume_download" && !summary.value("current", false)) {
      if (summary.value("refer", false)) {
        line = who + " downloaded " + path + " (no body: the bytes were there)";
      } else {
        line = who + " downloaded " + path + (summary.contains("body")
                                                   ? ", " + Size(summary.value("body", uint64_t{0})) + " sent"
                                                   : std::string()) +
               (summary.value("delta", false) ? " (delta)" : "");
      }
    } else if (action == "remove") {
      line = who + " removed " + path;
    }
    if (!line.empty()) Print(Now() + " server: " + line);
  }
}

bool Demo::Converged(std::string* why) {
  if (!BothUpToDate()) {
    *why = "the daemons are not both up to date: " + peers_[0].last_status + "; " + peers_[1].last_status;
    return false;
  }
  Tree a = TakeTree(peers_[0].sync_folder), b = TakeTree(peers_[1].sync_folder);
  if (a != b) {
    *why = "the folders differ:" + TreeDiff(a, b);
    return false;
  }
  std::vector<ServerStandInCore::Object> listing = server_.List("/");
  for (std::string& e : server_.TakeErrors()) Print("sync-demo: server stand-in: " + e);
  size_t files = 0;
  for (const ServerStandInCore::Object& o : listing) {
    auto it = a.find(o.path);
    if (it == a.end() || (o.is_dir != (it->second == "/d")) || (!o.is_dir && it->second.size() != o.size)) {
      *why = "the server's " + o.path + " is not in the folders";
      return false;
    }
    ++files;
  }
  if (files != a.size()) {
    *why = "the folders hold " + std::to_string(a.size()) + " entries, the server " + std::to_string(files);
    return false;
  }
  return true;
}

bool Demo::Stop() {
  bool clean = true;
  std::string summary;
  for (Peer& p : peers_) {
    if (!p.daemon || !p.daemon->running()) continue;
    std::string how;
    int code = -1;
    std::string error;
    if (p.ui->stop() && p.daemon->WaitExit(&code, 10s, &error)) {
      how = code == 0 ? "stopped" : "exited with status " + std::to_string(code);
      clean = clean && code == 0;
    } else {
      p.daemon->Kill();
      how = "did not stop within 10 s: killed";
      clean = false;
    }
    std::string report = p.daemon->SanitizerReport();
    if (!report.empty()) {
      Print("sync-demo: " + p.name + "'s daemon reported:\n" + report);
      clean = false;
    }
    summary += (summary.empty() ? "" : ", ") + p.name + " " + how;
  }
  std::string error;
  if (server_.running()) {
    bool ok = server_.Stop(&error);
    summary += (summary.empty() ? "" : ", ") + std::string("server ") + (ok ? "stopped" : error);
    clean = clean && ok;
  }
  Print("sync-demo: " + (summary.empty() ? std::string("nothing was running") : summary) +
        (self_test_ ? "" : "; the folders and logs stay in " + root_));
  return clean;
}

// ------------------------------------------------------------- self-test

// Polls the demonstration until `done` holds or the deadline passes.
bool RunUntil(Demo& demo, Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    demo.Poll();
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
}

bool HasConflictCopy(const std::string& folder, std::string* name) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder + "/Shared", ec)) {
    std::string n = e.path().filename().string();
    if (n.rfind("plan_", 0) == 0 && n.find("_Conflict") != std::string::npos) {
      *name = n;
      return true;
    }
  }
  return false;
}

bool RecycledHolds(const std::string& folder, const std::string& bytes) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder + "/" + kRecycleFolder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec) && ReadFile(it->path()) == bytes) return true;
  }
  return false;
}

int SelfTest(Demo& demo) {
  const Clock::time_point deadline = Clock::now() + kSelfTestLimit;
  std::string why;
  auto fail = [&](const std::string& step) {
    std::fprintf(stderr, "sync-demo: self-test failed: %s: %s\n", step.c_str(), why.c_str());
    return 1;
  };
  auto converged = [&] { return demo.Converged(&why); };
  const std::string alice = demo.Folder(0), bob = demo.Folder(1);

  if (!RunUntil(demo, deadline, converged)) return fail("first convergence");
  if (!fs::exists(bob + "/photos/big.bin") || !fs::exists(alice + "/Shared/plan.md")) {
    why = "the first files did not cross";
    return fail("first convergence");
  }
  Print("sync-demo: self-test: converged; a new file in alice");
  WriteFile(alice + "/hello.txt", "hello\n");
  if (!RunUntil(demo, deadline, [&] { return ReadFile(bob + "/hello.txt") == "hello\n" && converged(); })) {
    return fail("hello.txt to bob");
  }

  Print("sync-demo: self-test: 1 MB written into alice's photos/big.bin");
  size_t journal_mark = demo.journal().size();
  {
    std::fstream f(alice + "/photos/big.bin", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(10 << 20);
    std::string mb = RandomBytes(1 << 20, 31415);
    f.write(mb.data(), static_cast<std::streamsize>(mb.size()));
  }
  const std::string edited = ReadFile(alice + "/photos/big.bin").value_or("");
  if (!RunUntil(demo, deadline, [&] { return ReadFile(bob + "/photos/big.bin") == edited && converged(); })) {
    return fail("the edit of big.bin to bob");
  }
  uint64_t body = UINT64_MAX;
  for (size_t i = journal_mark; i < demo.journal().size(); ++i) {
    const json& e = demo.journal()[i];
    if (e.value("event", "") != "request" || !e.contains("request")) continue;
    const json& r = e["request"];
    if (r.value("path", "") == "/photos/big.bin" && r.contains("file") && r["file"].value("is_delta", 0) &&
        r["file"].contains("data") && r["file"]["data"].is_object()) {
      body = std::min(body, r["file"]["data"].value("binary", UINT64_MAX));
    }
  }
  if (body > (3u << 20)) {
    why = body == UINT64_MAX ? "no delta upload of /photos/big.bin in the journal"
                             : "the delta upload of /photos/big.bin sent " + Size(body);
    return fail("the 1 MB edit as a delta");
  }

  Print("sync-demo: self-test: notes.txt removed in bob");
  const std::string notes = ReadFile(bob + "/notes.txt").value_or("");
  fs::remove(bob + "/notes.txt");
  if (!RunUntil(demo, deadline, [&] {
        return !fs::exists(alice + "/notes.txt") && RecycledHolds(alice, notes) && converged();
      })) {
    if (why.empty() || fs::exists(alice + "/notes.txt")) why = "alice still has notes.txt";
    else if (!RecycledHolds(alice, notes)) why = "notes.txt is not in alice's recycle folder";
    return fail("the removal to alice's recycle folder");
  }

  Print("sync-demo: self-test: Shared/plan.md edited in both");
  WriteFile(alice + "/Shared/plan.md", "# Plan\n\nalice's edit\n");
  WriteFile(bob + "/Shared/plan.md", "# Plan\n\nbob's edit\n");
  std::string copy_a, copy_b;
  if (!RunUntil(demo, deadline, [&] {
        return HasConflictCopy(alice, &copy_a) && HasConflictCopy(bob, &copy_b) && converged();
      })) {
    if (!HasConflictCopy(alice, &copy_a) || !HasConflictCopy(bob, &copy_b)) why = "no conflict copy on both sides";
    return fail("the edit on both sides");
  }
  Print("sync-demo: self-test: passed (conflict copy " + copy_a + ")");
  return 0;
}

// ------------------------------------------------------------------ main

int Usage() {
  std::fprintf(stderr, "usage: sync-demo [--dir DIR] [--daemon BINARY]\n"
                       "       sync-demo --self-test [--daemon BINARY]\n");
  return 2;
}

void PrintWhatToTry(const std::string& rel) {
  Print("");
  Print("Both folders are up to date. Try, in another terminal:");
  Print("  echo hello > " + rel + "/alice/hello.txt");
  Print("      appears in " + rel + "/bob within about 10 s;");
  Print("  dd if=/dev/urandom of=" + rel + "/alice/photos/big.bin bs=1M count=1 seek=10 conv=notrunc");
  Print("      goes up as a delta of about 1 MB, not the whole 64 MB;");
  Print("  rm " + rel + "/bob/notes.txt");
  Print("      goes from alice too, into " + rel + "/alice/" + kRecycleFolder + ";");
  Print("  edit one file in both folders within a few seconds, e.g. Shared/plan.md:");
  Print("      a \"_Conflict\" copy appears in both.");
  Print("The daemons' logs: " + rel + "/daemons/alice/stdout and " + rel + "/daemons/bob/stdout.");
  Print("Ctrl-C stops everything.");
  Print("");
}

}  // namespace

int main(int argc, char** argv) {
  bool self_test = false;
  std::string dir = "run/demo";
  std::string binary = DAEMON_BINARY;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--self-test") {
      self_test = true;
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--daemon" && i + 1 < argc) {
      binary = argv[++i];
    } else {
      return Usage();
    }
  }

  // Taken by sigtimedwait below only; blocked before any thread starts, so
  // that no thread of this program ends by them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::optional<testsupport::TempDir> temp;
  std::string root;
  if (self_test) {
    temp.emplace();
    root = temp->path();
  } else {
    std::error_code ec;
    root = fs::absolute(dir, ec).lexically_normal().string();
    if (!root.empty() && root.back() == '/') root.pop_back();
    if (fs::exists(root, ec)) {
      Print("sync-demo: removing " + dir + " from an earlier run");
      fs::remove_all(root, ec);
      if (ec) {
        std::fprintf(stderr, "sync-demo: cannot remove %s: %s\n", root.c_str(), ec.message().c_str());
        return 1;
      }
    }
    fs::create_directories(root, ec);
  }

  Demo demo(root, binary, self_test);
  std::string error;
  if (!demo.Start(&error)) {
    std::fprintf(stderr, "sync-demo: %s\n", error.c_str());
    demo.Stop();
    return 1;
  }

  int result = 0;
  if (self_test) {
    result = SelfTest(demo);
  } else {
    Print("sync-demo: alice and bob are syncing; Ctrl-C stops them");
    bool told = false;
    for (;;) {
      demo.Poll();
      std::string why;
      if (!told && demo.Converged(&why)) {
        told = true;
        PrintWhatToTry(dir);
      }
      struct timespec tick = {0, 200 * 1000 * 1000};
      int signo = sigtimedwait(&stop_signals, nullptr, &tick);
      if (signo > 0) {
        Print("");
        Print("sync-demo: " + std::string(strsignal(signo)) + ": stopping the daemons and the server");
        break;
      }
    }
  }
  bool clean = demo.Stop();
  return result != 0 ? result : clean ? 0 : 1;
}
