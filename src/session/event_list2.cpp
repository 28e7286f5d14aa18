// EventList2: nodes, walk (Pop), done, redo and clearing. The merge rules
// are in event_list2_merge.cpp, the dumps in event_list2_dump.cpp.
#include "session/event_list2.h"

#include <iterator>
#include <utility>

#include "session/event_list2_log.h"

namespace {

using ull = unsigned long long;

// Calls f(component) for each component of a parent part, skipping runs
// of "/"; stops and returns false when f does.
template <class F>
bool ForEachComponent(std::string_view parent, F&& f) {
  size_t i = 0;
  while (i < parent.size()) {
    if (parent[i] == '/') {
      ++i;
      continue;
    }
    size_t end = parent.find('/', i);
    if (end == std::string_view::npos) end = parent.size();
    if (!f(parent.substr(i, end - i))) return false;
    i = end;
  }
  return true;
}

std::string_view View(const ustring& s) { return std::string_view(s.c_str_utf8(), s.size()); }

}  // namespace

EventList2::EventList2() : root(NewRoot()) {}

EventList2::~EventList2() { RemoveDirNode(std::move(root)); }

std::unique_ptr<EventList2::DirNode> EventList2::NewRoot() {
  auto node = std::make_unique<DirNode>();
  node->name.push_back('/');  // (= "/" trips a false -Wrestrict of g++ 12 at -O3)
  node->status = DONE;
  return node;
}

// --- Attributes ------------------------------------------------------------

void EventList2::ConvertEventToAttr(const Event& event, Attribute& attr) {
  attr.type = event.m_type;
  attr.mode = event.m_mode;
  attr.syncID = event.m_sync_id;
  attr.maxSyncID = event.m_max_id;
  attr.sessID = event.m_sess_id;
  attr.hash = event.m_data_hash;
  attr.path = event.m_path;
  attr.opt = event.m_opt;
  attr.mac_attr_hash = event.m_mac_attr_hash;
  attr.size = event.m_data_size;
  attr.mac_attr_size = event.m_mac_attr_size;
  attr.time = event.m_time;
  attr.exec_bit = event.m_exec_bit;
}

void EventList2::ConvertAttrToEvent(const Attribute& attr, Event& event) {
  event.m_type = attr.type;
  event.m_mode = attr.mode;
  event.m_sync_id = attr.syncID;
  event.m_max_id = attr.maxSyncID;
  event.m_sess_id = attr.sessID;
  event.m_data_hash = attr.hash;
  event.m_path = attr.path;
  event.m_opt = attr.opt;
  event.m_mac_attr_hash = attr.mac_attr_hash;
  event.m_data_size = attr.size;
  event.m_mac_attr_size = attr.mac_attr_size;
  event.m_time = attr.time;
  event.m_exec_bit = attr.exec_bit;
}

void EventList2::ClearAttribute(Attribute& attr) {
  attr.type = Event::EV_EMPTY;
  attr.hash.clear();
  attr.path.clear();
  attr.mode = 0;
  attr.syncID = 0;
}

// --- Paths and nodes ---------------------------------------------------------

bool EventList2::BaseName(std::string_view path, PathParts& parts) {
  if (path.empty() || path.back() == '/') return false;
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    parts.parent = std::string_view();
    parts.name = path;
  } else {
    parts.parent = path.substr(0, slash);
    parts.name = path.substr(slash + 1);
  }
  return true;
}

EventList2::DirNode* EventList2::FindDir(DirNode* parent, std::string_view name) {
  const DirList::iterator* it = parent->dir_index.find(name);
  return it == nullptr ? nullptr : (*it)->get();
}

std::list<EventList2::FileNode>::iterator EventList2::FindFile(DirNode* parent,
                                                               std::string_view name) {
  const FileList::iterator* it = parent->file_index.find(name);
  return it == nullptr ? parent->file.end() : *it;
}

EventList2::DirNode* EventList2::FindParent(std::string_view parent_part) {
  DirNode* cur = root.get();
  bool found = ForEachComponent(parent_part, [&](std::string_view component) {
    cur = FindDir(cur, component);
    return cur != nullptr;
  });
  return found ? cur : nullptr;
}

