// Detector on scripted change sources: translation of records into events,
// rename pairing through the cache, the working folder, lost notifications,
// lost roots, read and watch failures, and the session bookkeeping of
// AddWatch, RemoveWatch and Clear.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "detector_fixture.h"
#include "support/tree_snapshot.h"

namespace {

using detector_test::DetectorFixture;
using detector_test::Lines;
using platform::kChangeAdded;
using platform::kChangeModified;
using platform::kChangeRemoved;
using platform::kChangeRenamedNewName;
using platform::kChangeRenamedOldName;

class DetectorScript : public DetectorFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DetectorFixture::SetUp());
    ASSERT_NO_FATAL_FAILURE(AddSession(1));
    UseScripts();
    ASSERT_NO_FATAL_FAILURE(Watch(1));
    ASSERT_NO_FATAL_FAILURE(Start());
  }
};

// Records in, events out: the disk (lstat) or the database tells a folder
// from a file.
struct TranslateCase {
  const char* name;
  std::vector<std::string> files;    // made in the session folder first
  std::vector<std::string> folders;  // made in the session folder first
  std::vector<std::pair<std::string, bool>> records_in_db;  // path, is folder
  std::vector<std::vector<std::pair<uint32_t, std::string>>> batches;
  Lines pushed;
  Lines expands;
};

void PrintTo(const TranslateCase& c, std::ostream* os) { *os << c.name; }

class DetectorTranslate : public DetectorScript, public ::testing::WithParamInterface<TranslateCase> {};

const TranslateCase kTranslateCases[] = {
    {"FileRenamed", {"b"}, {}, {}, {{{kChangeRenamedOldName, "a"}, {kChangeRenamedNewName, "b"}}},
     {"-f:/a", "+f:/b"}, {}},
    {"FolderRenamedIsExpanded", {}, {"y"}, {}, {{{kChangeRenamedOldName, "x"}, {kChangeRenamedNewName, "y"}}},
     {"-d:/x", "+d:/y"}, {"x:/y"}},
    {"PairSplitAcrossBatches", {"b"}, {}, {}, {{{kChangeRenamedOldName, "a"}}, {{kChangeRenamedNewName, "b"}}},
     {"-f:/a", "+f:/b"}, {}},
    {"NewNameAloneIsACreation", {"b"}, {}, {}, {{{kChangeRenamedNewName, "b"}}}, {"+f:/b"}, {}},
    {"CreatedFolderIsExpanded", {}, {"d"}, {}, {{{kChangeAdded, "d"}}}, {"+d:/d"}, {"x:/d"}},
    {"ModifiedFileButNotFolder", {"f"}, {"d"}, {}, {{{kChangeModified, "d"}, {kChangeModified, "f"}}},
     {"~f:/f"}, {}},
    {"RemovedItemsClassifiedByTheirRecords", {}, {}, {{"/d", true}, {"/f", false}},
     {{{kChangeRemoved, "d"}, {kChangeRemoved, "f"}, {kChangeRemoved, "unknown"}}}, {"-d:/d", "-f:/f"}, {}},
    // "\\" is a byte of the name, not a separator: /x/y is not touched.
    {"BackslashStaysInTheName", {}, {}, {{"/x\\y", false}, {"/x/y", false}, {"/x", true}},
     {{{kChangeRemoved, "x\\y"}}}, {"-f:/x\\y"}, {}},
    // mv a b; mv b c, read together: the first rename's new name is gone.
    // The old path still goes, as its record says; the second rename is
    // whole.
    {"RenameWhoseNewNameIsGone", {"c"}, {}, {{"/a", false}},
     {{{kChangeRenamedOldName, "a"}, {kChangeRenamedNewName, "b"}, {kChangeRenamedOldName, "b"},
       {kChangeRenamedNewName, "c"}}},
     {"-f:/a", "-f:/b", "+f:/c"}, {}},
    {"RenameGoneWithoutAnyRecordIsDropped", {}, {}, {}, {{{kChangeRenamedOldName, "a"}, {kChangeRenamedNewName, "b"}}},
     {}, {}},
    // The worker recycles a file: the rename's new half is ignored, and its
    // old half must not pair with the next new name.
    {"RenameIntoTheRecycleFolderEndsThere", {"g"}, {}, {},
     {{{kChangeRenamedOldName, "f"}, {kChangeRenamedNewName, ".ZarqelonWorkingDirectory/#ZarqRecycle/f"}},
      {{kChangeRenamedNewName, "g"}}},
     {"+f:/g"}, {}},
    {"DownloadMovedOutOfTheWorkingFolderIsACreation", {"f"}, {}, {},
     {{{kChangeRenamedOldName, ".ZarqelonWorkingDirectory/tmp123"}, {kChangeRenamedNewName, "f"}}}, {"+f:/f"}, {}},
    {"ChangesInTheWorkingFolderAreIgnored", {}, {}, {},
     {{{kChangeAdded, ".ZarqelonWorkingDirectory/tmp"}, {kChangeModified, ".zarqelonworkingdirectory/x"},
       {kChangeRemoved, ".ZarqelonWorkingDirectory/#ZarqRecycle/y"}}},
     {}, {}},
    {"UnknownActionIsDropped", {"f"}, {}, {}, {{{9, "f"}, {0, "f"}}}, {}, {}},
};

