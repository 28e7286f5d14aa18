// EventList2: the pending events of one sync session, as a tree shaped like
// the session's folder. One node per path that has a pending event (or one
// still being carried out), plus the folders on the way to such a node.
// Events pushed for a path are merged into its node (see Push), tasks take
// one event at a time in a fixed walk order (Pop), and report back with
// DoneEvent or give the event back with Redo.
//
// Node status: WAITING (holds an event not handed out), PROCESSING (its
// event is with a task), RETRY (handed out, and a newer event was merged in
// meanwhile: the task gets the merged event by Pop(path, ...) when it
// reports back), DONE (no event: a folder kept only for the nodes below it;
// also the root without an event). Files are never DONE; a DONE folder other
// than the root always has nodes below it.
//
// Walk order of Pop: a folder's files before its sub-folders, each list in
// the order its nodes were added or given back. A folder's own event is
// never handed out while work below it is under way, and nothing below a
// folder is handed out while the folder's own event is.
//
// Paths: "/" is the session root; any other path is split at its last "/"
// into the parent part (components separated by runs of "/", none: the
// root) and the name. An empty path and one ending in "/" are refused.
// Components are kept whole, whatever their length. Recursion follows the
// number of path components.
//
// Expand events (F_EXPAND) are not held here: the event queue keeps them in
// a list of its own, so they never reach DoneEvent, Redo or Pop(path, ...).
//
// Threads: any thread may call. `mutex` is held for the whole of every
// operation that reads or changes the tree; `mutex_count` guards the two
// event counters and is taken inside `mutex` (order: mutex, mutex_count), so
// IsEmpty and the count getters never wait for a merge or a walk. Push
// writes to the file-status database while it holds `mutex`. No operation
// calls another that takes `mutex` (plain, not recursive).
//
// Results are 0 for success and -1 for failure unless said otherwise; a
// failure leaves the tree as it was. Messages go to the log component
// "event_list_debug".
#ifndef SESSION_EVENT_LIST2_H_
#define SESSION_EVENT_LIST2_H_

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/ustring.h"
#include "session/event.h"
#include "session/name_index.h"

class EventList2 {
 public:
  enum Status : int32_t {
    WAITING = 0,
    PROCESSING = 1,
    DONE = 2,
    RETRY = 3,
  };

  // The mode bits of Event, and one more that nothing sets or tests.
  enum : uint32_t {
    F_DIR = Event::F_DIR,
    F_SERVER = Event::F_SERVER,
    F_EXPAND = Event::F_EXPAND,
    F_RESCAN = Event::F_RESCAN,
    F_MERGE = Event::F_MERGE,
    F_EXCEP = Event::F_EXCEP,
    F_LOCAL_SUBDIR_RESCAN = Event::F_LOCAL_SUBDIR_RESCAN,
    F_SERVER_SUBDIR_RESCAN = Event::F_SERVER_SUBDIR_RESCAN,
    F_LOCAL_SUBDIR_RESCAN_STAT = Event::F_LOCAL_SUBDIR_RESCAN_STAT,
    F_SERVER_SUBDIR_RESCAN_STAT = Event::F_SERVER_SUBDIR_RESCAN_STAT,
    F_CONFLICT = Event::F_CONFLICT,
    F_FORCE = 2048,
  };

  // The event held by a node: the fields of Event, plus nodeID (unused).
  // Valid when type is not EV_EMPTY.
  struct Attribute {
    Event::Type type = Event::EV_EMPTY;
    uint32_t mode = 0;
    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    uint64_t sessID = 0;
    ustring hash;
    ustring path;
    ustring opt;
    ustring mac_attr_hash;
    uint64_t size = 0;
    uint64_t mac_attr_size = 0;
    uint32_t time = 0;
    uint64_t nodeID = 0;
    uint32_t exec_bit = 0;
  };

  struct FileNode {
    std::string name;
    Status status = WAITING;
    Attribute attr;
  };

