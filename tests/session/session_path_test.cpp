// IsSafeSessionPath: which session-relative paths may reach the disk;
// IsRecycleItemPath: which recycle records name an item of the recycle folder.
#include "session/session_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A ustring of exactly these bytes, embedded NULs included.
ustring Bytes(const std::string& bytes) {
  ustring s;
  for (char c : bytes) s.append(c, 1);
  return s;
}

struct PathCase {
  std::string path;
  bool safe;
};

TEST(IsSafeSessionPath, Table) {
  const PathCase cases[] = {
      {"/", true},
      {"/a", true},
      {"/a/b/c.txt", true},
      {"/a\\b", true},  // "\\" is an ordinary byte
      {"/\xc3\xa9", true},
      {"/...", true},
      {"/..a", true},
      {"/a/.ZarqelonWorkingDirectory", true},  // only the top level is the daemon's
      {"/.ZarqelonWorkingDirectoryX", true},
      {"", false},
      {"a", false},
      {"a/b", false},
      {"//", false},
      {"/a/", false},
      {"/a//b", false},
      {"//a", false},
      {"/.", false},
      {"/..", false},
      {"/./a", false},
      {"/a/.", false},
      {"/../x", false},
      {"/a/../../x", false},
      {"/a/..", false},
      {"/.ZarqelonWorkingDirectory", false},
      {"/.ZarqelonWorkingDirectory/#ZarqRecycle/x", false},
      {"/.zarqelonworkingdirectory/x", false},
      {"/.ZARQELONWORKINGDIRECTORY", false},
      {std::string("/a\0b", 4), false},
      {std::string("/a\0", 3), false},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsSafeSessionPath(Bytes(c.path)), c.safe);
  }
}

TEST(IsRecycleItemPath, Table) {
  const PathCase cases[] = {
      {"/a", true},
      {"/#1_x.txt", true},
      {"/...", true},
      {"/", false},  // the recycle folder itself
      {"", false},
      {"a", false},
      {"/a/b", false},
      {"/a/", false},
      {"/..", false},
      {"/../x", false},
      {"/../../x", false},     // the session's own "/x"
      {"/../../../x", false},  // a file beside the session folder
      {"/a/../../x", false},
      {"/.ZarqelonWorkingDirectory", false},
      {std::string("/a\0b", 4), false},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsRecycleItemPath(Bytes(c.path)), c.safe);
  }
}

}  // namespace
