// EventManager: pushes, hand-out, done and redo. The file-status rows and
// the count queries are in event_manager_status.cpp.
#include "session/event_manager.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "session/event_manager_log.h"
#include "session/event_pool.h"
#include "session/registry.h"
#include "session/session_path.h"
#include "session/task.h"
#include "session/ui_ipc.h"

namespace {

using ull = unsigned long long;

bool IsUpload(const Event& ev) {
  return ev.isLocalEvent() && (ev.m_type == Event::EV_CREATE || ev.m_type == Event::EV_MODIFY);
}

// The same entry of the same session: what a task may give back.
bool SameEntry(const Event& a, const Event& b) {
  return a.m_sess_id == b.m_sess_id && a.isDir() == b.isDir() && a.m_path == b.m_path;
}

}  // namespace

EventManager* EventManager::getInstance() {
  static EventManager instance;
  return &instance;
}

EventManager::EventManager() = default;

EventManager::~EventManager() { Clear(); }

void EventManager::PushLocalEvent(const Event& ev) { Push(ev, ev, false); }

void EventManager::PushServerEvent(const Event& ev) {
  Event server_ev(ev);
  server_ev.setServerEvent();
  Push(server_ev, ev, true);
}

void EventManager::Push(const Event& ev, const Event& reported, bool server) {
  // A path that is not valid UTF-8 cannot be named to the server or the
  // user interface; one that is not a plain path inside the session folder
  // would make a worker write outside it or into the working folder.
  if (!ustring::is_valid(ev.m_path) || !IsSafeSessionPath(ev.m_path)) {
    EVENT_MGR_LOG(L_WARNING, "[WARNING] event-manager(%d): File path is not valid, drop it.\n");
    return;
  }

  std::lock_guard<std::mutex> lock(m_lock);
  const bool expand = ev.isExpand();

  for (auto& [task, entry] : registry) {
    const Event& cur = entry.processing;
    if (cur.m_sess_id != ev.m_sess_id || cur.m_path != ev.m_path) continue;
    // The waiting slot only tells DoneEvent to look for the path's newer
    // state in the tree; the event itself is merged there below.
    if (!expand) entry.waiting = ev;
    if (server) continue;
    // A remove of the same kind makes a running upload obsolete. (A file
    // and a folder of one name are different entries: a remove of the one
    // leaves the other's upload alone.)
    if (IsUpload(cur) && ev.m_type == Event::EV_REMOVE && cur.isDir() == ev.isDir()) {
      EVENT_MGR_LOG(L_INFO,
                    "[INFO] event-manager(%d): old event is UploadLocal but new event is RemoveRemote, "
                    "abort UploadLocal progress '%s'.\n",
                    ev.m_path.c_str_utf8());
      // Only raises the task's abort flag; cannot fail.
      (void)task->SetAbort(true);
    }
    if (expand && cur.m_mode == ev.m_mode) {
      EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): interrupt previous expander\n");
      (void)task->SetAbort(true);
    }
  }

  ustring local_path;
  {
    Registry::Entry entry;
    if (Registry::getInstance().Find(ev.m_sess_id, entry) != 1) {
      EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Can not find registry by session %llu.\n",
                    static_cast<ull>(ev.m_sess_id));
      return;
    }
    local_path = entry.local_path;
  }

  event_pool* pool;
  auto found = pool_index.find(ev.m_sess_id);
  if (found != pool_index.end()) {
    pool = found->second.get();
  } else {
    auto made = std::make_unique<event_pool>(local_path);
    pool = made.get();
    pool_index.emplace(ev.m_sess_id, std::move(made));
    std::lock_guard<std::mutex> count_lock(m_pool_index_lock);
    pool_counter_index[ev.m_sess_id] = pool;
  }

  const bool taken = pool->push(ev);
  if (event_manager_log::On(Logger::L_DEBUG)) {
    if (server) {
      EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::PushServerEvent = [%s].\n",
                    ev.toString().c_str_utf8());
    } else {
      EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::PushLocalEvent = [%s].\n",
                    ev.toString().c_str_utf8());
    }
  }
  if (pool->size() == 1) ready_queue.push_back(pool);

  // An event the pool did not take (EV_EMPTY, an expand of a file) gets no
  // syncing row: no worker would ever remove it.
  if (!taken || (expand && !server)) return;
  ustring full_path(local_path);
  if (ev.m_path != "/") full_path += ev.m_path;
  // Both report their own failures; neither stops the push. The report is
  // only queued (UiNotifier), so it costs this lock no connection.
  (void)SyncingEvent2FStatDB(full_path, ev.isDir());
  (void)UI_IPC::ReportFileSyncingEventToUI(reported);
}

