#include "session/event_pool.h"

#include "session/event_manager_log.h"

EventManager::event_pool::event_pool(const ustring& local_path) { event_tree.SetWatchPath(local_path); }

bool EventManager::event_pool::push(const Event& ev) {
  if (ev.m_type == Event::EV_EMPTY) return false;
  if (!ev.isExpand()) return event_tree.Push(ev) == 0;
  if (!ev.isDir()) return false;
  if (ev.isRescan() && ev.m_path == "/") {
    EVENT_MGR_LOG(L_INFO, "[INFO] event-pool(%d): Merging expand event.\n");
    expand_events.clear();
  }
  expand_events.push_back(ev);
  if (event_manager_log::On(Logger::L_DEBUG)) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-pool(%d): Push expand event [%s].\n", ev.toString().c_str_utf8());
  }
  return true;
}

int EventManager::event_pool::pop(Event& out) {
  if (!event_tree.IsEmpty() && event_tree.Pop(out) == 0) {
    if (event_manager_log::On(Logger::L_DEBUG)) {
      EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-pool(%d): event_pool: Pop an event [%s]\n",
                    out.toString().c_str_utf8());
    }
    return 1;
  }
  if (expand_events.empty()) return 0;
  out = expand_events.front();
  expand_events.pop_front();
  if (event_manager_log::On(Logger::L_DEBUG)) {
    EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-pool(%d): event_pool: Pop an expand event [%s]\n",
                  out.toString().c_str_utf8());
  }
  return 1;
}

size_t EventManager::event_pool::size() {
  return static_cast<size_t>(event_tree.GetLocalEventCount()) +
         static_cast<size_t>(event_tree.GetServerEventCount()) + expand_events.size();
}

void EventManager::event_pool::clear() {
  event_tree.Clear();
  expand_events.clear();
}

bool EventManager::event_pool::is_empty() { return event_tree.IsEmpty() && expand_events.empty(); }
