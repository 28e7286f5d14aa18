// The recycle folder's moves by descriptor across file systems: the copy
// lands in the folder opened, not where its path leads once relinked, and a
// taken name leaves the source and no temporary copy.
#include "worker/worker_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <string>

#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace {

class MoveAcrossTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    // A source on another file system than the temporary folder.
    char tmpl[] = "/dev/shm/worker-fs-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "no /dev/shm";
    other_ = tmpl;
    struct stat a;
    struct stat b;
    ASSERT_EQ(0, stat(other_.c_str(), &a));
    ASSERT_EQ(0, stat(Path().c_str(), &b));
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the temporary folder's file system";
  }
  void TearDown() override {
    std::error_code ignored;  // a leftover in /dev/shm is harmless
    if (!other_.empty()) std::filesystem::remove_all(other_, ignored);
  }

  std::string other_;
};

TEST_F(MoveAcrossTest, CopyLandsInTheOpenedFolderAndSourceGoes) {
  ASSERT_EQ(0, mkdir(Path("bin").c_str(), 0700));
  ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0700));
  const int fd = open(Path("bin").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, rename(Path("bin").c_str(), Path("bin-moved").c_str()));
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("bin").c_str()));
  const std::string from = other_ + "/f";
  const std::string taken = other_ + "/g";
  for (const std::string& p : {from, taken}) {
    FILE* f = fopen(p.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(p == from ? "user bytes" : "second", f);
    fclose(f);
  }
  const struct timespec old_times[2] = {{1300000000, 0}, {1300000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, from.c_str(), old_times, 0));
  EXPECT_EQ(0, worker_fs::MoveFileAcrossInto(from.c_str(), fd, "item"));
  EXPECT_EQ(EEXIST, worker_fs::MoveFileAcrossInto(taken.c_str(), fd, "item"));
  close(fd);
  EXPECT_EQ("user bytes", ReadFile("bin-moved/item"));
  struct stat st;
  ASSERT_EQ(0, stat(Path("bin-moved/item").c_str(), &st));
  EXPECT_EQ(1300000000, st.st_mtim.tv_sec);  // kept, as a rename would
  EXPECT_NE(0, lstat(from.c_str(), &st));
  EXPECT_EQ(0, lstat(taken.c_str(), &st));
  // Nothing beside the item: no temporary copy of the refused move.
  EXPECT_EQ(1u, testsupport::TreeSnapshot::Take(Path("bin-moved")).entries().size());
  EXPECT_TRUE(testsupport::TreeSnapshot::Take(Path("outside")).entries().empty());
}

}  // namespace
