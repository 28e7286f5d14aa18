// Walk: the recursive folder walk of expansions and rescans, and its two
// handlers. Worker source files only.
#ifndef WORKER_WALK_H_
#define WORKER_WALK_H_

#include <atomic>
#include <cstddef>
#include <vector>

#include "foundation/file_op.h"
#include "foundation/ustring.h"
#include "session/file_list.h"
#include "session/registry.h"
#include "worker/worker_log.h"

// Walk flags.
inline constexpr int kWalkContentsFirst = 1;  // a folder's contents before the folder's own call
inline constexpr int kWalkTimes = 2;          // list with modification time and size
inline constexpr int kWalkEvenSeconds = 4;    // clear the lowest bit of each time

// Whether `name` is the daemon's working folder (ASCII case ignored, as the
// watcher compares it).
bool IsWorkingDirName(const ustring& name);

// Walks `path`: for each entry but "." and "..", a copy of `handler` is
// called with (entry, full path); a folder is descended when that call
// returns true (or, with kWalkContentsFirst, always and before the call).
// Links are never descended (the listing types them FT_SLINK). Names are the
// raw bytes on disk.
//
// Optional hooks of the handler: `bool Skip(const DIR_ENTRY&, const
// ustring&)` drops an entry before anything else (not counted, not
// descended); `void Listed(const ustring& folder, int status)` is called
// once per folder after its listing: -1 when the listing failed at any
// point (the open included), else the number of entries not skipped.
//
// 0; -1 when `abort_flag` (polled before every entry) was raised. A folder
// that cannot be listed counts as empty here, with a WARNING.
template <class Handler>
int Walk(const ustring& path, Handler handler, int flag, const std::atomic<int>* abort_flag) {
  DIR_HANDLE dh;
  (void)FSOpenDir(path, (flag >> 1) & 1, dh);  // always 0: the first read opens
  DIR_ENTRY entry;
  int count = 0;
  bool opened = false;
  int rc;
  // One buffer for the entries' full paths: cut back to "path/" for each.
  ustring full = path;
  full += "/";
  const size_t base = full.length();
  while ((rc = FSReadDir(dh, entry)) > 0) {
    opened = true;
    const ustring& name = entry.name;
    if (name == "." || name == "..") continue;
    if (abort_flag != nullptr && abort_flag->load() != 0) {
      WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Traversing '%s' ... abort\n", path.c_str_utf8());
      (void)FSCloseDir(dh);  // always 0
      return -1;
    }
    if ((flag & kWalkEvenSeconds) != 0) entry.mtime &= ~1u;
    full.assign(full.c_str_utf8(), base);
    full += name;
    if constexpr (requires { handler.Skip(entry, full); }) {
      if (handler.Skip(entry, full)) continue;
    }
    ++count;
    Handler h = handler;
    if (entry.type == FT_DIR) {
      const bool first = (flag & kWalkContentsFirst) != 0;
      if (first || h(entry, full)) {
        if (Walk(full, h, flag, abort_flag) < 0) {
          WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Traversing '%s' ... abort\n", path.c_str_utf8());
          (void)FSCloseDir(dh);
          return -1;
        }
        if (first) (void)h(entry, full);  // the folder is walked already
      }
    } else {
      (void)h(entry, full);  // only a folder's answer matters
    }
  }
  if (rc < 0) {
    if (!opened) {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSOpenDir(%s)\n", path.c_str_utf8());
    } else {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSReadDir(%s)\n", path.c_str_utf8());
    }
  }
  if constexpr (requires { handler.Listed(path, count); }) handler.Listed(path, rc < 0 ? -1 : count);
  (void)FSCloseDir(dh);
  return 0;
}

// The expansion's handler: an upload event for every file and folder.
struct ExpandHandler {
  Registry::Entry reg;  // the event's session
  size_t root_len = 0;  // bytes of the session folder's path in a full path

  bool operator()(const DIR_ENTRY& entry, const ustring& full);
  // The working folder, directly in the session folder.
  bool Skip(const DIR_ENTRY& entry, const ustring& full) const;
};

// What a rescan's walk could not see: folders relative to the rescanned one
// ("" for itself, else "/a/b").
struct RescanGaps {
  std::vector<ustring> unlisted;  // listing failed, or the folder could not be added
  std::vector<ustring> empty;     // listed no entry
};

// The rescan's handler: the local listing. Passed by value; the copy that a
// folder's entry updates is the one handed to the walk below that folder.
struct FileListBuilder {
  FileList* list = nullptr;
  int dir_id = 0;               // index of the folder being filled
  size_t root_len = 0;          // bytes of the rescanned folder's full path
  int worker_id = 0;            // for messages
  bool at_session_root = false; // the folder being filled is the session folder
  RescanGaps* gaps = nullptr;   // shared by every copy

  bool operator()(const DIR_ENTRY& entry, const ustring& full);
  bool Skip(const DIR_ENTRY& entry, const ustring& full) const;
  void Listed(const ustring& folder, int status);
};

#endif  // WORKER_WALK_H_
