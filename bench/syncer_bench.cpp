// The Syncer's pull of one large reply against the storage-server stand-in,
// which answers with pre-encoded bytes (a "raw_b64" fault rule), into an
// event database of 100,000 rows, with two drainers taking events as
// workers would.
//
// (a) PullEventFromServer (pooled exchange over TLS, decode) plus
//     ProcessEvents (the changes pushed in slices, the drainers waited for
//     after each and at the end);
// (b) the anchor, same run: the same reply bytes decoded by PStream::Recv
//     from a socketpair, plus the same PushEvent calls, then the drainers
//     waited for.
// Target: (a) at most 1.2 x (b). Then the change latency: a change added to
// the stand-in until a drainer has it (the 1-s polling and the 5-s rest
// bound it to about 6 s), and the peak RSS.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"
#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "server/connection_manager.h"
#include "server/syncer.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "support/event_drainer.h"
#include "support/pki.h"
#include "support/process_objects.h"
#include "support/server_stand_in.h"
#include "support/temp_dir.h"
#include "support/ui_stand_in.h"
#include "transport/channel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDbRows = 100000;
constexpr int kRuns = 3;

void Fail(const char* what, long rc) {
  std::fprintf(stderr, "syncer_bench: %s failed (%ld)\n", what, rc);
  std::exit(1);
}
void Fail(const char* what, ErrorCode rc) { Fail(what, ErrorNumber(rc)); }

std::string Base64(const std::string& in) {
  static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += tbl[v >> 18];
    out += tbl[(v >> 12) & 63];
    out += tbl[(v >> 6) & 63];
    out += tbl[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += tbl[v >> 18];
    out += tbl[(v >> 12) & 63];
    out += i + 1 < in.size() ? tbl[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PathOf(int i) { return "/d" + std::to_string(i % 100) + "/f" + std::to_string(i); }

// The encoded bytes of `obj`, as PStream::Send writes them.
std::string Encode(const PObject& obj) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) Fail("socketpair", errno);
  std::string bytes;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[1], buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
  });
  {
    Channel ch(81920);
    if (ch.Open(fds[0], false) != ERR_OK) Fail("Channel::Open", -1);
    PStream stream;
    if (const PStream::Code rc = stream.Send(ch, obj); rc != PStream::Code::kOk) {
      Fail("PStream::Send", StreamCodeNumber(rc));
    }
    (void)ch.Close();
  }
  reader.join();
  close(fds[1]);
  return bytes;
}

// A pull reply with n changes from sync id `base` + 1.
PObject Reply(int n, uint64_t base) {
  PObject reply;
  reply["alive"] = 60;
  reply["next_sync_id"] = static_cast<unsigned long long>(base + n);
  PObject::array_type& list = reply["event_list"].asArray();
  list.reserve(n);
  for (int i = 0; i < n; ++i) {
    PObject c;
    c["path"] = PathOf(i);
    c["is_dir"] = 0;
    c["is_removed"] = 0;
    c["sync_id"] = static_cast<unsigned long long>(base + i + 1);
    c["max_id"] = static_cast<unsigned long long>(base + i + 1);
    c["file"]["hash"] = "0123456789abcdef0123456789abcdef";
    c["file"]["size"] = 1000 + i;
    c["mtime"]["mtime"] = 1700000000 + i;
    list.push_back(std::move(c));
  }
  return reply;
}

// 100,000 file records (lower sync ids than the reply's) in one transaction
// on a connection of its own.
void FillDb(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) Fail("sqlite3_open", 0);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO event_table (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
                     "fileCheckSum, path) VALUES (0, 1, 1, 1, 10, 1600000000, 'aa', ?1)",
                     -1, &st, nullptr);
  for (int i = 0; i < kDbRows; ++i) {
    const std::string p = PathOf(i);
    sqlite3_bind_text(st, 1, p.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(st) != SQLITE_DONE) Fail("insert", i);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Fail("commit", 0);
  sqlite3_close(db);
}

