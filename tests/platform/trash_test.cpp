#include "platform/trash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/local_time.h"
#include "support/temp_dir.h"

namespace {

time_t FixedClock() { return 1362665100; }  // 2013-03-07 14:05:00 UTC

class TrashTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
    platform::SetClockForTest(&FixedClock);
  }
  void TearDown() override { platform::SetClockForTest(nullptr); }

  bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  std::string Trash(const std::string& rel) { return Path("data/Trash/" + rel); }
};

TEST(TrashPathEncodeTest, EscapesAllButUnreservedBytesAndSlash) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"/home/u/a.txt", "/home/u/a.txt"},
      {"/a b/100%.txt", "/a%20b/100%25.txt"},
      {"/x/~y_z-1", "/x/~y_z-1"},
      {"/\xc3\xa9\xff", "/%C3%A9%FF"},
      {"/a\nb#?", "/a%0Ab%23%3F"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, platform::TrashPathEncode(c.in));
}

TEST_F(TrashTest, MovesEntryAndWritesInfoFile) {
  WriteFile("my file.txt", "content");
  ASSERT_EQ(0, platform::MoveToTrash(Path("my file.txt").c_str()));
  EXPECT_FALSE(Exists(Path("my file.txt")));
  EXPECT_EQ("content", ReadFile("data/Trash/files/my file.txt"));
  EXPECT_EQ("[Trash Info]\nPath=" + platform::TrashPathEncode(Path("my file.txt")) +
                "\nDeletionDate=2013-03-07T14:05:00\n",
            ReadFile("data/Trash/info/my file.txt.trashinfo"));
}

TEST_F(TrashTest, TakenNamesGetSuffixesAndOrphansAreSkipped) {
  ASSERT_EQ(0, mkdir(Path("a").c_str(), 0755));
  ASSERT_EQ(0, mkdir(Path("b").c_str(), 0755));
  WriteFile("a/same", "first");
  WriteFile("b/same", "second");
  ASSERT_EQ(0, platform::MoveToTrash(Path("a/same").c_str()));
  // An entry in files/ without its info file must not be overwritten.
  WriteFile("data/Trash/files/same_2", "orphan");
  ASSERT_EQ(0, platform::MoveToTrash(Path("b/same").c_str()));
  EXPECT_EQ("first", ReadFile("data/Trash/files/same"));
  EXPECT_EQ("orphan", ReadFile("data/Trash/files/same_2"));
  EXPECT_EQ("second", ReadFile("data/Trash/files/same_3"));
  EXPECT_FALSE(Exists(Trash("info/same_2.trashinfo")));
  EXPECT_TRUE(Exists(Trash("info/same_3.trashinfo")));
}

TEST_F(TrashTest, RelativePathAndLongNameAreStoredUsably) {
  std::string long_name(250, 'n');
  WriteFile(long_name, "l");
  ASSERT_EQ(0, chdir(Path().c_str()));
  ASSERT_EQ(0, platform::MoveToTrash(long_name.c_str()));
  std::string stored(NAME_MAX - 16, 'n');
  EXPECT_EQ("l", ReadFile("data/Trash/files/" + stored));
  std::string info = ReadFile("data/Trash/info/" + stored + ".trashinfo");
  EXPECT_NE(std::string::npos, info.find("Path=" + Path(long_name) + "\n"));
}

TEST_F(TrashTest, AnotherFileSystemChangesNothing) {
  testsupport::TempDir other_root;
  struct stat a, b;
  ASSERT_EQ(0, stat("/dev/shm", &a));
  ASSERT_EQ(0, stat(Path().c_str(), &b));
  if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the test file system";
  char tmpl[] = "/dev/shm/trash-test-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(EXDEV, platform::MoveToTrash(tmpl));
  EXPECT_TRUE(Exists(tmpl));
  unlink(tmpl);
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(Trash("info"), ec));
}

TEST_F(TrashTest, NoDataFolderAndMissingEntryAreErrors) {
  WriteFile("f", "x");
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_EQ(ENOENT, platform::MoveToTrash(Path("f").c_str()));
  EXPECT_TRUE(Exists(Path("f")));
  setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
  setenv("HOME", Path("home").c_str(), 1);
  EXPECT_EQ(Path("home") + "/.local/share/Trash", platform::HomeTrashDir());
  EXPECT_EQ(ENOENT, platform::MoveToTrash(Path("missing").c_str()));
}

}  // namespace
