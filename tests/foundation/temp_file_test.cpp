#include "foundation/temp_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "foundation/file_op.h"
#include "support/temp_dir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class TempFileTest : public testsupport::TempDirTest {
 protected:
  bool Exists(const ustring& p) {
    struct stat st;
    return lstat(p.c_str_utf8(), &st) == 0;
  }
  size_t Count() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(Path())) {
      (void)e;
      ++n;
    }
    return n;
  }
  ustring Dir() { return Path().c_str(); }
};

TEST_F(TempFileTest, CreateMakesOneEmptyFileInTheFolder) {
  TempFile t(Dir());
  EXPECT_TRUE(t.getPath().empty());
  ASSERT_EQ(0, t.create());
  std::string p = t.getPath().c_str_utf8();
  EXPECT_EQ(Path() + "/", p.substr(0, Path().size() + 1));
  EXPECT_EQ(Path().size() + 9, p.size());
  EXPECT_EQ("", ReadFile(p.substr(Path().size() + 1)));
  // A second create keeps the first file.
  EXPECT_EQ(-1, t.create());
  EXPECT_STREQ(p.c_str(), t.getPath().c_str_utf8());
  EXPECT_EQ(1u, Count());
}

TEST_F(TempFileTest, EachObjectOwnsItsOwnFile) {
  std::optional<TempFile> a(std::in_place, Dir());
  TempFile b(Dir());
  ASSERT_EQ(0, a->create());
  ASSERT_EQ(0, b.create());
  EXPECT_NE(a->getPath(), b.getPath());
  ustring pa = a->getPath();
  a.reset();
  EXPECT_FALSE(Exists(pa));
  EXPECT_TRUE(Exists(b.getPath()));
  {
    TempFile never(Dir());  // never created: removes nothing
  }
  EXPECT_EQ(1u, Count());
}

// The text's TempFile shared a raw counter that remove() zeroed and the
// destructor freed at zero, with no copy constructor: one counter freed by
// every copy. Every order of copies, remove() and destruction, under ASan.
TEST_F(TempFileTest, CopiesShareOneFileInEveryOrder) {
  enum Step { kDestroyOriginal, kDestroyCopy, kRemoveOnCopy, kRemoveOnOriginal };
  struct Case {
    const char* what;
    Step first, second;
    bool exists_between;
  } cases[] = {
      {"original first", kDestroyOriginal, kDestroyCopy, true},
      {"copy first", kDestroyCopy, kDestroyOriginal, true},
      {"remove on copy", kRemoveOnCopy, kDestroyOriginal, false},
      {"remove on original", kRemoveOnOriginal, kDestroyCopy, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<TempFile> original(std::in_place, Dir());
    ASSERT_EQ(0, original->create());
    std::optional<TempFile> copy(*original);
    ustring path = original->getPath();
    EXPECT_EQ(path, copy->getPath());
    for (Step s : {c.first, c.second}) {
      switch (s) {
        case kDestroyOriginal: original.reset(); break;
        case kDestroyCopy: copy.reset(); break;
        case kRemoveOnCopy:
          copy->remove();
          EXPECT_TRUE(original->getPath().empty());  // for every copy
          break;
        case kRemoveOnOriginal:
          original->remove();
          EXPECT_TRUE(copy->getPath().empty());
          break;
      }
      if (s == c.first) {
        EXPECT_EQ(c.exists_between, Exists(path));
      }
    }
    copy.reset();
    original.reset();
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(0u, Count());
  }
}

TEST_F(TempFileTest, AssignmentGivesUpTheOldShareFirst) {
  TempFile a(Dir());
  TempFile b(Dir());
  ASSERT_EQ(0, a.create());
  ASSERT_EQ(0, b.create());
  ustring old_b = b.getPath();
  b = a;  // b was the last owner of its file
  EXPECT_FALSE(Exists(old_b));
  EXPECT_EQ(a.getPath(), b.getPath());
  b = b;
  EXPECT_TRUE(Exists(a.getPath()));

  // A copy of an object without a file is an object of its own.
  TempFile empty(Dir());
  TempFile c(empty);
  ASSERT_EQ(0, c.create());
  EXPECT_TRUE(empty.getPath().empty());
  EXPECT_EQ(0, empty.create());
  EXPECT_NE(empty.getPath(), c.getPath());
}

TEST_F(TempFileTest, PermanentOnAnyCopyOutlivesEveryOwner) {
  ustring path;
  {
    TempFile a(Dir());
    ASSERT_EQ(0, a.create());
    path = a.getPath();
    TempFile b(a);
    b.convert_permanent();
  }
  EXPECT_TRUE(Exists(path));
}

TEST_F(TempFileTest, FileMovedAwayIsNoError) {
  CaptureStderr();
  {
    TempFile t(Dir());
    ASSERT_EQ(0, t.create());
    ASSERT_EQ(0, FSRename(t.getPath(), Path("kept").c_str(), false));
  }
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_EQ("", ReadFile("kept"));
}

TEST_F(TempFileTest, EmptyFolderMeansTheDefaultFolder) {
  setenv("TMPDIR", Path().c_str(), 1);
  {
    TempFile t("");
    ASSERT_EQ(0, t.create());
    EXPECT_EQ(Path() + "/", std::string(t.getPath().c_str_utf8()).substr(0, Path().size() + 1));
  }
  ASSERT_EQ(0, mkdir(Path("other").c_str(), 0755));
  EXPECT_EQ(0, TempFile::initialize(Path("other").c_str()));
  TempFile t("");
  ASSERT_EQ(0, t.create());
  EXPECT_EQ(Path("other") + "/", std::string(t.getPath().c_str_utf8()).substr(0, Path("other").size() + 1));
  t.setPrefix(Path("missing").c_str());
  t.remove();
  CaptureStderr();
  EXPECT_EQ(-1, t.create());
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("[ERROR] utility("));
}

TEST_F(TempFileTest, SFFileIsCreatedOnceAndRemovedOnlyOnRequest) {
  ustring path;
  {
    SFFile f(Dir());
    ASSERT_EQ(0, f.create());
    path = f.getPath();
    EXPECT_EQ(0, f.create());  // keeps the file it has
    EXPECT_EQ(path, f.getPath());
    WriteFile(std::string(path.c_str_utf8()).substr(Path().size() + 1), "12345");
    EXPECT_EQ(5u, f.getSize());
  }
  EXPECT_TRUE(Exists(path));
  SFFile g(Dir());
  ASSERT_EQ(0, g.create());
  ustring gp = g.getPath();
  g.remove();
  EXPECT_FALSE(Exists(gp));
  EXPECT_TRUE(g.getPath().empty());
  EXPECT_EQ(0u, g.getSize());
}

}  // namespace
