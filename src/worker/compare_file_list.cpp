#include "worker/compare_file_list.h"

#include <string_view>

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
