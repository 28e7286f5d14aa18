// Server deletes of folders that cannot be recycled: one on a mount inside
// the sync folder (another file system than the recycle folder) and the
// mount point itself. A mounted tree is neither copied nor emptied, so each
// stays. The daemon runs in a user and mount namespace of its own with a
// tmpfs at <sync>/mnt; the test reaches the sync folder through
// /proc/<pid>/root.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "support/temp_dir.h"

namespace e2e {
namespace {

// A server delete of a folder on the mount (it cannot be renamed into the
// recycle folder: another file system), then of the mount point itself (in
// use by the system): each stays, the user interface hears that it was
// kept and never that it was removed, the event is done, and the next
// rescan offers the folder to the server again, once. The folders are empty:
// the server's delete of a folder also lists every object below it.
TEST_F(E2eTest, ServerDeleteOfAMountedFolderKeepsIt) {
  testsupport::TempDir place;
  const std::string sync = place.path() + "/sync";
  ASSERT_EQ(0, mkdir(sync.c_str(), 0755));
  ASSERT_EQ(0, mkdir((sync + "/mnt").c_str(), 0755));
  SyncBedOptions options = Defaults();
  std::string why;
  if (!InTmpfsNamespace(options, sync, sync + "/mnt", "8m", &why)) GTEST_SKIP() << why;
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  bed.WriteLocal("/top.txt", "beside it");
  ASSERT_EQ(0, mkdir(bed.local("/mnt/sub").c_str(), 0755));
  ASSERT_TRUE(bed.WaitConverged());

  for (const std::string folder : {"/mnt/sub", "/mnt"}) {
    SCOPED_TRACE(folder);
    const size_t errors = bed.Notifications("error").size();
    const size_t uploads = Uploads(bed, folder).size();

    ASSERT_NE(0u, bed.server().Remove(folder));
    ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !About(bed, "locked_file", folder).empty(); }, 60s))
        << "no report that " << folder << " was kept";
    const PObject kept = About(bed, "locked_file", folder).front();
    EXPECT_EQ(1u, kept["is_dir"].asUInt64()) << testsupport::UiStandIn::Describe(kept);
    EXPECT_EQ(ustring("on another file system, left in place"), kept["error"]["reason"].asString());
    auto tree = bed.LocalTree();
    EXPECT_EQ('d', tree[folder].type);

    // The next rescan (a reload that changes nothing issues one) converges,
    // so the delete was not handed back, and offers the folder once.
    PObject reload = SyncBed::MakeRequest("reload_session");
    reload["session_id"] = static_cast<unsigned long long>(SyncBed::kSessionId);
    reload["recursive"] = 1;
    const PObject reply = bed.Request(reload);
    EXPECT_FALSE(reply.hasMember("error")) << testsupport::UiStandIn::Describe(reply);
    ASSERT_TRUE(bed.WaitConverged(120s));
    EXPECT_EQ(uploads + 1, Uploads(bed, folder).size());
    EXPECT_TRUE(bed.server().Get(folder).has_value());
    for (const PObject& m : About(bed, "recent_file", folder)) {
      EXPECT_NE(2u, m["event_type"].asUInt64()) << "reported removed: " << testsupport::UiStandIn::Describe(m);
    }
    const std::vector<PObject> reported = bed.Notifications("error");
    for (size_t i = errors; i < reported.size(); ++i) {
      ADD_FAILURE() << "an error was reported: " << testsupport::UiStandIn::Describe(reported[i]);
    }
    tree = bed.LocalTree();
    EXPECT_EQ(testsupport::Sha256Hex("beside it"), tree["/top.txt"].sha256);
    // The mount point alone next.
    if (folder == "/mnt/sub") {
      ASSERT_EQ(0, rmdir(bed.local(folder).c_str()));
      ASSERT_TRUE(bed.WaitConverged());
    }
  }
  bed.Finish();
}

}  // namespace
}  // namespace e2e