TEST_P(DetectorTranslate, Pushes) {
  const TranslateCase& c = GetParam();
  for (const auto& f : c.folders) ASSERT_NO_FATAL_FAILURE(MkdirP("s1/" + f));
  for (const auto& f : c.files) ASSERT_NO_FATAL_FAILURE(Touch("s1/" + f));
  for (const auto& [path, is_dir] : c.records_in_db) ASSERT_NO_FATAL_FAILURE(Seed(1, path, is_dir));
  for (const auto& batch : c.batches) Script(1)->Push(batch);
  EXPECT_EQ(c.pushed, Pushed());
  EXPECT_EQ(c.expands, Expands());
}

INSTANTIATE_TEST_SUITE_P(Records, DetectorTranslate, ::testing::ValuesIn(kTranslateCases),
                         [](const ::testing::TestParamInfo<TranslateCase>& info) { return info.param.name; });

TEST_F(DetectorScript, RemovedItemWithoutRecordIsLogged) {
  Script(1)->Push({{kChangeRemoved, "ghost"}});
  EXPECT_EQ(Lines{}, Pushed());
  EXPECT_TRUE(Logged("[ERROR] detector("));
  EXPECT_TRUE(Logged("): can't find file type of deleted item /ghost\n"));
}

TEST_F(DetectorScript, WorkingFoldersAreMadeAndRemadeWithoutEvents) {
  const std::string work = Root(1, ".ZarqelonWorkingDirectory");
  struct stat st;
  ASSERT_EQ(0, stat((work + "/#ZarqRecycle").c_str(), &st)) << "made by AddWatch";
  for (const char* gone : {".ZarqelonWorkingDirectory/#ZarqRecycle", ".ZarqelonWorkingDirectory"}) {
    std::filesystem::remove_all(work);
    Script(1)->Push({{kChangeRemoved, gone}});
    EXPECT_EQ(Lines{}, Pushed()) << gone;
    EXPECT_EQ(0, stat((work + "/#ZarqRecycle").c_str(), &st)) << gone;
  }
  // Moved away counts as gone.
  Rename("s1/.ZarqelonWorkingDirectory", "outside/w");
  Script(1)->Push({{kChangeRenamedOldName, ".ZarqelonWorkingDirectory"}});
  EXPECT_EQ(Lines{}, Pushed());
  EXPECT_EQ(0, stat((work + "/#ZarqRecycle").c_str(), &st));
  EXPECT_TRUE(Logged("): recreating working directory (2)\n"));
  EXPECT_TRUE(Logged("): recreating working directory (4)\n"));
}

