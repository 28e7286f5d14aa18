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
#include "session/string_buffer.h"

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
  // Folder by folder only: whether anything below the folder `path` may
  // still be decided. False: its contents are neither listed nor compared
  // (the folder itself still is).
  virtual bool Wants(const ustring& /*path*/) { return true; }
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

// One folder of a comparison made folder by folder: its entries on disk and
// in the records, one level deep (by name at each listing's root).
struct FolderListing {
  FolderListing() : disk(buffer), records(buffer) {}
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  StringBuffer buffer;
  FileList disk;
  FileList records;
  // Entries of the folder ("/name") that could not be listed themselves
  // (too long a path, a folder the listing refuses): absent from `disk`,
  // and their records and everything below them are left alone.
  std::vector<ustring> kept_out;
  // The folder's contents cannot be known (its listing failed, or it lists
  // nothing while records lie directly in it, as an unmounted drive leaves
  // it): nothing below it is decided.
  bool unknown = false;
};

// Where a folder-by-folder comparison gets its listings.
class FolderSource {
 public:
  virtual ~FolderSource() = default;
  // Lists the folder `rel` ("" the compared folder itself, else "/a/b"
  // below it) into `out`: its disk entries when it is a folder on disk
  // (`on_disk`), its records when it is one in the records (`recorded`).
  // A folder below is entered only from its parent, entered and not yet
  // left. 0, or -1 when the listing failed or was stopped (the comparison
  // stops there); every 0 is matched by one Leave.
  virtual int Enter(const ustring& rel, bool on_disk, bool recorded, FolderListing& out) = 0;
  // Done with the folder `rel`, the one entered last and not left.
  virtual void Leave(const ustring& rel, bool on_disk) = 0;
};

// CompareFileLists over the whole tree of `root`, one folder at a time:
// the same decisions in the same order, from the listings of the folders
// between `root` and the one in hand only, so that what it holds does not
// grow with the number of entries below. A folder's contents are listed
// and compared just before the folder's own decision. When the root's
// contents are unknown nothing is decided. 0, or -1 when the sink stopped
// it or a listing failed (the decisions made before stay made).
int CompareFolders(const ustring& root, FolderSource& source, bool do_merge, CompareSink& sink);

#endif  // WORKER_COMPARE_FILE_LIST_H_