EventList2::DirNode* EventList2::AddDirectory(std::string_view parent_part) {
  DirNode* cur = root.get();
  try {
    ForEachComponent(parent_part, [&](std::string_view component) {
      DirNode* next = FindDir(cur, component);
      if (next == nullptr) next = AddDirectoryNode(cur, component, Attribute(), DONE);
      cur = next;
      return true;
    });
  } catch (...) {
    // The folders made on the way would be DONE with nothing below them.
    RemoveDoneEventDir(cur);
    throw;
  }
  return cur;
}

EventList2::DirNode* EventList2::AddDirectoryNode(DirNode* parent, std::string_view name,
                                                  Attribute&& attr, Status status) {
  auto node = std::make_unique<DirNode>();
  node->name.assign(name);
  node->parent = parent;
  node->status = status;
  node->attr = std::move(attr);
  DirNode* raw = node.get();
  parent->dir.push_back(std::move(node));  // on failure `node` still owns it
  try {
    parent->dir_index.insert(std::prev(parent->dir.end()));
  } catch (...) {
    parent->dir.pop_back();
    throw;
  }
  return raw;
}

void EventList2::AddFileNode(DirNode* parent, std::string_view name, Attribute&& attr) {
  FileNode node;
  node.name.assign(name);
  node.status = WAITING;
  node.attr = std::move(attr);
  parent->file.push_back(std::move(node));
  auto it = std::prev(parent->file.end());
  try {
    parent->file_index.insert(it);
  } catch (...) {
    parent->file.pop_back();
    throw;
  }
}

std::unique_ptr<EventList2::DirNode> EventList2::UnlinkDir(DirNode* node) {
  DirNode* parent = node->parent;
  DirList::iterator list_it = *parent->dir_index.find(node->name);
  parent->dir_index.erase(node->name);  // while the name is there to compare
  std::unique_ptr<DirNode> owned = std::move(*list_it);
  parent->dir.erase(list_it);
  return owned;
}

void EventList2::EraseFile(DirNode* parent, std::list<FileNode>::iterator it) {
  parent->file_index.erase(it->name);
  parent->file.erase(it);
}

void EventList2::RemoveDoneEventDir(DirNode* folder) {
  while (folder != root.get() && folder->status == DONE && !folder->HasChildren()) {
    DirNode* parent = folder->parent;
    UnlinkDir(folder);  // freed here
    folder = parent;
  }
}

// --- Counters -----------------------------------------------------------------

void EventList2::IncreaseRefCount(DirNode* node, bool server) {
  for (DirNode* n = node; n != nullptr; n = n->parent) ++(server ? n->refServerCount : n->refLocalCount);
}

void EventList2::DecreaseRefCount(DirNode* node, bool server) {
  for (DirNode* n = node; n != nullptr; n = n->parent) --(server ? n->refServerCount : n->refLocalCount);
}

void EventList2::AddEventCount(bool server, int delta) {
  std::lock_guard<std::mutex> lock(mutex_count);
  (server ? server_event_count : local_event_count) += delta;
}

bool EventList2::IsEmpty() {
  std::lock_guard<std::mutex> lock(mutex_count);
  return server_event_count == 0 && local_event_count == 0;
}

int EventList2::GetServerEventCount() {
  std::lock_guard<std::mutex> lock(mutex_count);
  return server_event_count;
}

int EventList2::GetLocalEventCount() {
  std::lock_guard<std::mutex> lock(mutex_count);
  return local_event_count;
}

void EventList2::IncreaseServerEventCount() { AddEventCount(true, 1); }
void EventList2::DecreaseServerEventCount() { AddEventCount(true, -1); }
void EventList2::IncreaseLocalEventCount() { AddEventCount(false, 1); }
void EventList2::DecreaseLocalEventCount() { AddEventCount(false, -1); }

// --- Pop ------------------------------------------------------------------------

int EventList2::Pop(Event& out) {
  std::lock_guard<std::mutex> lock(mutex);
  const Attribute* taken = nullptr;
  switch (root->status) {
    case WAITING:
      taken = PopRoot();
      break;
    case DONE:
      taken = GetFirstWaiting(root.get());
      break;
    case PROCESSING:
    case RETRY:
      // While the session's root event is in progress nothing else of the
      // session is handed out.
      break;
  }
  if (taken == nullptr) return -1;
  ConvertAttrToEvent(*taken, out);
  return 0;
}

