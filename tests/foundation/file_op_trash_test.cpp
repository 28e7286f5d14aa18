// FSRemove with allowundo: the freedesktop.org home trash, read back with
// trash-cli's trash-list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string>

#include "foundation/file_op.h"
#include "platform/local_time.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

time_t FixedClock() { return 1362665100; }  // 2013-03-07 14:05:00 UTC

class FileOpTrashTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
  }
  void TearDown() override { platform::SetClockForTest(nullptr); }

  bool Exists(const std::string& abs) {
    struct stat st;
    return lstat(abs.c_str(), &st) == 0;
  }
  // trash-list's output for our data folder; fails the test if it fails.
  std::string TrashList() {
    testsupport::CommandResult r =
        testsupport::RunCommand({"trash-list"}, "", {"XDG_DATA_HOME=" + Path("data"), "TZ=UTC"});
    EXPECT_EQ(0, r.exit_code) << r.err;
    return r.out;
  }
};

TEST_F(FileOpTrashTest, TrashListShowsOriginalPathAndDeletionTime) {
  platform::SetClockForTest(&FixedClock);
  // A blank and "%" check the percent-encoding of "Path=".
  WriteFile("my file 100%.txt", "content");
  ASSERT_EQ(0, mkdir(Path("folder").c_str(), 0755));
  WriteFile("folder/inner", "i");
  ASSERT_EQ(0, FSRemove(Path("my file 100%.txt").c_str(), true));
  ASSERT_EQ(0, FSRemove(Path("folder").c_str(), true));
  EXPECT_FALSE(Exists(Path("my file 100%.txt")));
  EXPECT_FALSE(Exists(Path("folder")));

  std::string out = TrashList();
  EXPECT_NE(std::string::npos, out.find("2013-03-07 14:05:00 " + Path("my file 100%.txt") + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find("2013-03-07 14:05:00 " + Path("folder") + "\n")) << out;
  EXPECT_EQ("i", ReadFile("data/Trash/files/folder/inner"));
}

TEST_F(FileOpTrashTest, SameNameTwiceKeepsBoth) {
  WriteFile("twice", "first");
  ASSERT_EQ(0, FSRemove(Path("twice").c_str(), true));
  WriteFile("twice", "second");
  ASSERT_EQ(0, FSRemove(Path("twice").c_str(), true));
  std::string out = TrashList();
  // "YYYY-MM-DD HH:MM:SS <path>" twice.
  std::istringstream lines(out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.size() != 20 + Path("twice").size() || line.substr(20) != Path("twice")) continue;
    EXPECT_EQ('-', line[4]);
    EXPECT_EQ(' ', line[10]);
    EXPECT_EQ(':', line[16]);
    ++count;
  }
  EXPECT_EQ(2, count) << out;
  EXPECT_EQ("first", ReadFile("data/Trash/files/twice"));
  EXPECT_EQ("second", ReadFile("data/Trash/files/twice_2"));
}

// A trash that cannot take the entry never turns into a permanent delete:
// here the data folder is a file, so no trash can be made there. (An entry
// on another file system goes to its own volume's trash: the trash layer's
// tests show that in a mount namespace of their own.)
TEST_F(FileOpTrashTest, FailureGivesMinusThreeAndKeepsTheEntry) {
  WriteFile("datafile", "not a folder");
  setenv("XDG_DATA_HOME", Path("datafile").c_str(), 1);
  WriteFile("victim", "v");
  const std::string victim = Path("victim");
  CaptureStderr();
  EXPECT_EQ(-3, FSRemove(victim.c_str(), true));
  const std::string log = GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("): SHFileOperation fail: " + victim + " " + victim +
                                        "  GetLastError:20   return code: 20=14\n"))
      << log;
  EXPECT_EQ("v", ReadFile("victim"));
}

}  // namespace
