// The worker's server requests against the storage-server stand-in: its
// handshake, resumable uploads and downloads, the resume cache, and the
// faults a peer can cause (a cut body, a bogus offset, a forgotten token,
// keep-alives).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "delta/simple_file_reader.h"
#include "protocol/proto_common.h"
#include "server/connection_manager.h"
#include "support/command.h"
#include "support/pki.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "transport/channel.h"
#include "transport/error_code.h"
#include "session/event_manager.h"
#include "worker/worker_error.h"

namespace {

using nlohmann::json;
using testsupport::ScriptedWorker;
using testsupport::TreeSnapshot;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

constexpr uint64_t kBig = 600 * 1024;

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// A boolean member of a journaled request (booleans travel as integers).
bool Flag(const json& obj, const char* key) {
  if (!obj.contains(key)) return false;
  const json& v = obj[key];
  return v.is_boolean() ? v.get<bool>() : v.get<int64_t>() != 0;
}

// MD4 as the openssl tool computes it (plain -md4 needs the legacy provider).
std::string OpensslMd4(const std::string& path) {
  const auto r = testsupport::RunCommand(
      {"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r", path});
  EXPECT_EQ(0, r.exit_code) << r.err;
  return r.out.substr(0, r.out.find(' '));
}

class WorkerRequests : public testsupport::TempDirTest {
 protected:
  void Make(bool tls = false, uint32_t reply_timeout = 90) {
    WorkerRig::Options options;
    options.server = true;
    options.tls = tls;
    options.timing.worker_reply_timeout = std::chrono::seconds(reply_timeout);
    options.log_levels = "worker_debug=7\nevent_mgr_debug=7\nsyncer_debug=7\n";
    // A fresh folder per rig: a test may build several in turn.
    rig_.reset();
    const std::string root = Path("r" + std::to_string(++rigs_));
    EXPECT_EQ(0, mkdir(root.c_str(), 0700));
    rig_ = std::make_unique<WorkerRig>(root, options);
  }
  void TearDown() override { rig_.reset(); }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  static void Spill(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  // A file of the session with `bytes`.
  std::string Put(const std::string& rel, const std::string& bytes) {
    const std::string full = rig_->local(rel);
    const size_t slash = full.rfind('/');
    mkdir(full.substr(0, slash).c_str(), 0700);
    Spill(full, bytes);
    return full;
  }

  // The whole-file upload of `rel` as the upload layer builds it: a body
  // naming the file itself.
  PObject WholeFileUpload(ScriptedWorker& w, const std::string& rel, bool resumable) {
    const std::string full = rig_->local(rel);
    ustring md4;
    SimpleFileReader reader;
    reader.setFile(full.c_str());
    reader.setHashString(md4);
    EXPECT_EQ(0, reader.readFile());
    struct stat st;
    EXPECT_EQ(0, stat(full.c_str(), &st));
    PObject q;
    InitRequest(q, resumable ? "resume_upload" : "upload");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["path"] = rel.c_str();
    q["is_dir"] = false;
    q["file"]["size"] = static_cast<unsigned long long>(st.st_size);
    q["file"]["hash"] = md4;
    q["file"]["refer"] = false;
    q["file"]["is_delta"] = false;
    PObject::binary_type& body = q["file"]["data"].asBinary();
    body.path = full.c_str();
    body.offset = 0;
    body.length = static_cast<uint64_t>(st.st_size);
    q["mtime"]["refer"] = false;
    q["mtime"]["mtime"] = static_cast<unsigned int>(st.st_mtime);
    (void)w;
    return q;
  }

  PObject ResumableDownload(const std::string& rel, uint64_t offset) {
    PObject q;
    InitRequest(q, "resume_download");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 0ull;
    q["max_id"] = 0ull;
    q["target_sync_id"] = static_cast<unsigned long long>(rig_->server().Head());
    q["path"] = rel.c_str();
    q["file"]["offset"] = static_cast<unsigned long long>(offset);
    q["mtime"]["offset"] = 0ull;
    q["force_current_version"] = false;
    return q;
  }

  // Body bytes the stand-in received with each request of `action`.
  std::vector<uint64_t> BodyBytes(const std::string& action) {
    std::vector<uint64_t> out;
    for (const json& e : rig_->requests()) {
      if (e.value("action", "") != action) continue;
      const json& file = e["request"].value("file", json::object());
      out.push_back(file.contains("data") ? file["data"].value("binary", uint64_t{0}) : 0);
    }
    return out;
  }
  size_t Count(const std::string& action) {
    size_t n = 0;
    for (const std::string& a : rig_->actions()) n += a == action ? 1 : 0;
    return n;
  }

  int rigs_ = 0;
  std::unique_ptr<WorkerRig> rig_;
};

// ---- Handshakes ----

TEST_F(WorkerRequests, PlainHandshakeCarriesNoDoSsl) {
  Make(false);
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_REMOVE, "/gone.txt"));
  PObject q;
  InitRequest(q, "remove");
  q["session"] = "token-of-the-session";
  q["view_id"] = 11ull;
  q["sync_id"] = 5ull;
  q["max_id"] = 5ull;
  q["path"] = "/gone.txt";
  PObject reply;
  EXPECT_EQ(ERR_OK, w.ProtoRemove(q, reply));
  EXPECT_EQ(SPROTO_ERR_REMOVE_NOFILE, reply["error"]["code"].asUInt32());
  const auto reqs = rig_->requests();
  ASSERT_EQ(2u, reqs.size());
  EXPECT_EQ("connect", reqs[0]["action"]);
  EXPECT_FALSE(reqs[0]["request"].contains("do_ssl"));
  EXPECT_EQ(11u, reqs[0]["request"]["view_id"]);
  EXPECT_EQ("token-of-the-session", reqs[0]["request"]["session"]);
  EXPECT_EQ(15, reqs[1]["command"]);
  for (const json& r : reqs) {
    EXPECT_FALSE(Flag(r, "tls"));
  }
  EXPECT_EQ(0u, rig_->server().Counters().value("tls_handshakes", uint64_t{1}));
}

