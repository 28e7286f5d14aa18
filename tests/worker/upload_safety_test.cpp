// Uploads where something goes wrong: the file changes while it is sent,
// the server refuses. Each ends by checking that no user's bytes were lost.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "protocol/proto_common.h"
#include "transport/error_code.h"
#include "session/event_manager.h"
#include "upload_fixture.h"

namespace {

using namespace uploadtest;
using testsupport::ExpectNothingLost;
using testsupport::TreeSnapshot;

class UploadSafety : public UploadTest {};

// The body is read from the live file while it is sent. A rewrite at the
// same size and the same second during the send leaves the server holding
// bytes other than the recorded hash; the next upload must not build a
// delta on them (nor trust size and time), but send the whole file.
TEST_F(UploadSafety, RewriteDuringSendNotBuiltOn) {
  Make();
  rig_->server().Set({{"store_unchecked", true}});
  const size_t size = 16 << 20;
  const std::string full = Put("/big", deltatest::RandomBytes(size, 7));
  const time_t second = Mtime(full);
  rig_->server().Fault({{"action", "resume_upload"}, {"stall_ms", 1500}, {"bytes", 64 * 1024}});

  // Made before the send: under load, making 16 MiB could outlast the
  // stall, and the rewrite would then come after the send.
  const std::string fresh = deltatest::RandomBytes(size, 8);
  std::thread rewriter([&] {
    ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
        [&] {
          for (const json& e : rig_->server().Journal()) {
            if (e.value("event", "") == "fault") return true;
          }
          return false;
        },
        std::chrono::seconds(20)));
    usleep(300000);
    const int fd = open(full.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(size), pwrite(fd, fresh.data(), size, 0));
    close(fd);
    SetMtime(full, second);
  });
  EXPECT_EQ(ERR_OK, Upload("/big").result);
  rewriter.join();
  EXPECT_TRUE(rig_->logged("changed while it was sent"));
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());

  // The watcher's modify event for the rewrite.
  EXPECT_EQ(ERR_OK, Upload("/big").result);
  ASSERT_TRUE(rig_->drain());
  const auto uploads = Uploads();
  ASSERT_EQ(2u, uploads.size());
  EXPECT_FALSE(Flag(uploads[1]["file"], "is_delta")) << uploads[1];
  EXPECT_FALSE(Flag(uploads[1]["file"], "refer")) << uploads[1];
  ExpectStored("/big");
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

// The refusals of an upload, each on a file the server knows: the result,
// and whether the record survives.
TEST_F(UploadSafety, RefusalCodes) {
  Make();
  struct Case {
    uint32_t code;
    ErrorCode result;
    bool record_kept;
  };
  const Case rows[] = {{SPROTO_ERR_UPLOAD_NOBASE, ERR_INT, false},
                      {SPROTO_ERR_UPLOAD_BASE_CHANGED, ERR_OK, true},
                      {SPROTO_ERR_CONFLICT_MAC_ATTR, ERR_OK, true},
                      {SPROTO_ERR_INTERNAL, ERR_INT, false},
                      {SPROTO_ERR_RESUME_NOTOKEN, ERR_INT, true}};
  // Every first version through the running worker before any held one
  // exists: the rig starts every worker it has.
  for (const Case& row : rows) {
    const std::string rel = "/c" + std::to_string(row.code);
    Put(rel, "first " + rel);
    ASSERT_EQ(ERR_OK, Upload(rel).result) << rel;
  }
  rig_->stopWorkers();
  for (const Case& row : rows) {
    SCOPED_TRACE(row.code);
    const std::string rel = "/c" + std::to_string(row.code);
    const std::string row_before = Row(rel);
    Put(rel, "second version of " + rel);
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    rig_->server().Fault({{"action", "upload"}, {"error", row.code}});
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, rel));
    EXPECT_EQ(row.result, w.RealOperation(ScriptedWorker::kUpload));
    EXPECT_TRUE(w.cached_request.isNull());
    EXPECT_EQ(row.record_kept ? row_before : std::string(), Row(rel));
    // No rename for any of these, and no delta file left behind.
    EXPECT_TRUE(before == TreeSnapshot::Take(rig_->local())) << before.Diff(TreeSnapshot::Take(rig_->local()));
  }
}

// 0x6000 sets the local file aside under a conflict name, bytes unchanged.
TEST_F(UploadSafety, ConflictReplyKeepsBytes) {
  Make();
  Put("/clash.txt", "mine");
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  rig_->server().Fault({{"action", "upload"}, {"error", SPROTO_ERR_CONFLICT}});
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/clash.txt"));
  EXPECT_EQ(ERR_INT, w.RealOperation(ScriptedWorker::kUpload));
  std::vector<std::string> names;
  const TreeSnapshot after = TreeSnapshot::Take(rig_->local());
  for (const auto& [path, entry] : after.entries()) {
    if (path.rfind("/.ZarqelonWorkingDirectory", 0) != 0) names.push_back(path);
  }
  ASSERT_EQ(1u, names.size());
  EXPECT_NE(std::string::npos, names[0].find("_Conflict")) << names[0];
  EXPECT_EQ("mine", Slurp(rig_->local(names[0])));
  ExpectNothingLost(before, after);
}