const EventList2::Attribute* EventList2::PopRoot() {
  DirNode* r = root.get();
  if (!IsValid(r->attr)) return nullptr;
  // The root is a folder like any other: its event waits until the work
  // below it has reported back.
  if (r->refServerCount != 0 || r->refLocalCount != 0) return nullptr;
  const bool server = IsServerEvent(r->attr);
  r->status = PROCESSING;
  IncreaseRefCount(r, server);
  EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): [Pop Event] = ['/', %llu, %s]\n",
                 static_cast<ull>(r->attr.syncID), server ? "server" : "local");
  return &r->attr;
}

const EventList2::Attribute* EventList2::GetFirstWaiting(DirNode* folder) {
  for (FileNode& f : folder->file) {
    if (f.status != WAITING) continue;
    const bool server = IsServerEvent(f.attr);
    f.status = PROCESSING;
    IncreaseRefCount(folder, server);
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): [Pop File Event] = [%s], server = [%d], type = [%d], "
                   "path = [%s]\n",
                   f.name.c_str(), server ? 1 : 0, static_cast<int>(f.attr.type),
                   f.attr.path.c_str_utf8());
    return &f.attr;
  }

  for (auto& child : folder->dir) {
    DirNode* d = child.get();
    switch (d->status) {
      case PROCESSING:
      case RETRY:
        continue;
      case DONE:
        // Nothing to hand out inside: go on with the next sibling, so one
        // busy folder does not hold back the rest.
        if (const Attribute* a = GetFirstWaiting(d)) return a;
        continue;
      case WAITING:
        break;
    }

    if (d->refServerCount != 0 || d->refLocalCount != 0) {
      // Work below: the folder's own event waits. A remove that waits on
      // work of the other side that is not all removes must rescan.
      if (d->attr.type == Event::EV_REMOVE) {
        const bool local_waits = IsLocalEvent(d->attr) && d->refServerCount > 0;
        const bool server_waits = IsServerEvent(d->attr) && d->refLocalCount > 0;
        if ((local_waits || server_waits) && !IsAllSubProcessingNodeAreDeleteEvent(d)) {
          if (local_waits) {
            SetLocalSubDirRescanWithStat(d->attr);
            EVENT_LIST_LOG(L_INFO,
                           "[INFO] event-list2(%d): Mark node to be "
                           "SetLocalSubDirRescanWithStat(sub-node processing) [%s].\n",
                           d->attr.path.c_str_utf8());
          } else {
            SetServerSubDirRescanWithStat(d->attr);
            EVENT_LIST_LOG(L_INFO,
                           "[INFO] event-list2(%d): Mark node to be "
                           "SetServerSubDirRescanWithStat(sub-node processing) [%s].\n",
                           d->attr.path.c_str_utf8());
          }
        }
      }
      continue;
    }

    const bool server = IsServerEvent(d->attr);
    if (d->attr.type == Event::EV_REMOVE && d->HasChildren() && !IsAllSubNodeAreDeleteEvent(d)) {
      if (server) {
        SetServerSubDirRescanWithStat(d->attr);
        EVENT_LIST_LOG(L_INFO,
                       "[INFO] event-list2(%d): Mark node to be "
                       "SetServerSubDirRescanWithStat(sub-node not empty) [%s].\n",
                       d->attr.path.c_str_utf8());
      } else {
        SetLocalSubDirRescanWithStat(d->attr);
        EVENT_LIST_LOG(L_INFO,
                       "[INFO] event-list2(%d): Mark node to be "
                       "SetLocalSubDirRescanWithStat(sub-node not empty) [%s].\n",
                       d->attr.path.c_str_utf8());
      }
    }
    d->status = PROCESSING;
    IncreaseRefCount(folder, server);
    EVENT_LIST_LOG(L_INFO,
                   "[INFO] event-list2(%d): [Pop Dir Event] = [%s], server = [%d], type = [%d], "
                   "path = [%s]\n",
                   d->name.c_str(), server ? 1 : 0, static_cast<int>(d->attr.type),
                   d->attr.path.c_str_utf8());
    return &d->attr;
  }
  return nullptr;
}

