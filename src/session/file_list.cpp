#include "session/file_list.h"

#include <memory>
#include <string>

#include "foundation/logger.h"

namespace {

constexpr char kComp[] = "flist_debug";

}  // namespace

// ---- Attribute ----

void FileList::Attribute::clear() {
  mtime = 0;
  size = 0;
  acl_hash.clear();
}

bool FileList::Attribute::operator==(const Attribute& o) const {
  return mtime == o.mtime && size == o.size && acl_hash == o.acl_hash;
}

ustring FileList::Attribute::toString() const {
  std::string s = "mtime=" + std::to_string(mtime) + ", size=" + std::to_string(size) +
                  ", acl_hash=" + acl_hash.c_str_utf8();
  return ustring(s);
}

// ---- Building ----

FileList::FileList(StringBuffer& b)
    : buf(b), root(nullptr), debug_(Logger::IsEnabled(Logger::L_DEBUG, kComp)) {
  StringBuffer::String name;  // the shared "" when the buffer is full
  // A full buffer leaves the default name: the root's name is never shown.
  (void)buf.insert("/", name);
  auto r = std::make_unique<DirNode>();
  r->name = name;
  node.push_back(r.get());
  root = r.release();
}

FileList::~FileList() {
  for (DirNode* d : node) delete d;
}

bool FileList::InternName(std::string_view name, StringBuffer::String& out) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return false;
  }
  return buf.insert(name, out);
}

int FileList::AddFileNode(DirNode* folder, const StringBuffer::String& name, const Attribute& attr) {
  if (folder->dir.find(name) != folder->dir.end()) return -1;
  bool added = folder->file.insert(FileNode{name, attr}).second;
  return added ? 0 : -1;
}

int FileList::AddDirNode(DirNode* folder, const StringBuffer::String& name, const Attribute& attr) {
  if (folder->file.find(name) != folder->file.end()) return -1;
  if (folder->dir.find(name) != folder->dir.end()) return -1;
  auto d = std::make_unique<DirNode>();
  d->name = name;
  d->parent = folder;
  d->attr = attr;
  d->attr.size = 0;
  node.push_back(d.get());
  try {
    folder->dir.emplace(name, d.get());
  } catch (...) {
    node.pop_back();
    throw;
  }
  d.release();  // owned through `node` from here on
  return static_cast<int>(node.size() - 1);
}

int FileList::AddFile(DirNode* folder, const char* name, const Attribute& attr) {
  StringBuffer::String s;
  if (!InternName(name, s)) return -1;
  return AddFileNode(folder, s, attr);
}

int FileList::AddDirectory(DirNode* folder, const char* name, const Attribute& attr) {
  StringBuffer::String s;
  if (!InternName(name, s)) return -1;
  return AddDirNode(folder, s, attr);
}

int FileList::AddFile(int index, const char* name, const Attribute& attr) {
  if (index < 0) return -1;
  return AddFile(node.at(static_cast<size_t>(index)), name, attr);
}

int FileList::AddDirectory(int index, const char* name, const Attribute& attr) {
  if (index < 0) return -1;
  return AddDirectory(node.at(static_cast<size_t>(index)), name, attr);
}

FileList::DirNode* FileList::WalkFolders(std::string_view parts, const char* what, int& made) {
  DirNode* cur = root;
  size_t i = 0;
  while (i < parts.size()) {
    if (parts[i] == '/') {
      ++i;
      continue;
    }
    size_t j = parts.find('/', i);
    if (j == std::string_view::npos) j = parts.size();
    std::string_view comp = parts.substr(i, j - i);
    i = j;
    StringBuffer::String s;
    if (!InternName(comp, s)) return nullptr;
    if (cur->file.find(s) != cur->file.end()) return nullptr;
    if (debug_) Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] flist(%d): %s '%s'\n", __LINE__, what, s.c_str());
    auto it = cur->dir.find(s);
    if (it != cur->dir.end()) {
      cur = it->second;
      continue;
    }
    cur = node[static_cast<size_t>(AddDirNode(cur, s, Attribute()))];
    ++made;
  }
  return cur;
}

int FileList::AddFile(const char* path, const Attribute& attr) {
  std::string_view p(path);
  if (p.empty() || p.back() == '/') return -1;
  size_t slash = p.rfind('/');
  std::string_view parent = slash == std::string_view::npos ? std::string_view() : p.substr(0, slash);
  std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
  int made = 0;
  DirNode* folder = WalkFolders(parent, "searching parent", made);
  if (folder == nullptr) return -1;
  StringBuffer::String s;
  if (!InternName(name, s)) return -1;
  if (debug_) Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] flist(%d): adding file '%s'\n", __LINE__, s.c_str());
  return AddFileNode(folder, s, attr);
}