  struct DirNode;
  using DirList = std::list<std::unique_ptr<DirNode>>;
  using FileList = std::list<FileNode>;
  struct DirNameOf {
    std::string_view operator()(const DirList::iterator& it) const;
  };
  struct FileNameOf {
    std::string_view operator()(const FileList::iterator& it) const { return it->name; }
  };

  struct DirNode {
    std::string name;
    DirNode* parent = nullptr;  // null for the root only
    Status status = DONE;
    Attribute attr;
    // Sub-folders and files in walk order. Names are unique per list; the
    // indexes map each name to its list position, which splice and
    // push_back keep valid.
    DirList dir;
    FileList file;
    NameIndex<DirList::iterator, DirNameOf> dir_index;
    NameIndex<FileList::iterator, FileNameOf> file_index;
    // PROCESSING events strictly below this folder, by origin; the root
    // also counts its own event while it is PROCESSING.
    int refServerCount = 0;
    int refLocalCount = 0;

    bool HasChildren() const { return !dir.empty() || !file.empty(); }
  };

  EventList2();
  // Deletes every node, as Clear does.
  ~EventList2();
  EventList2(const EventList2&) = delete;
  EventList2& operator=(const EventList2&) = delete;

  // The session's local folder; file-status rows are named by it. Set it
  // before the first Push (not guarded).
  void SetWatchPath(const ustring& path) { watch_path = path; }

  // Push(event, old), logging the event and dropping `old`.
  int Push(const Event& event);

  // Merges `event` into the node of its path, creating the node (and DONE
  // folders on the way) when missing:
  //   no node or DONE: takes the event, WAITING, counted;
  //   WAITING / RETRY: the survivor of HandleConflict, status unchanged;
  //   PROCESSING: the survivor, RETRY (the task keeps its event and gets the
  //   survivor through Pop(path, ...) when it reports back).
  // A folder node whose event is now a remove prunes the older events of
  // the same origin below it and removes their file-status rows.
  // `old` receives the node's event before the merge (EV_EMPTY when there
  // was none). -1, nothing changed, for a refused path or an EV_EMPTY event
  // (a WAITING node without an event would stop the walk).
  int Push(const Event& event, Event& old);

  // Hands out the next WAITING event in walk order and makes its node
  // PROCESSING. 0 with `out` filled, -1 when nothing can be handed out.
  int Pop(Event& out);

  // Hands out the RETRY event at exactly `path`, in the folder list when
  // `is_dir` (the F_DIR bit of the event in hand), else in the file list
  // (ignored for "/"); the node becomes PROCESSING. 0 with `out`, else -1.
  int Pop(const ustring& path, bool is_dir, Event& out);

  // The task finished `event`: its node (found by path and the F_DIR bit)
  // must be PROCESSING with an event of the same origin (F_SERVER). A file
  // node is removed; a folder node is removed when nothing is below it, else
  // DONE; the root becomes DONE; emptied DONE folders above are removed. -1
  // for a RETRY node (hand it out again with Pop(path, ...)), any other
  // status, another origin or a missing node.
  int DoneEvent(const Event& event);

  // Gives the PROCESSING or RETRY event at `path` (folder list when
  // `is_dir`, else file list; ignored for "/") back: WAITING again, and the
  // node and every folder on its path move behind their siblings. -1 for a
  // missing node or any other status. The event counts do not change.
  int Redo(const ustring& path, bool is_dir);

  // Drops every node and event; counts 0.
  void Clear();

  // Drops every local event (a folder with server events below it stays,
  // DONE); the root's own event stays. Only while nothing is in progress:
  // the in-progress counts of dropped PROCESSING nodes are not lowered, and
  // nothing in the daemon calls it.
  void ClearLocalEvent();

  // Counts of nodes holding an event (WAITING, PROCESSING, RETRY), by
  // origin; only `mutex_count` is taken.
  bool IsEmpty();
  int GetServerEventCount();
  int GetLocalEventCount();
  void IncreaseServerEventCount();
  void DecreaseServerEventCount();
  void IncreaseLocalEventCount();
  void DecreaseLocalEventCount();

