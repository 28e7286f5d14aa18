// TreeSnapshot: what a folder tree holds, to check after a test that no
// user's bytes were lost.
#ifndef TESTS_SUPPORT_TREE_SNAPSHOT_H_
#define TESTS_SUPPORT_TREE_SNAPSHOT_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace testsupport {

struct TreeEntry {
  char type = '?';  // 'f' file, 'd' folder, 'l' link, 'o' anything else,
                    // 'v' a file that vanished or could not be read
                    // (only with TreeSnapshot::Options::vanished_as_entry)
  uint64_t size = 0;       // files only
  std::string sha256;      // files only: lower-case hexadecimal
  std::string link_target; // links only

  bool operator==(const TreeEntry& o) const {
    return type == o.type && size == o.size && sha256 == o.sha256 && link_target == o.link_target;
  }
};

// Every entry below a folder by its path relative to it ("/a/b"; the folder
// itself is not listed). Links are recorded, never followed; FIFOs and
// sockets are never opened.
class TreeSnapshot {
 public:
  struct Options {
    // Leave out the top-level working folder (.ZarqelonWorkingDirectory).
    bool skip_working_folder = false;
    // List a file that cannot be read (one a daemon is moving) as type 'v'
    // instead of failing the test: a snapshot of a live tree.
    bool vanished_as_entry = false;
  };

  // Walks `root`; a missing root gives an empty snapshot. An unreadable
  // file fails the test unless `options` says otherwise.
  static TreeSnapshot Take(const std::string& root, Options options);
  static TreeSnapshot Take(const std::string& root) { return Take(root, Options{}); }

  const std::map<std::string, TreeEntry>& entries() const { return entries_; }
  bool operator==(const TreeSnapshot& o) const { return entries_ == o.entries_; }
  // The differences from `other`, one line each; "" when equal.
  std::string Diff(const TreeSnapshot& other) const;

 private:
  std::map<std::string, TreeEntry> entries_;
};

// One entry in a line: its type, and a file's size and hash prefix or a
// link's target.
std::string Describe(const TreeEntry& e);

// The SHA-256 of a byte string, lower-case hexadecimal.
std::string Sha256Hex(const std::string& bytes);

// Checks that every file of `before` still has its bytes somewhere they may
// rightly be: at its path, under a conflict name in its folder (its stem
// followed by "_"), anywhere in the recycle folder
// (/.ZarqelonWorkingDirectory/#ZarqRecycle), or, by SHA-256, among
// `store` (every version the server stand-in keeps). Fails the test for
// each file that is nowhere.
void ExpectNothingLost(const TreeSnapshot& before, const TreeSnapshot& after,
                       const std::set<std::string>& store = {});

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TREE_SNAPSHOT_H_
