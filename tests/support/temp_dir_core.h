// TempDir: a temporary folder that removes itself; free of GoogleTest, for
// the support core and the programs built on it.
#ifndef TESTS_SUPPORT_TEMP_DIR_CORE_H_
#define TESTS_SUPPORT_TEMP_DIR_CORE_H_

#include <string>

namespace testsupport {

// A fresh folder made with mkdtemp under $TMPDIR (or /tmp); the constructor
// throws std::runtime_error when it cannot be made. The destructor first
// gives the owner rwx on every folder below it (a test may have taken
// permissions away), then removes the whole tree without following links.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path of the folder, without a trailing "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEMP_DIR_CORE_H_
