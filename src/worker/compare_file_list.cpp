#include "worker/compare_file_list.h"

#include <memory>
#include <string_view>
#include <utility>

// The order in which FileList's reverse walk yields paths, reversed: a
// folder before its contents, names within a folder in ascending byte order.
// Plain byte order is not that order: "/a.txt" sorts before "/a/x" by bytes
// ("." < "/") but after the folder "/a" and its contents in the walk, and a
// merge in the wrong order would take both for one-sided entries. Comparing
// with "/" below every other byte orders the paths component by component.
int CompareWalkOrder(const ustring& a, const ustring& b) {
  const size_t n = a.length() < b.length() ? a.length() : b.length();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if (x == '/') return -1;
    if (y == '/') return 1;
    return x < y ? -1 : 1;
  }
  if (a.length() == b.length()) return 0;
  return a.length() < b.length() ? -1 : 1;
}

namespace {

// Whether `path` lies below `folder`.
bool Below(const ustring& path, const ustring& folder) {
  const std::string_view p(path.c_str_utf8(), path.length());
  const std::string_view f(folder.c_str_utf8(), folder.length());
  if (f.empty() || f == "/") return true;
  return p.size() > f.size() && p.starts_with(f) && p[f.size()] == '/';
}

bool Unlisted(const ustring& path, const std::vector<ustring>& unlisted) {
  for (const ustring& u : unlisted) {
    if (Below(path, u)) return true;
  }
  return false;
}

// A record is kept out at an unlisted entry too: that entry is missing from
// the listing only because it could not be added or reached.
bool RecordUnlisted(const ustring& path, const std::vector<ustring>& unlisted) {
  for (const ustring& u : unlisted) {
    if (path == u || Below(path, u)) return true;
  }
  return false;
}

class Comparison {
 public:
  Comparison(const ustring& root, bool do_merge, CompareSink& sink)
      : prefix_(root == "/" ? ustring() : root), do_merge_(do_merge), sink_(sink) {}
  // The folder `rel` below `root` ("" for `root` itself).
  Comparison(const ustring& root, const ustring& rel, bool do_merge, CompareSink& sink)
      : Comparison(root, do_merge, sink) {
    prefix_ += rel;
  }

  ustring Full(const FileList::Entry& e) const {
    ustring p = prefix_;
    p += e.path;
    return p;
  }

  void LocalOnly(const FileList::Entry& f) { sink_.Upload(Full(f), f.is_dir()); }

  void RecordOnly(const FileList::Entry& d) {
    const ustring path = Full(d);
    if (sink_.HeldBack(path, d.is_dir())) return;
    if (do_merge_) {
      sink_.Download(path, d.is_dir());
    } else {
      sink_.Remove(path, d.is_dir());
    }
  }

  void Both(const FileList::Entry& f, const FileList::Entry& d) {
    if (f.flag == d.flag) {
      if (f.is_dir() || f.attr == d.attr) {
        sink_.Same(f.path);
      } else {
        sink_.Upload(Full(f), false);
      }
      return;
    }
    sink_.Upload(Full(f), f.is_dir());
    if (do_merge_) sink_.Download(Full(d), d.is_dir());
  }

 private:
  ustring prefix_;
  bool do_merge_;
  CompareSink& sink_;
};

}  // namespace

int CompareFileLists(const ustring& root, const FileList& fs_list, const FileList& db_list, bool do_merge,
                     const std::vector<ustring>& unlisted, CompareSink& sink) {
  Comparison cmp(root, do_merge, sink);
  FileList::reverse_iterator fs_it = fs_list.rbegin();
  FileList::reverse_iterator db_it = db_list.rbegin();
  const FileList::reverse_iterator fs_end = fs_list.rend();
  const FileList::reverse_iterator db_end = db_list.rend();
  while (fs_it != fs_end && db_it != db_end) {
    if (sink.Aborted()) return -1;
    const int order = CompareWalkOrder(fs_it->path, db_it->path);
    if (order > 0) {
      if (!Unlisted(fs_it->path, unlisted)) cmp.LocalOnly(*fs_it);
      ++fs_it;
    } else if (order < 0) {
      if (!RecordUnlisted(db_it->path, unlisted)) cmp.RecordOnly(*db_it);
      ++db_it;
    } else {
      cmp.Both(*fs_it, *db_it);
      ++fs_it;
      ++db_it;
    }
  }
  for (; fs_it != fs_end; ++fs_it) {
    if (sink.Aborted()) return -1;
    if (!Unlisted(fs_it->path, unlisted)) cmp.LocalOnly(*fs_it);
  }
  for (; db_it != db_end; ++db_it) {
    if (sink.Aborted()) return -1;
    if (!RecordUnlisted(db_it->path, unlisted)) cmp.RecordOnly(*db_it);
  }
  return 0;
}

