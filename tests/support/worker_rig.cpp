#include "support/text_count.h"
#include "support/worker_rig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "settings/settings.h"
#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "protocol/proto_common.h"
#include "server/request_road.h"
#include "server/syncer_road_profile.h"
#include "session/event_generator.h"
#include "session/file_event_db.h"
#include "support/pki.h"
#include "support/process_objects.h"
#include "support/session_objects.h"
#include "support/tree_snapshot.h"
#include "transport/channel.h"
#include "transport/error_code.h"

namespace testsupport {

namespace {

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  EXPECT_TRUE(out.good()) << path;
}

void MakeDir(const std::string& path) { EXPECT_EQ(0, mkdir(path.c_str(), 0700)) << path; }

// The process-wide objects, as the daemon hands them to its workers.
Worker::Collaborators ProcessCollaborators(const DaemonTiming& timing, uint32_t channel_timeout,
                                          WholeBodyAsks& whole_body_asks) {
  return Worker::Collaborators{*EventManager::getInstance(), Registry::getInstance(),
                               *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                               *BlackList2::getInstance(), ProcessFileStatus(),
                               ProcessUiReporter(), ProcessGenerator(),
                               timing, channel_timeout, whole_body_asks};
}

}  // namespace

// ---- ScriptedWorker ----

ScriptedWorker::ScriptedWorker() : ScriptedWorker(DaemonTiming(), 60) {}

ScriptedWorker::ScriptedWorker(const DaemonTiming& timing, uint32_t channel_timeout,
                               WholeBodyAsks& whole_body_asks)
    : ScriptedWorker(ProcessCollaborators(timing, channel_timeout, whole_body_asks)) {}

ScriptedWorker::ScriptedWorker(const Collaborators& with) : Worker(nullptr, nullptr, with) {
  for (Script& s : scripts_) s = [](ScriptedWorker&) { return ERR_OK; };
}

void ScriptedWorker::SetScript(Op op, Script script) { scripts_[op] = std::move(script); }

void ScriptedWorker::SetOnEventInHand(std::function<void(ScriptedWorker&)> hook) {
  on_event_in_hand_ = std::move(hook);
}

void ScriptedWorker::SetOnPassStart(std::function<void(ScriptedWorker&)> hook) {
  on_pass_start_ = std::move(hook);
}

void ScriptedWorker::SetOnEventPulled(std::function<void(ScriptedWorker&)> hook) {
  on_event_pulled_ = std::move(hook);
}

ErrorCode ScriptedWorker::RealOperation(Op op) {
  switch (op) {
    case kUpload:
      return Worker::UploadLocal();
    case kDownload:
      return Worker::DownloadRemote();
    case kRemoveLocal:
      return Worker::RemoveLocal();
    case kRemoveRemote:
      return Worker::RemoveRemote();
    case kExpand:
      return Worker::Expand();
    case kRescan:
      return Worker::Rescan();
    case kExpandDelete:
      return Worker::ExpandDeleteEvent();
    case kOpCount:
      break;
  }
  return ERR_INT;
}

void ScriptedWorker::UseRealOperations() {
  for (int op = 0; op < kOpCount; ++op) {
    scripts_[op] = [op](ScriptedWorker& w) { return w.RealOperation(static_cast<Op>(op)); };
  }
}

void ScriptedWorker::Inject(const Event& ev) { context.current_event = ev; }

std::vector<ScriptedWorker::Call> ScriptedWorker::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

bool ScriptedWorker::waitForCalls(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return settled_ >= n; });
}

void ScriptedWorker::OnEventInHand() {
  if (on_event_in_hand_) on_event_in_hand_(*this);
}

void ScriptedWorker::OnPassStart() {
  if (on_pass_start_) on_pass_start_(*this);
}

void ScriptedWorker::OnEventPulled() {
  if (on_event_pulled_) on_event_pulled_(*this);
}

ErrorCode ScriptedWorker::RunScript(Op op, bool settled) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({op, context.current_event, ERR_MAX, std::nullopt});
  }
  const ErrorCode result = scripts_[op](*this);
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.back().result = result;
  if (settled) {
    ++settled_;
    changed_.notify_all();
  }
  return result;
}

void ScriptedWorker::OnEventOutcome(ErrorCode result, WorkerAction action) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!calls_.empty()) {
    calls_.back().result = result;
    calls_.back().action = action;
  }
  ++settled_;
  changed_.notify_all();
}

// ---- WorkerRig ----

