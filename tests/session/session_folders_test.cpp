// SessionFolders: what is found at the working and recycle folders' names
// (nothing, a real folder, a link to a folder outside the session, a
// dangling link, a file, a FIFO) and what opening them leaves: real folders,
// the link's target untouched, and one session error for each thing that
// was not a real folder.
#include "session/session_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "session/detector.h"
#include "session/session_path.h"
#include "session/ui_ipc.h"
#include "settings/settings.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/ui_settings.h"
#include "support/ui_stand_in.h"
#include "transport/error_code.h"

namespace {

class SessionFoldersTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf", "session_folders_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(), 50));
    ui_ = testsupport::StartUiForSettings(Path("daemon.conf"));
    ASSERT_NE(nullptr, ui_);
  }
  void TearDown() override {
    Settings::getInstance()->resetToDefaults();
    ui_.reset();
    Logger::ResetForTest();
  }

  static size_t SessionErrors(const std::vector<PObject>& messages, uint64_t sess) {
    return testsupport::UiStandIn::SessionErrors(messages, sess);
  }

  // A session no case uses: its report marks the end of a case's reports.
  static constexpr uint64_t kMarkerSession = 999;

  std::unique_ptr<testsupport::UiStandIn> ui_;
};

TEST_F(SessionFoldersTest, WhatIsFoundAtTheNamesBecomesARealFolder) {
  enum Kind { kMissing, kFolder, kLinkToOutside, kDanglingLink, kFile, kFifo };
  const struct {
    const char* name;
    bool recycle;  // the recycle folder's name, else the working folder's
    Kind kind;
    bool reported;
  } cases[] = {
      {"both missing", false, kMissing, false},
      {"both real", false, kFolder, false},
      {"working folder a link to an outside folder", false, kLinkToOutside, true},
      {"recycle folder a link to an outside folder", true, kLinkToOutside, true},
      {"working folder a dangling link", false, kDanglingLink, true},
      {"recycle folder a file", true, kFile, true},
      {"working folder a FIFO", false, kFifo, true},
  };
  uint64_t sess = 0;
  size_t markers = 0;  // end marks sent, one per case
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++sess;
    const std::string local = "s" + std::to_string(sess);
    const std::string outside = "outside" + std::to_string(sess);
    ASSERT_EQ(0, mkdir(Path(local).c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path(outside).c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path(outside + "/" + kRecycleDirName).c_str(), 0755));
    WriteFile(outside + "/canary", "the user's own file");
    const SessionFolders folders(Path(local).c_str(), 3, sess);
    const std::string working = folders.working().c_str_utf8();
    const std::string recycle = folders.recycle().c_str_utf8();
    if (c.kind != kMissing && c.recycle) {
      ASSERT_EQ(0, mkdir(working.c_str(), 0755));
    }
    const std::string at = c.recycle ? recycle : working;
    switch (c.kind) {
      case kMissing:
        break;
      case kFolder:
        ASSERT_EQ(0, mkdir(working.c_str(), 0755));
        ASSERT_EQ(0, mkdir(recycle.c_str(), 0755));
        WriteFile(local + "/" + kWorkingDirName + "/" + kRecycleDirName + "/item", "recycled");
        break;
      case kLinkToOutside:
        ASSERT_EQ(0, symlink(Path(outside).c_str(), at.c_str()));
        break;
      case kDanglingLink:
        ASSERT_EQ(0, symlink(Path(outside + "/nothing").c_str(), at.c_str()));
        break;
      case kFile:
        WriteFile(at.substr(Path().size() + 1), "a file");
        break;
      case kFifo:
        ASSERT_EQ(0, mkfifo(at.c_str(), 0644));
        break;
    }
    const testsupport::TreeSnapshot before = testsupport::TreeSnapshot::Take(Path(outside));
    const size_t errors = SessionErrors(ui_->messages(), sess);

    platform::UniqueFd bin;
    ASSERT_EQ(0, folders.Open(SessionFolders::Which::kRecycle, &bin));
    ASSERT_TRUE(bin.valid());

    // The descriptor is the real recycle folder now at its name.
    struct stat by_fd;
    struct stat by_name;
    ASSERT_EQ(0, fstat(bin.get(), &by_fd));
    ASSERT_EQ(0, lstat(recycle.c_str(), &by_name));
    EXPECT_TRUE(S_ISDIR(by_name.st_mode));
    EXPECT_EQ(by_fd.st_ino, by_name.st_ino);
    EXPECT_TRUE(IsRealFolder(folders.working()));
    const testsupport::TreeSnapshot after = testsupport::TreeSnapshot::Take(Path(outside));
    EXPECT_EQ(before, after) << after.Diff(before);
    if (c.kind == kFolder) {
      EXPECT_EQ("recycled", ReadFile(local + "/" + kWorkingDirName + "/" + kRecycleDirName + "/item"));
    }
    if (c.reported) {
      EXPECT_TRUE(ui_->waitFor([&](const std::vector<PObject>& m) { return SessionErrors(m, sess) > errors; },
                               std::chrono::seconds(10)));
    }
    // A second open finds real folders: nothing more is reported. A report
    // of another session marks the end, since the stand-in reads them in
    // order.
    ASSERT_EQ(0, folders.Ensure());
    (void)UI_IPC::ReportSessionErrorToUI(0, kMarkerSession, ERR_AUTH);
    ++markers;
    ASSERT_TRUE(ui_->waitFor(
        [&](const std::vector<PObject>& m) { return SessionErrors(m, kMarkerSession) >= markers; },
        std::chrono::seconds(10)));
    EXPECT_EQ(c.reported ? errors + 1 : errors, SessionErrors(ui_->messages(), sess));
  }
}

TEST_F(SessionFoldersTest, MissingSessionFolderIsAnErrorAndMakesNothing) {
  const SessionFolders folders(Path("gone").c_str(), 3, 1);
  platform::UniqueFd fd;
  EXPECT_EQ(-1, folders.Open(SessionFolders::Which::kWorking, &fd));
  EXPECT_FALSE(fd.valid());
  struct stat st;
  EXPECT_NE(0, lstat(Path("gone").c_str(), &st));
}

}  // namespace