TEST_F(WorkerRequests, TlsHandshakeConnectsPlainThenEncrypts) {
  Make(true);
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_REMOVE, "/gone.txt"));
  PObject q;
  InitRequest(q, "remove");
  q["session"] = "token-of-the-session";
  q["view_id"] = 11ull;
  q["sync_id"] = 5ull;
  q["max_id"] = 5ull;
  q["path"] = "/gone.txt";
  PObject reply;
  EXPECT_EQ(ERR_OK, w.ProtoRemove(q, reply));
  const auto reqs = rig_->requests();
  ASSERT_EQ(2u, reqs.size());
  EXPECT_EQ("connect", reqs[0]["action"]);
  EXPECT_TRUE(Flag(reqs[0]["request"], "do_ssl"));
  EXPECT_FALSE(Flag(reqs[0], "tls"));
  EXPECT_EQ("remove", reqs[1]["action"]);
  EXPECT_TRUE(Flag(reqs[1], "tls"));
  EXPECT_TRUE(rig_->logged("request ssl channel"));
}

TEST_F(WorkerRequests, HandshakeRefusalsAndCertificates) {
  struct Case {
    const char* name;
    const char* ca;
    bool allow_untrust;
    json fault;  // on "connect", or null
    ErrorCode expected;
    bool tls_attempted;
  } cases[] = {
      {"alive 0 is refused before TLS", "ca.pem", false, {{"action", "connect"}, {"alive", 0}}, ERR_IO, false},
      {"a foreign CA", "ca2.pem", false, nullptr, ERR_SSL_VERIFY_FAIL, true},
      {"untrusted allowed", "ca2.pem", true, nullptr, ERR_OK, true},
      {"connect refused with 0x2001", "ca.pem", false, {{"action", "connect"}, {"error", 0x2001}}, ERR_AUTH, false},
      {"connect refused with 0x7000", "ca.pem", false, {{"action", "connect"}, {"error", 0x7000}}, ERR_INT, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(true);
    if (!c.fault.is_null()) rig_->server().Fault(c.fault);
    Channel::SetVerifyCAPath(testsupport::PkiPath(c.ca).c_str());
    ConnectionInfo info = WorkerRig::DefaultConnection();
    info.conn_id = 3;
    info.server_port = rig_->server().port();
    info.use_ssl = true;
    info.ssl_allow_untrust = c.allow_untrust;
    info.session = "token-of-the-session";
    ASSERT_EQ(0, ConnectionManager::getInstance()->reload(info, nullptr, nullptr));
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_REMOVE, "/gone.txt"));
    PObject q;
    InitRequest(q, "remove");
    q["session"] = "token-of-the-session";
    q["view_id"] = 11ull;
    q["sync_id"] = 5ull;
    q["max_id"] = 5ull;
    q["path"] = "/gone.txt";
    PObject reply;
    EXPECT_EQ(c.expected, w.ProtoRemove(q, reply));
    const json counters = rig_->server().Counters();
    EXPECT_EQ(c.expected == ERR_OK ? 1u : 0u, counters["requests"].value("remove", uint64_t{0}));
    // The stand-in journals a failed handshake, then the connection's close,
    // on its own thread, possibly after the worker has given up: read the
    // journal once it shows the handshake's outcome or the close.
    bool tls_attempted = false;
    std::string seen;
    const bool decided = testsupport::ServerStandIn::WaitFor(
        [&] {
          tls_attempted = false;
          seen.clear();
          bool closed = false;
          for (const json& e : rig_->server().Journal()) {
            const std::string ev = e.value("event", "");
            seen += ev + " ";
            tls_attempted = tls_attempted || ev == "tls" || ev == "tls_failed";
            closed = closed || ev == "close";
          }
          return tls_attempted || closed;
        },
        10s);
    EXPECT_TRUE(decided) << "journal: " << seen;
    EXPECT_EQ(c.tls_attempted, tls_attempted) << "journal: " << seen;
    if (c.expected != ERR_OK) {
      EXPECT_TRUE(rig_->logged("Failed to establish communication channel"));
    }
    // Nothing but "connect" ever travels in plain text.
    for (const json& r : rig_->requests()) {
      if (r["action"] != "connect") {
        EXPECT_TRUE(Flag(r, "tls"));
      }
    }
  }
}