WorkerRig::WorkerRig(const std::string& root, Options options) : root_(root), options_(std::move(options)) {
  Write(root_ + "/levels.conf", options_.log_levels);
  EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, (root_ + "/test.log").c_str(),
                                  (root_ + "/levels.conf").c_str(), 50));
  ui_ = std::make_unique<UiStandIn>();
  EXPECT_GT(ui_->port(), 0) << ui_->error();
  Write(root_ + "/daemon.conf", "ui_port=" + std::to_string(ui_->port()) + "\n");
  EXPECT_EQ(0, Settings::getInstance()->loadConfigSettings((root_ + "/daemon.conf").c_str()));
  EXPECT_EQ(0, FileStatusDB::initialize((root_ + "/fstat.db").c_str()));
  EXPECT_EQ(0, FilterDB::getInstance()->initialize((root_ + "/filter.db").c_str()));

  MakeDir(root_ + "/local");
  MakeDir(root_ + "/config");
  MakeDir(root_ + "/config/db");
  MakeDir(root_ + "/config/db/sign");
  MakeDir(root_ + "/config/conf");
  const std::string conf = root_ + "/config/conf";
  Write(conf + "/blacklist.filter", options_.black_list);
  Write(conf + "/whitelist.filter", options_.white_list);
  Write(conf + "/force-hash-check-list.filter", options_.force_hash_list);

  Registry::Entry entry;
  entry.sess_id = options_.sess_id;
  entry.conn_id = options_.conn_id;
  entry.view_id = 11;
  entry.recursive = options_.recursive;
  entry.read_only = options_.read_only;
  entry.pause = options_.pause;
  entry.local_path = local().c_str();
  entry.remote_path = "/";
  entry.config_path = (root_ + "/config").c_str();
  testsupport::OpenSessionObjects(entry, conf, eventDbPath());
  Registry::getInstance().Set(entry);

  ConnectionInfo info = options_.connection;
  info.conn_id = options_.conn_id;
  if (options_.server) {
    // Static and not thread-safe: set before any channel converts.
    Channel::SetVerifyCAPath(PkiPath("ca.pem").c_str());
    EXPECT_TRUE(server_.Start(options_.stand_in));
    info.server_port = server_.port();
    info.use_ssl = options_.tls;
    info.session = options_.stand_in.tokens.front().c_str();
  }
  EXPECT_EQ(0, ConnectionManager::getInstance()->add(info, nullptr, nullptr));
}

ServerStandInOptions WorkerRig::DefaultStandIn() {
  ServerStandInOptions o;
  o.tokens = {"token-of-the-session"};
  o.views = {11};
  o.first_version = (1ull << 32) + 10;
  return o;
}

ConnectionInfo WorkerRig::DefaultConnection() {
  ConnectionInfo info;
  info.server_ip = "127.0.0.1";
  info.server_port = 1;
  info.server_name = "server.test";
  info.session = "token-of-the-session";
  info.use_ssl = false;
  info.computer_name = "PC1";
  return info;
}

WorkerRig::~WorkerRig() {
  stopWorkers();
  workers_.clear();
  EventManager::getInstance()->Clear();
  Registry::getInstance().Clear();
  ConnectionManager::getInstance()->clear();
  if (options_.server) {
    server_.Stop();
    Channel::SetVerifyCAPath("");
  }
  FilterDB::getInstance()->destroy();
  FileStatusDB::destroy();
  BlackList2::getInstance()->Clear();
  // The logger's thresholds are read without a lock: no thread of the rig
  // may be left when they are reset.
  ui_.reset();
  Logger::Destroy();
  (void)Logger::Initialize(Logger::STDERR_LOGGER, "", "", 0);
}

Registry::Entry WorkerRig::entry() const {
  Registry::Entry e;
  EXPECT_EQ(1, Registry::getInstance().Find(options_.sess_id, e));
  return e;
}

void WorkerRig::setEntry(const Registry::Entry& e) { Registry::getInstance().Set(e); }

std::string WorkerRig::local(const std::string& rel) const { return root_ + "/local" + rel; }

FileEventDB& WorkerRig::eventDb() const { return *entry().event_db; }

ScriptedWorker& WorkerRig::addWorker() {
  workers_.push_back(std::make_unique<ScriptedWorker>(options_.timing, options_.channel_timeout, whole_body_asks_));
  running_.push_back(false);
  return *workers_.back();
}

ScriptedWorker& WorkerRig::holding(const Event& ev) {
  ScriptedWorker& w = addWorker();
  w.Inject(ev);
  EXPECT_EQ(0, w.UpdateContext()) << ev.m_path.c_str_utf8();
  return w;
}

std::vector<nlohmann::json> WorkerRig::requests() {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json& e : server_.Journal()) {
    if (e.value("event", "") == "request") out.push_back(e);
  }
  return out;
}