// The working folder, then the recycle folder, moved away and replaced by a
// link to a folder outside the session: making the folders again must not
// make the recycle folder inside the link's target. The link goes, the
// folder is real again, the user interface hears of it, and the target
// keeps every byte.
TEST_F(DetectorScript, LinkedWorkingFoldersAreReplacedNotFollowed) {
  const std::string work = Root(1, ".ZarqelonWorkingDirectory");
  auto session_errors = [](const std::vector<PObject>& messages) {
    return testsupport::UiStandIn::SessionErrors(messages, 1);
  };
  int round = 0;
  for (const char* name : {".ZarqelonWorkingDirectory", ".ZarqelonWorkingDirectory/#ZarqRecycle"}) {
    SCOPED_TRACE(name);
    const std::string outside = "outside/t" + std::to_string(++round);
    ASSERT_NO_FATAL_FAILURE(MkdirP(outside + "/sub"));
    WriteFile(outside + "/canary", "the user's own file");
    const testsupport::TreeSnapshot before = testsupport::TreeSnapshot::Take(Path(outside));
    const size_t errors = session_errors(ui_->messages());
    Rename("s1/" + std::string(name), outside + "-moved");
    ASSERT_EQ(0, symlink(Path(outside).c_str(), Root(1, name).c_str()));
    Script(1)->Push({{kChangeRenamedOldName, name}});
    Script(1)->Push({{kChangeAdded, name}});
    EXPECT_EQ(Lines{}, Pushed());

    const testsupport::TreeSnapshot after = testsupport::TreeSnapshot::Take(Path(outside));
    EXPECT_EQ(before, after) << after.Diff(before);
    for (const std::string& f : {work, work + "/#ZarqRecycle"}) {
      struct stat st;
      ASSERT_EQ(0, lstat(f.c_str(), &st)) << f;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << f << " is not a real folder";
    }
    EXPECT_TRUE(ui_->waitFor([&](const std::vector<PObject>& m) { return session_errors(m) > errors; },
                             std::chrono::seconds(10)))
        << "session errors: " << session_errors(ui_->messages());
  }
}

// A lost queue: one rescan of the whole session, nothing of the batch.
TEST_F(DetectorScript, OverflowAsksForOneRescan) {
  ASSERT_NO_FATAL_FAILURE(Touch("s1/f"));
  Script(1)->Push({{kChangeRenamedOldName, "a"}});  // a cached half, made stale by the loss
  platform::ChangeBatch lost;
  lost.status = platform::ChangeStatus::kRescan;
  lost.records.push_back({kChangeAdded, "f"});  // a source must not send these; ignored
  Script(1)->Push(std::move(lost));
  Script(1)->Push({{kChangeRenamedNewName, "f"}});
  EXPECT_EQ((Lines{"~d:/", "+f:/f"}), Pushed());
  EXPECT_EQ(Lines{"r:/"}, Expands());
  EXPECT_TRUE(Logged("[INFO] detector("));
  EXPECT_TRUE(Logged("): Event queue overflow, rescan watch\n"));
}

TEST_F(DetectorScript, FailedReadLogsAndAsksForRescan) {
  platform::ChangeBatch failed;
  failed.status = platform::ChangeStatus::kRescan;
  failed.read_errno = EIO;
  Script(1)->Push(std::move(failed));
  EXPECT_EQ(Lines{"~d:/"}, Pushed());
  EXPECT_EQ(Lines{"r:/"}, Expands());
  EXPECT_TRUE(Logged("): GetOverlappedResult: Error Code 5\n"));
  EXPECT_FALSE(Logged("Event queue overflow"));
}

TEST_F(DetectorScript, WatchFailureNamesTheLimit) {
  platform::ChangeBatch batch;
  batch.watch_errno = ENOSPC;
  batch.watch_error_folder = "big/sub";
  batch.records.push_back({kChangeModified, "f"});
  ASSERT_NO_FATAL_FAILURE(Touch("s1/f"));
  Script(1)->Push(std::move(batch));
  EXPECT_EQ(Lines{"~f:/f"}, Pushed());
  EXPECT_TRUE(Logged("cannot watch " + Root(1) + "/big/sub: the per-user limit of inotify watches is "
                     "reached (raise fs.inotify.max_user_watches)\n"));
}