int EventManager::PullEvent(Task* task, Event& out) {
  std::lock_guard<std::mutex> lock(m_lock);
  // A pool that has only deferred events to offer passes its turn on, so
  // that a path waiting out its pause never holds back other sessions.
  for (size_t pools = ready_queue.size(); pools > 0; --pools) {
    event_pool* pool = ready_queue.front();
    ready_queue.pop_front();
    bool skipped = false;
    const int got = PopDue(pool, out, skipped);
    // A pool whose events are all in progress keeps its turn; an empty one
    // drops out here and comes back with its next push.
    if (pool->size() != 0) ready_queue.push_back(pool);
    if (got == 0) {
      registry_entry_t& entry = registry[task];
      entry.processing = out;
      entry.waiting.clear();
      if (event_manager_log::On(Logger::L_DEBUG)) {
        EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::PullEvent [%s]\n",
                      out.toString().c_str_utf8());
      }
      return 0;
    }
    if (!skipped) return -1;
  }
  return -1;
}

int EventManager::PopDue(event_pool* pool, Event& out, bool& skipped) {
  // A deferred node whose pause runs goes back behind its siblings and the
  // next one is looked at; each node at most once per pull.
  size_t looks = pool->size();
  while (looks-- > 0 && pool->pop(out) == 1) {
    if (out.isExpand() || !PauseRuns(out)) return 0;
    skipped = true;
    // A node just handed out is always taken back; were it not, it is
    // handed out rather than left in progress with no task.
    if (pool->event_tree.Redo(out.m_path, out.isDir()) != 0) return 0;
  }
  return -1;
}

int EventManager::DoneEvent(Task* task, Event& out) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = registry.find(task);
  if (it == registry.end()) return 0;
  registry_entry_t& entry = it->second;
  const Event& cur = entry.processing;
  const bool dirty = entry.waiting.m_type != Event::EV_EMPTY;

  if (dirty && event_manager_log::On(Logger::L_DEBUG)) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::DoneEvent is dirty, waiting for [%s]\n",
                  entry.waiting.toString().c_str_utf8());
  }
  if (!dirty || cur.isExpand()) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::DoneEvent unregistry for [%s]\n",
                  cur.m_path.c_str_utf8());
  }

  // An expand is not in the tree. A newer event of the folder has a node of
  // its own, which may be with another task: touching it here would hand
  // one path to two tasks.
  if (cur.isExpand()) {
    registry.erase(it);
    return 0;
  }

  auto found = pool_index.find(cur.m_sess_id);
  event_pool* pool = found == pool_index.end() ? nullptr : found->second.get();
  if (pool != nullptr && dirty) {
    // The node of the same path and kind, if a newer event was merged into
    // it meanwhile (a file and a folder of one name are different nodes).
    Event newer;
    if (pool->event_tree.Pop(cur.m_path, cur.isDir(), newer) == 0) {
      entry.processing = newer;
      entry.waiting.clear();
      out = std::move(newer);
      return -1;
    }
  }
  // The path's change is carried out: a later failure starts a new spell.
  if (!deferred.empty()) deferred.erase(DeferKey{cur.m_sess_id, cur.m_path, cur.isDir()});
  if (pool != nullptr && pool->event_tree.DoneEvent(cur) != 0) {
    EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Failed to mark event done in event tree '%s'.\n",
                  cur.m_path.c_str_utf8());
  }
  registry.erase(it);
  return 0;
}

int EventManager::RedoEvent(Task* task, const Event& ev) {
  int result = -1;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    result = RedoLocked(task, ev);
  }
  if (event_manager_log::On(Logger::L_INFO)) {
    EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): EventManager::RedoEvent = [%s], ret= [%d]\n",
                  ev.toString().c_str_utf8(), result);
  }
  return result;
}

int EventManager::DeferEvent(Task* task, const Event& ev, std::chrono::milliseconds first,
                             std::chrono::milliseconds longest) {
  int count = -1;
  std::chrono::milliseconds pause{0};
  {
    std::lock_guard<std::mutex> lock(m_lock);
    const bool tree_event = !ev.isExpand();
    if (RedoLocked(task, ev) == 0 && tree_event) {
      Deferral& d = deferred[DeferKey{ev.m_sess_id, ev.m_path, ev.isDir()}];
      d.pause = std::min(longest, d.count == 0 ? first : d.pause * 2);
      d.due = std::chrono::steady_clock::now() + d.pause;
      d.server = ev.isServerEvent();
      count = ++d.count;
      pause = d.pause;
    }
  }
  EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): EventManager::DeferEvent = [%s], deferral %d, pause %lld ms\n",
                ev.toString().c_str_utf8(), count, static_cast<long long>(pause.count()));
  return count;
}

size_t EventManager::GetDeferredServerEvent(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_lock);
  size_t n = 0;
  for (auto it = deferred.lower_bound(DeferKey{sess_id, ustring(), false});
       it != deferred.end() && it->first.sess_id == sess_id; ++it) {
    n += it->second.server ? 1 : 0;
  }
  return n;
}

