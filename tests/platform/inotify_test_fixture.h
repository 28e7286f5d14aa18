// Fixture for the inotify change-source tests: a watched folder "root" and
// an unwatched sibling "outside" in a temporary folder, reading until a
// sentinel, and the kernel's watch list compared with the folders on disk.
#ifndef TESTS_PLATFORM_INOTIFY_TEST_FIXTURE_H_
#define TESTS_PLATFORM_INOTIFY_TEST_FIXTURE_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/inotify_change_source.h"
#include "support/temp_dir.h"
#include "support/watch_oracle.h"

namespace inotify_test {

// The caller's private folder and its subfolder in these tests.
inline constexpr char kPrivate[] = ".Private";
inline constexpr char kBin[] = "#Bin";

inline bool IsPrivateName(const std::string& top) {
  if (top.size() != sizeof kPrivate - 1) return false;
  for (size_t i = 0; i < top.size(); ++i) {
    char a = top[i], b = kPrivate[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

// What a correct source watches: every folder of the tree, the private
// folder and its subfolder, nothing else inside them.
inline testsupport::FolderWalk ClassifyForPrivate(const std::string& rel) {
  if (rel.empty()) return testsupport::FolderWalk::kEnter;
  size_t slash = rel.find('/');
  std::string top = rel.substr(0, slash);
  if (!IsPrivateName(top)) return testsupport::FolderWalk::kEnter;
  if (slash == std::string::npos) return testsupport::FolderWalk::kEnter;
  if (rel.substr(slash + 1) == kBin) return testsupport::FolderWalk::kCountOnly;
  return testsupport::FolderWalk::kSkip;
}

// Records as "<action> <name>"; statuses as "rescan", "root lost",
// "read error", "watch error <errno> <folder>".
inline void Describe(const platform::ChangeBatch& batch, std::vector<std::string>* out) {
  if (batch.status == platform::ChangeStatus::kRescan) out->push_back("rescan");
  if (batch.status == platform::ChangeStatus::kRootLost) out->push_back("root lost");
  if (batch.read_errno != 0) out->push_back("read error");
  if (batch.watch_errno != 0) {
    out->push_back("watch error " + std::to_string(batch.watch_errno) + " " +
                   batch.watch_error_folder);
  }
  for (const auto& r : batch.records) out->push_back(std::to_string(r.action) + " " + r.name);
}

class InotifyFixture : public testsupport::TempDirTest {
 public:
  // Public, so that tables of cases can use them.
  using testsupport::TempDirTest::Path;

  void SetUp() override {
    ASSERT_EQ(0, mkdir(Path("root").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0755));
  }

  std::string Root(const std::string& rel = "") const {
    return rel.empty() ? Path("root") : Path("root/" + rel);
  }

  void Open() {
    platform::InotifyOptions options;
    options.private_folder = kPrivate;
    options.private_subfolder = kBin;
    ASSERT_EQ(0, platform::InotifyChangeSource::Create(Root(), options, &source_));
  }

  // Everything reported since the last call: makes a sentinel link in the
  // root (one kernel event, and it settles a pending move) and reads until
  // its record arrives. The sentinel itself is left out.
  std::vector<std::string> Collect() {
    std::string name = "sentinel." + std::to_string(sentinel_++);
    EXPECT_EQ(0, symlink("nowhere", Root(name).c_str())) << strerror(errno);
    std::vector<std::string> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{source_->fd(), POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      platform::ChangeBatch batch;
      source_->Read(&batch);
      std::vector<std::string> lines;
      Describe(batch, &lines);
      for (auto& line : lines) {
        if (line == "1 " + name) return got;
        got.push_back(std::move(line));
      }
    }
    ADD_FAILURE() << "the sentinel " << name << " was not reported";
    return got;
  }

  // The kernel's watch list for the source equals the folders on disk.
  void ExpectWatchesMatchDisk() {
    auto watched = testsupport::InotifyWatchedInodes(source_->fd());
    auto want = testsupport::FolderInodes(Root(), ClassifyForPrivate);
    std::set<unsigned long> extra, missing;
    for (auto i : watched) if (!want.count(i)) extra.insert(i);
    for (auto i : want) if (!watched.count(i)) missing.insert(i);
    EXPECT_TRUE(extra.empty()) << "watched but should not be:"
                               << testsupport::DescribeInodes(Path(), extra);
    EXPECT_TRUE(missing.empty()) << "not watched:" << testsupport::DescribeInodes(Root(), missing);
    EXPECT_EQ(watched.size(), source_->WatchCount());
  }

  // File-system steps; paths relative to the temporary folder.
  void MkdirP(const std::string& rel) const {
    std::string path = Path();
    size_t start = 0;
    while (start <= rel.size()) {
      size_t slash = rel.find('/', start);
      if (slash == std::string::npos) slash = rel.size();
      path += "/" + rel.substr(start, slash - start);
      ASSERT_TRUE(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
      start = slash + 1;
    }
  }
  void Rename(const std::string& from, const std::string& to) const {
    ASSERT_EQ(0, rename(Path(from).c_str(), Path(to).c_str())) << from << " -> " << to;
  }
  void Unlink(const std::string& rel) const { ASSERT_EQ(0, unlink(Path(rel).c_str())) << rel; }
  void Rmdir(const std::string& rel) const { ASSERT_EQ(0, rmdir(Path(rel).c_str())) << rel; }
  // An empty file made with open and close: kernel events create and
  // close-after-write.
  void Touch(const std::string& rel) const {
    int fd = open(Path(rel).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << rel << ": " << strerror(errno);
    close(fd);
  }

  std::unique_ptr<platform::InotifyChangeSource> source_;
  int sentinel_ = 0;
};

}  // namespace inotify_test

#endif  // TESTS_PLATFORM_INOTIFY_TEST_FIXTURE_H_