void Drain(uint64_t sess) {
  while (EventManager::getInstance()->GetPendingServerEvent(sess) > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  Channel::SetVerifyCAPath(testsupport::PkiPath("ca.pem").c_str());
  if (Logger::Initialize(Logger::FILE_LOGGER, (dir + "/log").c_str(), "", 50) != 0) Fail("log", 0);
  // The queue reports each event to the user interface: a stand-in takes
  // the reports, as the daemon's user interface would.
  testsupport::UiStandIn ui(0, [](const PObject&) {});
  if (ui.port() <= 0) Fail("the user-interface stand-in", 0);
  {
    FILE* conf = std::fopen((dir + "/daemon.conf").c_str(), "w");
    if (conf == nullptr) Fail("daemon.conf", errno);
    std::fprintf(conf, "ui_port=%d\n", ui.port());
    std::fclose(conf);
  }
  if (Settings::getInstance()->loadConfigSettings((dir + "/daemon.conf").c_str()) != 0) Fail("settings", 0);
  if (FileStatusDB::initialize((dir + "/fstat.db").c_str()) != 0) Fail("FileStatusDB", 0);

  testsupport::ServerStandIn server;
  if (!server.Start()) Fail("starting the stand-in", 0);
  server.Mkdir("/r1");

  mkdir((dir + "/local").c_str(), 0755);
  mkdir((dir + "/db").c_str(), 0755);
  mkdir((dir + "/db/sign").c_str(), 0755);
  const std::string db_file = dir + "/db/event-db.sqlite";
  {
    FileEventDB schema;
    if (schema.initialize(db_file.c_str()) != 0) Fail("event db", 0);
  }
  FillDb(db_file);
  Registry::Entry entry;
  entry.sess_id = 1;
  entry.conn_id = 1;
  entry.view_id = 1;
  entry.recursive = true;
  entry.local_path = (dir + "/local").c_str();
  entry.remote_path = "/r1";
  auto* db = new FileEventDB;
  entry.event_db = db;
  if (db->initialize(db_file.c_str()) != 0) Fail("event db", 0);
  Registry::getInstance().Set(entry);

  ConnectionManager manager;
  ConnectionInfo info;
  info.conn_id = 1;
  info.server_ip = "127.0.0.1";
  info.server_port = server.port();
  info.server_name = "server.test";
  info.session = "test-token";
  manager.add(info, nullptr, nullptr);

  testsupport::EventDrainer drainer_a;
  testsupport::EventDrainer drainer_b;
  // Its waits for the drainers in short steps, so that (a) measures the
  // work, not the poll.
  DaemonTiming quick;
  quick.syncer_idle_wait = std::chrono::milliseconds(2);
  const SyncerCollaborators with{Registry::getInstance(),         manager,
                                 *EventManager::getInstance(),    *ProgressCache::getInstance(),
                                 *FilterDB::getInstance(),        testsupport::ProcessUiReporter(),
                                 testsupport::ProcessGenerator()};
  Syncer syncer(nullptr, with, quick);
  syncer.SetState(Task::RUN);

  std::printf("Syncer pull of one reply, TLS, loopback, event database of %d rows, 2 drainers\n", kDbRows);
  std::printf("%-8s %12s %14s %14s %8s\n", "changes", "reply bytes", "(a) pull+push", "(b) anchor", "a/b");
  for (int n : {10000, 100000}) {
    const std::string bytes = Encode(Reply(n, 10));
    server.ClearFaults();
    if (server.Fault({{"action", "pull_event"}, {"raw_b64", Base64(bytes)}, {"count", -1}}) == 0) Fail("fault", 0);
    if (syncer.UpdateContext() != 0) Fail("UpdateContext", 0);
    std::vector<double> a, b, pa, pb;  // whole, and the pull / decode alone
    for (int run = 0; run < kRuns; ++run) {
      Drain(1);
      if (db->setSyncId(0) != 0) Fail("setSyncId", 0);
      PObject reply;
      const size_t taken0 = drainer_a.Count() + drainer_b.Count();
      auto t0 = Clock::now();
      if (ErrorCode rc = syncer.PullEventFromServer(reply); rc != ERR_OK) Fail("PullEventFromServer", rc);
      pa.push_back(Seconds(Clock::now() - t0));
      if (ErrorCode rc = syncer.ProcessEvents(reply); rc != ERR_OK) Fail("ProcessEvents", rc);
      a.push_back(Seconds(Clock::now() - t0));
      if (drainer_a.Count() + drainer_b.Count() - taken0 < static_cast<size_t>(n)) Fail("changes taken", n);

      Drain(1);
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) Fail("socketpair", errno);
      std::thread writer([&] {
        size_t off = 0;
        while (off < bytes.size()) {
          ssize_t w = write(fds[0], bytes.data() + off, bytes.size() - off);
          if (w <= 0) break;
          off += static_cast<size_t>(w);
        }
      });
      Channel ch(81920);
      if (ch.Open(fds[1], false) != ERR_OK) Fail("Channel::Open", -1);
      PStream stream;
      PObject anchor;
      t0 = Clock::now();
      if (const PStream::Code rc = stream.Recv(ch, anchor); rc != PStream::Code::kOk) {
        Fail("PStream::Recv", StreamCodeNumber(rc));
      }
      pb.push_back(Seconds(Clock::now() - t0));
      for (const PObject& c : anchor["event_list"].asArray()) (void)PushEvent(entry, c);
      Drain(1);
      b.push_back(Seconds(Clock::now() - t0));
      writer.join();
      (void)ch.Close();
      close(fds[0]);
    }
    for (auto* v : {&a, &b, &pa, &pb}) std::sort(v->begin(), v->end());
    const double ma = a[kRuns / 2], mb = b[kRuns / 2];
    std::printf("%-8d %12zu %12.3f s %12.3f s %8.3f %s\n", n, bytes.size(), ma, mb, ma / mb,
                ma <= 1.2 * mb ? "(target met)" : "(target NOT met)");
    std::printf("%-8s %12s %12.3f s %12.3f s %8.3f   (pull alone / Recv alone)\n", "", "", pa[kRuns / 2],
                pb[kRuns / 2], pa[kRuns / 2] / pb[kRuns / 2]);
  }
  Drain(1);
  server.ClearFaults();

  // Change latency through the running task.
  {
    EventManager::getInstance()->Clear();
    Syncer task(nullptr, with);
    if (task.Run() != 0) Fail("Run", 0);
    std::vector<double> lat;
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500 + 700 * i));  // vary the phase
      const size_t before = drainer_a.Count() + drainer_b.Count();
      const auto t0 = Clock::now();
      server.Put("/r1/new" + std::to_string(i), "x");
      while (drainer_a.Count() + drainer_b.Count() == before) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (Clock::now() - t0 > std::chrono::seconds(20)) Fail("latency", i);
      }
      lat.push_back(Seconds(Clock::now() - t0));
    }
    task.Stop();
    task.Join();
    std::sort(lat.begin(), lat.end());
    std::printf("change latency (stand-in change to a drainer), 4 samples: min %.2f s, max %.2f s\n", lat.front(),
                lat.back());
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak RSS %.1f MiB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);

  drainer_a.Stop();
  drainer_b.Stop();
  EventManager::getInstance()->Clear();
  Registry::getInstance().Clear();
  manager.clear();
  server.Stop();
  FileStatusDB::destroy();
  return 0;
}
