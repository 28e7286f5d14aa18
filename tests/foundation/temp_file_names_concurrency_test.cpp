// Temporary names drawn from several threads at once.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/file_op.h"
#include "foundation/tmp_name_gen.h"
#include "support/temp_dir.h"

namespace {

TEST(TmpNameGenConcurrencyTest, EightThreadsDrawNoNameTwice) {
  const int kThreads = 8, kPerThread = 10000;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&names, t] {
      for (int i = 0; i < kPerThread; ++i) {
        names[t].push_back(TmpNameGen::getInstance()->getTmpName().c_str_utf8());
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& v : names) all.insert(v.begin(), v.end());
  EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), all.size());
}

TEST(TmpNameGenConcurrencyTest, EightThreadsMakeDistinctTemporaryFiles) {
  testsupport::TempDir dir;
  const int kThreads = 8, kPerThread = 200;
  std::vector<std::vector<std::string>> paths(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ustring p;
        if (FSMktemp(dir.path().c_str(), p) == 0) paths[t].push_back(p.c_str_utf8());
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& v : paths) all.insert(v.begin(), v.end());
  EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), all.size());
}

}  // namespace
