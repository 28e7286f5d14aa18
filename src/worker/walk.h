// Walk: the folder walk of expansions, its handler, and the bounds of a
// rescan's pass. Worker source files only.
#ifndef WORKER_WALK_H_
#define WORKER_WALK_H_

#include <climits>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "foundation/file_op.h"
#include "foundation/ustring.h"
#include "session/file_list.h"
#include "session/registry.h"
#include "worker/compare_file_list.h"
#include "worker/walk_folders.h"
#include "worker/worker_log.h"

class EventGenerator;

// Walk flags.
inline constexpr int kWalkContentsFirst = 1;  // a folder's contents before the folder's own call
inline constexpr int kWalkTimes = 2;          // list with modification time and size
inline constexpr int kWalkEvenSeconds = 4;    // clear the lowest bit of each time
// Each folder's entries in ascending byte order of their names: without
// kWalkContentsFirst the walk then runs in CompareWalkOrder's order.
inline constexpr int kWalkSorted = 8;

// Whether `name` is the daemon's working folder (ASCII case ignored, as the
// watcher compares it).
bool IsWorkingDirName(const ustring& name);

// Walks `path`: for each entry but "." and "..", a copy of `handler` is
// called with (entry, full path); a folder is descended when that call
// returns true (or, with kWalkContentsFirst, always and before the call).
// Links are never descended (the listing types them FT_SLINK). Names are the
// raw bytes on disk.
//
// The walk is iterative and holds a bounded number of descriptors at any
// depth (WalkFolders). An entry whose full path would not fit PATH_MAX is
// neither handed to the handler nor descended, since every later step
// opens it by path: it is logged (WARNING) and reported to the optional
// hook `void TooLong(const ustring& full)` so that the caller keeps it out
// of its decisions.
//
// Optional hooks of the handler: `bool Enough() const`, polled before
// every entry, ends the walk there with 0 when true; `bool Skip(const
// DIR_ENTRY&, const ustring&)` drops an entry before anything else (not
// counted, not descended); `void Listed(const ustring& folder, int status)` is called
// once per folder after its listing: -1 when the listing failed at any
// point (the open included), else the number of entries not skipped.
//
// 0; -1 when `abort_flag` (polled before every entry) was raised. A folder
// that cannot be listed counts as empty here, with a WARNING.
template <class Handler>
int Walk(const ustring& path, Handler handler, int flag, const std::atomic<int>* abort_flag) {
  struct Frame {
    Handler handler;          // the copy the folder's entries are handed to
    ustring path;             // the folder's full path
    DIR_ENTRY entry;          // the folder's own entry (not for the root)
    std::vector<DIR_ENTRY> entries;
    size_t next = 0;
    int count = 0;
    WalkFolders::Listing listing = WalkFolders::Listing::kListed;
  };
  const bool contents_first = (flag & kWalkContentsFirst) != 0;
  WalkFolders folders((flag & kWalkTimes) != 0);
  std::vector<Frame> frames;
  frames.push_back(Frame{handler, path, DIR_ENTRY(), {}, 0, 0, WalkFolders::Listing::kListed});
  const bool sorted = (flag & kWalkSorted) != 0;
  auto by_name = [](const DIR_ENTRY& a, const DIR_ENTRY& b) {
    return std::strcmp(a.name.c_str_utf8(), b.name.c_str_utf8()) < 0;
  };
  frames.back().listing = folders.Enter(path, &frames.back().entries);
  if (sorted) std::sort(frames.back().entries.begin(), frames.back().entries.end(), by_name);
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.entries.size()) {
      if (frame.listing == WalkFolders::Listing::kOpenFailed) {
        WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSOpenDir(%s)\n", frame.path.c_str_utf8());
      } else if (frame.listing == WalkFolders::Listing::kReadFailed) {
        WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSReadDir(%s)\n", frame.path.c_str_utf8());
      }
      if constexpr (requires { frame.handler.Listed(frame.path, frame.count); }) {
        frame.handler.Listed(frame.path, frame.listing != WalkFolders::Listing::kListed ? -1 : frame.count);
      }
      Frame done = std::move(frame);
      frames.pop_back();
      folders.Leave();
      if (contents_first && !frames.empty()) {
        Handler h = frames.back().handler;
        (void)h(done.entry, done.path);  // the folder is walked already
      }
      continue;
    }
    if constexpr (requires { frame.handler.Enough(); }) {
      if (frame.handler.Enough()) return 0;
    }
    DIR_ENTRY& entry = frame.entries[frame.next++];
    if (abort_flag != nullptr && abort_flag->load() != 0) {
      WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Traversing '%s' ... abort\n", frame.path.c_str_utf8());
      if (frames.size() > 1) {
        WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Traversing '%s' ... abort\n", path.c_str_utf8());
      }
      return -1;
    }
    if ((flag & kWalkEvenSeconds) != 0) entry.mtime &= ~1u;
    ustring full = frame.path;
    full += "/";
    full += entry.name;
    if constexpr (requires { frame.handler.Skip(entry, full); }) {
      if (frame.handler.Skip(entry, full)) continue;
    }
    ++frame.count;
    if (full.length() >= PATH_MAX) {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): '%s' is too long a path to be synchronised, kept out\n",
                 full.c_str_utf8());
      if constexpr (requires { frame.handler.TooLong(full); }) frame.handler.TooLong(full);
      continue;
    }
    Handler h = frame.handler;
    if (entry.type != FT_DIR) {
      (void)h(entry, full);  // only a folder's answer matters
      continue;
    }
    if (!contents_first && !h(entry, full)) continue;
    Frame child{std::move(h), std::move(full), entry, {}, 0, 0, WalkFolders::Listing::kListed};
    child.listing = folders.Enter(entry.name, &child.entries);
    if (sorted) std::sort(child.entries.begin(), child.entries.end(), by_name);
    frames.push_back(std::move(child));  // `frame` and `entry` are invalid from here
  }
  return 0;
}

