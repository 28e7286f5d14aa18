// FileList: an in-memory listing of a folder tree (folders and files with
// modification time, size and permission hash), built from the local disk or
// from a session's event database and read back with a reverse iterator in
// one fixed order, so that two listings of one folder can be walked side by
// side to find what was added, removed or changed.
//
// Walk order. Forward, a listing reads: the root, then in every folder its
// files and sub-folders together in ascending byte order of their names
// (strcmp), each sub-folder directly followed by its own contents. The
// reverse iterator yields exactly the reverse of that without the root: in
// every folder the entries in descending name order, each sub-folder's
// contents before the sub-folder itself. A path always comes before its
// parent, and two listings of the same names walk in the same order.
//
// Names: interned in the caller's StringBuffer, which must outlive the
// listing. A name is refused (-1) when it is empty, "." or "..", or holds a
// "/": such an entry would name another path than the one listed (the
// entry path of "x/.." is its parent's). Paths are kept whole whatever their
// length.
//
// Results: 0 (or an index or a count, as said) for success, -1 for failure;
// a refusal leaves the listing as it was, except that the name may stay
// interned and a path form keeps the folders it made before it failed.
// Memory exhaustion propagates as std::bad_alloc. Debug lines of the path
// forms go to the component "flist_debug".
//
// Threads: no lock; one thread uses a listing at a time.
#ifndef SESSION_FILE_LIST_H_
#define SESSION_FILE_LIST_H_

#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "foundation/ustring.h"
#include "session/string_buffer.h"

class FileList {
 public:
  struct Attribute {
    uint32_t mtime = 0;  // seconds since 1970
    uint64_t size = 0;   // bytes; always 0 for a folder
    ustring acl_hash;    // permission hash; "" when there is none

    void clear();
    bool operator==(const Attribute& o) const;
    bool operator!=(const Attribute& o) const { return !(*this == o); }
    // "mtime=<m>, size=<s>, acl_hash=<h>", for log lines.
    ustring toString() const;
  };

  struct FileNode {
    StringBuffer::String name;
    Attribute attr;
    bool operator<(const FileNode& o) const { return name < o.name; }
  };

  // Orders files by name and finds one by its interned name alone.
  struct FileLess {
    using is_transparent = void;
    bool operator()(const FileNode& a, const FileNode& b) const { return a.name < b.name; }
    bool operator()(const FileNode& a, const StringBuffer::String& b) const { return a.name < b; }
    bool operator()(const StringBuffer::String& a, const FileNode& b) const { return a < b.name; }
  };

  struct DirNode {
    StringBuffer::String name;
    const DirNode* parent = nullptr;  // null for the root
    std::map<StringBuffer::String, DirNode*> dir;  // sub-folders by name
    std::set<FileNode, FileLess> file;             // files by name
    Attribute attr;
  };

  // What the iterator yields.
  struct Entry {
    int flag = 0;  // 1 folder, 0 file
    ustring path;  // "/" + the names from below the root down, joined by "/"
    Attribute attr;
    bool is_dir() const { return flag == 1; }
    bool is_file() const { return flag == 0; }
  };

  class reverse_iterator {
   public:
    enum State {
      PRINT_ME = 0,    // the entry is the folder `cur` itself
      PRINT_DIR = 1,   // a sub-folder of `cur` has just been finished
      PRINT_FILE = 2,  // the entry is the file just below the top's file_it
    };

    // One folder level of the walk; both positions mark the boundary below
    // which entries are still to come.
    struct stack_entry {
      DirNode* node;
      std::set<FileNode, FileLess>::const_iterator file_it;
      std::map<StringBuffer::String, DirNode*>::const_iterator dir_it;
    };

    // Steps to the previous entry; at the end nothing happens.
    reverse_iterator& operator++();
    // Equal when listing, folder in hand and state are equal.
    bool operator==(const reverse_iterator& o) const {
      return flist == o.flist && cur == o.cur && state == o.state;
    }
    bool operator!=(const reverse_iterator& o) const { return !(*this == o); }
    const Entry& operator*() const { return ent; }
    const Entry* operator->() const { return &ent; }

   private:
    friend class FileList;
    // Pushes `f` and descends to its last entry in walk order.
    void get_last_of(DirNode* f);
    void build_entry();

    FileList* flist = nullptr;
    DirNode* cur = nullptr;
    std::vector<stack_entry> stack;
    State state = PRINT_ME;
    Entry ent;
  };

  // Interns "/" and makes the root: no parent, zero attribute; node = [root].
  explicit FileList(StringBuffer& buf);
  // Deletes every folder node; the StringBuffer is untouched.
  ~FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Adds the file `name` to `folder` (a node of this listing) with `attr`.
  // -1 when the buffer is full, the name is refused, or `folder` already has
  // a sub-folder or a file of that name (the file keeps its attribute).
  int AddFile(DirNode* folder, const char* name, const Attribute& attr);
  // Makes the folder `name` in `folder` with `attr` (size 0) and returns its
  // index in `node`; -1 as AddFile.
  int AddDirectory(DirNode* folder, const char* name, const Attribute& attr);

  // The same on the folder at `index` in `node`: a negative index gives -1,
  // one at or past the end throws std::out_of_range.
  int AddFile(int index, const char* name, const Attribute& attr);
  int AddDirectory(int index, const char* name, const Attribute& attr);

  // Adds the file at `path` ("/"-separated; leading and repeated "/" are
  // skipped; text without "/" is a name below the root), making missing
  // folders with a zero attribute. -1 for an empty path, one ending in "/",
  // a refused component, a component that is a file, or as AddFile.
  int AddFile(const char* path, const Attribute& attr);
  // Makes every missing folder of `path` and gives the last one (the root for
  // "/" or "") `attr` with size 0. The number of folders made (0 when all
  // existed); -1 for a refused component or one that is a file.
  int AddDirectory(const char* path, const Attribute& attr);

  // The same with the attribute as separate values (folders: size 0).
  int AddFile(DirNode* folder, const char* name, unsigned int mtime, unsigned long long size,
              const ustring& acl_hash);
  int AddDirectory(DirNode* folder, const char* name, unsigned int mtime, const ustring& acl_hash);
  int AddFile(int index, const char* name, unsigned int mtime, unsigned long long size,
              const ustring& acl_hash);
  int AddDirectory(int index, const char* name, unsigned int mtime, const ustring& acl_hash);
  int AddFile(const char* path, unsigned int mtime, unsigned long long size, const ustring& acl_hash);
  int AddDirectory(const char* path, unsigned int mtime, const ustring& acl_hash);

  // At the last entry of the walk; equals rend() for an empty listing.
  reverse_iterator rbegin() const;
  // The end mark: the root in state PRINT_ME with an empty stack.
  reverse_iterator rend() const;

  StringBuffer& buf;
  DirNode* root;
  std::vector<DirNode*> node;  // every folder in creation order; the root is 0

 private:
  // Interns a name that AddFile/AddDirectory accept; false when refused or
  // the buffer is full.
  bool InternName(std::string_view name, StringBuffer::String& out);
  int AddFileNode(DirNode* folder, const StringBuffer::String& name, const Attribute& attr);
  int AddDirNode(DirNode* folder, const StringBuffer::String& name, const Attribute& attr);
  // Walks the components of `parts` from the root, entering or making each
  // folder; `made` counts the folders made. Null on a refusal.
  DirNode* WalkFolders(std::string_view parts, const char* what, int& made);

  bool debug_;  // flist_debug lines are written (looked up once)
};

#endif  // SESSION_FILE_LIST_H_
