// The local disk fills. The daemon runs in a user and mount
// namespace of its own with an 8 MiB tmpfs over its sync folder; the test
// reaches that folder through /proc/<pid>/root.
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "support/temp_dir.h"

namespace e2e {
namespace {

TEST_F(E2eTest, LocalDiskFull) {
  testsupport::TempDir place;
  const std::string sync = place.path() + "/sync";
  ASSERT_EQ(0, mkdir(sync.c_str(), 0755));
  SyncBedOptions options = Defaults();
  std::string why;
  if (!InTmpfsNamespace(options, sync, sync, "8m", &why)) GTEST_SKIP() << why;
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  const std::string five = RandomBytes(5u << 20, 81);
  bed.WriteLocal("/five.bin", five);
  bed.WriteLocal("/small.txt", "a small file");
  ASSERT_TRUE(bed.WaitConverged());

  const std::string six = RandomBytes(6u << 20, 82);
  bed.PutServer("/six.bin", six);
  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        for (const PObject& m : bed.Notifications("error")) {
          if (m.hasMember("session_id") && testsupport::UiStandIn::ErrorType(m) == -22) return true;
        }
        return false;
      },
      90s));
  // Retried, and nothing at the final path meanwhile; the rest unchanged.
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return bed.JournalOf("request", "resume_download").size() >= 2; }, 60s));
  auto tree = bed.LocalTree();
  EXPECT_EQ(0u, tree.count("/six.bin"));
  EXPECT_EQ(testsupport::Sha256Hex(five), tree["/five.bin"].sha256);
  EXPECT_EQ(testsupport::Sha256Hex("a small file"), tree["/small.txt"].sha256);

  // Room made: the deletion goes to the server too and the file arrives.
  ASSERT_EQ(0, unlink(bed.local("/five.bin").c_str()));
  ASSERT_TRUE(bed.WaitConverged(120s));
  tree = bed.LocalTree();
  EXPECT_EQ(testsupport::Sha256Hex(six), tree["/six.bin"].sha256);
  EXPECT_FALSE(bed.server().Get("/five.bin").has_value());
  // No partial download left in the working folder.
  const testsupport::TreeSnapshot working = testsupport::TreeSnapshot::Take(bed.local("/.ZarqelonWorkingDirectory"));
  for (const auto& [path, e] : working.entries()) {
    EXPECT_TRUE(e.type == 'd' || path.rfind("/#ZarqRecycle/", 0) == 0) << "left in the working folder: " << path;
  }
  bed.Finish();
}

}  // namespace
}  // namespace e2e