int FileList::AddDirectory(const char* path, const Attribute& attr) {
  int made = 0;
  DirNode* folder = WalkFolders(path, "adding directory", made);
  if (folder == nullptr) return -1;
  folder->attr = attr;
  folder->attr.size = 0;
  return made;
}

namespace {

FileList::Attribute MakeAttr(unsigned int mtime, unsigned long long size, const ustring& acl_hash) {
  FileList::Attribute a;
  a.mtime = mtime;
  a.size = size;
  a.acl_hash = acl_hash;
  return a;
}

}  // namespace

int FileList::AddFile(DirNode* folder, const char* name, unsigned int mtime, unsigned long long size,
                      const ustring& acl_hash) {
  return AddFile(folder, name, MakeAttr(mtime, size, acl_hash));
}
int FileList::AddDirectory(DirNode* folder, const char* name, unsigned int mtime, const ustring& acl_hash) {
  return AddDirectory(folder, name, MakeAttr(mtime, 0, acl_hash));
}
int FileList::AddFile(int index, const char* name, unsigned int mtime, unsigned long long size,
                      const ustring& acl_hash) {
  return AddFile(index, name, MakeAttr(mtime, size, acl_hash));
}
int FileList::AddDirectory(int index, const char* name, unsigned int mtime, const ustring& acl_hash) {
  return AddDirectory(index, name, MakeAttr(mtime, 0, acl_hash));
}
int FileList::AddFile(const char* path, unsigned int mtime, unsigned long long size, const ustring& acl_hash) {
  return AddFile(path, MakeAttr(mtime, size, acl_hash));
}
int FileList::AddDirectory(const char* path, unsigned int mtime, const ustring& acl_hash) {
  return AddDirectory(path, MakeAttr(mtime, 0, acl_hash));
}

// ---- Walking ----

FileList::reverse_iterator FileList::rbegin() const {
  reverse_iterator it;
  it.flist = const_cast<FileList*>(this);
  it.get_last_of(root);
  return it;
}

FileList::reverse_iterator FileList::rend() const {
  reverse_iterator it;
  it.flist = const_cast<FileList*>(this);
  it.cur = root;
  it.state = reverse_iterator::PRINT_ME;
  return it;
}

void FileList::reverse_iterator::get_last_of(DirNode* f) {
  for (;;) {
    stack.push_back(stack_entry{f, f->file.end(), f->dir.end()});
    cur = f;
    if (f->dir.empty()) {
      state = f->file.empty() ? PRINT_ME : PRINT_FILE;
      break;
    }
    auto last_dir = std::prev(f->dir.end());
    if (!f->file.empty() && std::prev(f->file.end())->name > last_dir->first) {
      state = PRINT_FILE;
      break;
    }
    f = last_dir->second;
  }
  build_entry();
}

FileList::reverse_iterator& FileList::reverse_iterator::operator++() {
  if (stack.empty()) return *this;
  if (state == PRINT_ME) {
    if (cur == flist->root) {
      stack.clear();
      build_entry();
      return *this;
    }
    stack.pop_back();
    state = PRINT_DIR;
  }
  stack_entry& top = stack.back();
  cur = top.node;
  if (state == PRINT_FILE) {
    --top.file_it;
  } else {
    --top.dir_it;
  }
  bool files_left = top.file_it != cur->file.begin();
  bool dirs_left = top.dir_it != cur->dir.begin();
  if (!files_left && !dirs_left) {
    state = PRINT_ME;
  } else if (!files_left) {
    get_last_of(std::prev(top.dir_it)->second);
    return *this;
  } else if (!dirs_left) {
    state = PRINT_FILE;
  } else {
    auto d = std::prev(top.dir_it);
    if (!(std::prev(top.file_it)->name > d->first)) {
      get_last_of(d->second);
      return *this;
    }
    state = PRINT_FILE;
  }
  build_entry();
  return *this;
}

void FileList::reverse_iterator::build_entry() {
  ent.path.clear();
  for (size_t i = 1; i < stack.size(); ++i) {
    ent.path += '/';
    ent.path += stack[i].node->name.c_str();
  }
  if (state == PRINT_FILE) {
    const FileNode& f = *std::prev(stack.back().file_it);
    ent.path += '/';
    ent.path += f.name.c_str();
    ent.flag = 0;
    ent.attr = f.attr;
  } else if (cur == flist->root) {
    ent.path.clear();
    ent.flag = 1;
    ent.attr.clear();
  } else {
    ent.flag = 1;
    ent.attr = cur->attr;
  }
}
