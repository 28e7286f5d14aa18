#include "platform/remove_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

class RemoveTreeTest : public testsupport::TempDirTest {
 protected:
  bool Exists(const std::string& rel) {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }
  void MakeDir(const std::string& rel) { ASSERT_EQ(0, mkdir(Path(rel).c_str(), 0755)) << rel; }

  std::vector<std::pair<platform::RemoveStep, int>> errors_;
  std::function<void(platform::RemoveStep, int)> record_ = [this](platform::RemoveStep s, int e) {
    errors_.emplace_back(s, e);
  };
};

// A link inside the tree (to a folder or a file outside it) is unlinked; what
// it points to stays whole.
TEST_F(RemoveTreeTest, UnlinksLinksAndSpecialFilesWithoutFollowing) {
  MakeDir("outside");
  WriteFile("outside/keep", "precious");
  WriteFile("outside-file", "also precious");
  MakeDir("tree");
  MakeDir("tree/sub");
  WriteFile("tree/sub/f", "x");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("tree/sub/dirlink").c_str()));
  ASSERT_EQ(0, symlink(Path("outside-file").c_str(), Path("tree/filelink").c_str()));
  ASSERT_EQ(0, symlink("dangling-target", Path("tree/dangling").c_str()));
  ASSERT_EQ(0, mkfifo(Path("tree/fifo").c_str(), 0644));
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string sock_path = Path("tree/sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
  close(sock);

  EXPECT_EQ(0, platform::RemoveTree(Path("tree").c_str(), record_));
  EXPECT_TRUE(errors_.empty());
  EXPECT_FALSE(Exists("tree"));
  EXPECT_EQ("precious", ReadFile("outside/keep"));
  EXPECT_EQ("also precious", ReadFile("outside-file"));
}

TEST_F(RemoveTreeTest, RefusesLinkAsTheTopFolder) {
  MakeDir("real");
  WriteFile("real/keep", "k");
  ASSERT_EQ(0, symlink(Path("real").c_str(), Path("link").c_str()));
  // open(O_DIRECTORY|O_NOFOLLOW) of a link says ENOTDIR.
  EXPECT_EQ(ENOTDIR, platform::RemoveTree(Path("link").c_str(), record_));
  ASSERT_EQ(1u, errors_.size());
  EXPECT_EQ(platform::RemoveStep::kOpenFolder, errors_[0].first);
  EXPECT_EQ("k", ReadFile("real/keep"));
}

// A tree whose full path is longer than PATH_MAX, removed with only a few
// dozen descriptors to spare: parents must be closed and found again.
TEST_F(RemoveTreeTest, RemovesTreeDeeperThanPathMaxWithFewDescriptors) {
  const int kDepth = 1500;  // "dd/" x 1500 = 4,500 bytes below the top
  MakeDir("deep");
  int fd = open(Path("deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(0, mkdirat(fd, "dd", 0755)) << i;
    int file = openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    close(file);
    int next = openat(fd, "dd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  close(fd);

  struct rlimit lim;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));
  struct rlimit low = lim;
  low.rlim_cur = 64;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  int result = platform::RemoveTree(Path("deep").c_str(), record_);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));

  EXPECT_EQ(0, result);
  EXPECT_TRUE(errors_.empty());
  EXPECT_FALSE(Exists("deep"));
}

TEST_F(RemoveTreeTest, MissingFolderIsAlreadyRemoved) {
  EXPECT_EQ(0, platform::RemoveTree(Path("missing").c_str(), record_));
  EXPECT_TRUE(errors_.empty());
  WriteFile("file", "f");
  EXPECT_EQ(ENOTDIR, platform::RemoveTree(Path("file").c_str(), record_));
  EXPECT_EQ("f", ReadFile("file"));
}

}  // namespace

namespace {

// RemoveTreeAt works from the folder descriptor it is given: once that
// folder's path leads elsewhere (moved away, a link to another folder put at
// its name), a tree of the same name there is left whole.
TEST_F(RemoveTreeTest, AtStaysInTheOpenedFolderWhenItsPathIsRelinked) {
  MakeDir("bin");
  MakeDir("bin/item");
  WriteFile("bin/item/f", "recycled");
  MakeDir("outside");
  MakeDir("outside/item");
  WriteFile("outside/item/f", "the user's");
  const int fd = open(Path("bin").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, rename(Path("bin").c_str(), Path("bin-moved").c_str()));
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("bin").c_str()));
  EXPECT_EQ(0, platform::RemoveTreeAt(fd, "item", record_));
  close(fd);
  EXPECT_TRUE(errors_.empty());
  EXPECT_FALSE(Exists("bin-moved/item"));
  EXPECT_EQ("the user's", ReadFile("outside/item/f"));
}

}  // namespace