bool EventList2::IsAllSubProcessingNodeAreDeleteEvent(DirNode* folder) {
  for (const FileNode& f : folder->file) {
    if (f.status == PROCESSING && f.attr.type != Event::EV_REMOVE) {
      EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): file '%s' is processing with event type [%d]\n",
                     f.attr.path.c_str_utf8(), static_cast<int>(f.attr.type));
      return false;
    }
  }
  for (auto& child : folder->dir) {
    DirNode* d = child.get();
    if (!IsAllSubProcessingNodeAreDeleteEvent(d)) {
      EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): AllSubProcessingNode are not Delete Event '%s'.\n",
                     d->name.c_str());
      return false;
    }
    if (d->status == PROCESSING && d->attr.type != Event::EV_REMOVE) {
      EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): Dir '%s' is processing with event type [%d]\n",
                     d->name.c_str(), static_cast<int>(d->attr.type));
      return false;
    }
  }
  return true;
}

bool EventList2::IsAllSubNodeAreDeleteEvent(DirNode* folder) {
  bool all = true;
  AllSubNodeAreDeleteEvent(folder, all);
  return all;
}

void EventList2::AllSubNodeAreDeleteEvent(DirNode* folder, bool& all) {
  for (const FileNode& f : folder->file) {
    if (f.attr.type != Event::EV_REMOVE) {  // files are never DONE
      all = false;
      return;
    }
  }
  for (auto& child : folder->dir) {
    DirNode* d = child.get();
    if (d->status != DONE && d->attr.type != Event::EV_REMOVE) {
      all = false;
      return;
    }
    AllSubNodeAreDeleteEvent(d, all);
    if (!all) return;
  }
}

int EventList2::Pop(const ustring& path, bool is_dir, Event& out) {
  std::lock_guard<std::mutex> lock(mutex);
  if (event_list2_log::On(Logger::L_DEBUG)) {
    int local_count, server_count;
    {
      std::lock_guard<std::mutex> count_lock(mutex_count);
      local_count = local_event_count;
      server_count = server_event_count;
    }
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Event tree current status local_evnet: %d, "
                   "server_event:%d.\n",
                   local_count, server_count);
  }
  const Attribute* taken = path == "/" ? PopRootByPath() : PopByPath(View(path), is_dir);
  if (taken == nullptr) return -1;
  ConvertAttrToEvent(*taken, out);
  if (event_list2_log::On(Logger::L_INFO)) {
    EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): [Pop Event] = [%s]\n",
                   out.toString().c_str_utf8());
  }
  return 0;
}

const EventList2::Attribute* EventList2::PopRootByPath() {
  DirNode* r = root.get();
  if (!IsValid(r->attr) || r->status != RETRY) return nullptr;
  const bool server = IsServerEvent(r->attr);
  r->status = PROCESSING;
  IncreaseRefCount(r, server);
  EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): [Pop Event] = ['/', %llu, %s]\n",
                 static_cast<ull>(r->attr.syncID), server ? "server" : "local");
  return &r->attr;
}

const EventList2::Attribute* EventList2::PopByPath(std::string_view path, bool is_dir) {
  PathParts parts;
  if (!BaseName(path, parts)) return nullptr;
  DirNode* parent = FindParent(parts.parent);
  if (parent == nullptr) return nullptr;
  if (is_dir) {
    DirNode* d = FindDir(parent, parts.name);
    if (d == nullptr || d->status != RETRY) return nullptr;
    d->status = PROCESSING;
    IncreaseRefCount(parent, IsServerEvent(d->attr));
    return &d->attr;
  }
  auto it = FindFile(parent, parts.name);
  if (it == parent->file.end() || it->status != RETRY) return nullptr;
  it->status = PROCESSING;
  IncreaseRefCount(parent, IsServerEvent(it->attr));
  return &it->attr;
}

// --- Done -----------------------------------------------------------------------

