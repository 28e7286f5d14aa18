// The file layer from several threads at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/file_op.h"
#include "support/temp_dir.h"

namespace {

// prefix + n; spelled out because g++ 12 warns falsely (-Wrestrict) on
// "literal" + std::to_string(n) in optimised builds.
std::string Numbered(const char* prefix, int n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

class FileOpConcurrencyTest : public testsupport::TempDirTest {
 protected:
  // Runs fn(thread index) on n threads released together.
  template <typename Fn>
  void RunTogether(int n, Fn fn) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < n) std::this_thread::yield();
        fn(t);
      });
    }
    for (std::thread& th : threads) th.join();
  }
};

// Two workers making the same new parent: the loser of each mkdir race must
// take the winner's folder, not fail.
TEST_F(FileOpConcurrencyTest, EightThreadsMakeOneDeepPath) {
  for (int round = 0; round < 20; ++round) {
    std::string path = Path(Numbered("r", round));
    for (int level = 0; level < 12; ++level) path += Numbered("/level", level);
    std::atomic<int> failures{0};
    RunTogether(8, [&](int) {
      if (FSMKDir(path.c_str(), true) != 0) failures.fetch_add(1);
    });
    ASSERT_EQ(0, failures.load()) << "round " << round;
    ASSERT_TRUE(std::filesystem::is_directory(path));
  }
}

// Files renamed over one target from four threads: every move succeeds and
// the target is always one whole source.
TEST_F(FileOpConcurrencyTest, FourThreadsRenameOverOneTarget) {
  const int kPerThread = 200;
  std::atomic<int> failures{0};
  RunTogether(4, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string name = Numbered("src-", t) + Numbered("-", i);
      WriteFile(name, std::string(1000, static_cast<char>('a' + t)));
      if (FSRename(Path(name).c_str(), Path("target").c_str(), false) != 0) failures.fetch_add(1);
    }
  });
  EXPECT_EQ(0, failures.load());
  std::string content = ReadFile("target");
  ASSERT_EQ(1000u, content.size());
  EXPECT_EQ(std::string(1000, content[0]), content);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(Path())) entries += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(1u, entries);
}

// Folders moved to one free name from four threads: exactly one wins, no
// folder replaces another.
TEST_F(FileOpConcurrencyTest, FourThreadsRaceFoldersToOneName) {
  for (int round = 0; round < 50; ++round) {
    std::string target = Path(Numbered("won", round));
    std::atomic<int> wins{0};
    for (int t = 0; t < 4; ++t) {
      ASSERT_EQ(0, mkdir(Path(Numbered("d", t)).c_str(), 0755));
    }
    RunTogether(4, [&](int t) {
      if (FSRename(Path(Numbered("d", t)).c_str(), target.c_str(), false) == 0) wins.fetch_add(1);
    });
    ASSERT_EQ(1, wins.load()) << "round " << round;
    for (int t = 0; t < 4; ++t) {
      std::string d = Path(Numbered("d", t));
      if (std::filesystem::exists(d)) {
        ASSERT_EQ(0, FSRemove(d.c_str(), false));
      }
    }
  }
}

// The same tree removed by several threads: every one reports it gone.
TEST_F(FileOpConcurrencyTest, FourThreadsRemoveOneTree) {
  for (int round = 0; round < 10; ++round) {
    std::string tree = Path("tree");
    for (int d = 0; d < 10; ++d) {
      std::string dir = Numbered("tree/d", d);
      ASSERT_EQ(0, FSMKDir(Path(dir).c_str(), true));
      for (int f = 0; f < 50; ++f) WriteFile(dir + Numbered("/f", f), "x");
    }
    std::atomic<int> failures{0};
    RunTogether(4, [&](int) {
      if (FSRemove(tree.c_str(), false) != 0) failures.fetch_add(1);
    });
    ASSERT_EQ(0, failures.load()) << "round " << round;
    ASSERT_FALSE(std::filesystem::exists(tree));
  }
}

}  // namespace
