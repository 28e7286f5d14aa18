// The event queue's costs, with the file-status database on disk and a
// user-interface stand-in draining the notifications:
//  - PushLocal: 10k local file events over 100 folders, beside its parts
//    timed alone in the same run (status write, notification, tree push);
//    ratio = push / (status write + notification); alternating_us is the
//    two parts taking turns per event without the queue. Also with nobody
//    listening (refused connects, two error lines each).
//  - PullDone: PullEvent + DoneEvent latency of 8 tasks, alone and while 4
//    producers push; during that storm the latency of
//    GetAllPendingEventCount against the median push.
//  - Notify100k: 100k notifications, their rate and failures.
//  - ServerChange: PushEvent of 10k server change records against an event
//    database of 100k rows, split into look-up, lstat and push.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter/file_status_db.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "session/event_generator.h"
#include "session/event_list2.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/task.h"
#include "session/ui_ipc.h"
#include "settings/settings.h"
#include "support/ui_stand_in.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every measurement starts from an empty file-status table; a table that
// cannot be emptied would time something else.
void ClearFStat() {
  if (FileStatusDB::removeAllEntry() != 0) std::abort();
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  return v[i];
}

class BenchTask : public Task {
 public:
  BenchTask() : Task(nullptr, nullptr) {}
  int SetAbort(bool abort) override {
    flag.store(abort ? 1 : 0, std::memory_order_relaxed);
    return 0;
  }
  std::atomic<int> flag{0};
};

// Everything made before main, so before the benchmark's threads: the log,
// the stand-in, the settings, the file-status database and four sessions.
struct Env {
  std::string dir;
  std::unique_ptr<testsupport::UiStandIn> ui;
  std::atomic<size_t> received{0};
  int refused_port = 0;