bool EventManager::PauseRuns(const Event& ev) const {
  if (deferred.empty()) return false;
  const auto it = deferred.find(DeferKey{ev.m_sess_id, ev.m_path, ev.isDir()});
  return it != deferred.end() && std::chrono::steady_clock::now() < it->second.due;
}

int EventManager::RedoLocked(Task* task, const Event& ev) {
  int result = -1;
  {
    auto it = registry.find(task);
    if (it == registry.end() || !SameEntry(it->second.processing, ev)) {
      // Resetting a node the task does not hold would hand it out while
      // its holder still works on it.
      EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Task does not hold the event to redo '%s'.\n",
                    ev.m_path.c_str_utf8());
    } else if (it->second.processing.isExpand()) {
      // Not in the tree, and the tree's node of the folder may be another
      // task's: let it go.
      registry.erase(it);
    } else {
      auto found = pool_index.find(ev.m_sess_id);
      if (found == pool_index.end()) {
        EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Can not find event pool\n");
      } else if (found->second->event_tree.Redo(ev.m_path, ev.isDir()) != 0) {
        EVENT_MGR_LOG(L_ERR,
                      "[ERROR] event-manager(%d): Failed to Reset event status to watting in event tree "
                      "'%s'.\n",
                      ev.m_path.c_str_utf8());
      } else {
        // A waiting event goes with the entry: its newer state is in the
        // tree.
        registry.erase(it);
        result = 0;
      }
    }
  }
  return result;
}

void EventManager::IssueRescan(uint64_t sess_id, const ustring& path, bool merge) {
  if (path == "/") {
    Event root;
    root.m_type = Event::EV_MODIFY;
    root.m_mode = Event::F_DIR;
    root.m_path = path;
    root.m_sess_id = sess_id;
    PushLocalEvent(root);
  }
  Event ev;
  ev.m_type = Event::EV_CREATE;
  ev.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN | (merge ? Event::F_MERGE : 0u);
  ev.m_path = path;
  ev.m_sess_id = sess_id;
  PushLocalEvent(ev);
  if (event_manager_log::On(Logger::L_DEBUG)) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::IssueRescan at [%llu], ev=[%s]\n",
                  static_cast<ull>(sess_id), ev.toString().c_str_utf8());
  }
}

void EventManager::ContinueRescan(Task* from, const Event& rescan) {
  std::lock_guard<std::mutex> lock(m_lock);
  // The same kind: a rescan's rest goes with rescans, an expansion's with
  // expansions.
  auto same_folder = [&rescan](const Event& ev) {
    return ev.isExpand() && ev.isRescan() == rescan.isRescan() && ev.m_sess_id == rescan.m_sess_id &&
           ev.m_path == rescan.m_path;
  };
  for (const auto& [task, entry] : registry) {
    if (task != from && same_folder(entry.processing)) {
      EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): a rescan of '%s' is under way, its continuation is dropped\n",
                    rescan.m_path.c_str_utf8());
      return;
    }
  }
  Registry::Entry entry;
  auto found = pool_index.find(rescan.m_sess_id);
  if (found == pool_index.end() || Registry::getInstance().Find(rescan.m_sess_id, entry) != 1) {
    EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): session %llu is gone, the rescan's continuation is dropped\n",
                  static_cast<ull>(rescan.m_sess_id));
    return;
  }
  event_pool* pool = found->second.get();
  for (const Event& ev : pool->expand_events) {
    if (same_folder(ev) && ev.m_opt.empty()) {
      EVENT_MGR_LOG(L_INFO, "[INFO] event-manager(%d): a new rescan of '%s' waits, its continuation is dropped\n",
                    rescan.m_path.c_str_utf8());
      return;
    }
  }
  pool->expand_events.push_back(rescan);
  if (pool->size() == 1) ready_queue.push_back(pool);
}

void EventManager::IssueExpand(uint64_t sess_id, const ustring& path) {
  Event ev;
  ev.m_type = Event::EV_CREATE;
  ev.m_mode = Event::F_DIR | Event::F_EXPAND;
  ev.m_path = path;
  ev.m_sess_id = sess_id;
  PushLocalEvent(ev);
  if (event_manager_log::On(Logger::L_DEBUG)) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager::IssueExpand at [%llu], ev=[%s]\n",
                  static_cast<ull>(sess_id), ev.toString().c_str_utf8());
  }
}

void EventManager::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  std::map<uint64_t, std::unique_ptr<event_pool>> pools;
  {
    std::lock_guard<std::mutex> count_lock(m_pool_index_lock);
    pool_counter_index.clear();
    pools.swap(pool_index);
  }
  // Out of the counters' reach now: the trees are destroyed without
  // holding m_pool_index_lock, which comes after a tree's locks.
  pools.clear();
  registry.clear();
  ready_queue.clear();
  deferred.clear();
}
