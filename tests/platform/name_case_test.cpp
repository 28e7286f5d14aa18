#include "platform/name_case.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/temp_dir.h"

namespace {

class NameCaseTest : public testsupport::TempDirTest {};

// The scan that decides existence on case-insensitive file systems matches
// bytes, not letters.
TEST_F(NameCaseTest, ScanFindsOnlyTheExactBytes) {
  WriteFile("Foo", "");
  WriteFile("\xc3\xa9t\xc3\xa9", "");
  struct Case {
    const char* name;
    bool found;
  } cases[] = {
      {"Foo", true}, {"foo", false}, {"FOO", false}, {"Fo", false},
      {"\xc3\xa9t\xc3\xa9", true}, {"\xc3\x89t\xc3\xa9", false}, {".", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool found = !c.found;
    ASSERT_EQ(0, platform::FolderHasExactName(Path().c_str(), c.name, &found));
    EXPECT_EQ(c.found, found);
  }
  bool found = false;
  EXPECT_EQ(ENOENT, platform::FolderHasExactName(Path("missing").c_str(), "x", &found));
}

TEST_F(NameCaseTest, TestFileSystemIsCaseSensitiveAndCached) {
  struct stat st;
  ASSERT_EQ(0, stat(Path().c_str(), &st));
  EXPECT_FALSE(platform::DeviceKnownCaseSensitive(st.st_dev));  // not asked yet
  for (int i = 0; i < 2; ++i) {  // the second answer comes from the cache
    bool insensitive = true;
    ASSERT_EQ(0, platform::FolderIgnoresCase(Path().c_str(), st.st_dev, &insensitive));
    EXPECT_FALSE(insensitive);
  }
  EXPECT_TRUE(platform::DeviceKnownCaseSensitive(st.st_dev));
  bool insensitive = false;
  EXPECT_EQ(ENOENT, platform::FolderIgnoresCase(Path("missing").c_str(), st.st_dev + 12345, &insensitive));
}

}  // namespace
