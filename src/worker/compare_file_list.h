// The comparison of a folder's local listing with its records: one ordered
// pass over two FileLists that decides, for every path, whether to upload,
// remove on the server, download again, or leave it.
//
// A pure function: what it decides goes to a sink, so the decision table is
// tested without a disk, a database or an event queue.
#ifndef WORKER_COMPARE_FILE_LIST_H_
#define WORKER_COMPARE_FILE_LIST_H_

#include <vector>

#include "foundation/ustring.h"
#include "session/file_list.h"

// What the comparison decides. Paths are the folder's path prefix (empty for
// "/") followed by the entry's path.
class CompareSink {
 public:
  virtual ~CompareSink() = default;
  // Polled before every step; true stops the comparison with -1.
  virtual bool Aborted() = 0;
  // The entry exists locally, and is new or differs from its record.
  virtual void Upload(const ustring& path, bool is_dir) = 0;
  // The entry exists only in the records: without merge.
  virtual void Remove(const ustring& path, bool is_dir) = 0;
  // The record's object is fetched again: with merge.
  virtual void Download(const ustring& path, bool is_dir) = 0;
  // Whether a record-only path is held back by the selective-sync rules
  // (then nothing is decided for it; the sink records it itself).
  virtual bool HeldBack(const ustring& path, bool is_dir) = 0;
  // A path left alone (same on both sides); for log lines.
  virtual void Same(const ustring& /*path*/) {}
};

// The order of the comparison's steps, reversed: negative when `a` comes
// before `b` in a FileList's forward walk (a folder before its contents,
// names of one folder in ascending byte order), 0 when equal. The
// comparison decides paths in descending order; a rescan resumed after a
// path decides only the paths below it in this order.
int CompareWalkOrder(const ustring& a, const ustring& b);

// Compares `fs_list` (the disk) with `db_list` (the records) of the folder
// `root`. Nothing below an entry of `unlisted` (entry paths, "/a/b",
// relative to `root`) is decided: that folder could not be listed, and an
// absent listing must not pass for deleted files; the entry itself is
// compared as usual when it is on disk, and its record is left alone when
// it is not (it could not be added to the listing, or its path is too
// long to reach). 0, or -1 when aborted
// (the decisions made before stay made).
int CompareFileLists(const ustring& root, const FileList& fs_list, const FileList& db_list, bool do_merge,
                     const std::vector<ustring>& unlisted, CompareSink& sink);

#endif  // WORKER_COMPARE_FILE_LIST_H_