TEST_F(WorkerRequests, UnhandledCodeNeverDone) {
  Make();
  ScriptedWorker* w_ = &rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/f.txt"));
  // Every class, with the syncers' exact codes first; a failure the worker
  // has no code for gives ERR_INT, never 0.
  struct Row {
    uint32_t code;
    ErrorCode expected;
  } rows[] = {
      {SPROTO_ERR_OK, ERR_OK},  // no failure
      {SPROTO_ERR_ERR, ERR_INT},
      {SPROTO_ERR_UPGRADE, ERR_INT},
      {SPROTO_ERR_USER, ERR_AUTH},
      {SPROTO_ERR_USER_PASSWD, ERR_AUTH},
      {SPROTO_ERR_SESSION_MISS, ERR_AUTH},
      {SPROTO_ERR_VIEW, ERR_VIEW},
      {SPROTO_ERR_INVALID_VIEW_ID, ERR_VIEW},
      {SPROTO_ERR_ACCESS_DENY, ERR_PERMISS},
      {SPROTO_ERR_VIEW_INVALID_PATH, ERR_VIEW_PATH},
      {SPROTO_ERR_READ_ONLY, ERR_PERMISS_READ_ONLY},
      {SPROTO_ERR_SYSTEM, ERR_INT},
      {SPROTO_ERR_QUOTA, ERR_QUOTA},
      {SPROTO_ERR_DISKFULL, ERR_DISKFULL},
      {0x4003, ERR_INT},
      {SPROTO_ERR_VERSION_TOO_LOW, ERR_VERSION},
      {SPROTO_ERR_CONFLICT, ERR_INT},
      {SPROTO_ERR_CONFLICT_MAC_ATTR, ERR_INT},
      {SPROTO_ERR_INTERNAL, ERR_INT},
      {0x7003, ERR_INT},
      {SPROTO_ERR_DOWNLOAD_NOFILE, ERR_INT},
      {SPROTO_ERR_UPLOAD_NOBASE, ERR_INT},
      {SPROTO_ERR_REMOVE_MODIFIED, ERR_INT},
      {SPROTO_ERR_RESUME, ERR_INT},
      {SPROTO_ERR_RESUME_NOTOKEN, ERR_INT},
      {0xC000, ERR_INT},
      {0xFFFF, ERR_INT},
      {0x10000, ERR_INT},
      {0x17000, ERR_INT},  // class -1, not 7
      {0xFFFFFFFF, ERR_INT},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.expected, w_->ProtoResp2ErrorCode(row.code)) << std::hex << row.code;
  }
  EXPECT_TRUE(rig_->logged("server error: 28672"));
  EXPECT_TRUE(rig_->logged("unhandled error code: 65536"));
  EXPECT_FALSE(rig_->logged("invalid path in view"));

  // Through the loop: the server answers a remove with 0x7000; the mapped
  // code gives the event back to the queue, and its record stays as it was.
  DBFileInfo rec;
  rec.path = "/s.txt";
  rec.syncID = 5;
  rec.fileSize = 3;
  rec.fileCheckSum = "old";
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  rig_->server().Fault({{"action", "remove"}, {"error", 0x7000}, {"count", -1}});
  WorkerRig::Outcome outcome;
  {
    // runOne drives the rig's first worker, `w_`.
    ScriptedWorker& first = *w_;
    first.SetScript(ScriptedWorker::kRemoveLocal, [](ScriptedWorker& self) {
      PObject q;
      InitRequest(q, "remove");
      q["session"] = "token-of-the-session";
      q["view_id"] = 11ull;
      q["sync_id"] = 5ull;
      q["max_id"] = 5ull;
      q["path"] = "/s.txt";
      PObject reply;
      const ErrorCode rc = self.ProtoRemove(q, reply);
      if (rc != ERR_OK) return rc;
      return reply.hasMember("error") ? self.ProtoResp2ErrorCode(reply["error"]["code"].asUInt32()) : ERR_OK;
    });
    first.context.clear();
    outcome = rig_->runOne(rig_->serverEvent(Event::EV_REMOVE, "/s.txt", (1ull << 32) + 10));
  }
  rig_->stopWorkers();
  EXPECT_EQ(ERR_INT, outcome.result);
  EXPECT_EQ(WorkerAction::kReturnEvent, outcome.action);
  EXPECT_EQ(1u, EventManager::getInstance()->GetAllPendingEventCount(7));
  DBFileInfo after;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/s.txt", after));
  EXPECT_EQ(5u, after.syncID);
  EXPECT_EQ(ustring("old"), after.fileCheckSum);
  EXPECT_GE(Count("remove"), 1u);
}

