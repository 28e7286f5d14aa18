// Read-only look into an EventManager for tests.
#ifndef TESTS_SESSION_EVENT_MANAGER_VIEW_H_
#define TESTS_SESSION_EVENT_MANAGER_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "event_list2_view.h"
#include "session/event_manager.h"
#include "session/event_pool.h"

class EventManagerInspector {
 public:
  // Entries of the ready queue (a pool may stand there more than once).
  static size_t QueueLength(EventManager& em) {
    std::lock_guard<std::mutex> lock(em.m_lock);
    return em.ready_queue.size();
  }

  // Tasks with an event in hand.
  static size_t Held(EventManager& em) {
    std::lock_guard<std::mutex> lock(em.m_lock);
    return em.registry.size();
  }

  // Pending expands of the session, by path.
  static std::vector<std::string> Expands(EventManager& em, uint64_t sess_id) {
    std::lock_guard<std::mutex> lock(em.m_lock);
    std::vector<std::string> out;
    auto it = em.pool_index.find(sess_id);
    if (it == em.pool_index.end()) return out;
    for (const Event& ev : it->second->expand_events) {
      // A rescan's continuation shows where it resumes: "<path>><after>".
      out.emplace_back(ev.m_path.c_str_utf8());
      if (!ev.m_opt.empty()) out.back() += std::string(">") + ev.m_opt.c_str_utf8();
    }
    return out;
  }

  // The nodes of every session's tree that are not the bare root, as
  // "<sess> <D|F> <path> <status>"; empty when every tree is empty.
  static std::vector<std::string> TreeLeftovers(EventManager& em) {
    std::lock_guard<std::mutex> lock(em.m_lock);
    std::vector<std::string> out;
    for (auto& [sess, pool] : em.pool_index) {
      for (const auto& n : EventList2Inspector::Nodes(pool->event_tree)) {
        if (n.path == "/" && n.status == EventList2::DONE && !n.has_children) continue;
        out.push_back(std::to_string(sess) + (n.is_dir ? " D " : " F ") + n.path + " " +
                      EventList2Inspector::StatusName(n.status));
      }
    }
    return out;
  }
};

#endif  // TESTS_SESSION_EVENT_MANAGER_VIEW_H_
