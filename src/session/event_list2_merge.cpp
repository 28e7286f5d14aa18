// EventList2: the merge rules of Push, the survivor of two events of one
// path, and the pruning below a folder delete.
#include <utility>

#include "filter/file_status_db.h"
#include "session/event_list2.h"
#include "session/event_list2_log.h"

namespace {

// A server event wins over an older server event of the same path; a
// made-up download (MAX_SYNC_ID) gives way to any other. Equal ids keep old.
bool NewerServerEvent(const EventList2::Attribute& old_attr, const EventList2::Attribute& new_attr) {
  return new_attr.syncID > old_attr.syncID || old_attr.syncID == MAX_SYNC_ID;
}

}  // namespace

int EventList2::Push(const Event& event) {
  if (event_list2_log::On(Logger::L_INFO)) {
    EVENT_LIST_LOG(L_INFO, "[INFO] event-list2(%d): [Push Event] = [%s]\n",
                   event.toString().c_str_utf8());
  }
  Attribute attr;
  ConvertEventToAttr(event, attr);
  Attribute old_attr;  // not wanted
  std::lock_guard<std::mutex> lock(mutex);
  return PushLocked(attr, old_attr);
}

int EventList2::Push(const Event& event, Event& old) {
  Attribute attr;
  ConvertEventToAttr(event, attr);
  Attribute old_attr;
  int ret;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ret = PushLocked(attr, old_attr);
  }
  if (ret == 0 && IsValid(old_attr)) {
    ConvertAttrToEvent(old_attr, old);
  } else {
    old.clear();
  }
  return ret;
}

int EventList2::PushLocked(Attribute& attr, Attribute& old_attr) {
  if (!IsValid(attr)) return -1;
  if (attr.path == "/") return AddRoot(attr, old_attr);
  if (IsDir(attr)) return AddDir(attr, old_attr);
  return AddFile(attr, old_attr);
}

void EventList2::MergeInto(Status& status, Attribute& node_attr, const Attribute& attr,
                           DirNode* parent, Attribute& old_attr) {
  Attribute result;
  HandleConflict(node_attr, attr, result);
  const bool old_server = IsServerEvent(node_attr);
  const bool new_server = IsServerEvent(result);
  if (old_server != new_server) {
    std::lock_guard<std::mutex> count_lock(mutex_count);
    --(old_server ? server_event_count : local_event_count);
    ++(new_server ? server_event_count : local_event_count);
  }
  if (status == PROCESSING) {
    // The task keeps its event; the merged one waits for it (RETRY), so
    // the folders above no longer count it as in progress.
    status = RETRY;
    DecreaseRefCount(parent, old_server);
  }
  old_attr = std::move(node_attr);
  node_attr = std::move(result);
}

int EventList2::AddRoot(Attribute& attr, Attribute& old_attr) {
  DirNode* r = root.get();
  if (!IsValid(r->attr)) {
    // No event at the root (DONE, or new): it takes this one.
    const bool server = IsServerEvent(attr);
    r->attr = std::move(attr);
    r->status = WAITING;
    AddEventCount(server, 1);
    return 0;
  }
  MergeInto(r->status, r->attr, attr, r, old_attr);
  return 0;
}

int EventList2::AddDir(Attribute& attr, Attribute& old_attr) {
  PathParts parts;
  if (!BaseName(std::string_view(attr.path.c_str_utf8(), attr.path.size()), parts)) return -1;
  DirNode* parent = AddDirectory(parts.parent);
  DirNode* d = FindDir(parent, parts.name);
  if (d == nullptr) {
    const bool server = IsServerEvent(attr);
    try {
      // `parts` views attr.path: take the name before the move.
      std::string name(parts.name);
      AddDirectoryNode(parent, name, std::move(attr), WAITING);
    } catch (...) {
      RemoveDoneEventDir(parent);
      throw;
    }
    AddEventCount(server, 1);
    return 0;
  }
  if (d->status == DONE) {
    const bool server = IsServerEvent(attr);
    d->attr = std::move(attr);
    d->status = WAITING;
    AddEventCount(server, 1);
  } else {
    MergeInto(d->status, d->attr, attr, parent, old_attr);
  }
  if (d->attr.type == Event::EV_REMOVE) {
    int kept = 0;
    RemoveSubNode(d, IsServerEvent(d->attr), kept, d->attr.syncID);
  }
  return 0;
}

int EventList2::AddFile(Attribute& attr, Attribute& old_attr) {
  PathParts parts;
  if (!BaseName(std::string_view(attr.path.c_str_utf8(), attr.path.size()), parts)) return -1;
  DirNode* parent = AddDirectory(parts.parent);
  auto it = FindFile(parent, parts.name);
  if (it == parent->file.end()) {
    const bool server = IsServerEvent(attr);
    try {
      std::string name(parts.name);
      AddFileNode(parent, name, std::move(attr));
    } catch (...) {
      RemoveDoneEventDir(parent);
      throw;
    }
    AddEventCount(server, 1);
    return 0;
  }
  MergeInto(it->status, it->attr, attr, parent, old_attr);
  return 0;
}