TEST_F(WorkerRequests, RigPullQueuesTheServersChanges) {
  Make();
  const uint64_t v = rig_->server().Put("/p.txt", "pulled");
  ASSERT_GT(v, 1ull << 32);
  ASSERT_EQ(ERR_OK, rig_->pullServer());
  EXPECT_EQ(1u, EventManager::getInstance()->GetPendingServerEvent(7));
  uint64_t stored = 0;
  ASSERT_EQ(0, rig_->eventDb().getSyncId(stored));
  EXPECT_EQ(v, stored);
  ASSERT_EQ(ERR_OK, rig_->pullServer());  // nothing newer
  EXPECT_EQ(1u, EventManager::getInstance()->GetPendingServerEvent(7));
}

// ---- Uploads ----

TEST_F(WorkerRequests, ResumableUploadTakesTokenDryRunThenBody) {
  Make();
  const std::string bytes = Pattern(kBig, 1);
  Put("/big.bin", bytes);
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/big.bin"));
  PObject q = WholeFileUpload(w, "/big.bin", true);
  PObject reply;
  ASSERT_EQ(ERR_OK, w.ProtoUpload(true, q, reply));
  EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
  EXPECT_EQ((std::vector<std::string>{"connect", "resume_get_token", "upload", "resume_upload"}), rig_->actions());
  const auto reqs = rig_->requests();
  EXPECT_TRUE(Flag(reqs[2]["request"], "dry_run"));
  EXPECT_FALSE(reqs[2]["request"]["file"].contains("data"));
  EXPECT_EQ((std::vector<uint64_t>{kBig}), BodyBytes("resume_upload"));
  EXPECT_EQ(q["_resume_token"].asString(), w.cached_request["_resume_token"].asString());
  const auto stored = rig_->server().Get("/big.bin");
  ASSERT_TRUE(stored);
  EXPECT_EQ(OpensslMd4(rig_->local("/big.bin")), stored->md4);
  EXPECT_GT(reply["sync_id"].asUInt64(), 1ull << 32);
  testsupport::ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());

  // The same content at another path: the dry run names the server's copy,
  // and the upload goes as a reference without a body.
  Put("/copy.bin", bytes);
  ScriptedWorker& w2 = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/copy.bin"));
  PObject q2 = WholeFileUpload(w2, "/copy.bin", true);
  PObject reply2;
  ASSERT_EQ(ERR_OK, w2.ProtoUpload(true, q2, reply2));
  EXPECT_TRUE(q2["file"]["refer"].asBool());
  EXPECT_NE(0u, q2["file"]["file_id"].asUInt64());
  EXPECT_EQ((std::vector<uint64_t>{kBig, 0}), BodyBytes("resume_upload"));
  EXPECT_TRUE(rig_->logged("Server side has same file hash"));
  ASSERT_TRUE(rig_->server().Get("/copy.bin"));
}

