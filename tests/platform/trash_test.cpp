#include "platform/trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  EXPECT_EQ(Path("data/Trash"), platform::TrashDirOf(Path("my file.txt").c_str()));
  ASSERT_EQ(0, platform::MoveToTrash(Path("my file.txt").c_str()));
  EXPECT_EQ("", platform::TrashDirOf(Path("my file.txt").c_str()));  // gone
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

// Runs `body` in a forked child that is root of a user and mount namespace
// of its own, with a 1 MiB tmpfs mounted at `mount_point`; the child's
// checks print their failures and count. Returns the failure count, or -1
// where such namespaces are not allowed.
int InVolumeNamespace(const std::string& mount_point, int (*body)(const std::string&)) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    close(pipe_fd[0]);
    auto write_file = [](const char* path, const std::string& text) {
      int fd = open(path, O_WRONLY | O_CLOEXEC);
      if (fd < 0) return false;
      bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      return close(fd) == 0 && ok;
    };
    char ready = 0;
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && write_file("/proc/self/setgroups", "deny") &&
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0) {
      ready = 1;
    }
    (void)!write(pipe_fd[1], &ready, 1);
    close(pipe_fd[1]);
    _exit(ready ? std::min(body(mount_point), 100) : 0);
  }
  close(pipe_fd[1]);
  char ready = 0;
  (void)!read(pipe_fd[0], &ready, 1);
  close(pipe_fd[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (!ready) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

#define VOL_CHECK(cond)                                                        \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out.flush());
}

// An entry on another file system than the home trash goes to its volume's
// own trash, made 0700 at the mount point, with a relative "Path=".
int MoveOnVolume(const std::string& top) {
  int failures = 0;
  VOL_CHECK(mkdir((top + "/sub").c_str(), 0755) == 0);
  VOL_CHECK(mkdir((top + "/sub/deep").c_str(), 0755) == 0);
  VOL_CHECK(WriteAll(top + "/sub/deep/unsynced.txt", "never uploaded"));
  VOL_CHECK(platform::MoveToTrash((top + "/sub").c_str()) == 0);
  const std::string trash = top + "/.Trash-0";
  VOL_CHECK(platform::VolumeTrashDir(top) == trash);
  struct stat st;
  VOL_CHECK(lstat(trash.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700);
  VOL_CHECK(ReadAll(trash + "/files/sub/deep/unsynced.txt") == "never uploaded");
  VOL_CHECK(ReadAll(trash + "/info/sub.trashinfo") ==
            "[Trash Info]\nPath=sub\nDeletionDate=2013-03-07T14:05:00\n");
  VOL_CHECK(lstat((top + "/sub").c_str(), &st) != 0);
  VOL_CHECK(platform::IsVolumeTrash(trash.c_str()));
  VOL_CHECK(mkdir((top + "/sub2").c_str(), 0755) == 0);
  // What a caller asks before it trashes: here the volume's trash, inside
  // the mounted folder itself.
  VOL_CHECK(platform::TrashDirOf((top + "/sub2").c_str()) == trash);
  VOL_CHECK(mkdir((top + "/sub2/.Trash-0").c_str(), 0755) == 0);
  VOL_CHECK(!platform::IsVolumeTrash((top + "/sub2").c_str()));
  VOL_CHECK(!platform::IsVolumeTrash((top + "/sub2/.Trash-0").c_str()));
  // The mount point itself cannot be renamed; it stays.
  VOL_CHECK(platform::MoveToTrash(top.c_str()) == EBUSY);
  VOL_CHECK(lstat(top.c_str(), &st) == 0);
  return failures;
}

// A ".Trash-$uid" that is a link (to a folder someone chose) is never used.
int LinkedVolumeTrashRefused(const std::string& top) {
  int failures = 0;
  VOL_CHECK(mkdir((top + "/elsewhere").c_str(), 0700) == 0);
  VOL_CHECK(symlink("elsewhere", (top + "/.Trash-0").c_str()) == 0);
  VOL_CHECK(WriteAll(top + "/f", "bytes"));
  VOL_CHECK(platform::MoveToTrash((top + "/f").c_str()) == ENOTDIR);
  VOL_CHECK(ReadAll(top + "/f") == "bytes");
  DIR* d = opendir((top + "/elsewhere").c_str());
  int entries = 0;
  while (d != nullptr && readdir(d) != nullptr) ++entries;
  if (d != nullptr) closedir(d);
  VOL_CHECK(entries == 2);
  return failures;
}

// A volume that turned read-only has no trash to make: nothing changes.
int ReadOnlyVolumeKeepsEntry(const std::string& top) {
  int failures = 0;
  VOL_CHECK(WriteAll(top + "/f", "bytes"));
  VOL_CHECK(mount(nullptr, top.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0);
  VOL_CHECK(platform::MoveToTrash((top + "/f").c_str()) == EROFS);
  VOL_CHECK(ReadAll(top + "/f") == "bytes");
  struct stat st;
  VOL_CHECK(lstat((top + "/.Trash-0").c_str(), &st) != 0);
  return failures;
}

TEST_F(TrashTest, AnotherFileSystemUsesItsVolumeTrash) {
  struct Case {
    const char* name;
    int (*body)(const std::string&);
  } cases[] = {
      {"moved", &MoveOnVolume},
      {"linked trash", &LinkedVolumeTrashRefused},
      {"read-only", &ReadOnlyVolumeKeepsEntry},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string vol = Path("vol" + std::to_string(&c - cases));
    ASSERT_EQ(0, mkdir(vol.c_str(), 0755));
    const int failures = InVolumeNamespace(vol, c.body);
    if (failures < 0) GTEST_SKIP() << "user namespaces with a mount of their own are not allowed here";
    EXPECT_EQ(0, failures) << "see the check failures above";
    // The home trash saw none of it.
    struct stat st;
    EXPECT_NE(0, lstat(Trash("files").c_str(), &st));
  }
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
