// A worker's own rename of a file into place, or change of its time in
// place, is not queued back as a local change by the folder watcher; a
// change by the user made after it is, even when it comes right after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "detector_fixture.h"
#include "session/own_changes.h"

namespace {

using detector_test::DetectorFixture;
using detector_test::Lines;

// The server's time a download gives its file.
constexpr time_t kServerTime = 1500000000;

void SetMtime(const std::string& path, time_t t) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {t, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

void Append(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  close(fd);
}

// At least one token, each of them one of `allowed` (a write and its close
// may be read apart, and so be queued as one or two notifications).
void ExpectSomeOf(const Lines& got, const Lines& allowed) {
  EXPECT_FALSE(got.empty());
  for (const std::string& t : got) {
    EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), t)) << t;
  }
}

class OwnChangesTest : public DetectorFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DetectorFixture::SetUp());
    ASSERT_NO_FATAL_FAILURE(AddSession(1));
    UseInotify();
    ASSERT_NO_FATAL_FAILURE(Watch(1));
    ASSERT_NO_FATAL_FAILURE(Start());
  }
  void TearDown() override {
    DetectorFixture::TearDown();
    OwnChanges::Instance().Forget(1);
  }

 public:
  // A file made in a private folder of the session ("working" or
  // "recycle"), as a download prepares it: content and the server's time.
  std::string Prepared(const std::string& folder, const std::string& bytes) {
    std::string dir = Root(1, kWorkingDirName);
    if (folder == "recycle") dir += std::string("/") + kRecycleDirName;
    const std::string path = dir + "/prepared.tmp";
    WriteFile(path.substr(Path().size() + 1), bytes);
    SetMtime(path, kServerTime);
    return path;
  }
};

struct ActCase {
  const char* name;
  bool file_before;  // "/a" exists before the act
  // The worker's act on Root(1, "a"), inside an OwnChanges::Act.
  std::function<void(OwnChangesTest&, const std::string& full)> act;
};

void PrintTo(const ActCase& c, std::ostream* os) { *os << c.name; }


class OwnActs : public OwnChangesTest, public ::testing::WithParamInterface<ActCase> {
 protected:
  // The case's act, as a worker makes it: the table's act around the
  // change, done right after it.
  void WorkerAct() {
    const std::string full = Root(1, "a");
    OwnChanges::Act act(OwnChanges::Instance(), 1);
    GetParam().act(*this, full);
    act.Done(full.c_str());
  }
  void Before() {
    if (!GetParam().file_before) return;
    WriteFile("s1/a", "the old content");
    // The user's file is reported; the act starts from a quiet queue.
    ExpectSomeOf(Pushed(), {"+f:/a", "~f:/a"});
  }
};

const ActCase kActs[] = {
    {"RenameOfANewFile", false,
     [](OwnChangesTest& t, const std::string& full) {
       ASSERT_EQ(0, rename(t.Prepared("working", "downloaded").c_str(), full.c_str()));
     }},
    {"RenameOverTheOldFile", true,
     [](OwnChangesTest& t, const std::string& full) {
       ASSERT_EQ(0, rename(t.Prepared("working", "downloaded").c_str(), full.c_str()));
     }},
    {"RenameFromTheRecycleFolder", false,
     [](OwnChangesTest& t, const std::string& full) {
       ASSERT_EQ(0, rename(t.Prepared("recycle", "recycled").c_str(), full.c_str()));
     }},
    {"TimeChangeInPlace", true, [](OwnChangesTest&, const std::string& full) { SetMtime(full, kServerTime); }},
};

// The act alone: nothing queued (the sentinel after it shows the watcher
// read past it), and the watcher says it saw its own act. An edit by the
// user afterwards is queued.
TEST_P(OwnActs, AloneIsNotQueuedAndALaterEditIs) {
  ASSERT_NO_FATAL_FAILURE(Before());
  ASSERT_NO_FATAL_FAILURE(WorkerAct());
  EXPECT_EQ(Lines{}, Pushed());
  EXPECT_EQ(1u, CountLogged("): own change of /a, not queued\n"));
  EXPECT_EQ(0u, OwnChanges::Instance().size());

  Append(Root(1, "a"), " edited");
  ExpectSomeOf(Pushed(), {"~f:/a"});
}

// The user's edit made right after the act, before the watcher can have
// looked: the file is no longer as the worker left it, so it is queued.
TEST_P(OwnActs, EditRightAfterIsQueued) {
  ASSERT_NO_FATAL_FAILURE(Before());
  ASSERT_NO_FATAL_FAILURE(WorkerAct());
  Append(Root(1, "a"), " edited");
  ExpectSomeOf(Pushed(), {"+f:/a", "~f:/a"});
}

// A chmod right after the act keeps size and times (and, within one tick
// of the kernel's clock, the change time): still queued.
TEST_P(OwnActs, ChmodRightAfterIsQueued) {
  ASSERT_NO_FATAL_FAILURE(Before());
  ASSERT_NO_FATAL_FAILURE(WorkerAct());
  ASSERT_EQ(0, chmod(Root(1, "a").c_str(), 0755));
  ExpectSomeOf(Pushed(), {"+f:/a", "~f:/a"});
}

INSTANTIATE_TEST_SUITE_P(Table, OwnActs, ::testing::ValuesIn(kActs),
                         [](const ::testing::TestParamInfo<ActCase>& info) { return info.param.name; });

// An act that failed records nothing: the user's file made at the name
// afterwards is queued.
TEST_F(OwnChangesTest, FailedActRecordsNothing) {
  {
    OwnChanges::Act act(OwnChanges::Instance(), 1);
    ASSERT_NE(0, rename(Root(1, "missing").c_str(), Root(1, "a").c_str()));
  }
  EXPECT_EQ(0u, OwnChanges::Instance().size());
  WriteFile("s1/a", "the user's");
  const Lines got = Pushed();
  ExpectSomeOf(got, {"+f:/a", "~f:/a"});
  EXPECT_NE(got.end(), std::find(got.begin(), got.end(), "+f:/a"));
}

// An act in one session says nothing about another session's watcher: the
// same file seen by session 2 is still its change.
TEST_F(OwnChangesTest, ActOfAnotherSessionIsQueued) {
  WriteFile("s1/a", "content");
  ExpectSomeOf(Pushed(), {"+f:/a", "~f:/a"});
  {
    OwnChanges::Act act(OwnChanges::Instance(), 2);
    SetMtime(Root(1, "a"), kServerTime);
    act.Done(Root(1, "a").c_str());
  }
  EXPECT_EQ(Lines{"~f:/a"}, Pushed());
  OwnChanges::Instance().Forget(2);
}

// Two acts on one file before the watcher reads either (a download, then
// a time change of the same content): both are the worker's own.
TEST_F(OwnChangesTest, TwoActsBeforeTheWatcherLooks) {
  const std::string full = Root(1, "a");
  {
    OwnChanges::Act act(OwnChanges::Instance(), 1);
    ASSERT_EQ(0, rename(Prepared("working", "downloaded").c_str(), full.c_str()));
    act.Done(full.c_str());
  }
  {
    OwnChanges::Act act(OwnChanges::Instance(), 1);
    SetMtime(full, kServerTime + 10);
    act.Done(full.c_str());
  }
  EXPECT_EQ(Lines{}, Pushed());
  EXPECT_EQ(2u, CountLogged("): own change of /a, not queued\n"));
  EXPECT_EQ(0u, OwnChanges::Instance().size());
}

}  // namespace
