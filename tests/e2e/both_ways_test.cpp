// Both directions without a fault. A first sync of two different
// trees with one equal and one differing path, then each kind of change on
// each side in turn, converging after each.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class BothWays : public E2eTest {
 protected:
  // "recent_file" notifications for `path` since message `since`.
  std::vector<int64_t> RecentTypes(SyncBed& bed, size_t since, const std::string& path) {
    std::vector<int64_t> out;
    const std::vector<PObject> all = bed.ui().messages();
    for (size_t i = since; i < all.size(); ++i) {
      const PObject& m = all[i];
      if (m.hasMember("notify") && m["notify"].asString() == "recent_file" && m["path"].asString() == path.c_str()) {
        out.push_back(m["event_type"].asInt64());
      }
    }
    return out;
  }

  // The first sync: sizes around the block and resumable limits, a deep
  // tree, an empty folder, awkward names; one path equal on both sides, one
  // that differs.
  SyncBed& FirstSync() {
    SyncBedOptions options = Defaults();
    options.paused = true;
    SyncBed& bed = Bed(options);
    if (!started_) return bed;
    const uint64_t sizes[] = {0, 1, 2047, 2048, 2049, 524288, 524289, 5u << 20};
    for (uint64_t size : sizes) {
      bed.WriteLocal("/l/s" + std::to_string(size), RandomBytes(size, static_cast<uint32_t>(size) + 1));
      bed.PutServer("/r/s" + std::to_string(size), RandomBytes(size, static_cast<uint32_t>(size) + 2));
    }
    bed.WriteLocal("/l/t1/t2/t3/deep.txt", "deep local");
    bed.PutServer("/r/t1/t2/t3/deep.txt", "deep remote");
    EXPECT_EQ(0, mkdir(bed.local("/l/empty").c_str(), 0755));
    bed.server().Mkdir("/r/empty");
    for (const char* name : {"/caf\xc3\xa9 \xc3\xa9.txt", "/inner blank.txt", "/back\\slash.txt"}) {
      bed.WriteLocal(std::string("/l") + name, std::string("local ") + name);
      bed.PutServer(std::string("/r") + name, std::string("remote ") + name);
    }
    bed.WriteLocal("/l/big20", RandomBytes(20 << 20, 20));
    bed.PutServer("/r/big20", RandomBytes(20 << 20, 21));
    bed.WriteLocal("/l/dir/a.txt", "folder a");
    bed.WriteLocal("/l/dir/sub/b.txt", "folder b");
    bed.PutServer("/r/dir/a.txt", "server folder a");
    bed.PutServer("/r/dir/sub/b.txt", "server folder b");
    // Above the resumable limit, so that an upload's dry run finds it.
    bed.WriteLocal("/same.bin", RandomBytes(600000, 30));
    bed.PutServer("/same.bin", RandomBytes(600000, 30));
    bed.WriteLocal("/differs.txt", "the local bytes");
    bed.PutServer("/differs.txt", "the server's bytes");
    EXPECT_TRUE(bed.Action("resume").hasMember("ack"));
    return bed;
  }
};