// One pass of a rescan. The comparison pushes at most `room` decisions
// (0 counts as 1). Once they are pushed, `full` is set and `last` is the
// path of the last one, and the rest of the comparison decides only the
// folders above `last`: a folder comes after its contents, and once some
// of them are recorded the folder looks recorded too, so a later pass
// would never upload it. A later pass resumes with `after` = that `last`
// and decides only the paths before it (session paths in CompareWalkOrder)
// other than those folders. So the queue holds one pass of a large folder
// at a time, and every path is decided by one pass.
//
// An expansion's pass is one too: it pushes at most `room` events in the
// sorted walk's order, `last` the path of the last one, and a later pass
// pushes only the paths after `after`, descending only the folders above
// it (it leaves `full` alone and asks Filled()).
struct RescanBatch {
  ustring after;  // "": the first pass
  size_t room = 1;
  size_t pushed = 0;
  ustring last;
  bool full = false;

  // Whether the pass has pushed all it may.
  bool Filled() const { return pushed >= std::max<size_t>(room, 1); }
  // Whether an earlier pass decided `path`.
  bool Decided(const ustring& path) const {
    return !after.empty() && (CompareWalkOrder(path, after) >= 0 || Below(after, path));
  }
  // Whether this pass leaves `path` to a later one.
  bool Left(const ustring& path) const { return full && !Below(last, path); }
  // Whether `path` lies below the folder `folder`.
  static bool Below(const ustring& path, const ustring& folder) {
    return path.length() > folder.length() && path[folder.length()] == '/' &&
           std::memcmp(path.c_str_utf8(), folder.c_str_utf8(), folder.length()) == 0;
  }
};

// The expansion's handler: an upload event for every file and folder.
struct ExpandHandler {
  Registry::Entry reg;  // the event's session
  EventGenerator* generator = nullptr;  // where the events go; set before the walk
  size_t root_len = 0;  // bytes of the session folder's path in a full path
  // When set: true for a file (full path, session path) that its upload
  // would find unchanged since its record, which is then not pushed.
  std::function<bool(const ustring& full, const ustring& path)> as_recorded;
  // When set (a sorted walk): the pass, shared by every copy.
  RescanBatch* pass = nullptr;

  bool operator()(const DIR_ENTRY& entry, const ustring& full);
  bool Enough() const { return pass != nullptr && pass->Filled(); }
  // The working folder, directly in the session folder.
  bool Skip(const DIR_ENTRY& entry, const ustring& full) const;
};


#endif  // WORKER_WALK_H_