void EventList2::HandleConflict(const Attribute& old_attr, const Attribute& new_attr,
                                Attribute& result) {
  if (!IsValid(old_attr)) {
    result = new_attr;
    return;
  }
  if (!IsValid(new_attr)) {
    result = old_attr;
    return;
  }
  const bool old_server = IsServerEvent(old_attr);
  const bool new_server = IsServerEvent(new_attr);

  if (IsDir(new_attr)) {
    if (old_server && new_server) {
      result = NewerServerEvent(old_attr, new_attr) ? new_attr : old_attr;
    } else {
      result = new_attr;
    }
    // The folder was deleted and comes back: what was inside it must be
    // compared again.
    if (old_attr.type == Event::EV_REMOVE && result.type != Event::EV_REMOVE) {
      if (old_server) {
        SetServerSubDirRescan(result);
        EVENT_LIST_LOG(L_INFO,
                       "[INFO] event-list2(%d): Mark node to be ServerSubDirRescan(pre-event dir "
                       "delete) [%s].\n",
                       result.path.c_str_utf8());
      } else {
        SetLocalSubDirRescan(result);
        EVENT_LIST_LOG(L_INFO,
                       "[INFO] event-list2(%d): Mark node to be LocalSubDirRescan(pre-event dir "
                       "delete) [%s].\n",
                       result.path.c_str_utf8());
      }
    }
    return;
  }

  if (old_server && new_server) {
    result = NewerServerEvent(old_attr, new_attr) ? new_attr : old_attr;
  } else if (old_server) {
    HandleTypeConflict(old_attr, new_attr, result);
  } else if (new_server) {
    HandleTypeConflict(new_attr, old_attr, result);
  } else {
    result = new_attr;
  }
}

void EventList2::HandleTypeConflict(const Attribute& server, const Attribute& local,
                                    Attribute& result) {
  if (local.type == Event::EV_REMOVE) {
    result = server;  // a server change outlives a local delete
  } else if (server.type != Event::EV_REMOVE) {
    result = server;  // both changed: the worker sets the local copy aside
    SetConflict(result);
  } else {
    result = local;  // a local change outlives a server delete
  }
}

void EventList2::RemoveFileStatusRow(const ustring& event_path) {
  // The row's name as the event manager writes it: the whole local path,
  // every "/" turned into "\\".
  ustring row = watch_path + event_path;
  row.replace('/', '\\');
  if (FileStatusDB::rmFileStatByPath(row) != 0) {
    EVENT_LIST_LOG(L_ERR, "[ERROR] event-list2(%d): Failed to rm synced event from FStatDB [%s].\n",
                   row.c_str_utf8());
  }
}

void EventList2::RemoveSubNode(DirNode* folder, bool server, int& kept, uint64_t syncID) {
  for (auto it = folder->dir.begin(); it != folder->dir.end();) {
    DirNode* d = it->get();
    int below = 0;
    RemoveSubNode(d, server, below, syncID);

    const bool same_origin = IsServerEvent(d->attr) == server;
    // A local delete supersedes every local event below it; a server delete
    // only the server events it follows.
    const bool older = !server || d->attr.syncID < syncID;
    const bool superseded = d->status == WAITING && same_origin && older;

    if (below == 0 && (d->status == DONE || superseded)) {
      EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Remove Dir Node] = [%s]\n", d->name.c_str());
      if (superseded) {
        AddEventCount(server, -1);
        RemoveFileStatusRow(d->attr.path);
      }
      // A DONE folder holds no event and so has no row to remove.
      ++it;
      UnlinkDir(d);  // freed here, with its file nodes
      continue;
    }

    if (superseded) {
      d->status = DONE;
      AddEventCount(server, -1);
      RemoveFileStatusRow(d->attr.path);
      ClearAttribute(d->attr);
    }
    EVENT_LIST_LOG(L_DEBUG,
                   "[DEBUG] event-list2(%d): [Cannot Remove Dir Node] = [%s],refTemp = [%d],status "
                   "= [%d], event_mode_equal[%d]\n",
                   d->name.c_str(), below, static_cast<int>(folder->status), same_origin ? 1 : 0);
    kept += below + 1;
    ++it;
  }
  RemoveSubFileNode(folder, server, kept, syncID);
}

void EventList2::RemoveSubFileNode(DirNode* folder, bool server, int& kept, uint64_t syncID) {
  for (auto it = folder->file.begin(); it != folder->file.end();) {
    const bool stays = it->status == PROCESSING || it->status == RETRY ||
                       IsServerEvent(it->attr) != server || (server && !(it->attr.syncID < syncID));
    if (stays) {
      EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Cannot Remove File Node] = [%s]\n",
                     it->name.c_str());
      ++kept;
      ++it;
      continue;
    }
    EVENT_LIST_LOG(L_DEBUG, "[DEBUG] event-list2(%d): [Remove File Node] = [%s]\n", it->name.c_str());
    AddEventCount(server, -1);  // a file that is not in progress is WAITING
    RemoveFileStatusRow(it->attr.path);
    auto next = std::next(it);
    EraseFile(folder, it);
    it = next;
  }
}
