// EventList2: debug dumps of the tree. Nothing in the daemon calls them;
// they take `mutex` so that a dump never reads a tree being changed.
#include <cstdio>
#include <string>

#include "session/event_list2.h"
#include "session/event_list2_log.h"

void EventList2::TraverseTree() {
  std::lock_guard<std::mutex> lock(mutex);
  int server_count, local_count;
  {
    std::lock_guard<std::mutex> count_lock(mutex_count);
    server_count = server_event_count;
    local_count = local_event_count;
  }
  EVENT_LIST_LOG(L_INFO,
                 "[INFO] event-list2(%d): ========TraverseTree , server_event_count = [%d], "
                 "local_event_count=[%d] =========\n",
                 server_count, local_count);
  TraverseTree(root.get());
}

void EventList2::TraverseTree(const DirNode* node) {
  const Attribute& a = node->attr;
  EVENT_LIST_LOG(L_INFO,
                 "[INFO] event-list2(%d): [Dir] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%s],"
                 "status =[%d],type[%d],refSerCount=[%d],refLocCount=[%d],path=[%s]\n",
                 IsServerEvent(a) ? 1 : 0, IsConflict(a) ? 1 : 0, IsSubDirRescan(a) ? 1 : 0,
                 node->name.c_str(), static_cast<int>(node->status), static_cast<int>(a.type),
                 node->refServerCount, node->refLocalCount, a.path.c_str_utf8());
  for (const FileNode& f : node->file) {
    EVENT_LIST_LOG(L_INFO,
                   "[INFO] event-list2(%d): [File] server=[%d],Conflict=[%d],SubDirRescan=[%d],"
                   "name=[%s],status=[%d],type=[%d],path=[%s]\n",
                   IsServerEvent(f.attr) ? 1 : 0, IsConflict(f.attr) ? 1 : 0,
                   IsSubDirRescan(f.attr) ? 1 : 0, f.name.c_str(), static_cast<int>(f.status),
                   static_cast<int>(f.attr.type), f.attr.path.c_str_utf8());
  }
  for (const auto& child : node->dir) TraverseTree(child.get());
}

void EventList2::Print() {
  std::lock_guard<std::mutex> lock(mutex);
  PrintNode(root.get(), 0);
  // Nothing to do about a failed flush of a debug dump.
  (void)std::fflush(stdout);
}

void EventList2::PrintNode(const DirNode* node, unsigned int indent) {
  std::string line = GetIndentString(indent);
  line += "* ";
  line += node->name;
  line += ", ref = (" + std::to_string(node->refLocalCount) + ", " +
          std::to_string(node->refServerCount) + "), ";
  line += "mode = " + GetModeString(node->attr) + ", ";
  line += std::string("status = ") + GetStatusString(node->status) + ", ";
  line += "path = ";
  line += node->attr.path.c_str_utf8();
  line += "\n";
  (void)std::fputs(line.c_str(), stdout);

  for (const FileNode& f : node->file) {
    line = GetIndentString(indent + 2);
    line += "+ ";
    line += f.name;
    line += ", mode = " + GetModeString(f.attr) + ", ";
    line += std::string("status = ") + GetStatusString(f.status) + ", ";
    line += "path = ";
    line += f.attr.path.c_str_utf8();
    line += "\n";
    (void)std::fputs(line.c_str(), stdout);
  }
  for (const auto& child : node->dir) PrintNode(child.get(), indent + 2);
}

std::string EventList2::GetIndentString(unsigned int indent) { return std::string(indent, ' '); }

std::string EventList2::GetModeString(const Attribute& attr) {
  std::string mode = IsServerEvent(attr) ? "server" : "local";
  if (attr.mode & F_LOCAL_SUBDIR_RESCAN) mode += ",local-dir-rescan";
  if (attr.mode & F_SERVER_SUBDIR_RESCAN) mode += ",server-dir-rescan";
  if (attr.mode & F_LOCAL_SUBDIR_RESCAN_STAT) mode += ",local-dir-rescan-stat";
  if (attr.mode & F_SERVER_SUBDIR_RESCAN_STAT) mode += ",server-dir-rescan-stat";
  if (attr.mode & F_CONFLICT) mode += ",conflict";
  return mode;
}

const char* EventList2::GetStatusString(Status status) {
  switch (status) {
    case WAITING:
      return "WAITING";
    case PROCESSING:
      return "PROCESSING";
    case DONE:
      return "DONE";
    case RETRY:
      return "RETRY";
  }
  return "UNKNOWN";
}
