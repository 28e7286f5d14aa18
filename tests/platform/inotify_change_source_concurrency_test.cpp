// Folders made and filled while the source reads: a new folder is watched
// before it is listed, so whatever is made in it meanwhile is either
// reported or lies in a folder reported new (which the caller lists).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inotify_test_fixture.h"

namespace {

using inotify_test::InotifyFixture;

class InotifyRace : public InotifyFixture {};

TEST_F(InotifyRace, NothingMadeWhileReadingIsMissed) {
  ASSERT_NO_FATAL_FAILURE(Open());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 60; ++i) {
      std::string top = "root/t" + std::to_string(i);
      std::string path = top;
      for (const char* level : {"", "/a", "/b", "/c", "/d"}) {
        path += level;
        MkdirP(path);
        Touch(path + "/f");
      }
      if (i % 3 == 0) {
        std::string moved = "root/r" + std::to_string(i);
        Rename(top, moved);
        Touch(moved + "/a/b/g");
      }
    }
    done = true;
  });

  std::vector<std::string> records;
  while (!done) {
    pollfd pfd{source_->fd(), POLLIN, 0};
    if (poll(&pfd, 1, 10) <= 0) continue;
    platform::ChangeBatch batch;
    source_->Read(&batch);
    ASSERT_EQ(platform::ChangeStatus::kRecords, batch.status);
    inotify_test::Describe(batch, &records);
  }
  writer.join();
  for (auto& line : Collect()) records.push_back(line);

  // A name is covered by its own arrival record or an ancestor's.
  std::set<std::string> arrived;
  for (const auto& line : records) {
    if (line[0] == '1' || line[0] == '5') arrived.insert(line.substr(2));
  }
  for (auto it = std::filesystem::recursive_directory_iterator(Root());
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().string().substr(Root().size() + 1);
    if (rel.rfind("sentinel.", 0) == 0) continue;
    bool covered = false;
    for (std::string p = rel;; p = p.substr(0, p.rfind('/'))) {
      if (arrived.count(p)) {
        covered = true;
        break;
      }
      if (p.find('/') == std::string::npos) break;
    }
    EXPECT_TRUE(covered) << rel;
  }
  ExpectWatchesMatchDisk();
}

}  // namespace