TEST_F(WorkerRequests, CutUploadResumesFromTheServersOffset) {
  for (uint64_t cut : {uint64_t{1}, uint64_t{81920}, kBig - 1}) {
    SCOPED_TRACE(cut);
    Make();
    Put("/big.bin", Pattern(kBig, 2));
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/big.bin"));
    rig_->server().Fault({{"action", "resume_upload"}, {"close", "recv_bytes"}, {"bytes", cut}});
    PObject q = WholeFileUpload(w, "/big.bin", true);
    w.cached_request = q;
    PObject reply;
    EXPECT_EQ(ERR_IO, w.ProtoUpload(true, q, reply));
    // The connection broke: the cache and its token stay for the retry.
    ASSERT_TRUE(w.cached_request.hasMember("_resume_token"));
    PObject retry = w.cached_request;
    PObject reply2;
    ASSERT_EQ(ERR_OK, w.ProtoUpload(true, retry, reply2));
    EXPECT_FALSE(reply2.hasMember("error")) << reply2.toString().c_str_utf8();
    EXPECT_EQ(1u, Count("resume_get_token"));
    EXPECT_EQ(1u, Count("resume_get_status"));
    // The cut request is not journaled (it never ended); the retry sent
    // only what the server lacked.
    const auto bodies = BodyBytes("resume_upload");
    ASSERT_FALSE(bodies.empty());
    const uint64_t offset = retry["file"]["data"].asBinary().offset;
    EXPECT_GE(offset, 1u);
    EXPECT_LE(offset, cut);
    EXPECT_EQ(kBig - offset, bodies.back());
    const auto stored = rig_->server().Get("/big.bin");
    ASSERT_TRUE(stored);
    const auto cmp = testsupport::RunCommand({"cmp", stored->content_path, rig_->local("/big.bin")});
    EXPECT_EQ(0, cmp.exit_code) << cmp.out;
    EXPECT_EQ(OpensslMd4(rig_->local("/big.bin")), stored->md4);
  }
}

