// The folder watcher on folders on disk, with the real event manager,
// file-status database and a user interface that accepts every
// notification:
//   - Detector/NewFiles: 5,000 files made while the watcher's thread is not
//     running (about 10,000 kernel events, below the queue limit), then the
//     time from Run until GetAllPendingEventCount reaches 5,000;
//   - Anchor/NewFiles: the same 10,000 events pushed straight into
//     PushLocalEvent (target: the watcher at most 1.25 x this);
//   - Layer/NewFiles: the inotify source alone reading the 10,000 records;
//   - Detector/Overflow: limit + 1,000 files, then the time from Run until
//     the rescan is queued;
//   - Detector/AddWatch10000Folders: AddWatch of a tree of 10,000 folders;
//   - Detector/BigFileWrite: one file written with 100 MiB in 64 KiB
//     writes while the watcher runs; counter "pushed" is the number of
//     events queued for it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "filter/file_status_db.h"
#include "foundation/logger.h"
#include "platform/inotify_change_source.h"
#include "session/detector.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "settings/settings.h"

namespace {

constexpr int kFiles = 5000;

// Accepts every notification connection and reads it to its end, counting
// them (the user interface as the daemon meets it).
class UiSink {
 public:
  UiSink() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 512) != 0) {
      std::abort();
    }
    socklen_t len = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) std::abort();
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }
  ~UiSink() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  long accepted() const { return accepted_.load(); }

 private:
  void Loop() {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      while (read(c, buf, sizeof buf) > 0) {
      }
      close(c);
      accepted_++;
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> accepted_{0};
  std::thread thread_;
};

struct Env {
  std::string base;
  std::unique_ptr<UiSink> ui;
  uint64_t next_session = 1;

  Env() {
    base = std::filesystem::temp_directory_path() / "trelvik-watcher-bench-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) std::abort();
    std::ofstream(base + "/levels.conf") << "detector_debug=3\nevent_mgr_debug=3\nchannel_ui_debug=3\n";
    if (Logger::Initialize(Logger::FILE_LOGGER, (base + "/bench.log").c_str(),
                           (base + "/levels.conf").c_str(), 50) != 0) {
      std::abort();
    }
    ui = std::make_unique<UiSink>();
    std::ofstream(base + "/daemon.conf") << "ui_port=" << ui->port() << "\n";
    if (Settings::getInstance()->loadConfigSettings((base + "/daemon.conf").c_str()) != 0) std::abort();
    if (FileStatusDB::initialize((base + "/fstat.db").c_str()) != 0) std::abort();
  }
  ~Env() {
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
  }

  // A new session with an empty folder and database; its id.
  uint64_t NewSession(std::string* root) {
    uint64_t id = next_session++;
    *root = base + "/s" + std::to_string(id);
    std::string db = base + "/db" + std::to_string(id);
    std::filesystem::create_directories(*root);
    std::filesystem::create_directories(db + "/sign");
    Registry::Entry entry;
    entry.sess_id = id;
    entry.local_path = root->c_str();
    auto* edb = new FileEventDB;
    entry.event_db = edb;
    if (edb->initialize((db + "/event-db.sqlite").c_str()) != 0) std::abort();
    Registry::getInstance().Set(entry);
    return id;
  }
};

Env& GetEnv() {
  static Env env;
  return env;
}