namespace {

// A folder of CompareFolders being compared: its listing and where the
// merge of its two sides stands.
struct FolderFrame {
  enum Side { kNone = 0, kLocal = 1, kRecord = 2, kBoth = 3 };

  FolderFrame(const ustring& root, const ustring& rel_, bool on_disk_, bool do_merge, CompareSink& sink)
      : rel(rel_), on_disk(on_disk_), cmp(root, rel_, do_merge, sink) {}

  bool KeptOut(const ustring& entry) const {
    for (const ustring& k : listing.kept_out) {
      if (k == entry) return true;
    }
    return false;
  }

  ustring rel;
  bool on_disk;
  Comparison cmp;
  FolderListing listing;
  FileList::reverse_iterator fs, fs_end, db, db_end;
  // The entry whose folder was walked, decided next.
  Side pending = kNone;
};

}  // namespace

int CompareFolders(const ustring& root, FolderSource& source, bool do_merge, CompareSink& sink) {
  const ustring prefix = root == "/" ? ustring() : root;
  std::vector<std::unique_ptr<FolderFrame>> frames;
  // Lists a folder and makes it the one in hand, unless its contents are
  // unknown; -1 when the listing failed.
  auto enter = [&](const ustring& rel, bool on_disk, bool recorded) {
    auto frame = std::make_unique<FolderFrame>(root, rel, on_disk, do_merge, sink);
    if (source.Enter(rel, on_disk, recorded, frame->listing) < 0) return -1;
    if (frame->listing.unknown) {
      source.Leave(rel, on_disk);
      return 0;
    }
    frame->fs = frame->listing.disk.rbegin();
    frame->fs_end = frame->listing.disk.rend();
    frame->db = frame->listing.records.rbegin();
    frame->db_end = frame->listing.records.rend();
    frames.push_back(std::move(frame));
    return 0;
  };
  if (enter(ustring(), true, true) < 0) return -1;
  while (!frames.empty()) {
    FolderFrame& f = *frames.back();
    if (f.pending != FolderFrame::kNone) {
      // The entry, after its folder's contents when it is a folder.
      if (sink.Aborted()) return -1;
      const FolderFrame::Side side = f.pending;
      f.pending = FolderFrame::kNone;
      if (side == FolderFrame::kLocal) {
        f.cmp.LocalOnly(*f.fs);
        ++f.fs;
      } else if (side == FolderFrame::kRecord) {
        if (!f.KeptOut(f.db->path)) f.cmp.RecordOnly(*f.db);
        ++f.db;
      } else {
        f.cmp.Both(*f.fs, *f.db);
        ++f.fs;
        ++f.db;
      }
      continue;
    }
    if (f.fs == f.fs_end && f.db == f.db_end) {
      source.Leave(f.rel, f.on_disk);
      frames.pop_back();
      continue;
    }
    FolderFrame::Side side = FolderFrame::kBoth;
    if (f.fs == f.fs_end) {
      side = FolderFrame::kRecord;
    } else if (f.db == f.db_end) {
      side = FolderFrame::kLocal;
    } else {
      const int order = CompareWalkOrder(f.fs->path, f.db->path);
      side = order > 0 ? FolderFrame::kLocal : order < 0 ? FolderFrame::kRecord : FolderFrame::kBoth;
    }
    const bool disk_dir = (side & FolderFrame::kLocal) != 0 && f.fs->is_dir();
    const bool record_dir = (side & FolderFrame::kRecord) != 0 && f.db->is_dir();
    const ustring& entry = (side & FolderFrame::kLocal) != 0 ? f.fs->path : f.db->path;
    f.pending = side;
    if ((disk_dir || record_dir) && !f.KeptOut(entry)) {
      ustring rel = f.rel;
      rel += entry;
      ustring path = prefix;
      path += rel;
      // `f` stays valid: the frames are held by pointer.
      if (sink.Wants(path) && enter(rel, disk_dir, record_dir) < 0) return -1;
    }
  }
  return 0;
}