  // Debug dumps of the whole tree, to the log (INFO) and to standard
  // output; each takes `mutex`.
  void TraverseTree();
  void Print();

  // The survivor of two events of one path, a whole copy of one of them:
  // an empty side gives the other. Folders: between two server events the
  // one with the greater sync id (unsigned; old kept when equal, and an old
  // MAX_SYNC_ID always gives way), else the new one; a folder delete
  // followed by anything else gains F_LOCAL_/F_SERVER_SUBDIR_RESCAN by the
  // delete's origin. Files: server/server as for folders, local/local the
  // new one, server against local by HandleTypeConflict.
  static void HandleConflict(const Attribute& old_attr, const Attribute& new_attr,
                             Attribute& result);
  // A local delete gives the server event; a local change against a server
  // delete gives the local event; two changes give the server event with
  // F_CONFLICT.
  static void HandleTypeConflict(const Attribute& server, const Attribute& local,
                                 Attribute& result);

  static bool IsValid(const Attribute& a) { return a.type != Event::EV_EMPTY; }
  static bool IsServerEvent(const Attribute& a) { return (a.mode & F_SERVER) != 0; }
  static bool IsLocalEvent(const Attribute& a) { return (a.mode & F_SERVER) == 0; }
  static bool IsDir(const Attribute& a) { return (a.mode & F_DIR) != 0; }
  static bool IsFile(const Attribute& a) { return (a.mode & F_DIR) == 0; }
  static bool IsSubDirRescan(const Attribute& a) { return (a.mode & Event::kSubDirRescanBits) != 0; }
  static bool IsLocalSubDirRescan(const Attribute& a) { return (a.mode & F_LOCAL_SUBDIR_RESCAN) != 0; }
  static bool IsServerSubDirRescan(const Attribute& a) { return (a.mode & F_SERVER_SUBDIR_RESCAN) != 0; }
  static bool IsLocalSubDirRescanWithStat(const Attribute& a) {
    return (a.mode & F_LOCAL_SUBDIR_RESCAN_STAT) != 0;
  }
  static bool IsServerSubDirRescanWithStat(const Attribute& a) {
    return (a.mode & F_SERVER_SUBDIR_RESCAN_STAT) != 0;
  }
  static bool IsConflict(const Attribute& a) { return (a.mode & F_CONFLICT) != 0; }
  static void SetLocalSubDirRescan(Attribute& a) { a.mode |= F_LOCAL_SUBDIR_RESCAN; }
  static void SetServerSubDirRescan(Attribute& a) { a.mode |= F_SERVER_SUBDIR_RESCAN; }
  static void SetLocalSubDirRescanWithStat(Attribute& a) { a.mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
  static void SetServerSubDirRescanWithStat(Attribute& a) { a.mode |= F_SERVER_SUBDIR_RESCAN_STAT; }
  static void SetConflict(Attribute& a) { a.mode |= F_CONFLICT; }

  static void ConvertEventToAttr(const Event& event, Attribute& attr);
  static void ConvertAttrToEvent(const Attribute& attr, Event& event);
  // type EV_EMPTY, hash and path "", mode and syncID 0; the rest is kept.
  static void ClearAttribute(Attribute& attr);

  // A path split for lookup: the parent part and the last component. Views
  // into the caller's text.
  struct PathParts {
    std::string_view parent;
    std::string_view name;
  };
  // false for an empty path and one ending in "/".
  static bool BaseName(std::string_view path, PathParts& parts);

 private:
  friend class EventList2Inspector;  // read-only walk for tests

  // Lookups by exact name; null / end() when missing.
  static DirNode* FindDir(DirNode* parent, std::string_view name);
  static std::list<FileNode>::iterator FindFile(DirNode* parent, std::string_view name);
  // The folder of the parent part, or null when a folder on the way is
  // missing.
  DirNode* FindParent(std::string_view parent_part);
  // The same, creating each missing folder as DONE at the end of its
  // parent's list.
  DirNode* AddDirectory(std::string_view parent_part);
  // Appends a new sub-folder / file node holding `attr` (moved from) with
  // `status`; nothing is linked when an allocation throws.
  static DirNode* AddDirectoryNode(DirNode* parent, std::string_view name, Attribute&& attr,
                                   Status status);
  static void AddFileNode(DirNode* parent, std::string_view name, Attribute&& attr);
  // Unlinks the sub-folder from its parent and returns it.
  static std::unique_ptr<DirNode> UnlinkDir(DirNode* node);
  static void EraseFile(DirNode* parent, std::list<FileNode>::iterator it);

  // The merge rules; `attr` may be moved from, `old_attr` receives the
  // node's event before the merge (left empty when there was none).
  int PushLocked(Attribute& attr, Attribute& old_attr);
  int AddRoot(Attribute& attr, Attribute& old_attr);
  int AddDir(Attribute& attr, Attribute& old_attr);
  int AddFile(Attribute& attr, Attribute& old_attr);
  // Merges `attr` into a node that holds an event (WAITING, PROCESSING or
  // RETRY), counts and in-progress counters included; `parent` takes the
  // counter change of a PROCESSING node (the root passes itself).
  void MergeInto(Status& status, Attribute& node_attr, const Attribute& attr, DirNode* parent,
                 Attribute& old_attr);
  void RemoveSubNode(DirNode* folder, bool server, int& kept, uint64_t syncID);
  void RemoveSubFileNode(DirNode* folder, bool server, int& kept, uint64_t syncID);
  // Removes the file-status row of a node's event path.
  void RemoveFileStatusRow(const ustring& event_path);

  // The walk of Pop.
  // Each returns the attribute handed out (its node now PROCESSING), or
  // null.
  const Attribute* PopRoot();
  const Attribute* GetFirstWaiting(DirNode* folder);
  const Attribute* PopRootByPath();
  const Attribute* PopByPath(std::string_view path, bool is_dir);
  bool IsAllSubProcessingNodeAreDeleteEvent(DirNode* folder);
  bool IsAllSubNodeAreDeleteEvent(DirNode* folder);
  void AllSubNodeAreDeleteEvent(DirNode* folder, bool& all);

  // DoneEvent's cases and the removal of emptied DONE folders.
  int UpdateRoot(const Event& event);
  int UpdateDirDoneEvent(const Event& event);
  int UpdateFileDoneEvent(const Event& event);
  // Removes `folder` when it is not the root, is DONE and has nothing below
  // it, then the same for its parent, and so on upward.
  void RemoveDoneEventDir(DirNode* folder);

  int SetWaitingStatusByPath(std::string_view path, bool is_dir);

  // Deletes the subtree below and including `node`, logging each folder.
  void RemoveDirNode(std::unique_ptr<DirNode> node);
  void RemoveLocalEventNode(DirNode* folder, int& kept);
  void RemoveSubFileLocalEventNode(DirNode* folder, int& kept);

  // Adds / subtracts 1 in the counter of the origin, in `node` and every
  // folder above it.
  static void IncreaseRefCount(DirNode* node, bool server);
  static void DecreaseRefCount(DirNode* node, bool server);
  void AddEventCount(bool server, int delta);

  void TraverseTree(const DirNode* node);
  void PrintNode(const DirNode* node, unsigned int indent);
  static std::string GetIndentString(unsigned int indent);
  static std::string GetModeString(const Attribute& attr);
  static const char* GetStatusString(Status status);

  static std::unique_ptr<DirNode> NewRoot();

  std::mutex mutex;        // guards the tree
  std::mutex mutex_count;  // guards the two counters; taken after `mutex`
  std::unique_ptr<DirNode> root;
  int server_event_count = 0;
  int local_event_count = 0;
  ustring watch_path;
};

inline std::string_view EventList2::DirNameOf::operator()(const DirList::iterator& it) const {
  return (*it)->name;
}

#endif  // SESSION_EVENT_LIST2_H_
