#include "platform/rename_noreplace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/temp_dir.h"

namespace {

using RenameFn = int (*)(const char*, const char*);

// Both the renameat2 path and the link/rename fallback must keep the same
// promise: nothing at the target is ever replaced.
class RenameNoReplaceTest : public testsupport::TempDirTest,
                            public ::testing::WithParamInterface<RenameFn> {
 protected:
  int Rename(const std::string& from, const std::string& to) {
    return GetParam()(Path(from).c_str(), Path(to).c_str());
  }
  bool Exists(const std::string& rel) {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }
};

TEST_P(RenameNoReplaceTest, MovesFileToFreeName) {
  WriteFile("a", "data");
  ASSERT_EQ(0, Rename("a", "b"));
  EXPECT_FALSE(Exists("a"));
  EXPECT_EQ("data", ReadFile("b"));
}

TEST_P(RenameNoReplaceTest, RefusesExistingTargetsAndLeavesBothAlone) {
  struct Case {
    const char* what;
    bool from_dir;
    bool to_dir;
  } cases[] = {
      {"file onto file", false, false},
      {"file onto empty folder", false, true},
      {"folder onto empty folder", true, true},
      {"folder onto file", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string from = std::string("from-") + c.what;
    std::string to = std::string("to-") + c.what;
    if (c.from_dir) {
      ASSERT_EQ(0, mkdir(Path(from).c_str(), 0755));
      WriteFile(from + "/inside", "in");
    } else {
      WriteFile(from, "source");
    }
    if (c.to_dir) {
      ASSERT_EQ(0, mkdir(Path(to).c_str(), 0755));
    } else {
      WriteFile(to, "target");
    }
    EXPECT_EQ(EEXIST, Rename(from, to));
    EXPECT_TRUE(Exists(from));
    if (c.from_dir) {
      EXPECT_EQ("in", ReadFile(from + "/inside"));
    }
    if (c.to_dir) {
      EXPECT_FALSE(Exists(to + "/inside"));
    } else {
      EXPECT_EQ("target", ReadFile(to));
    }
  }
}

TEST_P(RenameNoReplaceTest, MovesLinkItselfNotItsTarget) {
  WriteFile("target", "t");
  ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
  ASSERT_EQ(0, Rename("link", "moved"));
  struct stat st;
  ASSERT_EQ(0, lstat(Path("moved").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("t", ReadFile("target"));
}

TEST_P(RenameNoReplaceTest, MovesFolderAndReportsMissingSource) {
  ASSERT_EQ(0, mkdir(Path("d").c_str(), 0755));
  WriteFile("d/f", "x");
  ASSERT_EQ(0, Rename("d", "e"));
  EXPECT_EQ("x", ReadFile("e/f"));
  EXPECT_EQ(ENOENT, Rename("missing", "other"));
  EXPECT_FALSE(Exists("other"));
}

INSTANTIATE_TEST_SUITE_P(BothPaths, RenameNoReplaceTest,
                         ::testing::Values(&platform::RenameNoReplace,
                                           &platform::RenameNoReplaceFallbackForTest),
                         [](const ::testing::TestParamInfo<RenameFn>& info) {
                           return std::string(info.index == 0 ? "Renameat2" : "Fallback");
                         });

}  // namespace

namespace {

// RenameNoReplaceAt moves into the folder descriptor it is given, even once
// that folder's path leads elsewhere; a taken name there is still refused.
class RenameNoReplaceAtTest : public testsupport::TempDirTest {};

TEST_F(RenameNoReplaceAtTest, MovesIntoTheOpenedFolderNotWhereItsPathNowLeads) {
  ASSERT_EQ(0, mkdir(Path("bin").c_str(), 0755));
  ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0755));
  const int fd = open(Path("bin").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, rename(Path("bin").c_str(), Path("bin-moved").c_str()));
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("bin").c_str()));
  WriteFile("a", "first");
  WriteFile("b", "second");
  EXPECT_EQ(0, platform::RenameNoReplaceAt(AT_FDCWD, Path("a").c_str(), fd, "item"));
  EXPECT_EQ(EEXIST, platform::RenameNoReplaceAt(AT_FDCWD, Path("b").c_str(), fd, "item"));
  close(fd);
  EXPECT_EQ("first", ReadFile("bin-moved/item"));
  struct stat st;
  EXPECT_NE(0, lstat(Path("outside/item").c_str(), &st));
  EXPECT_EQ("second", ReadFile("b"));
}

}  // namespace