TEST_F(WorkerRequests, ResumeOffsetBeyondBody) {
  for (uint64_t bogus : {kBig + 1, ~uint64_t{0}}) {
    SCOPED_TRACE(bogus);
    Make();
    const std::string bytes = Pattern(kBig, 3);
    Put("/big.bin", bytes);
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/big.bin"));
    rig_->server().Fault({{"action", "resume_upload"}, {"close", "recv_bytes"}, {"bytes", 5000}});
    rig_->server().Fault({{"action", "resume_get_status"}, {"status_offset", bogus}});
    PObject q = WholeFileUpload(w, "/big.bin", true);
    w.cached_request = q;
    PObject reply;
    EXPECT_EQ(ERR_IO, w.ProtoUpload(true, q, reply));
    PObject retry = w.cached_request;
    PObject reply2;
    // The offset cannot be right: the cache goes, nothing is sent.
    EXPECT_EQ(ERR_INT, w.ProtoUpload(true, retry, reply2));
    EXPECT_TRUE(w.cached_request.isNull());
    EXPECT_TRUE(rig_->logged("is beyond the body's"));
    EXPECT_EQ(0u, Count("resume_upload"));  // nothing went out after the status
    // The next attempt starts afresh with a new token and ends with the
    // file's exact bytes.
    PObject fresh = WholeFileUpload(w, "/big.bin", true);
    PObject reply3;
    ASSERT_EQ(ERR_OK, w.ProtoUpload(true, fresh, reply3));
    EXPECT_FALSE(reply3.hasMember("error")) << reply3.toString().c_str_utf8();
    EXPECT_EQ(2u, Count("resume_get_token"));
    const auto stored = rig_->server().Get("/big.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(Slurp(stored->content_path) == bytes) << "the stored bytes differ";
  }
}

TEST_F(WorkerRequests, ForgottenTokenRestarts) {
  Make();
  Put("/big.bin", Pattern(kBig, 4));
  ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/big.bin"));
  rig_->server().Fault({{"action", "resume_upload"}, {"close", "recv_bytes"}, {"bytes", 100000}});
  PObject q = WholeFileUpload(w, "/big.bin", true);
  w.cached_request = q;
  PObject reply;
  EXPECT_EQ(ERR_IO, w.ProtoUpload(true, q, reply));
  rig_->server().ForgetTokens();
  PObject retry = w.cached_request;
  PObject reply2;
  ASSERT_EQ(ERR_OK, w.ProtoUpload(true, retry, reply2));
  // 0xB001 comes back as the reply; the caller maps it and starts over.
  ASSERT_TRUE(reply2.hasMember("error"));
  EXPECT_EQ(SPROTO_ERR_RESUME_NOTOKEN, reply2["error"]["code"].asUInt32());
  EXPECT_EQ(ERR_INT, w.ProtoResp2ErrorCode(reply2["error"]["code"].asUInt32()));
  w.ClearCache();
  PObject fresh = WholeFileUpload(w, "/big.bin", true);
  PObject reply3;
  ASSERT_EQ(ERR_OK, w.ProtoUpload(true, fresh, reply3));
  EXPECT_FALSE(reply3.hasMember("error"));
  EXPECT_EQ(2u, Count("resume_get_token"));
  EXPECT_EQ(OpensslMd4(rig_->local("/big.bin")), rig_->server().Get("/big.bin")->md4);
}

TEST_F(WorkerRequests, SiblingOfWorkingFolderSurvives) {
  Make();
  ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  for (const char* rel : {"/.ZarqelonWorkingDirectory2/x", "/.ZarqelonWorkingDirectory.old/x"}) {
    SCOPED_TRACE(rel);
    const std::string bytes = Pattern(5000, 5);
    Put(rel, bytes);
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    ScriptedWorker& w = rig_->holding(rig_->localEvent(Event::EV_MODIFY, rel));
    PObject q = WholeFileUpload(w, rel, false);
    PObject reply;
    ASSERT_EQ(ERR_OK, w.ProtoUpload(false, q, reply));
    EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
    // The upload layer clears its request and the cache after a whole-file
    // upload: the user's file is not the worker's to delete.
    w.ClearPObject(q);
    w.cached_request = WholeFileUpload(w, rel, false);
    w.ClearCache();
    EXPECT_TRUE(Slurp(rig_->local(rel)) == bytes);
    ASSERT_TRUE(rig_->server().Get(rel));
    testsupport::ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), {});
  }
}

