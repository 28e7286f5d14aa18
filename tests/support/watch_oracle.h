// Oracle for folder-watch tests: which folders an inotify descriptor really
// watches, as the kernel lists them, against the folders on disk.
#ifndef TESTS_SUPPORT_WATCH_ORACLE_H_
#define TESTS_SUPPORT_WATCH_ORACLE_H_

#include <functional>
#include <set>
#include <string>

namespace testsupport {

// The inodes watched through the inotify descriptor `fd` of this process,
// from the "inotify wd:.. ino:.." lines of /proc/self/fdinfo/<fd> (inode in
// hex). Empty when `fd` is not an inotify descriptor.
std::set<unsigned long> InotifyWatchedInodes(int fd);

// How FolderInodes treats a folder, given its path relative to the root
// ("" the root, "a/b" below it).
enum class FolderWalk {
  kEnter,       // counted and entered
  kCountOnly,   // counted, not entered
  kSkip,        // neither
};

// The inodes of `root` and of the folders below it, found with lstat (links
// are never followed), as `classify` says (null: every folder kEnter).
std::set<unsigned long> FolderInodes(const std::string& root,
                                     const std::function<FolderWalk(const std::string&)>& classify);

// The relative paths of the folders of `root` whose inodes are in `inodes`
// (for failure messages).
std::string DescribeInodes(const std::string& root, const std::set<unsigned long>& inodes);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_WATCH_ORACLE_H_