int EventList2::DoneEvent(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex);
  int ret;
  if (event.m_path == "/") {
    ret = UpdateRoot(event);
  } else if (event.isDir()) {
    ret = UpdateDirDoneEvent(event);
  } else {
    ret = UpdateFileDoneEvent(event);
  }
  if (event_list2_log::On(Logger::L_DEBUG)) {
    EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): DoneEvent ret = [%d], %s.\n", ret,
                   event.toString().c_str_utf8());
    int local_count, server_count;
    {
      std::lock_guard<std::mutex> count_lock(mutex_count);
      local_count = local_event_count;
      server_count = server_event_count;
    }
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): DoneEvent local event = [%d], server event = [%d]\n",
                   local_count, server_count);
  }
  return ret;
}

int EventList2::UpdateRoot(const Event& event) {
  DirNode* r = root.get();
  const bool server = event.isServerEvent();
  if (IsServerEvent(r->attr) != server) {
    EVENT_LIST_LOG(L_WARNING,
                   "[WARNING] event-list2(%d): Failed to UpdateRoot(attr mode is different) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  if (r->status != PROCESSING) {
    EVENT_LIST_LOG(L_WARNING,
                   "[WARNING] event-list2(%d): Failed to UpdateRoot (NOT PROCESSING) [%s] in "
                   "status[%d].\n",
                   r->name.c_str(), static_cast<int>(r->status));
    return -1;
  }
  r->status = DONE;
  DecreaseRefCount(r, server);
  ClearAttribute(r->attr);
  AddEventCount(server, -1);
  return 0;
}

int EventList2::UpdateDirDoneEvent(const Event& event) {
  PathParts parts;
  if (!BaseName(View(event.m_path), parts)) return -1;
  DirNode* parent = FindParent(parts.parent);
  if (parent == nullptr) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateDirDoneEvent(parent not found) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  DirNode* d = FindDir(parent, parts.name);
  if (d == nullptr) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateDirDoneEvent(DirNode not found) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  const bool server = event.isServerEvent();
  if (IsServerEvent(d->attr) != server) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateDirDoneEvent(attr mode is diff) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  if (d->status != PROCESSING) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateDirDoneEvent(NOT PROCESSING) [%s] in "
                   "status[%d].\n",
                   d->name.c_str(), static_cast<int>(d->status));
    return -1;
  }
  DecreaseRefCount(parent, server);
  if (d->HasChildren()) {
    d->status = DONE;
    ClearAttribute(d->attr);
  } else {
    UnlinkDir(d);  // freed here
    RemoveDoneEventDir(parent);
  }
  AddEventCount(server, -1);
  return 0;
}

int EventList2::UpdateFileDoneEvent(const Event& event) {
  PathParts parts;
  if (!BaseName(View(event.m_path), parts)) return -1;
  DirNode* parent = FindParent(parts.parent);
  if (parent == nullptr) {
    EVENT_LIST_LOG(L_ERR,
                   "[ERROR] event-list2(%d): Failed to UpdateFileDoneEvent(parent not found) [%s]\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  auto it = FindFile(parent, parts.name);
  if (it == parent->file.end()) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateFileDoneEvent(FileNode not found) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  const bool server = event.isServerEvent();
  if (IsServerEvent(it->attr) != server) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateFileDoneEvent(attr mode is diff) [%s].\n",
                   event.m_path.c_str_utf8());
    return -1;
  }
  if (it->status != PROCESSING) {
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): Failed to UpdateFileDoneEvent(NOT PROCESSING) [%s] in "
                   "status[%d].\n",
                   it->name.c_str(), static_cast<int>(it->status));
    return -1;
  }
  DecreaseRefCount(parent, server);
  AddEventCount(server, -1);
  EraseFile(parent, it);
  RemoveDoneEventDir(parent);
  return 0;
}

// --- Redo -----------------------------------------------------------------------

int EventList2::Redo(const ustring& path, bool is_dir) {
  std::lock_guard<std::mutex> lock(mutex);
  if (path == "/") {
    DirNode* r = root.get();
    if (r->status == PROCESSING) {
      DecreaseRefCount(r, IsServerEvent(r->attr));
    } else if (r->status != RETRY) {
      // A RETRY root goes back too: its counter was lowered by the merge,
      // and a RETRY root would block Pop for good.
      return -1;
    }
    r->status = WAITING;
    return 0;
  }
  return SetWaitingStatusByPath(View(path), is_dir);
}

