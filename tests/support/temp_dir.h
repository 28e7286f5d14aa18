// Temporary folders for tests.
#ifndef TESTS_SUPPORT_TEMP_DIR_H_
#define TESTS_SUPPORT_TEMP_DIR_H_

#include <gtest/gtest.h>

#include <string>

#include "support/process_state.h"
#include "support/temp_dir_core.h"

namespace testsupport {

// Fixture with a TempDir per test case. The working folder, environment,
// umask, signal dispositions and limits are put back after each case
// (before the folder goes).
class TempDirTest : public ::testing::Test {
 protected:
  // tmp_.path() + "/" + rel; rel "" gives the folder itself.
  std::string Path(const std::string& rel = "") const;
  // Writes bytes to rel (creating or truncating it); parent folders must exist.
  void WriteFile(const std::string& rel, const std::string& bytes) const;
  // The whole content of rel; fails the test when it cannot be read.
  std::string ReadFile(const std::string& rel) const;

  TempDir tmp_;

 private:
  ProcessStateGuard process_state_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEMP_DIR_H_
