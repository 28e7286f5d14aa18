// EventManager::event_pool: the pending events of one session inside the
// event manager (internal to event_manager*.cpp and the manager's tests).
#ifndef SESSION_EVENT_POOL_H_
#define SESSION_EVENT_POOL_H_

#include <cstddef>
#include <list>

#include "foundation/ustring.h"
#include "session/event.h"
#include "session/event_list2.h"
#include "session/event_manager.h"

// The session's tree of non-expand events and its list of expand events,
// oldest first. Not locked itself: every call but the counts runs under the
// manager's m_lock; the tree locks itself.
class EventManager::event_pool {
 public:
  // `local_path` is the session's local folder (the tree's watch path).
  explicit event_pool(const ustring& local_path);
  event_pool(const event_pool&) = delete;
  event_pool& operator=(const event_pool&) = delete;

  // Merges a non-expand event into the tree; appends an expand event of a
  // folder to the list (a rescan of "/" first empties it). True when the
  // event was taken; false for an EV_EMPTY event, an expand without F_DIR
  // and a path the tree refuses.
  bool push(const Event& ev);
  // Tree events before expand events: 1 with `out` (a tree event stays
  // counted until it is done; an expand leaves the list), 0 without.
  int pop(Event& out);
  // Tree events (local + server, in progress included) plus pending expands.
  size_t size();

  // Nothing in the daemon calls these four.
  void clear();
  bool is_empty();
  int get_local_event_count() { return event_tree.GetLocalEventCount(); }
  int get_server_event_count() { return event_tree.GetServerEventCount(); }

  EventList2 event_tree;
  std::list<Event> expand_events;
};

#endif  // SESSION_EVENT_POOL_H_