void MakeFiles(const std::string& dir, int n) {
  for (int i = 0; i < n; ++i) {
    int fd = open((dir + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    close(fd);
  }
}

void Finish(Detector& detector, uint64_t id, const std::string& root) {
  detector.Stop();
  detector.Join();
  detector.RemoveWatch(id);
  EventManager::getInstance()->Clear();
  Registry::getInstance().Clear(id);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

void WaitForCount(uint64_t id, size_t n) {
  while (EventManager::getInstance()->GetAllPendingEventCount(id) < n) std::this_thread::yield();
}

void BM_DetectorNewFiles(benchmark::State& state) {
  Env& env = GetEnv();
  for (auto _ : state) {
    state.PauseTiming();
    std::string root;
    uint64_t id = env.NewSession(&root);
    Detector detector(nullptr);
    if (detector.AddWatch(root.c_str(), id) != 0) std::abort();
    MakeFiles(root, kFiles);
    state.ResumeTiming();
    if (detector.Run() != 0) std::abort();
    WaitForCount(id, kFiles);
    state.PauseTiming();
    Finish(detector, id, root);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kFiles);
}
BENCHMARK(BM_DetectorNewFiles)->Name("Detector/NewFiles")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_AnchorNewFiles(benchmark::State& state) {
  Env& env = GetEnv();
  for (auto _ : state) {
    state.PauseTiming();
    std::string root;
    uint64_t id = env.NewSession(&root);
    MakeFiles(root, kFiles);
    std::vector<Event> events;
    events.reserve(2 * kFiles);
    for (int i = 0; i < kFiles; ++i) {
      Event ev;
      ev.m_type = Event::EV_CREATE;
      ev.m_path = ("/f" + std::to_string(i)).c_str();
      ev.m_sess_id = id;
      events.push_back(ev);
      ev.m_type = Event::EV_MODIFY;
      events.push_back(ev);
    }
    state.ResumeTiming();
    for (const Event& ev : events) EventManager::getInstance()->PushLocalEvent(ev);
    WaitForCount(id, kFiles);
    state.PauseTiming();
    EventManager::getInstance()->Clear();
    Registry::getInstance().Clear(id);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kFiles);
}
BENCHMARK(BM_AnchorNewFiles)->Name("Anchor/NewFiles")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_LayerNewFiles(benchmark::State& state) {
  Env& env = GetEnv();
  for (auto _ : state) {
    state.PauseTiming();
    std::string root = env.base + "/layer";
    std::filesystem::create_directories(root);
    std::unique_ptr<platform::InotifyChangeSource> source;
    if (platform::InotifyChangeSource::Create(root, {}, &source) != 0) std::abort();
    MakeFiles(root, kFiles);
    state.ResumeTiming();
    size_t records = 0;
    platform::ChangeBatch batch;
    while (records < 2 * static_cast<size_t>(kFiles)) {
      source->Read(&batch);
      records += batch.records.size();
    }
    state.PauseTiming();
    source.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kFiles);
}
BENCHMARK(BM_LayerNewFiles)->Name("Layer/NewFiles")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_DetectorOverflow(benchmark::State& state) {
  Env& env = GetEnv();
  unsigned long limit = 16384;
  if (FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "re")) {
    if (fscanf(f, "%lu", &limit) != 1) limit = 16384;
    fclose(f);
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::string root;
    uint64_t id = env.NewSession(&root);
    Detector detector(nullptr);
    if (detector.AddWatch(root.c_str(), id) != 0) std::abort();
    MakeFiles(root, static_cast<int>(limit) + 1000);
    state.ResumeTiming();
    if (detector.Run() != 0) std::abort();
    WaitForCount(id, 1);  // the rescan's EV_MODIFY of "/"
    state.PauseTiming();
    if (EventManager::getInstance()->GetAllPendingEventCount(id) != 1) std::abort();
    Finish(detector, id, root);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DetectorOverflow)->Name("Detector/Overflow")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_AddWatch10000Folders(benchmark::State& state) {
  Env& env = GetEnv();
  std::string root;
  uint64_t id = env.NewSession(&root);
  for (int i = 0; i < 100; ++i) {
    for (int j = 0; j < 100; ++j) {
      std::filesystem::create_directories(root + "/d" + std::to_string(i) + "/e" + std::to_string(j));
    }
  }
  Detector detector(nullptr);
  for (auto _ : state) {
    if (detector.AddWatch(root.c_str(), id) != 0) std::abort();
    state.PauseTiming();
    detector.RemoveWatch(id);
    state.ResumeTiming();
  }
  Registry::getInstance().Clear(id);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}
BENCHMARK(BM_AddWatch10000Folders)->Name("Detector/AddWatch10000Folders")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_BigFileWrite(benchmark::State& state) {
  Env& env = GetEnv();
  std::vector<char> chunk(64 * 1024, 'x');
  long pushed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string root;
    uint64_t id = env.NewSession(&root);
    Detector detector(nullptr);
    if (detector.AddWatch(root.c_str(), id) != 0) std::abort();
    if (detector.Run() != 0) std::abort();
    long before = env.ui->accepted();
    state.ResumeTiming();
    int fd = open((root + "/big").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    for (int i = 0; i < 1600; ++i) {
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
    }
    close(fd);
    // A sentinel made after the file: its event is queued after all of the
    // file's.
    if (symlink("x", (root + "/sentinel").c_str()) != 0) std::abort();
    WaitForCount(id, 2);
    state.PauseTiming();
    long last = -1;
    while (env.ui->accepted() != last) {
      last = env.ui->accepted();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    pushed += last - before - 1;
    Finish(detector, id, root);
    state.ResumeTiming();
  }
  state.counters["pushed"] = benchmark::Counter(static_cast<double>(pushed) / state.iterations());
}
BENCHMARK(BM_BigFileWrite)->Name("Detector/BigFileWrite100MiB")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
