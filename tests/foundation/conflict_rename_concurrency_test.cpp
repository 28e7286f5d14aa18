#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/conflict_rename.h"
#include "support/temp_dir.h"

namespace {

using ConflictRenameConcurrencyTest = testsupport::TempDirTest;

// Eight names that all trim to "a.txt", set aside at once by eight threads:
// they compete for the same candidates, and each file must end up under a
// name of its own.
TEST_F(ConflictRenameConcurrencyTest, SimultaneousRenamesToOneNameLoseNothing) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    const std::string dir = "r" + std::to_string(round);
    ASSERT_EQ(0, mkdir(Path(dir).c_str(), 0777));
    std::vector<std::string> names;
    for (int k = 0; k < kThreads; ++k) {
      names.push_back(std::string(k % 4 + 1, ' ') + "a.txt" + std::string(k / 4, ' '));
      WriteFile(dir + "/" + names.back(), std::to_string(k));
    }
    std::vector<int> results(kThreads, 1);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
      threads.emplace_back([&, k] {
        results[k] = WhiteSpaceConflictRename(Path(dir + "/" + names[k]).c_str(), names[k], "PC1");
      });
    }
    for (std::thread& t : threads) t.join();

    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(0, results[k]) << k;
    // Every file is there once, under the trimmed name or a conflict name.
    std::vector<std::string> listing;
    DIR* d = opendir(Path(dir).c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      listing.push_back(name);
      EXPECT_EQ(name.find(' '), std::string::npos) << name;
    }
    closedir(d);
    ASSERT_EQ(static_cast<size_t>(kThreads), listing.size());
    std::set<std::string> contents;
    for (const std::string& name : listing) contents.insert(ReadFile(dir + "/" + name));
    EXPECT_EQ(static_cast<size_t>(kThreads), contents.size()) << "a file was overwritten";
  }
}

}  // namespace
