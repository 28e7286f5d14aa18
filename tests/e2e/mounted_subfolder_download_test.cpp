// Server files into a sub-folder that is a file system of its own (a small
// tmpfs at <sync>/mnt): the body arrives in the working folder on the sync
// folder's file system and crosses over by a copy. When the sub-folder is
// full, the change stays pending: one body only (kept in the recycle
// folder between attempts), one error the user interface sees, and the
// file arrives once there is room. The daemon runs in a user and mount
// namespace of its own; the test reaches the sync folder through
// /proc/<pid>/root.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "support/temp_dir.h"
#include "support/text_count.h"

namespace e2e {
namespace {

size_t BodiesOf(SyncBed& bed, const std::string& path) {
  size_t n = 0;
  for (const auto& e : bed.JournalOf("request", "resume_download")) {
    n += e["request"].value("path", "") == path ? 1 : 0;
  }
  return n;
}

TEST_F(E2eTest, NewFilesIntoAMountedSubFolderCrossOrWaitForRoom) {
  testsupport::TempDir place;
  const std::string sync = place.path() + "/sync";
  ASSERT_EQ(0, mkdir(sync.c_str(), 0755));
  ASSERT_EQ(0, mkdir((sync + "/mnt").c_str(), 0755));
  SyncBedOptions options = Defaults();
  std::string why;
  if (!InTmpfsNamespace(options, sync, sync + "/mnt", "4m", &why)) GTEST_SKIP() << why;
  options.log_levels += "worker_debug=4\n";  // the pending change's WARNING per attempt
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  bed.WriteLocal("/top.txt", "beside it");
  ASSERT_TRUE(bed.WaitConverged());

  // A new file crosses into the mounted sub-folder (and fills most of it).
  const std::string small = RandomBytes(5u << 19, 91);
  bed.PutServer("/mnt/small.bin", small);
  ASSERT_TRUE(bed.WaitConverged(120s));
  auto tree = bed.LocalTree();
  EXPECT_EQ(testsupport::Sha256Hex(small), tree["/mnt/small.bin"].sha256);
  EXPECT_EQ(1u, BodiesOf(bed, "/mnt/small.bin"));

  // Too big for what is left there (2.5 MiB of 4 taken): pending, told once, one body.
  const std::string big = RandomBytes(2u << 20, 92);
  bed.PutServer("/mnt/big.bin", big);
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !About(bed, "locked_file", "/mnt/big.bin").empty(); }, 90s))
      << "no report that /mnt/big.bin could not be put in place";
  const PObject told = About(bed, "locked_file", "/mnt/big.bin").front();
  EXPECT_EQ(ustring("local disk is full"), told["error"]["reason"].asString()) << testsupport::UiStandIn::Describe(told);
  // Several attempts later (the rig's pauses: 0.3 s doubling to 2.4 s), still
  // one body and one report; nothing at the path meanwhile.
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return testsupport::CountOf(bed.daemon().Stdout(), "'/mnt/big.bin' cannot be put in place") >= 4; },
                                     60s))
      << bed.daemon().Stdout();
  EXPECT_EQ(1u, BodiesOf(bed, "/mnt/big.bin"));
  EXPECT_EQ(1u, About(bed, "locked_file", "/mnt/big.bin").size());
  tree = bed.LocalTree();
  EXPECT_EQ(0u, tree.count("/mnt/big.bin"));

  // Room made (the small file goes): the kept body arrives, no new one.
  ASSERT_EQ(0, unlink(bed.local("/mnt/small.bin").c_str()));
  ASSERT_TRUE(bed.WaitConverged(120s));
  tree = bed.LocalTree();
  EXPECT_EQ(testsupport::Sha256Hex(big), tree["/mnt/big.bin"].sha256);
  EXPECT_EQ(testsupport::Sha256Hex("beside it"), tree["/top.txt"].sha256);
  EXPECT_EQ(1u, BodiesOf(bed, "/mnt/big.bin"));
  EXPECT_EQ(1u, About(bed, "locked_file", "/mnt/big.bin").size());
  // The copy across is written under a fresh name beside its target and
  // then renamed into place, which the write watch cannot tell from a
  // write in place: the other two checks of Finish only.
  bed.ExpectRecords();
  bed.ExpectNothingLost();
}

}  // namespace
}  // namespace e2e
