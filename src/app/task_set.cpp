// The task table: building, starting, stopping and deleting it, the
// workers' pause and resume, and the interruption of workers around a
// change.
#include "app/app.h"

#include "app/worker_hold.h"

#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "server/progress_syncer.h"
#include "server/recycle_cleaner.h"
#include "server/syncer.h"
#include "session/detector.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"
#include "settings/settings.h"

namespace {

// Slots of the fixed tasks; workers follow.
constexpr size_t kDetectorSlot = 0;
constexpr size_t kRecycleCleanerSlot = 1;
constexpr size_t kSyncerSlot = 2;
constexpr size_t kProgressSyncerSlot = 3;
constexpr size_t kFirstWorkerSlot = 4;

// The process-wide objects that only the tasks are handed, made on first
// use and kept to the end of the process (past every task).
EventGenerator& ProcessGenerator() {
  static EventGenerator generator(*EventManager::getInstance());
  return generator;
}

UiReporter& ProcessUiReporter() {
  static UiReporter reporter(UiNotifier::getInstance());
  return reporter;
}

FileStatusRows& ProcessFileStatus() {
  static FileStatusDBRows rows;
  return rows;
}

}  // namespace

int VelkoraApp::init_members() { return init_tasks(); }

int VelkoraApp::init_tasks() {
  // worker_count + 3 slots, the first four fixed: worker_count - 1 workers.
  const size_t count = static_cast<size_t>(Settings::getInstance()->getWorkerCount()) + 3;
  task.clear();
  task.reserve(count);
  task.push_back(std::make_unique<Detector>(nullptr, timing_));
  task.push_back(std::make_unique<RecycleCleaner>(nullptr, Registry::getInstance(), timing_));
  const SyncerCollaborators syncers{Registry::getInstance(),     *ConnectionManager::getInstance(),
                                    *EventManager::getInstance(), *ProgressCache::getInstance(),
                                    *FilterDB::getInstance(),     ProcessUiReporter(),
                                    ProcessGenerator()};
  task.push_back(std::make_unique<Syncer>(nullptr, syncers, timing_));
  task.push_back(std::make_unique<ProgressSyncer>(nullptr, syncers, timing_));
  Worker::Collaborators with{*EventManager::getInstance(), Registry::getInstance(),
                             *ConnectionManager::getInstance(), *FilterDB::getInstance(),
                             *BlackList2::getInstance(), ProcessFileStatus(),
                             ProcessUiReporter(), ProcessGenerator()};
  with.timing = timing_;
  with.stop_flag = &workers_stop_;
  while (task.size() < count) task.push_back(std::make_unique<Worker>(nullptr, nullptr, with));
  Logger::LogMsg(Logger::L_DEBUG, "client_debug", "[DEBUG] app(%d): totally %zu tasks\n", __LINE__, task.size());
  return 0;
}

void VelkoraApp::destroy_members() { destroy_tasks(); }

void VelkoraApp::destroy_tasks() { task.clear(); }

void VelkoraApp::start_all() {
  // The notification sender first: no task may wait on the user interface
  // (UiNotifier). When it cannot start, notifications are delivered inline.
  (void)UiNotifier::getInstance().Start();
  workers_stop_.store(0);
  // A task whose thread cannot be made is logged by Task::Run.
  for (auto& t : task) (void)t->Run();
}

void VelkoraApp::stop_all() {
  if (task.empty()) return;
  for (auto& t : task) (void)t->Stop();
  for (auto& t : task) (void)t->Join();
  // Last, once no task can notify: what is queued gets a short grace, then
  // the sender ends and is joined.
  UiNotifier::getInstance().Stop();
}

void VelkoraApp::pause_all() {
  for (auto& t : task) (void)t->Pause();
}

void VelkoraApp::resume_all() {
  for (auto& t : task) (void)t->Resume();
}

void VelkoraApp::pause_worker() {
  for (Worker* w : workers()) (void)w->Pause();
}

void VelkoraApp::interrupt_worker(const Worker::AbortFilter& filter) {
  (void)WorkerHold::Interrupt(workers(), filter, InterruptBound(timing_));  // a time-out is logged there
}

Detector* VelkoraApp::detector() const {
  return task.size() > kDetectorSlot ? static_cast<Detector*>(task[kDetectorSlot].get()) : nullptr;
}

RecycleCleaner* VelkoraApp::recycle_cleaner() const {
  return task.size() > kRecycleCleanerSlot ? static_cast<RecycleCleaner*>(task[kRecycleCleanerSlot].get())
                                           : nullptr;
}

Syncer* VelkoraApp::syncer() const {
  return task.size() > kSyncerSlot ? static_cast<Syncer*>(task[kSyncerSlot].get()) : nullptr;
}

ProgressSyncer* VelkoraApp::progress_syncer() const {
  return task.size() > kProgressSyncerSlot ? static_cast<ProgressSyncer*>(task[kProgressSyncerSlot].get())
                                           : nullptr;
}

std::vector<Worker*> VelkoraApp::workers() const {
  std::vector<Worker*> out;
  for (size_t i = kFirstWorkerSlot; i < task.size(); ++i) out.push_back(static_cast<Worker*>(task[i].get()));
  return out;
}
