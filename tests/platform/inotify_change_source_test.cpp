#include "platform/inotify_change_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "inotify_test_fixture.h"

namespace {

using inotify_test::InotifyFixture;
using Lines = std::vector<std::string>;

// One step of a case: what is done on disk, then exactly what must be
// reported (read in one go, after the step) and the watches checked.
struct Step {
  std::function<void(InotifyFixture&)> act;
  Lines expect;
};

struct Case {
  const char* name;
  std::function<void(InotifyFixture&)> before;  // made before watching starts
  std::vector<Step> steps;
};

class RealFolders : public InotifyFixture, public ::testing::WithParamInterface<Case> {};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

void Write(InotifyFixture& f, const std::string& rel, const std::string& bytes, int flags) {
  int fd = open(f.Path(rel).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  ASSERT_GE(fd, 0) << rel;
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  close(fd);
}

const Case kCases[] = {
    {"FileWrittenAppendedRemoved", nullptr,
     {{[](InotifyFixture& f) {
         Write(f, "root/f", "abc", O_TRUNC);
         Write(f, "root/f", "def", O_APPEND);
         f.Unlink("root/f");
       },
       // The append's write and close repeat the last record: collapsed.
       {"1 f", "3 f", "2 f"}}}},
    {"TimesAndModeAreModifications",
     [](InotifyFixture& f) { f.Touch("root/f"); },
     {{[](InotifyFixture& f) {
         struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
         ASSERT_EQ(0, utimensat(AT_FDCWD, f.Path("root/f").c_str(), times, 0));
       },
       {"3 f"}},
      {[](InotifyFixture& f) { ASSERT_EQ(0, chmod(f.Path("root/f").c_str(), 0755)); }, {"3 f"}}}},
    {"FileRenamedInItsFolder",
     [](InotifyFixture& f) {
       f.MkdirP("root/d");
       f.Touch("root/d/a");
     },
     {{[](InotifyFixture& f) { f.Rename("root/d/a", "root/d/b"); }, {"4 d/a", "5 d/b"}}}},
    {"FileRenamedAcrossFolders",
     [](InotifyFixture& f) {
       f.MkdirP("root/d1");
       f.MkdirP("root/d2");
       f.Touch("root/d1/a");
     },
     {{[](InotifyFixture& f) { f.Rename("root/d1/a", "root/d2/a"); }, {"4 d1/a", "5 d2/a"}}}},
    {"FolderRenamedThenUsed",
     [](InotifyFixture& f) { f.MkdirP("root/x/sub"); },
     {{[](InotifyFixture& f) {
         f.Rename("root/x", "root/y");
         f.Touch("root/y/sub/f");
       },
       // The file's folder is reported under its new name, in the same read.
       {"4 x", "5 y", "1 y/sub/f", "3 y/sub/f"}},
      {[](InotifyFixture& f) { f.Touch("root/y/sub/g"); }, {"1 y/sub/g", "3 y/sub/g"}}}},
    {"FileMovedInAndOut",
     [](InotifyFixture& f) {
       f.Touch("outside/in");
       f.Touch("root/out");
     },
     {{[](InotifyFixture& f) { f.Rename("outside/in", "root/in"); }, {"1 in"}},
      {[](InotifyFixture& f) { f.Rename("root/out", "outside/out"); }, {"2 out"}}}},
    {"FolderWithSubtreeMovedIn",
     [](InotifyFixture& f) {
       f.MkdirP("outside/t/u/v");
       f.Touch("outside/t/u/v/old");
     },
     {{[](InotifyFixture& f) { f.Rename("outside/t", "root/t"); },
       // Its contents are the caller's to list: no records for them.
       {"1 t"}},
      {[](InotifyFixture& f) { f.Touch("root/t/u/v/new"); }, {"1 t/u/v/new", "3 t/u/v/new"}}}},
    {"FolderWithSubtreeMovedOut",
     [](InotifyFixture& f) { f.MkdirP("root/t/u/v"); },
     {{[](InotifyFixture& f) { f.Rename("root/t", "outside/t"); }, {"2 t"}},
      // Its old watches would report these under stale paths.
      {[](InotifyFixture& f) {
         f.Touch("outside/t/u/v/f");
         f.MkdirP("outside/t/u/w");
       },
       {}}}},
    {"DeepTreeMadeQuickly", nullptr,
     {{[](InotifyFixture& f) {
         f.MkdirP("root/a/b/c/d/e");
         for (const char* d : {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"}) {
           f.Touch(std::string("root/") + d + "/file");
         }
       },
       {"1 a"}},
      {[](InotifyFixture& f) { f.Touch("root/a/b/c/d/e/later"); },
       {"1 a/b/c/d/e/later", "3 a/b/c/d/e/later"}}}},
    {"TwoHundredFoldersInABurst", nullptr,
     {{[](InotifyFixture& f) {
         for (int i = 0; i < 200; ++i) f.MkdirP("root/b" + std::to_string(i));
       },
       [] {
         Lines l;
         for (int i = 0; i < 200; ++i) l.push_back("1 b" + std::to_string(i));
         return l;
       }()},
      {[](InotifyFixture& f) { f.Touch("root/b199/f"); }, {"1 b199/f", "3 b199/f"}}}},
    {"BackslashIsANameByte", nullptr,
     {{[](InotifyFixture& f) { f.Touch("root/x\\y"); }, {"1 x\\y", "3 x\\y"}},
      {[](InotifyFixture& f) { f.Unlink("root/x\\y"); }, {"2 x\\y"}}}},
    {"LinkToAFolderIsNotFollowed",
     [](InotifyFixture& f) { f.MkdirP("outside/target/sub"); },
     {{[](InotifyFixture& f) {
         ASSERT_EQ(0, symlink(f.Path("outside/target").c_str(), f.Path("root/link").c_str()));
       },
       {"1 link"}},
      {[](InotifyFixture& f) { f.Touch("outside/target/sub/f"); }, {}}}},
    {"PrivateFolderWatchedForMovesOnly",
     [](InotifyFixture& f) {
       f.MkdirP("root/.Private/#Bin");
       f.MkdirP("root/.Private/deep/er");
       f.MkdirP("root/.PRIVATE/other");  // the same folder to the caller
       f.Touch("root/a");
       f.MkdirP("root/t/u");
     },
     {{[](InotifyFixture& f) {
         Write(f, "root/.Private/tmp", "data", O_TRUNC);  // no writes are watched there
         f.Touch("root/.Private/deep/er/unseen");
         f.Touch("root/.PRIVATE/other/unseen");
       },
       {"1 .Private/tmp"}},
      {[](InotifyFixture& f) { f.Rename("root/a", "root/.Private/#Bin/a"); },
       {"4 a", "5 .Private/#Bin/a"}},
      // A folder moved into the bin loses its watches; moved back out it
      // gains them.
      {[](InotifyFixture& f) { f.Rename("root/t", "root/.Private/#Bin/t"); },
       {"4 t", "5 .Private/#Bin/t"}},
      {[](InotifyFixture& f) { f.Touch("root/.Private/#Bin/t/u/f"); }, {}},
      {[](InotifyFixture& f) { f.Rename("root/.Private/#Bin/t", "root/t2"); },
       {"4 .Private/#Bin/t", "5 t2"}},
      {[](InotifyFixture& f) { f.Touch("root/t2/u/g"); }, {"1 t2/u/g", "3 t2/u/g"}},
      // Its removal is seen, and a new one is watched again.
      {[](InotifyFixture& f) { std::filesystem::remove_all(f.Path("root/.Private/#Bin")); },
       {"2 .Private/#Bin/a", "2 .Private/#Bin"}},
      {[](InotifyFixture& f) { f.MkdirP("root/.Private/#Bin"); }, {"1 .Private/#Bin"}},
      {[](InotifyFixture& f) { f.Rename("root/t2/u/g", "root/.Private/#Bin/g"); },
       {"4 t2/u/g", "5 .Private/#Bin/g"}}}},
    {"PrivateFolderRenamedIntoTheTree",
     [](InotifyFixture& f) {
       f.MkdirP("root/.Private/#Bin");
       f.MkdirP("root/.Private/deep");
     },
     {{[](InotifyFixture& f) { f.Rename("root/.Private", "root/plain"); },
       {"4 .Private", "5 plain"}},
      {[](InotifyFixture& f) { f.Touch("root/plain/deep/f"); }, {"1 plain/deep/f", "3 plain/deep/f"}},
      {[](InotifyFixture& f) { f.Rename("root/plain", "root/.private"); },
       {"4 plain", "5 .private"}}}},
};

TEST_P(RealFolders, ReportsAndWatches) {
  const Case& c = GetParam();
  if (c.before) c.before(*this);
  ASSERT_NO_FATAL_FAILURE(Open());
  ExpectWatchesMatchDisk();
  int n = 0;
  for (const Step& step : c.steps) {
    SCOPED_TRACE("step " + std::to_string(n++));
    step.act(*this);
    EXPECT_EQ(step.expect, Collect());
    ExpectWatchesMatchDisk();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RealFolders, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

class InotifySource : public InotifyFixture {};

// A file moved out, read last, waits for its pair; settling it gives the
// removal. (A folder moved out settles at once: its own watch reports the
// move right after the move out.)
TEST_F(InotifySource, MoveOutReadLastIsSettledAsRemoval) {
  Touch("root/f");
  ASSERT_NO_FATAL_FAILURE(Open());
  Rename("root/f", "outside/f");
  platform::ChangeBatch batch;
  source_->Read(&batch);
  EXPECT_TRUE(batch.records.empty());
  EXPECT_TRUE(source_->HasPendingMove());
  source_->SettlePendingMove(&batch);
  Lines got;
  inotify_test::Describe(batch, &got);
  EXPECT_EQ(Lines{"2 f"}, got);
  EXPECT_FALSE(source_->HasPendingMove());
  source_->SettlePendingMove(&batch);
  EXPECT_TRUE(batch.records.empty());
}

// Rename of a folder made and renamed before its creation was read: the
// name it first had is never watched, the one it ends with is.
TEST_F(InotifySource, FolderRenamedBeforeItsCreationIsRead) {
  ASSERT_NO_FATAL_FAILURE(Open());
  MkdirP("root/x/sub");
  Rename("root/x", "root/y");
  MkdirP("root/x");  // another folder takes the old name
  EXPECT_EQ((Lines{"1 x", "4 x", "5 y", "1 x"}), Collect());
  ExpectWatchesMatchDisk();
  Touch("root/y/sub/f");
  Touch("root/x/g");
  EXPECT_EQ((Lines{"1 y/sub/f", "3 y/sub/f", "1 x/g", "3 x/g"}), Collect());
}

TEST_F(InotifySource, RootRemovedReportsNothingButTheLoss) {
  MkdirP("root/d/e");
  Touch("root/d/e/f");
  Touch("root/g");
  ASSERT_NO_FATAL_FAILURE(Open());
  std::filesystem::remove_all(Root());
  platform::ChangeBatch batch;
  source_->Read(&batch);
  Lines got;
  inotify_test::Describe(batch, &got);
  EXPECT_EQ(Lines{"root lost"}, got);
  EXPECT_EQ(0u, source_->WatchCount());
  // It stays lost, also for a new folder under the old name.
  MkdirP("root");
  Touch("root/new");
  source_->Read(&batch);
  EXPECT_EQ(platform::ChangeStatus::kRootLost, batch.status);
  EXPECT_TRUE(batch.records.empty());
  EXPECT_TRUE(testsupport::InotifyWatchedInodes(source_->fd()).empty());
}

TEST_F(InotifySource, RootMovedIsLost) {
  MkdirP("root/d");
  ASSERT_NO_FATAL_FAILURE(Open());
  Touch("root/d/before");
  Rename("root", "outside/moved");
  Touch("outside/moved/d/after");
  platform::ChangeBatch batch;
  source_->Read(&batch);
  Lines got;
  inotify_test::Describe(batch, &got);
  EXPECT_EQ(Lines{"root lost"}, got);
  source_->SettlePendingMove(&batch);
  EXPECT_EQ(platform::ChangeStatus::kRootLost, batch.status);
}

// The kernel queue overflows for real (max_queued_events is global, so the
// queue is filled): the batch is dropped, the watches rebuilt from a walk
// that sees what changed while notifications were lost.
TEST_F(InotifySource, OverflowRebuildsWatchesAndAsksForRescan) {
  unsigned long limit = 0;
  FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "re");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, fscanf(f, "%lu", &limit));
  fclose(f);
  MkdirP("root/flood");
  MkdirP("root/leaves/deep");
  ASSERT_NO_FATAL_FAILURE(Open());
  for (unsigned long i = 0; i < limit + 100; ++i) Touch("root/flood/" + std::to_string(i));
  // Lost in the overflow: a folder made and one moved out.
  MkdirP("root/NEW/inner");
  Rename("root/leaves", "outside/leaves");
  platform::ChangeBatch batch;
  source_->Read(&batch);
  Lines got;
  inotify_test::Describe(batch, &got);
  EXPECT_EQ(Lines{"rescan"}, got);
  ExpectWatchesMatchDisk();
  Touch("root/NEW/inner/f");
  Touch("outside/leaves/deep/g");
  EXPECT_EQ((Lines{"1 NEW/inner/f", "3 NEW/inner/f"}), Collect());
}

TEST_F(InotifySource, CreateFailsOnAMissingRootOrAFile) {
  std::unique_ptr<platform::InotifyChangeSource> source;
  platform::InotifyOptions options;
  EXPECT_EQ(ENOENT, platform::InotifyChangeSource::Create(Path("missing"), options, &source));
  Touch("file");
  EXPECT_EQ(ENOTDIR, platform::InotifyChangeSource::Create(Path("file"), options, &source));
  EXPECT_EQ(nullptr, source);
}

// A root given as a link is resolved once; links inside are never followed.
TEST_F(InotifySource, RootGivenAsALinkIsResolved) {
  MkdirP("root/d");
  ASSERT_EQ(0, symlink(Root().c_str(), Path("rootlink").c_str()));
  platform::InotifyOptions options;
  ASSERT_EQ(0, platform::InotifyChangeSource::Create(Path("rootlink/"), options, &source_));
  Touch("root/d/f");
  EXPECT_EQ((Lines{"1 d/f", "3 d/f"}), Collect());
}

}  // namespace
