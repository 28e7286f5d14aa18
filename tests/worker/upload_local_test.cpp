// Uploads of local changes against the storage-server stand-in: what travels
// (nothing, a reference, a delta, the whole file, resumably above 512 KiB),
// what is stored (the server's bytes, the hash, the signature, the row), and
// names the server cannot hold.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "protocol/proto_common.h"
#include "transport/error_code.h"
#include "upload_fixture.h"
#include "worker/worker_error.h"

namespace {

using namespace uploadtest;

constexpr uint64_t kLimit = 524288;

// Bytes this process has read so far (/proc/self/io "rchar").
uint64_t ReadChars() {
  std::ifstream in("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (in >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

class UploadTable : public UploadTest {};

// The size limit of the one-request road: at it one "upload", above it the
// resumable exchanges; both stored exactly.
TEST_F(UploadTable, NewFilesAtAndAboveTheLimit) {
  Make();
  Put("/at", deltatest::RandomBytes(kLimit, 1));
  Put("/above", deltatest::RandomBytes(kLimit + 1, 2));
  EXPECT_EQ(ERR_OK, Upload("/at").result);
  EXPECT_EQ(ERR_OK, Upload("/above").result);
  const auto uploads = Uploads();
  ASSERT_EQ(2u, uploads.size());
  EXPECT_EQ("/at", uploads[0]["path"]);
  EXPECT_EQ("/above", uploads[1]["path"]);
  std::vector<std::string> actions = rig_->actions();
  EXPECT_EQ(1, std::count(actions.begin(), actions.end(), "resume_get_token"));
  EXPECT_EQ(1, std::count(actions.begin(), actions.end(), "resume_upload"));
  for (const json& q : uploads) {
    EXPECT_FALSE(Flag(q["file"], "refer"));
    EXPECT_FALSE(Flag(q["file"], "is_delta"));
    EXPECT_FALSE(Flag(q["mtime"], "refer"));
  }
  ExpectStored("/at");
  ExpectStored("/above");
  // The resumable request's signature went into the record, nothing stays
  // in the signature folder besides the records' own.
  EXPECT_TRUE(worker_->cached_request.isNull());
}

// A known file goes as a delta; with a recorded size of 0 or without its
// signature it goes whole. The stand-in applies deltas with rdiff and
// refuses a result whose size or MD4 differs.
TEST_F(UploadTable, DeltaOrWholeForKnownFiles) {
  Make();
  std::string bytes = deltatest::RandomBytes(300000, 3);
  Put("/d", bytes);
  Put("/zero", "");
  Put("/nosig", bytes);
  for (const char* rel : {"/d", "/zero", "/nosig"}) ASSERT_EQ(ERR_OK, Upload(rel).result) << rel;

  bytes[1000] ^= 0x55;
  bytes += "tail";
  Put("/d", bytes);
  Put("/zero", "now something");
  Put("/nosig", bytes);
  DBFileInfo record;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/nosig", record));
  ASSERT_EQ(0, unlink(record.signaturePath.c_str_utf8()));
  for (const char* rel : {"/d", "/zero", "/nosig"}) ASSERT_EQ(ERR_OK, Upload(rel).result) << rel;

  const auto uploads = Uploads();
  ASSERT_EQ(6u, uploads.size());
  EXPECT_TRUE(Flag(uploads[3]["file"], "is_delta")) << uploads[3];
  EXPECT_LT(uploads[3]["file"]["data"]["binary"].get<uint64_t>(), 20000u);
  EXPECT_FALSE(Flag(uploads[4]["file"], "is_delta"));
  EXPECT_FALSE(Flag(uploads[5]["file"], "is_delta"));
  for (const char* rel : {"/d", "/zero", "/nosig"}) ExpectStored(rel);
  // The delta file lived in the working folder and is gone with the request.
  const auto left = testsupport::RunCommand({"find", rig_->local("/.ZarqelonWorkingDirectory"), "-type", "f"});
  EXPECT_EQ("", left.out);
}

// A touch without change sends nothing and sets the time back; same size
// and time: the file is not even read, unless its extension is on the
// force-hash-check list.
TEST_F(UploadTable, UnchangedContentSendsNothing) {
  WorkerRig::Options options;
  options.force_hash_list = "[File]\nforce_hash_ext = \"chk\"\n";
  Make(options);
  const std::string bytes = deltatest::RandomBytes(4 << 20, 4);
  Put("/t", bytes);
  Put("/same", bytes);
  Put("/forced.chk", bytes);
  for (const char* rel : {"/t", "/same", "/forced.chk"}) ASSERT_EQ(ERR_OK, Upload(rel).result) << rel;
  const time_t recorded = Mtime(rig_->local("/t"));
  const size_t sent = Uploads().size();

  SetMtime(rig_->local("/t"), recorded + 100);
  EXPECT_EQ(ERR_OK, Upload("/t").result);
  EXPECT_EQ(recorded, Mtime(rig_->local("/t")));

  uint64_t before = ReadChars();
  EXPECT_EQ(ERR_OK, Upload("/same").result);
  EXPECT_LT(ReadChars() - before, bytes.size());
  before = ReadChars();
  EXPECT_EQ(ERR_OK, Upload("/forced.chk").result);
  EXPECT_GE(ReadChars() - before, bytes.size());

  EXPECT_EQ(sent, Uploads().size());
  for (const char* rel : {"/t", "/same", "/forced.chk"}) ExpectStored(rel);
}

// Folders: a new one goes as "is_dir" without "file"; a known one whose
// time changed sends nothing and gets its recorded time back.
TEST_F(UploadTable, Folders) {
  Make();
  ASSERT_EQ(0, mkdir(rig_->local("/dir").c_str(), 0700));
  ASSERT_EQ(ERR_OK, Upload("/dir", true).result);
  auto uploads = Uploads();
  ASSERT_EQ(1u, uploads.size());
  EXPECT_TRUE(Flag(uploads[0], "is_dir"));
  EXPECT_FALSE(uploads[0].contains("file"));
  const auto object = rig_->server().Get("/dir");
  ASSERT_TRUE(object.has_value());
  EXPECT_TRUE(object->is_dir);
  const std::string row = Row("/dir");
  EXPECT_EQ("1|" + std::to_string(object->version) + "|", row.substr(0, row.find('|', 2) + 1));

  const time_t recorded = Mtime(rig_->local("/dir"));
  SetMtime(rig_->local("/dir"), recorded + 50);
  ASSERT_EQ(ERR_OK, Upload("/dir", true).result);
  EXPECT_EQ(1u, Uploads().size());
  EXPECT_EQ(recorded, Mtime(rig_->local("/dir")));
}

// The request path: the event path under "/", the remote path followed by
// it otherwise.
TEST_F(UploadTable, RemotePathPrefixesThePath) {
  Make();
  Registry::Entry entry = rig_->entry();
  entry.remote_path = "/r";
  rig_->setEntry(entry);
  Put("/f", "bytes under r");
  ASSERT_EQ(ERR_OK, Upload("/f").result);
  const auto uploads = Uploads();
  ASSERT_EQ(1u, uploads.size());
  EXPECT_EQ("/r/f", uploads[0]["path"]);
  const auto object = rig_->server().Get("/r/f");
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(deltatest::OpensslMd4(rig_->local("/f")), object->md4);
}

// A file that grows while it is read gives ERR_INT and no "file" member;
// an abort during the read gives ERR_SYS.
TEST_F(UploadTable, ChangedOrAbortedDuringTheRead) {
  Make();
  const std::string full = Put("/grow", deltatest::RandomBytes(64 << 20, 5));
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/grow"));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const int fd = open(full.c_str(), O_WRONLY | O_APPEND);
    while (!stop.load()) {
      EXPECT_EQ(1, write(fd, "x", 1));
      usleep(200);
    }
    close(fd);
  });
  PObject request;
  TempFile sign(w.context.sign_directory);
  const ErrorCode rc = w.PrepareFileBlock(request, sign);
  stop.store(true);
  writer.join();
  EXPECT_EQ(ERR_INT, rc);
  EXPECT_FALSE(request.hasMember("file"));

  ScriptedWorker& w2 = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/grow"));
  std::thread aborter([&] {
    usleep(20000);
    w2.abort_flag.store(1);
  });
  PObject request2;
  TempFile sign2(w2.context.sign_directory);
  EXPECT_EQ(ERR_SYS, w2.PrepareFileBlock(request2, sign2));
  aborter.join();
  EXPECT_TRUE(Uploads().empty());
}

// ---- Names the server cannot hold ----

class UploadNames : public UploadTest {};

// Blank at either end: trimmed; "." at the end: a conflict name; the empty
// name has no first or last byte and passes.
TEST_F(UploadNames, Table) {
  Make();
  struct Row {
    std::string name;
    FilterVerdict result;
    bool renamed;
  };
  const FilterVerdict carry = FilterVerdict::CarryOut();
  const FilterVerdict finish = FilterVerdict::Finish();
  const Row rows[] = {{"", carry, false},    {" a", finish, true},   {"a ", finish, true}, {"a.", finish, true},
                      {"a b", carry, false}, {"a.b", carry, false}, {".a", carry, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE("'" + row.name + "'");
    const std::string rel = "/n" + std::to_string(&row - rows);
    ASSERT_EQ(0, mkdir(rig_->local(rel).c_str(), 0700));
    const std::string path = row.name.empty() ? rel : rel + "/" + row.name;
    if (!row.name.empty()) Put(path, "content of " + row.name);
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, path, row.name.empty()));
    EXPECT_EQ(row.result, w.TestBaseNameConflict(row.name.c_str()));
    if (row.name.empty()) continue;
    const auto listing = testsupport::TreeSnapshot::Take(rig_->local(rel)).entries();
    ASSERT_EQ(1u, listing.size());
    const std::string now = listing.begin()->first.substr(1);
    EXPECT_EQ(row.renamed, now != row.name) << now;
    EXPECT_EQ("content of " + row.name, Slurp(rig_->local(rel + "/" + now)));
    if (row.name == " a" || row.name == "a ") {
      EXPECT_EQ("a", now);
    }
    if (row.name == "a.") {
      EXPECT_NE(std::string::npos, now.find("TailCharacterConflict")) << now;
    }
  }
  EXPECT_TRUE(Uploads().empty());
}

// Through UploadLocal: the renamed file's event ends OK with nothing sent.
TEST_F(UploadNames, RenamedNameSendsNothing) {
  Make();
  Put("/x.", "dot");
  EXPECT_EQ(ERR_OK, Upload("/x.").result);
  EXPECT_TRUE(Uploads().empty());
  EXPECT_FALSE(testsupport::RunCommand({"test", "-e", rig_->local("/x.")}).exit_code == 0);
}

}  // namespace
