// Read-only access to an EventList2's nodes for tests, and small helpers to
// build events.
#ifndef TESTS_SESSION_EVENT_LIST2_VIEW_H_
#define TESTS_SESSION_EVENT_LIST2_VIEW_H_

#include <mutex>
#include <string>
#include <vector>

#include "session/event.h"
#include "session/event_list2.h"

class EventList2Inspector {
 public:
  struct Node {
    std::string path;  // "/" for the root, else the names joined by "/"
    bool is_dir = false;
    EventList2::Status status = EventList2::DONE;
    EventList2::Attribute attr;
    int ref_server = 0;
    int ref_local = 0;
    bool has_children = false;
    std::string parent;  // path of the parent folder; "" for the root
  };

  // Every node in walk order (a folder, its files, its sub-folders), under
  // the tree's mutex.
  static std::vector<Node> Nodes(EventList2& list) {
    std::lock_guard<std::mutex> lock(list.mutex);
    std::vector<Node> out;
    Walk(*list.root, "/", "", out);
    return out;
  }

  // Whether every name index matches its list exactly.
  static bool IndexesConsistent(EventList2& list) {
    std::lock_guard<std::mutex> lock(list.mutex);
    return Consistent(*list.root);
  }

  // The shape in one line per node: "D /a DONE", "F /a/b WAITING".
  static std::vector<std::string> Shape(EventList2& list) {
    std::vector<std::string> lines;
    for (const Node& n : Nodes(list)) {
      lines.push_back(std::string(n.is_dir ? "D " : "F ") + n.path + " " + StatusName(n.status));
    }
    return lines;
  }

  static const char* StatusName(EventList2::Status s) {
    switch (s) {
      case EventList2::WAITING:
        return "WAITING";
      case EventList2::PROCESSING:
        return "PROCESSING";
      case EventList2::DONE:
        return "DONE";
      case EventList2::RETRY:
        return "RETRY";
    }
    return "?";
  }

 private:
  static std::string Join(const std::string& parent, const std::string& name) {
    return parent == "/" ? "/" + name : parent + "/" + name;
  }

  static void Walk(const EventList2::DirNode& d, const std::string& path, const std::string& parent,
                   std::vector<Node>& out) {
    Node n;
    n.path = path;
    n.is_dir = true;
    n.status = d.status;
    n.attr = d.attr;
    n.ref_server = d.refServerCount;
    n.ref_local = d.refLocalCount;
    n.has_children = d.HasChildren();
    n.parent = parent;
    out.push_back(n);
    for (const EventList2::FileNode& f : d.file) {
      Node fn;
      fn.path = Join(path, f.name);
      fn.is_dir = false;
      fn.status = f.status;
      fn.attr = f.attr;
      fn.parent = path;
      out.push_back(fn);
    }
    for (const auto& child : d.dir) Walk(*child, Join(path, child->name), path, out);
  }

  static bool Consistent(const EventList2::DirNode& d) {
    if (d.dir_index.size() != d.dir.size() || d.file_index.size() != d.file.size()) return false;
    for (auto it = d.dir.begin(); it != d.dir.end(); ++it) {
      auto found = d.dir_index.find((*it)->name);
      if (found == nullptr || *found != it) return false;
      if ((*it)->parent != &d) return false;
      if (!Consistent(**it)) return false;
    }
    for (auto it = d.file.begin(); it != d.file.end(); ++it) {
      auto found = d.file_index.find(it->name);
      if (found == nullptr || &**found != &*it) return false;
    }
    return true;
  }
};

namespace event_list2_test {

// An event of `path`; `mode` holds F_DIR / F_SERVER.
inline Event Ev(const std::string& path, Event::Type type, uint32_t mode = 0, uint64_t sync_id = 0,
                const char* hash = "") {
  Event e;
  e.m_type = type;
  e.m_mode = mode;
  e.m_sync_id = sync_id;
  e.m_path = path;
  e.m_data_hash = hash;
  e.m_sess_id = 1;
  return e;
}

constexpr uint32_t kDir = Event::F_DIR;
constexpr uint32_t kServer = Event::F_SERVER;

}  // namespace event_list2_test

#endif  // TESTS_SESSION_EVENT_LIST2_VIEW_H_
