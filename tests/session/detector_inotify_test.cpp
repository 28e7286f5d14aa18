// Detector on real inotify sources, in real folders: what users do becomes
// the events a worker would get, the kernel's watch list follows the tree,
// the queue overflows for real, and a session folder that goes away
// deletes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "detector_fixture.h"

namespace {

using detector_test::DetectorFixture;
using detector_test::Lines;

// The tokens of one session (session 1 unprefixed, session 2 "2.").
Lines OfSession(const Lines& tokens, int session) {
  Lines out;
  for (const auto& t : tokens) {
    bool two = t.rfind("2.", 0) == 0;
    if ((session == 2) == two) out.push_back(t);
  }
  return out;
}

struct Step {
  std::function<void(DetectorFixture&)> act;
  Lines pushed;   // both sessions; compared session by session
  Lines expands;  // likewise
  // When set: the paths of session 1 the step makes while the watcher
  // runs, which races it. Instead of exact events: each is reported itself
  // or lies in a folder reported created and expanded, and nothing else is
  // reported.
  Lines made = {};
};

// Whether `made` is covered as Step::made says by `pushed` and `expands`.
void ExpectCovered(const Lines& made, const Lines& pushed, const Lines& expands) {
  std::set<std::string> reported, expanded;
  for (const auto& t : pushed) {
    EXPECT_TRUE(t[0] == '+' || t[0] == '~') << t;
    std::string path = t.substr(3);
    EXPECT_TRUE(std::find(made.begin(), made.end(), path) != made.end()) << "unexpected " << t;
    if (t[0] == '+') reported.insert(path);
  }
  for (const auto& t : expands) expanded.insert(t.substr(2));
  for (const auto& path : made) {
    bool covered = reported.count(path) != 0;
    for (std::string p = path; !covered && p.size() > 1; p = p.substr(0, p.rfind('/'))) {
      covered = reported.count(p) != 0 && expanded.count(p) != 0;
    }
    EXPECT_TRUE(covered) << path << " is not covered";
  }
}

struct Case {
  const char* name;
  std::function<void(DetectorFixture&)> before;  // before the sessions are watched
  std::vector<Step> steps;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DetectorRealFolders : public DetectorFixture, public ::testing::WithParamInterface<Case> {};

void RemoveAll(DetectorFixture& f, const std::string& rel) {
  // The watcher may make the working folder again while it is removed.
  std::error_code ec;
  std::filesystem::remove_all(f.Path(rel), ec);
}

Lines Numbered(const std::string& prefix, int n) {
  Lines l;
  for (int i = 0; i < n; ++i) l.push_back(prefix + std::to_string(i));
  return l;
}

const Case kCases[] = {
    {"FileRenamed", [](DetectorFixture& f) { f.Touch("s1/a"); },
     {{[](DetectorFixture& f) { f.Rename("s1/a", "s1/b"); }, {"-f:/a", "+f:/b"}, {}}}},
    {"FolderRenamedThenUsed", [](DetectorFixture& f) { f.MkdirP("s1/x/sub"); },
     {{[](DetectorFixture& f) { f.Rename("s1/x", "s1/y"); }, {"-d:/x", "+d:/y"}, {"x:/y"}},
      {[](DetectorFixture& f) { f.Touch("s1/y/sub/f"); }, {"+f:/y/sub/f", "~f:/y/sub/f"}, {}}}},
    {"FileAndSubtreeMovedIn",
     [](DetectorFixture& f) {
       f.Touch("outside/in");
       f.MkdirP("outside/t/u/v");
       f.Touch("outside/t/u/v/old");
     },
     {{[](DetectorFixture& f) {
         f.Rename("outside/in", "s1/in");
         f.Rename("outside/t", "s1/t");
       },
       {"+f:/in", "+d:/t"},
       {"x:/t"}},
      {[](DetectorFixture& f) { f.Touch("s1/t/u/v/new"); }, {"+f:/t/u/v/new", "~f:/t/u/v/new"}, {}}}},
    {"FileAndSubtreeMovedOut",
     [](DetectorFixture& f) {
       f.Touch("s1/out");
       f.MkdirP("s1/t/u");
       f.Seed(1, "/out", false);
       f.Seed(1, "/t", true);
     },
     {{[](DetectorFixture& f) {
         f.Rename("s1/out", "outside/out");
         f.Rename("s1/t", "outside/t");
       },
       {"-f:/out", "-d:/t"},
       {}},
      {[](DetectorFixture& f) {
         f.Touch("outside/t/u/f");
         f.MkdirP("outside/t/u/w");
       },
       {},
       {}}}},
    {"MovedBetweenSessions",
     [](DetectorFixture& f) {
       f.Touch("s1/a");
       f.MkdirP("s1/d/e");
       f.Seed(1, "/a", false);
       f.Seed(1, "/d", true);
     },
     {{[](DetectorFixture& f) {
         f.Rename("s1/a", "s2/a");
         f.Rename("s1/d", "s2/d");
       },
       {"-f:/a", "-d:/d", "2.+f:/a", "2.+d:/d"},
       {"2.x:/d"}},
      {[](DetectorFixture& f) { f.Touch("s2/d/e/f"); }, {"2.+f:/d/e/f", "2.~f:/d/e/f"}, {}}}},
    {"SubtreeRemoved",
     [](DetectorFixture& f) {
       f.MkdirP("s1/d/e");
       f.Touch("s1/d/e/f");
       f.Seed(1, "/d/e/f", false);
     },
     {{[](DetectorFixture& f) { RemoveAll(f, "s1/d"); }, {"-f:/d/e/f", "-d:/d/e", "-d:/d"}, {}}}},
    {"DeepTreeMadeQuickly", nullptr,
     {{[](DetectorFixture& f) {
         f.MkdirP("s1/a/b/c/d/e");
         for (const char* d : {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"}) {
           f.Touch(std::string("s1/") + d + "/file");
         }
       },
       {},
       {},
       {"/a", "/a/b", "/a/b/c", "/a/b/c/d", "/a/b/c/d/e", "/a/file", "/a/b/file", "/a/b/c/file",
        "/a/b/c/d/file", "/a/b/c/d/e/file"}},
      {[](DetectorFixture& f) { f.Touch("s1/a/b/c/d/e/later"); },
       {"+f:/a/b/c/d/e/later", "~f:/a/b/c/d/e/later"},
       {}}}},
    {"TwoHundredFoldersInABurst", nullptr,
     {{[](DetectorFixture& f) {
         for (int i = 0; i < 200; ++i) f.MkdirP("s1/b" + std::to_string(i));
       },
       Numbered("+d:/b", 200), Numbered("x:/b", 200)},
      {[](DetectorFixture& f) { f.Touch("s1/b199/f"); }, {"+f:/b199/f", "~f:/b199/f"}, {}}}},
    {"WorkingFolderChangedAndRemoved", nullptr,
     {{[](DetectorFixture& f) {
         f.Touch("s1/.ZarqelonWorkingDirectory/download.tmp");
         f.Rename("s1/.ZarqelonWorkingDirectory/download.tmp",
                  "s1/.ZarqelonWorkingDirectory/#ZarqRecycle/old");
         f.MkdirP("s1/.ZarqelonWorkingDirectory/#ZarqRecycle/folder/sub");
       },
       {},
       {}},
      {[](DetectorFixture& f) { RemoveAll(f, "s1/.ZarqelonWorkingDirectory"); }, {}, {}},
      // Made again, and watched again (the oracle after each step).
      {[](DetectorFixture& f) {
         struct stat st;
         ASSERT_EQ(0, stat(f.Root(1, ".ZarqelonWorkingDirectory/#ZarqRecycle").c_str(), &st));
         f.Touch("s1/.ZarqelonWorkingDirectory/#ZarqRecycle/x");
       },
       {},
       {}}}},
    {"BackslashIsANameByte",
     [](DetectorFixture& f) {
       f.MkdirP("s1/x");
       f.Touch("s1/x/y");
       f.Seed(1, "/x/y", false);
       f.Seed(1, "/x\\y", false);
     },
     {{[](DetectorFixture& f) { f.Touch("s1/x\\y"); }, {"+f:/x\\y", "~f:/x\\y"}, {}},
      {[](DetectorFixture& f) { f.Unlink("s1/x\\y"); }, {"-f:/x\\y"}, {}}}},
    {"LinkToAFolderIsNotFollowed", [](DetectorFixture& f) { f.MkdirP("outside/target/sub"); },
     {{[](DetectorFixture& f) {
         ASSERT_EQ(0, symlink(f.Path("outside/target").c_str(), f.Root(1, "link").c_str()));
       },
       {"+f:/link"},
       {}},
      {[](DetectorFixture& f) { f.Touch("outside/target/sub/f"); }, {}, {}}}},
};

TEST_P(DetectorRealFolders, Pushes) {
  const Case& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(AddSession(1));
  ASSERT_NO_FATAL_FAILURE(AddSession(2));
  if (c.before) c.before(*this);
  UseInotify();
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  ASSERT_NO_FATAL_FAILURE(Watch(2));
  ASSERT_NO_FATAL_FAILURE(Start());
  ExpectWatchesMatchDisk(1);
  ExpectWatchesMatchDisk(2);
  int n = 0;
  for (const Step& step : c.steps) {
    SCOPED_TRACE("step " + std::to_string(n++));
    step.act(*this);
    Lines pushed = Pushed(1);
    for (auto& t : Pushed(2)) pushed.push_back(t);
    // A second round makes sure nothing more was on its way, and that what
    // the watcher did in reply (folders made again) has been read back.
    Lines late = Pushed(1);
    for (auto& t : Pushed(2)) late.push_back(t);
    Lines expands = Expands();
    if (!step.made.empty()) {
      ExpectCovered(step.made, pushed, expands);
    } else {
      for (int s : {1, 2}) {
        EXPECT_EQ(OfSession(step.pushed, s), OfSession(pushed, s)) << "session " << s;
        EXPECT_EQ(OfSession(step.expands, s), OfSession(expands, s)) << "session " << s;
      }
    }
    EXPECT_EQ(Lines{}, late);
    ExpectWatchesMatchDisk(1);
    ExpectWatchesMatchDisk(2);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DetectorRealFolders, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

class DetectorInotify : public DetectorFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DetectorFixture::SetUp());
    ASSERT_NO_FATAL_FAILURE(AddSession(1));
    ASSERT_NO_FATAL_FAILURE(AddSession(2));
  }
};

// The session folder removed, or moved away, after AddWatch and before Run:
// an ERROR, and nothing at all from that session; the server keeps its
// files.
class DetectorRootGone : public DetectorInotify {
 protected:
  void Check(const std::function<void()>& make_it_go) {
    MkdirP("s1/d/e");
    Touch("s1/d/e/f");
    Touch("s1/g");
    Seed(1, "/d", true);
    Seed(1, "/d/e", true);
    Seed(1, "/d/e/f", false);
    Seed(1, "/g", false);
    UseInotify();
    ASSERT_NO_FATAL_FAILURE(Watch(1));
    ASSERT_NO_FATAL_FAILURE(Watch(2));
    make_it_go();
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(Logged("): session #1: the folder " + Root(1) + " was removed or moved; its changes "
                       "are no longer watched\n",
                       std::chrono::seconds(10)));
    EXPECT_EQ(Lines{}, Pushed(2));
    EXPECT_EQ(Lines{}, Expands());
  }
};

TEST_F(DetectorRootGone, Removed) {
  Check([this] { std::filesystem::remove_all(Root(1)); });
}

TEST_F(DetectorRootGone, MovedAndChanged) {
  Check([this] {
    Rename("s1", "outside/s1");
    Unlink("outside/s1/g");
    Touch("outside/s1/d/new");
  });
}

// Removed and made again under the same name: still lost.
TEST_F(DetectorRootGone, RemovedAndMadeAgain) {
  Check([this] {
    std::filesystem::remove_all(Root(1));
    MkdirP("s1/d");
    Touch("s1/d/e");
  });
}

// The kernel queue overflows for real: max_queued_events is a global
// setting, so the queue is filled. One rescan of "/", nothing else; the
// folder made while notifications were lost is watched.
TEST_F(DetectorInotify, OverflowGivesOneRescan) {
  unsigned long limit = 0;
  FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "re");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, fscanf(f, "%lu", &limit));
  fclose(f);
  MkdirP("s1/flood");
  UseInotify();
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  for (unsigned long i = 0; i < limit + 100; ++i) Touch("s1/flood/" + std::to_string(i));
  MkdirP("s1/NEW");
  ASSERT_NO_FATAL_FAILURE(Start());
  // Until the queue is read, the kernel drops every new notification (the
  // sentinel's too); what is made meanwhile is the rescan's to find.
  ASSERT_TRUE(Logged("): Event queue overflow, rescan watch\n", std::chrono::seconds(20)));
  EXPECT_EQ(Lines{"~d:/"}, Pushed());
  EXPECT_EQ(Lines{"r:/"}, Expands());
  EXPECT_EQ(1u, CountLogged("): Event queue overflow, rescan watch\n"));
  ExpectWatchesMatchDisk(1);
  Touch("s1/NEW/f");
  EXPECT_EQ((Lines{"+f:/NEW/f", "~f:/NEW/f"}), Pushed());
}

// The daemon's own constructor watches with inotify.
TEST_F(DetectorInotify, DefaultConstructorWatchesWithInotify) {
  detector_ = std::make_unique<Detector>(nullptr);
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  ASSERT_NO_FATAL_FAILURE(Start());
  MkdirP("s1/d");
  EXPECT_EQ(Lines{"+d:/d"}, Pushed());
  EXPECT_EQ(Lines{"x:/d"}, Expands());
}

}  // namespace