int EventList2::SetWaitingStatusByPath(std::string_view path, bool is_dir) {
  PathParts parts;
  if (!BaseName(path, parts)) return -1;
  DirNode* parent = FindParent(parts.parent);
  if (parent == nullptr) return -1;

  // Only the node of the event's own kind, and only one that a task holds:
  // a same-name node of the other kind, or one that waits or is DONE, is
  // not the task's to give back.
  if (is_dir) {
    const DirList::iterator* pos = parent->dir_index.find(parts.name);
    if (pos == nullptr) return -1;
    DirNode* d = (*pos)->get();
    if (d->status != PROCESSING && d->status != RETRY) return -1;
    if (d->status == PROCESSING) DecreaseRefCount(parent, IsServerEvent(d->attr));
    d->status = WAITING;
    parent->dir.splice(parent->dir.end(), parent->dir, *pos);
  } else {
    const FileList::iterator* pos = parent->file_index.find(parts.name);
    if (pos == nullptr) return -1;
    FileNode& f = **pos;
    if (f.status != PROCESSING && f.status != RETRY) return -1;
    if (f.status == PROCESSING) DecreaseRefCount(parent, IsServerEvent(f.attr));
    f.status = WAITING;
    parent->file.splice(parent->file.end(), parent->file, *pos);
  }

  // Every folder on the way goes behind its siblings too.
  for (DirNode* d = parent; d->parent != nullptr; d = d->parent) {
    DirNode* up = d->parent;
    up->dir.splice(up->dir.end(), up->dir, *up->dir_index.find(d->name));
  }
  return 0;
}

// --- Clearing -------------------------------------------------------------------

void EventList2::Clear() {
  EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): ========Clear=========\n");
  std::unique_ptr<DirNode> fresh = NewRoot();  // first: the tree always has a root
  std::lock_guard<std::mutex> lock(mutex);
  RemoveDirNode(std::move(root));
  {
    std::lock_guard<std::mutex> count_lock(mutex_count);
    server_event_count = 0;
    local_event_count = 0;
  }
  root = std::move(fresh);
}

void EventList2::RemoveDirNode(std::unique_ptr<DirNode> node) {
  if (!node) return;
  for (auto& child : node->dir) RemoveDirNode(std::move(child));
  EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Remove Dir] = [%s]\n", node->name.c_str());
}

void EventList2::ClearLocalEvent() {
  EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): ========RemoveLocalEvent=========\n");
  std::lock_guard<std::mutex> lock(mutex);
  int kept = 0;
  RemoveLocalEventNode(root.get(), kept);
  std::lock_guard<std::mutex> count_lock(mutex_count);
  // The root's own event stays, and so does its count.
  local_event_count = IsValid(root->attr) && IsLocalEvent(root->attr) ? 1 : 0;
}

void EventList2::RemoveLocalEventNode(DirNode* folder, int& kept) {
  for (auto it = folder->dir.begin(); it != folder->dir.end();) {
    DirNode* d = it->get();
    int below = 0;
    RemoveLocalEventNode(d, below);
    const bool local = IsLocalEvent(d->attr);  // an empty attribute counts as local
    if (below == 0 && local) {
      EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Remove Dir Node] = [%s]\n", d->name.c_str());
      ++it;
      UnlinkDir(d);  // freed here
      continue;
    }
    EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Cannot Remove Dir Node] = [%s],refTemp = [%d]\n",
                   d->name.c_str(), below);
    if (local) {
      d->status = DONE;
      ClearAttribute(d->attr);
    }
    kept += below + 1;
    ++it;
  }
  RemoveSubFileLocalEventNode(folder, kept);
}

void EventList2::RemoveSubFileLocalEventNode(DirNode* folder, int& kept) {
  for (auto it = folder->file.begin(); it != folder->file.end();) {
    if (IsServerEvent(it->attr)) {
      EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Cannot Remove File Node] = [%s]\n",
                     it->name.c_str());
      ++kept;
      ++it;
      continue;
    }
    EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Remove File Node] = [%s]\n", it->name.c_str());
    auto next = std::next(it);
    EraseFile(folder, it);
    it = next;
  }
}