// A file deleted while the server commits it: the commit stands and a
// local remove follows.
TEST_F(UploadSafety, VanishAfterAccept) {
  Make();
  const std::string full = Put("/v", "soon gone");
  rig_->server().Fault({{"action", "upload"}, {"hold_after_commit_ms", 1500}});
  std::thread remover([&] {
    ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return rig_->server().Get("/v").has_value(); },
                                                    std::chrono::seconds(20)));
    ASSERT_EQ(0, unlink(full.c_str()));
  });
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/v"));
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kUpload));
  remover.join();
  EXPECT_NE("", Row("/v"));
  EXPECT_TRUE(rig_->logged("File removed during upload progress"));
  EXPECT_EQ(1u, EventManager::getInstance()->GetAllPendingEventCount(rig_->entry().sess_id));
}

// A file that grows between its hash and the body's size (a writer that
// created it empty and then filled it) is not sent with a body the request
// does not describe: the attempt is given back, and the next one sends the
// new bytes with their own size and hash.
TEST_F(UploadSafety, GrownAfterItsHashIsHashedAgain) {
  Make();
  for (const size_t before : {size_t{0}, size_t{100}, size_t{1} << 20}) {
    SCOPED_TRACE(before);
    const std::string rel = "/grown" + std::to_string(before);
    const std::string full = Put(rel, deltatest::RandomBytes(before, 11));
    const std::string after = deltatest::RandomBytes(before + 19, 12);
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, rel));
    bool grown = false;
    w.SetOnUploadHashed([&](ScriptedWorker&) {
      if (grown) return;
      grown = true;
      Spill(full, after);
    });
    EXPECT_EQ(ERR_INT, w.RealOperation(ScriptedWorker::kUpload));
    EXPECT_TRUE(grown);
    EXPECT_FALSE(rig_->server().Get(rel).has_value());
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kUpload));
    ExpectStored(rel);
    w.SetOnUploadHashed(nullptr);
  }
  EXPECT_TRUE(rig_->logged("is modified while preparing upload (size)"));
}

// A cut resumable upload whose file then changes size: the cache goes and
// the server ends with the new bytes, never a mix.
TEST_F(UploadSafety, ChangedBetweenAttempts) {
  Make();
  const std::string full = Put("/two", deltatest::RandomBytes(2 << 20, 9));
  rig_->server().Fault({{"action", "resume_upload"}, {"close", "recv_bytes"}, {"bytes", 1 << 20}});
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/two"));
  EXPECT_NE(ERR_OK, w.RealOperation(ScriptedWorker::kUpload));
  EXPECT_FALSE(w.cached_request.isNull());
  Put("/two", deltatest::RandomBytes((2 << 20) + 4096, 10));
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kUpload));
  EXPECT_TRUE(rig_->logged("just clear cache"));
  ExpectStored("/two");
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

// A kill between the record's write and the signature's move leaves the
// record of one version beside the signature of another. The next edit's
// delta is built on the wrong base and refused (0x9000); the refusal drops
// the signature, so the retry goes whole instead of being refused for ever.
TEST_F(UploadSafety, DeltaOnForeignSignatureRefusedThenWhole) {
  Make();
  const std::string mine = deltatest::RandomBytes(300000, 11);
  std::string other = deltatest::RandomBytes(300000, 12);
  Put("/a", mine);
  Put("/b", other);
  for (const char* rel : {"/a", "/b"}) ASSERT_EQ(ERR_OK, Upload(rel).result) << rel;
  DBFileInfo a;
  DBFileInfo b;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/a", a));
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/b", b));
  Spill(a.signaturePath.c_str_utf8(), Slurp(b.signaturePath.c_str_utf8()));

  // Built on the foreign signature, the delta copies blocks the server's
  // version of /a does not hold.
  other[5000] ^= 0x5a;
  const time_t recorded = Mtime(rig_->local("/a"));
  Put("/a", other);
  SetMtime(rig_->local("/a"), recorded + 60);  // same size: only a new time sends it
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  rig_->server().ExpectViolation("upload of /a: content has size");
  EXPECT_EQ(ERR_INT, Upload("/a").result);
  EXPECT_TRUE(rig_->logged("had a delta refused"));
  EXPECT_EQ(ERR_OK, Upload("/a").result);

  const auto uploads = Uploads();
  ASSERT_EQ(4u, uploads.size());
  EXPECT_TRUE(Flag(uploads[2]["file"], "is_delta")) << uploads[2];
  EXPECT_FALSE(Flag(uploads[3]["file"], "is_delta")) << uploads[3];
  EXPECT_FALSE(Flag(uploads[3]["file"], "refer")) << uploads[3];
  ExpectStored("/a");
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

}  // namespace