// ---- Downloads ----

TEST_F(WorkerRequests, KeepAliveThenResume) {
  Make();
  const std::string bytes = Pattern(kBig, 6);
  ASSERT_NE(0u, rig_->server().Put("/dl.bin", bytes));
  ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_MODIFY, "/dl.bin", rig_->server().Head()));
  // The body is cut after 200,000 bytes; the retry is answered after three
  // keep-alives by a reply without "type".
  rig_->server().Fault({{"action", "resume_download"}, {"close", "send_bytes"}, {"bytes", 200000}});
  rig_->server().Fault({{"action", "resume_download"}, {"nth", 2}, {"keep_alives", 3}});
  PObject q = ResumableDownload("/dl.bin", 0);
  PObject reply;
  EXPECT_EQ(ERR_IO, w.ProtoDownload(true, q, reply));
  const PObject::binary_type part = reply["file"]["data"].asBinary();
  ASSERT_FALSE(part.path.empty());
  EXPECT_GT(part.length, 0u);
  EXPECT_LE(part.length, 200000u);
  EXPECT_EQ(0, part.path.compare(w.context.working_directory, w.context.working_directory.length()));

  // The retry asks for the rest and appends to the partial file.
  w.cached_response = reply;
  PObject retry = q;
  retry["file"]["offset"] = static_cast<unsigned long long>(part.length);
  PObject target;
  target["file"]["data"] = part;
  ASSERT_EQ(ERR_OK, w.ProtoDownload(true, retry, target));
  EXPECT_FALSE(target.hasMember("type"));
  EXPECT_TRUE(rig_->logged("get keepalive message"));
  const PObject::binary_type& whole = target["file"]["data"].asBinary();
  EXPECT_EQ(part.path, whole.path);
  EXPECT_EQ(kBig, whole.length);
  EXPECT_TRUE(Slurp(whole.path.c_str_utf8()) == bytes) << "the downloaded bytes differ";
  EXPECT_EQ(1u, Count("resume_get_token"));
}

TEST_F(WorkerRequests, AbortWhilePausedKeepsTheCacheRunningDropsIt) {
  for (bool paused : {true, false}) {
    SCOPED_TRACE(paused);
    Make();
    ASSERT_NE(0u, rig_->server().Put("/dl.bin", Pattern(kBig, 7)));
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
    Spill(rig_->local("/.ZarqelonWorkingDirectory/partial"), "kept part");
    ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_MODIFY, "/dl.bin", rig_->server().Head()));
    w.cached_response["file"]["data"].asBinary().path = rig_->local("/.ZarqelonWorkingDirectory/partial").c_str();
    rig_->server().Fault({{"action", "resume_download"}, {"delay_ms", 5000}});
    w.SetState(paused ? Task::PAUSE : Task::RUN);
    std::thread aborter([&w] {
      std::this_thread::sleep_for(500ms);
      w.SetAbort(true);
    });
    PObject q = ResumableDownload("/dl.bin", 0);
    PObject reply;
    const auto start = std::chrono::steady_clock::now();
    const ErrorCode rc = w.ProtoDownload(true, q, reply);
    aborter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(paused ? ERR_CH_CONNECTION_ABORT : ERR_INT, rc);
    EXPECT_EQ(1, w.AbortFlag()) << "the abort stays raised until the loop takes it";
    EXPECT_EQ(paused, access(rig_->local("/.ZarqelonWorkingDirectory/partial").c_str(), F_OK) == 0);
    w.SetState(Task::STOP);
  }
}

}  // namespace