TEST_F(BothWays, FirstSyncThenEveryLocalChange) {
  SyncBed& bed = FirstSync();
  ASSERT_TRUE(started_);
  ASSERT_TRUE(bed.WaitConverged(120s));

  // The equal path: no body either way.
  for (const json& q : Uploads(bed, "/same.bin")) EXPECT_EQ(0u, BodyOf(q)) << q;
  EXPECT_EQ(0u, DownloadBodyBytes(bed, "/same.bin"));
  // The differing path: the server's bytes at the name, the local ones
  // beside them under a conflict name, on both sides (converged).
  EXPECT_EQ(testsupport::Sha256Hex("the server's bytes"), bed.LocalTree()["/differs.txt"].sha256);
  const std::string conflict = ConflictOf(bed, "differs.txt");
  ASSERT_FALSE(conflict.empty());
  EXPECT_EQ(testsupport::Sha256Hex("the local bytes"), bed.LocalTree()["/" + conflict].sha256);
  // Downloads carry the server's time; the daemon's own uploads come not
  // back.
  const auto s2048 = bed.server().Get("/r/s2048");
  ASSERT_TRUE(s2048.has_value());
  EXPECT_EQ(static_cast<time_t>(s2048->mtime), Mtime(bed.local("/r/s2048")));
  EXPECT_EQ(0u, DownloadBodyBytes(bed, "/l/s524289"));
  EXPECT_EQ(0u, DownloadBodyBytes(bed, "/l/big20"));

  // The local side, step by step. New contents are renamed into place, so
  // that the daemon never meets a half-written file and each step is one
  // upload.
  size_t mark = bed.ui().messages().size();
  bed.PlaceLocal("/l/new.txt", "created locally");
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{3}, RecentTypes(bed, mark, "/l/new.txt"));

  mark = bed.ui().messages().size();
  bed.PlaceLocal("/l/new.txt", "created locally, then edited", time(nullptr) + 5);
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{3}, RecentTypes(bed, mark, "/l/new.txt"));

  const std::string big = RandomBytes(20 << 20, 20);
  bed.OverwriteLocal("/l/big20", EditPercent(big, 1, 22));
  ASSERT_TRUE(bed.WaitConverged());
  {
    const std::vector<json> ups = Uploads(bed, "/l/big20");
    ASSERT_GE(ups.size(), 2u);
    EXPECT_TRUE(Flag(ups.back()["file"], "is_delta")) << ups.back();
    EXPECT_LT(BodyOf(ups.back()), (20u << 20) * 3 / 100);
  }

  ASSERT_EQ(0, rename(bed.local("/l/new.txt").c_str(), bed.local("/l/renamed.txt").c_str()));
  ASSERT_TRUE(bed.WaitConverged());
  ASSERT_EQ(0, rename(bed.local("/l/dir").c_str(), bed.local("/l/dir2").c_str()));
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_TRUE(bed.server().Get("/l/dir2/sub/b.txt").has_value());

  mark = bed.ui().messages().size();
  ASSERT_EQ(0, unlink(bed.local("/l/renamed.txt").c_str()));
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{2}, RecentTypes(bed, mark, "/l/renamed.txt"));
  std::error_code ec;
  std::filesystem::remove_all(bed.local("/l/dir2"), ec);
  ASSERT_TRUE(bed.WaitConverged());

  // A time change alone: no request, and the recorded time comes back.
  {
    uint64_t since = 0;
    (void)bed.server().Journal(0, &since);
    const time_t recorded = Mtime(bed.local("/l/s2048"));
    struct utimbuf later{recorded + 1000, recorded + 1000};
    ASSERT_EQ(0, utime(bed.local("/l/s2048").c_str(), &later));
    ASSERT_TRUE(ServerStandIn::WaitFor([&] { return Mtime(bed.local("/l/s2048")) == recorded; }, 30s));
    ASSERT_TRUE(bed.WaitConverged());
    for (const json& e : bed.server().Journal(since)) {
      if (e.value("event", "") == "request") {
        EXPECT_NE("/l/s2048", e["request"].value("path", "")) << e;
      }
    }
  }

  // The conflict copy went up too, and nothing came down that went up.
  EXPECT_TRUE(bed.server().Get("/" + conflict).has_value());
  for (const char* own : {"/l/s5242880", "/l/t1/t2/t3/deep.txt", "/l/big20"}) {
    EXPECT_EQ(0u, DownloadBodyBytes(bed, own)) << own;
  }
  bed.Finish();
}

TEST_F(BothWays, EveryServerChange) {
  SyncBedOptions options = Defaults();
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  bed.PutServer("/r/big20", RandomBytes(20 << 20, 21));
  bed.PutServer("/r/s2049", RandomBytes(2049, 2049 + 2));
  bed.PutServer("/r/dir/a.txt", "server folder a");
  bed.PutServer("/r/dir/sub/b.txt", "server folder b");
  ASSERT_TRUE(bed.WaitConverged());
  size_t mark = bed.ui().messages().size();
  bed.PutServer("/r/new.txt", "created on the server");
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{3}, RecentTypes(bed, mark, "/r/new.txt"));
  mark = bed.ui().messages().size();
  bed.PutServer("/r/new.txt", "created on the server, then edited");
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{3}, RecentTypes(bed, mark, "/r/new.txt"));

  const std::string rbig = RandomBytes(20 << 20, 21);
  bed.PutServer("/r/big20", EditPercent(rbig, 1, 23));
  ASSERT_TRUE(bed.WaitConverged());
  {
    const std::vector<json> downs = Downloads(bed, "/r/big20");
    ASSERT_GE(downs.size(), 2u);
    EXPECT_TRUE(Flag(downs.back(), "delta")) << downs.back();
    EXPECT_LT(downs.back().value("body", uint64_t{0}), (20u << 20) * 3 / 100);
  }

  // A rename on the server is a removal and a new path with the same bytes.
  bed.server().Remove("/r/new.txt");
  bed.PutServer("/r/renamed.txt", "created on the server, then edited");
  ASSERT_TRUE(bed.WaitConverged());
  bed.server().Remove("/r/dir");
  bed.PutServer("/r/dir2/a.txt", "server folder a");
  bed.PutServer("/r/dir2/sub/b.txt", "server folder b");
  ASSERT_TRUE(bed.WaitConverged());

  mark = bed.ui().messages().size();
  bed.server().Remove("/r/renamed.txt");
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(std::vector<int64_t>{2}, RecentTypes(bed, mark, "/r/renamed.txt"));
  bed.server().Remove("/r/dir2");
  ASSERT_TRUE(bed.WaitConverged());

  // A new time alone on the server: a new version, no body, the new time.
  const uint32_t when = 1500000000;
  bed.PutServer("/r/s2049", RandomBytes(2049, 2049 + 2), when);
  const uint64_t body_before = DownloadBodyBytes(bed, "/r/s2049");
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(body_before, DownloadBodyBytes(bed, "/r/s2049"));
  EXPECT_EQ(static_cast<time_t>(when), Mtime(bed.local("/r/s2049")));

  bed.Finish();
}

}  // namespace
}  // namespace e2e