// A lost root: an ERROR, then nothing from the session, its source gone.
TEST_F(DetectorScript, LostRootEndsTheSession) {
  ASSERT_NO_FATAL_FAILURE(AddSession(2));
  ASSERT_NO_FATAL_FAILURE(Watch(2));
  ASSERT_NO_FATAL_FAILURE(Seed(1, "/f", false));
  auto script = Script(1);
  platform::ChangeBatch lost;
  lost.status = platform::ChangeStatus::kRootLost;
  lost.records.push_back({kChangeRemoved, "f"});  // a source must not send these; ignored
  script->Push(std::move(lost));
  ASSERT_TRUE(Logged("): session #1: the folder " + Root(1) + " was removed or moved; its changes are "
                     "no longer watched\n",
                     std::chrono::seconds(10)));
  EXPECT_FALSE(script->source_alive());
  script->Push({{kChangeRemoved, "f"}});
  EXPECT_EQ(Lines{}, Pushed(2));
  EXPECT_EQ(Lines{}, Expands());
}

// The folder was replaced (rm -rf, then made again) before the removals
// were read: none of them is pushed.
TEST_F(DetectorScript, RemovalsReadAfterTheRootWentAreDropped) {
  ASSERT_NO_FATAL_FAILURE(AddSession(2));
  ASSERT_NO_FATAL_FAILURE(Watch(2));
  ASSERT_NO_FATAL_FAILURE(Seed(1, "/f", false));
  ASSERT_NO_FATAL_FAILURE(Seed(1, "/d", true));
  std::filesystem::remove_all(Root(1));
  Script(1)->Push({{kChangeRemoved, "f"}, {kChangeRemoved, "d"}});
  ASSERT_EQ(0, mkdir(Root(1).c_str(), 0755));
  Script(1)->Push({{kChangeRemoved, "f"}, {kChangeRemoved, "d"}});
  EXPECT_EQ(Lines{}, Pushed(2));
  ASSERT_TRUE(Logged("): session folder " + Root(1) + " is gone, dropping /d\n"));
  EXPECT_EQ(Lines{}, Expands());
}

