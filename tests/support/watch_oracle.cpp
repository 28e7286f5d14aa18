#include "support/watch_oracle.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace testsupport {

std::set<unsigned long> InotifyWatchedInodes(int fd) {
  std::set<unsigned long> inodes;
  std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
  std::string line;
  while (std::getline(in, line)) {
    unsigned wd = 0;
    unsigned long ino = 0;
    if (std::sscanf(line.c_str(), "inotify wd:%x ino:%lx", &wd, &ino) == 2) inodes.insert(ino);
  }
  return inodes;
}

namespace {

// Visits every folder (path relative to root, inode).
void Walk(const std::string& root, const std::function<FolderWalk(const std::string&)>& classify,
          const std::function<void(const std::string&, unsigned long)>& visit) {
  std::vector<std::string> todo{""};
  while (!todo.empty()) {
    std::string rel = std::move(todo.back());
    todo.pop_back();
    std::string full = rel.empty() ? root : root + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    FolderWalk how = classify ? classify(rel) : FolderWalk::kEnter;
    if (how == FolderWalk::kSkip) continue;
    visit(rel, static_cast<unsigned long>(st.st_ino));
    if (how != FolderWalk::kEnter) continue;
    DIR* dir = opendir(full.c_str());
    if (dir == nullptr) continue;
    while (struct dirent* de = readdir(dir)) {
      if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
      todo.push_back(rel.empty() ? de->d_name : rel + "/" + de->d_name);
    }
    closedir(dir);
  }
}

}  // namespace

std::set<unsigned long> FolderInodes(const std::string& root,
                                     const std::function<FolderWalk(const std::string&)>& classify) {
  std::set<unsigned long> inodes;
  Walk(root, classify, [&](const std::string&, unsigned long ino) { inodes.insert(ino); });
  return inodes;
}

std::string DescribeInodes(const std::string& root, const std::set<unsigned long>& inodes) {
  std::ostringstream out;
  std::set<unsigned long> named;
  Walk(root, nullptr, [&](const std::string& rel, unsigned long ino) {
    if (inodes.count(ino)) {
      out << " '" << rel << "'";
      named.insert(ino);
    }
  });
  for (unsigned long ino : inodes) {
    if (!named.count(ino)) out << " ino:" << ino << " (not under the root)";
  }
  return out.str();
}

}  // namespace testsupport
