// The working folder, then the recycle folder, replaced by a link to a
// folder outside the session while the session runs: a server delete of a
// file and of a folder, a download's body and an upload's delta must not
// move, write or delete anything through the link. Each time the link
// itself goes, the folder is made again, the user interface gets a session
// error, the link's target keeps every byte, and the operation goes on in
// the real folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "foundation/file_op.h"
#include "support/tree_snapshot.h"
#include "support/ui_stand_in.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"

namespace {

using namespace downloadtest;  // the fixture's helpers and names

class SessionFolderLinkTest : public DownloadTest {
 protected:
  // Session errors of the rig's session among `messages`.
  static size_t SessionErrors(const std::vector<PObject>& messages) {
    return testsupport::UiStandIn::SessionErrors(messages, 7, ErrorNumber(ERR_SYS));
  }

  // Replaces the working folder (or only the recycle folder) by a link to a
  // new folder `outside` beside the session, which holds what the folder
  // would: a recycle folder with an item, and a canary file.
  std::string Plant(bool recycle, const std::string& outside_name) {
    const std::string outside = Path(outside_name);
    EXPECT_EQ(0, mkdir(outside.c_str(), 0700));
    EXPECT_EQ(0, mkdir((outside + "/#ZarqRecycle").c_str(), 0700));
    Spill(outside + "/canary", "the user's own file");
    Spill(outside + "/#ZarqRecycle/item", "the user's recycled-looking file");
    const std::string folder = recycle ? Working() + "/#ZarqRecycle" : Working();
    EXPECT_EQ(0, FSRemove(folder.c_str(), false));
    EXPECT_EQ(0, symlink(outside.c_str(), folder.c_str()));
    return outside;
  }

  void ExpectRealFolders() {
    for (const std::string& f : {Working(), Working() + "/#ZarqRecycle"}) {
      struct stat st;
      ASSERT_EQ(0, lstat(f.c_str(), &st)) << f;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << f << " is not a real folder";
    }
  }
};

TEST_F(SessionFolderLinkTest, NothingGoesThroughALinkedFolder) {
  struct Case {
    const char* name;
    // Runs before the link is planted: the session's state for the act.
    std::function<void(const std::string& tag)> before;
    // The act; its result.
    std::function<ErrorCode(const std::string& tag)> act;
    // What the act must have done in the session.
    std::function<void(const std::string& tag)> after;
  };
  const std::vector<Case> cases = {
      {"server delete of a file",
       [this](const std::string& tag) { Recorded("/f" + tag, "recorded bytes", 5); },
       [this](const std::string& tag) {
         return rig_->holding(rig_->serverEvent(Event::EV_REMOVE, "/f" + tag, 9))
             .RealOperation(ScriptedWorker::kRemoveLocal);
       },
       [this](const std::string& tag) {
         EXPECT_FALSE(IsFileExist(rig_->local("/f" + tag).c_str(), false));
       }},
      {"server delete of a folder",
       [this](const std::string& tag) {
         RecordedDir("/d" + tag, 5);
         Recorded("/d" + tag + "/a.txt", "inside bytes", 5);
       },
       [this](const std::string& tag) {
         return rig_->holding(rig_->serverEvent(Event::EV_REMOVE, "/d" + tag, 9, true))
             .RealOperation(ScriptedWorker::kRemoveLocal);
       },
       [this](const std::string& tag) {
         EXPECT_FALSE(IsFileExist(rig_->local("/d" + tag).c_str(), false));
       }},
      {"download's body",
       [this](const std::string& tag) {
         rig_->server().Put("/n" + tag, Pattern(200000, 4), 1500000001);
       },
       [this](const std::string& tag) { return Download(ServerChange("/n" + tag)); },
       [this](const std::string& tag) {
         EXPECT_TRUE(Slurp(rig_->local("/n" + tag)) == Pattern(200000, 4));
       }},
      {"upload's delta",
       [this](const std::string& tag) {
         std::string bytes = Pattern(300000, 5);
         Spill(rig_->local("/u" + tag), bytes);
         ASSERT_EQ(ERR_OK, rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/u" + tag))
                               .RealOperation(ScriptedWorker::kUpload));
         // Another size and time: the upload reads the file and sends a
         // delta against the recorded signature.
         bytes[1000] ^= 0x55;
         bytes += "tail";
         Spill(rig_->local("/u" + tag), bytes);
         ASSERT_EQ(0, FSUTime(rig_->local("/u" + tag).c_str(), 1600000000, 1600000000));
       },
       [this](const std::string& tag) {
         return rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/u" + tag))
             .RealOperation(ScriptedWorker::kUpload);
       },
       [this](const std::string& tag) {
         EXPECT_TRUE(Content("/u" + tag) == Slurp(rig_->local("/u" + tag)));
         // The bytes went as a delta, made in the working folder.
         bool delta = false;
         for (const auto& e : rig_->requests()) {
           if (e.value("action", "") == "upload" && !uploadtest::Flag(e["request"], "dry_run")) {
             delta = uploadtest::Flag(e["request"]["file"], "is_delta");
           }
         }
         EXPECT_TRUE(delta);
       }},
  };
  int round = 0;
  for (const Case& c : cases) {
    for (bool recycle : {false, true}) {
      const std::string tag = std::to_string(++round);
      SCOPED_TRACE(std::string(c.name) + (recycle ? ", recycle folder linked" : ", working folder linked"));
      ASSERT_NO_FATAL_FAILURE(c.before(tag));
      // The working folder goes with the link below: what earlier rounds
      // recycled is not this round's to keep.
      TreeSnapshot::Options no_working;
      no_working.skip_working_folder = true;
      const TreeSnapshot session = TreeSnapshot::Take(rig_->local(), no_working);
      const std::string outside = Plant(recycle, "outside" + tag);
      const TreeSnapshot untouched = TreeSnapshot::Take(outside);
      const size_t errors = SessionErrors(rig_->ui().messages());

      EXPECT_EQ(ERR_OK, c.act(tag));

      const TreeSnapshot now = TreeSnapshot::Take(outside);
      EXPECT_EQ(untouched, now) << now.Diff(untouched);
      EXPECT_TRUE(rig_->ui().waitFor([&](const std::vector<PObject>& m) { return SessionErrors(m) > errors; },
                                     std::chrono::seconds(10)))
          << "no session error; messages: " << rig_->ui().messages().size();
      ExpectRealFolders();
      c.after(tag);
      ExpectNothingLost(session, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
    }
  }
}

}  // namespace