  Env() {
    char tmpl[] = "/tmp/event-queue-bench-XXXXXX";  // /tmp is on disk here, not tmpfs
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    if (Logger::Initialize(Logger::FILE_LOGGER, (dir + "/log").c_str(), "", 50) != 0) std::abort();
    ui = std::make_unique<testsupport::UiStandIn>(0, [this](const PObject&) { received.fetch_add(1); });
    if (ui->port() <= 0) std::abort();
    refused_port = FreePort();
    UsePort(ui->port());
    if (FileStatusDB::initialize((dir + "/fstat.db").c_str()) != 0) std::abort();
    for (uint64_t s = 1; s <= 4; ++s) {
      Registry::Entry e;
      e.sess_id = s;
      e.local_path = (dir + "/s" + std::to_string(s)).c_str();
      Registry::getInstance().Set(e);
    }
  }
  ~Env() {
    ui.reset();
    FileStatusDB::destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // A loopback port nobody listens on.
  static int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::abort();
    }
    close(fd);
    return ntohs(a.sin_port);
  }

  void UsePort(int port) {
    const std::string conf = dir + "/daemon.conf";
    std::ofstream(conf) << "ui_port=" << port << "\n";
    if (Settings::getInstance()->loadConfigSettings(conf.c_str()) != 0) std::abort();
  }

  // Waits until the stand-in has read `n` messages in all (up to 30 s).
  void WaitReceived(size_t n) {
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (received.load() < n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

Env& TheEnv() {
  static Env env;
  return env;
}
const bool kEnvMade = (TheEnv(), true);

Event FileCreate(uint64_t sess, int i) {
  Event ev;
  ev.m_type = Event::EV_CREATE;
  ev.m_sess_id = sess;
  ev.m_path = ("/d" + std::to_string(i % 100) + "/f" + std::to_string(i)).c_str();
  ev.m_data_size = 1000;
  return ev;
}

void PushLocal(benchmark::State& state) {
  Env& env = TheEnv();
  const bool listening = state.range(0) != 0;
  env.UsePort(listening ? env.ui->port() : env.refused_port);
  constexpr int kEvents = 10000;
  constexpr int kRounds = 10;  // the four parts take turns, so load drifts hit all alike
  constexpr int kPerRound = kEvents / kRounds;
  std::vector<Event> events;
  for (int i = 0; i < kEvents; ++i) events.push_back(FileCreate(1, i));
  const std::string prefix = env.dir + "/s1";
  Clock::duration push{}, fstat{}, notify{}, tree{}, both{};
  int failed = 0, fstat_failed = 0;
  for (auto _ : state) {
    ClearFStat();
    EventManager em;
    EventList2 list;
    list.SetWatchPath(prefix.c_str());
    FileStatusInfo info;
    info.syncStatus = FSTAT_SYNCING;
    // One untimed round first: connections, database pages and caches warm.
    for (int round = -1; round < kRounds; ++round) {
      const int first = round < 0 ? 0 : round * kPerRound;
      auto t0 = Clock::now();
      for (int i = first; i < first + kPerRound; ++i) em.PushLocalEvent(events[i]);
      if (round >= 0) push += Clock::now() - t0;
      t0 = Clock::now();
      for (int i = first; i < first + kPerRound; ++i) {
        // Rows of another folder, so the table grows as it does in the push.
        info.path = (prefix + "x" + events[i].m_path.c_str_utf8()).c_str();
        info.path.replace('/', '\\');
        fstat_failed += FileStatusDB::setFileSyncStat(info) != 0;
      }
      if (round >= 0) fstat += Clock::now() - t0;
      t0 = Clock::now();
      for (int i = first; i < first + kPerRound; ++i) failed += UI_IPC::ReportFileSyncingEventToUI(events[i]) != 0;
      if (round >= 0) notify += Clock::now() - t0;
      t0 = Clock::now();
      for (int i = first; i < first + kPerRound; ++i) (void)list.Push(events[i]);
      if (round >= 0) tree += Clock::now() - t0;
      // The two slow parts taking turns per event, as inside the push.
      t0 = Clock::now();
      for (int i = first; i < first + kPerRound; ++i) {
        info.path = (prefix + "y" + events[i].m_path.c_str_utf8()).c_str();
        info.path.replace('/', '\\');
        fstat_failed += FileStatusDB::setFileSyncStat(info) != 0;
        // Counted in the notify part above; without a listener it fails by design.
        (void)UI_IPC::ReportFileSyncingEventToUI(events[i]);
      }
      if (round >= 0) both += Clock::now() - t0;
      if (round < 0) {
        em.Clear();
        list.Clear();
        ClearFStat();
        failed = 0;
        fstat_failed = 0;
      }
    }
  }
  const double p = Micros(push) / kEvents, f = Micros(fstat) / kEvents, n = Micros(notify) / kEvents;
  state.counters["push_us"] = p;
  state.counters["fstat_us"] = f;
  state.counters["notify_us"] = n;
  state.counters["tree_us"] = Micros(tree) / kEvents;
  state.counters["ratio"] = p / (f + n);
  state.counters["alternating_us"] = Micros(both) / kEvents;
  state.counters["notify_failed"] = failed;
  state.counters["fstat_failed"] = fstat_failed;
  env.UsePort(env.ui->port());
}
BENCHMARK(PushLocal)->Arg(1)->Arg(0)->ArgName("listener")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void PullDone(benchmark::State& state) {
  Env& env = TheEnv();
  env.UsePort(env.ui->port());
  const int producers = static_cast<int>(state.range(0));
  constexpr int kTasks = 8;
  constexpr int kPrefill = 4000;
  std::vector<double> pairs, counts, pushes;
  for (auto _ : state) {
    ClearFStat();
    EventManager em;
    for (int i = 0; i < kPrefill; ++i) em.PushLocalEvent(FileCreate(1 + i % 4, i));
    std::atomic<bool> producing{producers > 0};
    std::vector<std::vector<double>> per_task(kTasks), per_producer(producers);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&, p] {
        for (int i = 0; producing.load(); ++i) {
          const auto t0 = Clock::now();
          em.PushLocalEvent(FileCreate(1 + (i + p) % 4, kPrefill + p * 1000000 + i));
          per_producer[p].push_back(Micros(Clock::now() - t0));
        }
      });
    }
    std::atomic<bool> polling{producers > 0};
    std::thread poller([&] {
      while (polling.load()) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(em.GetAllPendingEventCount(2));
        counts.push_back(Micros(Clock::now() - t0));
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
    for (int t = 0; t < kTasks; ++t) {
      threads.emplace_back([&, t] {
        BenchTask task;
        Event ev, next;
        while (true) {
          const auto t0 = Clock::now();
          if (em.PullEvent(&task, ev) != 0) {
            if (!producing.load() && em.GetAllPendingEventCount(1) + em.GetAllPendingEventCount(2) +
                                             em.GetAllPendingEventCount(3) + em.GetAllPendingEventCount(4) ==
                                         0) {
              break;
            }
            std::this_thread::yield();
            continue;
          }
          while (em.DoneEvent(&task, next) == -1) {
          }
          per_task[t].push_back(Micros(Clock::now() - t0));
        }
      });
    }
    if (producers > 0) {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      producing.store(false);
    }
    for (auto& th : threads) th.join();
    polling.store(false);
    poller.join();
    state.counters["seconds"] = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& v : per_task) pairs.insert(pairs.end(), v.begin(), v.end());
    for (auto& v : per_producer) pushes.insert(pushes.end(), v.begin(), v.end());
  }
  state.counters["pairs"] = static_cast<double>(pairs.size());
  state.counters["pair_p50_us"] = Percentile(pairs, 0.50);
  state.counters["pair_p99_us"] = Percentile(pairs, 0.99);
  if (producers > 0) {
    state.counters["pushes"] = static_cast<double>(pushes.size());
    state.counters["push_p50_us"] = Percentile(pushes, 0.50);
    state.counters["count_p50_us"] = Percentile(counts, 0.50);
    state.counters["count_p99_us"] = Percentile(counts, 0.99);
  }
}
BENCHMARK(PullDone)->Arg(0)->Arg(4)->ArgName("producers")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void Notify100k(benchmark::State& state) {
  Env& env = TheEnv();
  env.UsePort(env.ui->port());
  constexpr int kCount = 100000;
  const Event ev = FileCreate(1, 7);
  int failed = 0;
  double seconds = 0;
  for (auto _ : state) {
    const size_t before = env.received.load();
    const auto t0 = Clock::now();
    for (int i = 0; i < kCount; ++i) failed += UI_IPC::ReportFileSyncingEventToUI(ev) != 0;
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    env.WaitReceived(before + kCount - failed);
    state.counters["received"] = static_cast<double>(env.received.load() - before);
  }
  state.counters["failed"] = failed;
  state.counters["per_second"] = kCount / seconds;
}
BENCHMARK(Notify100k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void ServerChange(benchmark::State& state) {
  Env& env = TheEnv();
  env.UsePort(env.ui->port());
  constexpr int kRows = 100000;
  constexpr int kChanges = 10000;
  const std::string db_dir = env.dir + "/evdb";
  Registry::Entry entry;
  entry.sess_id = 9;
  entry.local_path = (env.dir + "/s9").c_str();
  // Made once; a second run finds them (and the filled database) there.
  (void)mkdir(entry.local_path.c_str_utf8(), 0700);
  (void)mkdir(db_dir.c_str(), 0700);
  (void)mkdir((db_dir + "/sign").c_str(), 0700);
  auto* db = new FileEventDB;
  entry.event_db = db;
  if (db->initialize((db_dir + "/event-db.sqlite").c_str()) != 0) std::abort();
  const auto fill0 = Clock::now();
  DBFileInfo info;
  info.syncID = 100;
  info.fileSize = 1000;
  info.fileCheckSum = "0123456789abcdef0123456789abcdef";
  for (int i = 0; i < kRows; ++i) {
    info.path = FileCreate(9, i).m_path;
    if (db->setEventInfo(info) != 0) std::abort();
  }
  state.counters["fill_s"] = std::chrono::duration<double>(Clock::now() - fill0).count();
  Registry::getInstance().Set(entry);

  // Known paths, not newer than their records, absent on disk: look-up,
  // lstat, then queued.
  std::vector<PObject> changes(kChanges);
  for (int i = 0; i < kChanges; ++i) {
    PObject& c = changes[i];
    c["path"] = FileCreate(9, i * 10).m_path;
    c["sync_id"] = 50u;
    c["max_id"] = 50u;
    c["is_dir"] = 0u;
    c["is_removed"] = 0u;
    c["file"]["hash"] = "0123456789abcdef0123456789abcdef";
    c["file"]["size"] = 1000u;
  }
  EventManager& em = *EventManager::getInstance();
  double whole = 0, lookup = 0, lstat = 0, push = 0;
  for (auto _ : state) {
    em.Clear();
    ClearFStat();
    auto t0 = Clock::now();
    for (const PObject& c : changes) {
      if (PushEvent(entry, c) != 1) std::abort();
    }
    whole = Micros(Clock::now() - t0) / kChanges;
    DBFileInfo out;
    t0 = Clock::now();
    int missing = 0;
    for (const PObject& c : changes) missing += db->getEventInfo(c["path"].asString(), out) != 1;
    lookup = Micros(Clock::now() - t0) / kChanges;
    FILE_INFO st;
    t0 = Clock::now();
    for (const PObject& c : changes) missing += FSStat(entry.local_path + c["path"].asString(), st, true) != 0;
    lstat = Micros(Clock::now() - t0) / kChanges;
    // Every path has its record and none is on disk: anything else is no
    // longer the case these figures describe.
    if (missing != 0) std::abort();
    em.Clear();
    ClearFStat();
    Event ev;
    t0 = Clock::now();
    for (const PObject& c : changes) {
      (void)ServerChangeToEvent(9, c, ev);
      em.PushServerEvent(ev);
    }
    push = Micros(Clock::now() - t0) / kChanges;
  }
  em.Clear();
  Registry::getInstance().Clear(9);
  state.counters["whole_us"] = whole;
  state.counters["lookup_us"] = lookup;
  state.counters["lstat_us"] = lstat;
  state.counters["push_us"] = push;
}
BENCHMARK(ServerChange)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