std::vector<std::string> WorkerRig::actions() {
  std::vector<std::string> out;
  for (const nlohmann::json& e : requests()) out.push_back(e.value("action", "?"));
  return out;
}

std::set<std::string> WorkerRig::storeSha256() {
  std::set<std::string> out;
  for (const ServerStandIn::Object& live : server_.List("/")) {
    for (const ServerStandIn::Object& v : server_.History(live.path)) {
      if (v.is_dir || v.removed || v.content_path.empty()) continue;
      std::ifstream in(v.content_path, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      out.insert(Sha256Hex(bytes.str()));
    }
  }
  return out;
}

ErrorCode WorkerRig::pullServer() {
  Registry::Entry session = entry();
  Connection connection;
  if (ConnectionManager::getInstance()->get(options_.conn_id, connection) != 0) return ERR_SYS;
  uint64_t sync_id = 0;
  if (session.event_db->getSyncId(sync_id) != 0) return ERR_SYS;
  std::atomic<int> abort_flag{0};
  RequestRoad road(SyncerRoadProfile(), abort_flag, connection, session);
  PObject request;
  PObject reply;
  InitRequest(request, "pull_event");
  request["session"] = connection.getConnectionInfo().session;
  request["view_id"] = static_cast<unsigned long long>(session.view_id);
  request["node_id"] = 0ull;
  request["sync_id"] = static_cast<unsigned long long>(sync_id);
  request["path"] = session.remote_path;
  request["recursive"] = session.recursive;
  request["file"]["offset"] = 0ull;
  request["mtime"]["offset"] = 0ull;
  const ErrorCode rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply);
  if (rc != ERR_OK) return rc;
  if (reply.hasMember("error")) return ERR_SERVER;
  for (const PObject& item : reply["event_list"].asArray()) PushEvent(session, item);
  return session.event_db->setSyncId(reply["next_sync_id"].asUInt64()) == 0 ? ERR_OK : ERR_SYS;
}

void WorkerRig::startWorkers() {
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (running_[i]) continue;
    EXPECT_EQ(0, workers_[i]->Run());
    running_[i] = true;
  }
}

void WorkerRig::stopWorkers() {
  for (size_t i = 0; i < workers_.size(); ++i) {
    if (!running_[i]) continue;
    workers_[i]->Stop();
    workers_[i]->Join();
    running_[i] = false;
  }
}

Event WorkerRig::localEvent(Event::Type type, const std::string& path, bool is_dir) const {
  Event ev;
  ev.m_type = type;
  ev.m_path = path.c_str();
  ev.m_sess_id = options_.sess_id;
  if (is_dir) ev.setDir();
  return ev;
}

Event WorkerRig::serverEvent(Event::Type type, const std::string& path, uint64_t sync_id, bool is_dir) const {
  Event ev = localEvent(type, path, is_dir);
  ev.setServerEvent();
  ev.m_sync_id = sync_id;
  ev.m_max_id = sync_id;
  return ev;
}

void WorkerRig::push(const Event& ev) const {
  if (ev.isServerEvent()) {
    EventManager::getInstance()->PushServerEvent(ev);
  } else {
    EventManager::getInstance()->PushLocalEvent(ev);
  }
}

WorkerRig::Outcome WorkerRig::runOne(const Event& ev, std::chrono::milliseconds timeout) {
  if (workers_.empty()) addWorker();
  ScriptedWorker& w = *workers_.front();
  const size_t before = w.calls().size();
  push(ev);
  startWorkers();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<ScriptedWorker::Call> calls = w.calls();
    for (size_t i = before; i < calls.size(); ++i) {
      if (calls[i].event.m_path == ev.m_path && calls[i].action.has_value()) {
        return {calls[i].result, calls[i].action};
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

bool WorkerRig::drain(std::chrono::milliseconds timeout) {
  // The pending count leaves expands out, so the workers' records are asked
  // too; both must hold on two looks in a row.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int quiet = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    bool idle = EventManager::getInstance()->GetAllPendingEventCount(options_.sess_id) == 0;
    for (auto& w : workers_) {
      Worker::ProcessEvent_T record;
      w->GetCurrentProcessEventInfo(record);
      idle = idle && record.session_id == 0;
    }
    quiet = idle ? quiet + 1 : 0;
    if (quiet >= 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string WorkerRig::log() const {
  std::ifstream in(root_ + "/test.log", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WorkerRig::logged(const std::string& piece) const { return log().find(piece) != std::string::npos; }

size_t WorkerRig::countLogged(const std::string& piece) const { return CountOf(log(), piece); }

}  // namespace testsupport