// A move out whose pair never comes is settled on the wait's time-out.
TEST_F(DetectorScript, PendingMoveOutIsSettledAsRemoval) {
  ASSERT_NO_FATAL_FAILURE(Seed(1, "/gone", false));
  auto script = Script(1);
  script->HoldMoveOut("gone");
  script->Push(std::vector<std::pair<uint32_t, std::string>>{});
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (script->settles() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(1, script->settles());
  EXPECT_EQ(Lines{"-f:/gone"}, Pushed());
}

// A second AddWatch releases the first source and forgets its cached half.
TEST_F(DetectorScript, SecondAddWatchReplacesTheFirst) {
  ASSERT_NO_FATAL_FAILURE(Touch("s1/b"));
  auto script = Script(1);
  script->Push({{kChangeRenamedOldName, "a"}});
  EXPECT_EQ(Lines{}, Pushed());
  int reads = script->reads();
  ASSERT_NO_FATAL_FAILURE(Watch(1));  // the same script, a new source
  EXPECT_EQ(1, script->sources());
  script->Push({{kChangeRenamedNewName, "b"}});
  EXPECT_EQ(Lines{"+f:/b"}, Pushed());
  EXPECT_GT(script->reads(), reads);
}

TEST_F(DetectorScript, RemoveWatchAndClearReleaseSources) {
  ASSERT_NO_FATAL_FAILURE(AddSession(2));
  ASSERT_NO_FATAL_FAILURE(AddSession(3));
  ASSERT_NO_FATAL_FAILURE(Watch(2));
  ASSERT_NO_FATAL_FAILURE(Watch(3));
  auto one = Script(1), two = Script(2), three = Script(3);
  detector_->RemoveWatch(1);  // while the thread waits
  EXPECT_FALSE(one->source_alive());
  detector_->RemoveWatch(1);  // not watched: nothing
  ASSERT_NO_FATAL_FAILURE(Touch("s1/f"));
  one->Push({{kChangeAdded, "f"}});
  EXPECT_EQ(Lines{}, Pushed(2));
  detector_->Clear();
  EXPECT_FALSE(two->source_alive());
  EXPECT_FALSE(three->source_alive());
  EXPECT_TRUE(Logged("): session #2 (" + Root(2) + ") down\n"));
  EXPECT_TRUE(Logged("): session #3 (" + Root(3) + ") down\n"));
}

// Measures the daemon's own idle sleep (1 s), not the rigs' short one.
TEST_F(DetectorScript, IdleWithoutSessionsSleeps) {
  StopDetector();
  UseScripts(DaemonTiming());
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  ASSERT_NO_FATAL_FAILURE(Start());
  detector_->Clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  size_t idle = CountLogged("): No watch folder.\n");
  EXPECT_GE(idle, 1u);
  EXPECT_LE(idle, 4u);
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  EXPECT_EQ(Lines{}, Pushed());
}

// One wait covers any number of sessions (more than the 64 of one wait
// call are served over the following passes).
TEST_F(DetectorScript, SeventySessionsAllReport) {
  for (uint64_t id = 2; id <= 70; ++id) {
    ASSERT_NO_FATAL_FAILURE(AddSession(id));
    ASSERT_NO_FATAL_FAILURE(Watch(id));
  }
  for (uint64_t id = 1; id <= 70; ++id) {
    ASSERT_NO_FATAL_FAILURE(MkdirP("s" + std::to_string(id) + "/d"));
    Script(id)->Push({{kChangeAdded, "d"}});
  }
  Lines expands = Expands();
  for (int tries = 0; expands.size() < 70 && tries < 100; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& t : Expands()) expands.push_back(t);
  }
  std::sort(expands.begin(), expands.end());
  Lines want;
  for (uint64_t id = 1; id <= 70; ++id) want.push_back((id == 1 ? "" : std::to_string(id) + ".") + "x:/d");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(want, expands);
}

// AddWatch failures: -1, an ERROR, nothing stored.
TEST_F(DetectorFixture, AddWatchFailures) {
  ASSERT_NO_FATAL_FAILURE(AddSession(1));
  int next_error = 0;
  detector_ = std::make_unique<Detector>(
      nullptr, [&](const std::string&, std::unique_ptr<platform::ChangeSource>* out) {
        if (next_error != 0) return next_error;
        *out = std::make_unique<testsupport::ScriptedChangeSource>(
            std::make_shared<testsupport::ChangeScript>());
        return 0;
      });
  next_error = ENOSPC;
  EXPECT_EQ(-1, detector_->AddWatch(Root(1).c_str(), 1));
  EXPECT_TRUE(Logged("cannot watch " + Root(1) + ": the per-user limit of inotify watches is reached "
                     "(raise fs.inotify.max_user_watches)\n"));
  next_error = EMFILE;
  EXPECT_EQ(-1, detector_->AddWatch(Root(1).c_str(), 1));
  EXPECT_TRUE(Logged("cannot watch " + Root(1) + ": the per-user limit of inotify instances is reached "
                     "(raise fs.inotify.max_user_instances)\n"));
  next_error = 0;
  EXPECT_EQ(-1, detector_->AddWatch(Path("missing").c_str(), 2));
  EXPECT_TRUE(Logged("): CreateFile(" + Path("missing") + "): Error code: 2\n"));
  Touch("file");
  EXPECT_EQ(-1, detector_->AddWatch(Path("file").c_str(), 2));
  EXPECT_TRUE(Logged("): CreateFile(" + Path("file") + "): Error code: 20\n"));
  EXPECT_EQ(0, detector_->AddWatch(Root(1).c_str(), 1));
}

}  // namespace
