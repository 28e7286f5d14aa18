// Worker threads test paths while the application thread reloads the list:
// every answer must be the whole of one rule set, and a failed reload must
// keep the rules in force.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "filter/black_list2.h"
#include "filter/white_list_cpp.h"
#include "support/temp_dir.h"

namespace {

const char kRulesA[] =
    "[Common]\nblack_name = \"a\"\nblack_dir_prefix = \"/dirA\"\nblack_char = \":\"\n"
    "[File]\nblack_ext = \"tmp\"\n[Directory]\nblack_name = \"cacheA\"\n";
const char kRulesB[] =
    "[Common]\nblack_prefix = \"~\"\nblack_path_prefix_selective_sync = \"/dirB\"\n"
    "[File]\nblack_name = \"b\"\nmax_size = 5\n[Directory]\nblack_prefix = \"cache\"\n";
// Fails at its last line, after values were stored.
const char kBroken[] = "[Common]\nblack_name = \"x\", \"y\"\nblack_prefix = \"\"\n";

struct Probe {
  bool is_dir;
  const char* path;
};

const Probe kProbes[] = {
    {false, "/x/a"},     {true, "/a"},         {false, "/dirA/f"},  {true, "/dirB/s"}, {false, "/f.tmp"},
    {false, "/~f"},      {false, "/q/b"},      {true, "/cacheA"},   {true, "/cacheB"}, {false, "/x:y"},
    {false, "/x/y"},     {false, "/~a.tmp"},   {true, "/p/q/r"},
};
constexpr size_t kProbeCount = sizeof kProbes / sizeof kProbes[0];

int Ask(const BlackList2& list, const Probe& p) {
  return p.is_dir ? list.TestDirectoryPath(p.path) : list.TestFilePath(p.path);
}

class HoldersConcurrencyTest : public testsupport::TempDirTest {};

TEST_F(HoldersConcurrencyTest, TestsSeeWholeRuleSetsWhileReloading) {
  WriteFile("a.filter", kRulesA);
  WriteFile("b.filter", kRulesB);
  WriteFile("broken.filter", kBroken);
  const ustring a = Path("a.filter"), b = Path("b.filter"), broken = Path("broken.filter");

  int expect_a[kProbeCount], expect_b[kProbeCount];
  {
    BlackList2 la, lb;
    ASSERT_EQ(0, la.Load(a));
    ASSERT_EQ(0, lb.Load(b));
    size_t differing = 0;
    for (size_t i = 0; i < kProbeCount; ++i) {
      expect_a[i] = Ask(la, kProbes[i]);
      expect_b[i] = Ask(lb, kProbes[i]);
      differing += expect_a[i] != expect_b[i];
    }
    ASSERT_GE(differing, 10u);  // the probes tell the two rule sets apart
  }

  BlackList2 list;
  ASSERT_EQ(0, list.Load(a));
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<long> answers{0};
  std::atomic<int> reading{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      size_t i = static_cast<size_t>(t);
      reading.fetch_add(1);
      while (!stop.load(std::memory_order_relaxed)) {
        size_t k = i++ % kProbeCount;
        int r = Ask(list, kProbes[k]);
        if (r != expect_a[k] && r != expect_b[k]) wrong.fetch_add(1);
        answers.fetch_add(1, std::memory_order_relaxed);
        int size = list.TestFileSize(6);
        if (size != 0 && size != FILTER_FILE_SIZE) wrong.fetch_add(1);
        // The holder's lock prefers readers: eight that never let go of the
        // processor kept the reloads from it for minutes on two cores.
        std::this_thread::yield();
      }
    });
  }

  testing::internal::CaptureStderr();  // the broken file's parser and log lines
  int load_errors = 0;
  // Every reader runs before the first reload, and at least eight answers
  // come between the start of one round and the next.
  while (reading.load() < 8) std::this_thread::yield();
  for (int round = 0; round < 150; ++round) {
    const long answered = answers.load();
    load_errors += list.Load(a) != 0;
    load_errors += list.Load(b) != 0;
    load_errors += list.Load(broken) != -1;
    // The broken file left B's rules in force.
    for (size_t k = 0; k < kProbeCount; ++k) {
      if (Ask(list, kProbes[k]) != expect_b[k]) ++load_errors;
    }
    while (answers.load() < answered + 8) std::this_thread::yield();
  }
  stop = true;
  for (std::thread& w : workers) w.join();
  testing::internal::GetCapturedStderr();

  EXPECT_EQ(0, load_errors);
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(answers.load(), 0);
}

// Crossed assignments lock both holders; they must not deadlock, and each
// result is a whole copy of one of the two lists.
TEST_F(HoldersConcurrencyTest, CrossedAssignmentsDoNotDeadlock) {
  WriteFile("a.filter", kRulesA);
  WriteFile("b.filter", kRulesB);
  BlackList2 x, y;
  ASSERT_EQ(0, x.Load(Path("a.filter")));
  ASSERT_EQ(0, y.Load(Path("b.filter")));
  std::thread t1([&] {
    for (int i = 0; i < 500; ++i) x = y;
  });
  std::thread t2([&] {
    for (int i = 0; i < 500; ++i) y = x;
  });
  std::thread t3([&] {
    for (int i = 0; i < 500; ++i) {
      BlackList2 copy(x);
      (void)copy.TestFilePath("/a");
    }
  });
  t1.join();
  t2.join();
  t3.join();
  for (const BlackList2* list : {&x, &y}) {
    int r = list->TestFilePath("/x/a");
    EXPECT_TRUE(r == FILTER_NAME || r == 0) << r;
  }
}

TEST_F(HoldersConcurrencyTest, WhiteListTestsWhileReloading) {
  WriteFile("jpg.filter", "[File]\nwhite_ext = \"jpg\"\n");
  WriteFile("png.filter", "[File]\nwhite_ext = \"png\"\n");
  WriteFile("broken.filter", "[File]\nwhite_ext = \"gif\" \"x\"\n");
  WhiteListCpp list;
  ASSERT_EQ(0, list.Load(Path("jpg.filter")));
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        // Exactly one of the two names passes under either list; never "gif".
        int jpg = list.Test("a.jpg"), gif = list.Test("a.gif");
        if ((jpg != 0 && jpg != -1) || gif != -1) wrong.fetch_add(1);
      }
    });
  }
  testing::internal::CaptureStderr();
  for (int round = 0; round < 150; ++round) {
    EXPECT_EQ(0, list.Load(Path("png.filter")));
    EXPECT_EQ(-1, list.Load(Path("broken.filter")));
    EXPECT_EQ(0, list.Test("a.png"));
    EXPECT_EQ(0, list.Load(Path("jpg.filter")));
  }
  stop = true;
  for (std::thread& w : workers) w.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
