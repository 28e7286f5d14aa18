// A server that drops a transfer midway, an outage
// of the whole road, refusals until cleared, and a user interface that goes
// away for a while.
#include <unistd.h>

#include "e2e_fixture.h"

namespace e2e {
namespace {

constexpr uint64_t kBig = 20u << 20;
constexpr uint64_t kCut = 7u << 20;

// Events of the journal from `since` on with `event` and `action`.
std::vector<json> Since(SyncBed& bed, uint64_t since, const std::string& event, const std::string& action) {
  std::vector<json> out;
  for (const json& e : bed.server().Journal(since)) {
    if (e.value("event", "") == event && e.value("action", "") == action) out.push_back(e);
  }
  return out;
}

uint64_t JournalEnd(SyncBed& bed) {
  uint64_t next = 0;
  (void)bed.server().Journal(0, &next);
  return next;
}

int RecentCount(SyncBed& bed, const std::string& path) {
  int n = 0;
  for (const PObject& m : bed.Notifications("recent_file")) n += m["path"].asString() == path.c_str() ? 1 : 0;
  return n;
}

// -------------------------------------------------- a transfer dropped midway

struct DropCase {
  const char* name;
  bool upload;        // else a download
  bool delta;         // a 1% edit of a synced file
  const char* close;  // the stand-in's "close" effect
  uint64_t bytes;     // for recv_bytes / send_bytes
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class ServerDrop : public E2eTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(ServerDrop, RightBytesOneVersionOneNotice) {
  const DropCase& c = GetParam();
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  const std::string path = "/big.bin";
  std::string bytes = RandomBytes(kBig, 7);
  if (c.delta) {
    bed.WriteLocal(path, bytes);
    ASSERT_TRUE(bed.WaitConverged());
    bytes = EditPercent(bytes, 1, 8);
  }
  const uint64_t versions_before = bed.server().History(path).size();
  const int notices_before = RecentCount(bed, path);
  const uint64_t since = JournalEnd(bed);
  const uint64_t out_before = bed.server().Counters().value("body_bytes_out", uint64_t{0});
  json rule = {{"action", c.upload ? "resume_upload" : "resume_download"}, {"close", c.close}};
  if (std::string(c.close) != "before_reply") rule["bytes"] = c.bytes;
  ASSERT_NE(0u, bed.server().Fault(rule));
  if (c.upload) {
    // Renamed into place: written in place, the file could be uploaded
    // half-written first, a second version that the cut did not make.
    bed.PlaceLocal(path, bytes);
  } else {
    bed.PutServer(path, bytes);
  }
  ASSERT_TRUE(bed.WaitConverged(120s));
  EXPECT_EQ(testsupport::Sha256Hex(bytes), bed.LocalTree()[path].sha256);
  EXPECT_EQ(1, RecentCount(bed, path) - notices_before);

  EXPECT_FALSE(Since(bed, since, "fault", "").empty()) << "the cut happened";
  if (c.upload) {
    EXPECT_EQ(versions_before + 1, bed.server().History(path).size()) << "one new version";
    // A request cut before its end is not journaled as one.
    const std::vector<json> uploads = Since(bed, since, "request", "resume_upload");
    ASSERT_FALSE(uploads.empty());
    if (std::string(c.close) == "recv_bytes" && c.bytes > 0 && !c.delta) {
      const std::vector<json> status = Since(bed, since, "reply", "resume_get_status");
      ASSERT_FALSE(status.empty()) << "the retry asks how much arrived";
      const uint64_t offset = status.back()["summary"].value("offset", uint64_t{0});
      EXPECT_GT(offset, 0u);
      EXPECT_LE(offset, kCut);
      EXPECT_EQ(kBig - offset, BodyOf(uploads.back()["request"])) << "only the rest is sent";
    }
    if (std::string(c.close) == "before_reply") {
      // Committed before the cut: no second body.
      uint64_t bodies = 0;
      for (const json& u : uploads) bodies += BodyOf(u["request"]);
      EXPECT_EQ(kBig, bodies);
    }
  } else {
    const std::vector<json> downloads = Since(bed, since, "request", "resume_download");
    ASSERT_GE(downloads.size(), 2u) << "a retry after the cut";
    const uint64_t offset = downloads.back()["request"]["file"].value("offset", uint64_t{0});
    if (c.bytes > 0) {
      EXPECT_GT(offset, 0u);
      EXPECT_LE(offset, kCut);
    }
    const uint64_t out = bed.server().Counters().value("body_bytes_out", uint64_t{0}) - out_before;
    EXPECT_LE(out, 21u << 20) << "bodies sent in all";
  }
  bed.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ServerDrop,
    ::testing::Values(DropCase{"UploadAt7MiB", true, false, "recv_bytes", kCut},
                      DropCase{"DownloadAt7MiB", false, false, "send_bytes", kCut},
                      DropCase{"UploadAfterHeader", true, false, "recv_bytes", 0},
                      DropCase{"DownloadAfterHeader", false, false, "send_bytes", 0},
                      DropCase{"UploadBeforeReply", true, false, "before_reply", 0},
                      DropCase{"DeltaUploadMidway", true, true, "recv_bytes", 100000}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return info.param.name; });

// -------------------------------------------------- an outage of the whole road

std::string ConnectionState(SyncBed& bed) {
  const PObject status = bed.Status();
  const PObject& list = status["connection_list"];
  if (!list.isArray() || list.asArray().empty()) return "";
  return list.asArray()[0]["status"].asString().c_str_utf8();
}

// The road drops every connection and refuses new ones until the Syncer
// has failed three rounds on it.
TEST_F(E2eTest, OutageThenConverges) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  bed.WriteLocal("/before.txt", "before the outage");
  ASSERT_TRUE(bed.WaitConverged());
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return ConnectionState(bed) == "connected"; }, 30s));

  bed.counting_relay().StopListening();
  bed.WriteLocal("/during-local.txt", "written during the outage");
  bed.PutServer("/during-server.txt", "put during the outage");
  EXPECT_TRUE(ServerStandIn::WaitFor([&] { return ConnectionState(bed) == "disconnected"; }, 10s));
  const size_t mark = bed.daemon().Stdout().size();
  auto failed_rounds = [&] {
    const std::string out = bed.daemon().Stdout();
    size_t n = 0;
    for (size_t at = out.find("Syncer: HandleError:", mark); at != std::string::npos;
         at = out.find("Syncer: HandleError:", at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_TRUE(ServerStandIn::WaitFor([&] { return failed_rounds() >= 3; }, 60s)) << bed.daemon().Stdout();
  ASSERT_TRUE(bed.counting_relay().ResumeListening());
  EXPECT_TRUE(ServerStandIn::WaitFor([&] { return ConnectionState(bed) == "connected"; }, 60s));
  ASSERT_TRUE(bed.WaitConverged(90s));
  bed.Finish();
}

// -------------------------------------------------- refusals until cleared

// A session rescans its folder once it is first up to date after a pull. A
// server file makes convergence wait for that pull; then the rescan is
// issued and the daemon looks again, so that a test's next upload is not
// met by it.
void SettleFirstRescan(SyncBed& bed) {
  bed.PutServer("/seed.txt", "makes the first pull count");
  ASSERT_TRUE(bed.WaitConverged());
  ASSERT_TRUE(bed.daemon().WaitForOutput("is up-to-date, issue rescan", 60s)) << bed.daemon().Stdout();
  ASSERT_TRUE(bed.WaitDaemonLooked());
  ASSERT_TRUE(bed.WaitConverged());
}

// Session errors as the user interface receives them.
std::vector<PObject> SessionErrors(SyncBed& bed, int64_t code) {
  std::vector<PObject> out;
  for (const PObject& m : bed.Notifications("error")) {
    if (m.hasMember("session_id") && testsupport::UiStandIn::ErrorType(m) == code) out.push_back(m);
  }
  return out;
}

struct RefusalCase {
  const char* name;
  uint32_t code;
  int64_t error;  // the daemon's code in the "error" notice
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class UploadRefused : public E2eTest, public ::testing::WithParamInterface<RefusalCase> {};

// Refused until cleared: a session error, retries at least 2 s apart, and
// convergence once the refusal ends.
//
// One worker (worker_count 2: the task table's four fixed tasks take one of
// its worker_count + 3 places): a worker that hands an event back rests
// 2 s, but an idle second worker would take it up within a second.
TEST_P(UploadRefused, RetriedUntilCleared) {
  SyncBedOptions options = Defaults();
  options.worker_count = 2;
  // Measures the daemon's own 2-s rest after an event given back; the
  // other waits are the rigs' short ones.
  DaemonTiming timing = testsupport::ShortTiming();
  timing.worker_redo_rest = DaemonTiming().worker_redo_rest;
  options.timing = FormatDaemonTiming(timing);
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  SettleFirstRescan(bed);
  const uint64_t since = JournalEnd(bed);
  ASSERT_NE(0u, bed.server().Fault({{"action", "upload"}, {"error", GetParam().code}, {"count", -1}}));
  bed.PlaceLocal("/refused.txt", "refused for a while");
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !SessionErrors(bed, GetParam().error).empty(); }, 60s));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return Since(bed, since, "request", "upload").size() >= 3; }, 60s));
  bed.server().ClearFaults();
  ASSERT_TRUE(bed.WaitConverged());
  const std::vector<json> attempts = Since(bed, since, "request", "upload");
  std::string times;
  for (const json& a : attempts) times += " " + std::to_string(a.value("t", 0.0));
  for (size_t i = 1; i + 1 < attempts.size(); ++i) {
    EXPECT_GE(attempts[i].value("t", 0.0) - attempts[i - 1].value("t", 0.0), 1.9) << "attempt " << i << ":" << times;
  }
  EXPECT_EQ(static_cast<uint64_t>(testsupport::SyncBed::kSessionId),
            SessionErrors(bed, GetParam().error)[0]["session_id"].asUInt64());
  bed.Finish();
}

INSTANTIATE_TEST_SUITE_P(E2e, UploadRefused,
                         ::testing::Values(RefusalCase{"Quota", 0x4001, -15}, RefusalCase{"Space", 0x4002, -16}),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// 0x3004 (a read-only view): one attempt, an error, the local file kept.
TEST_F(E2eTest, ReadOnlyRefusalIsNotRetried) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  SettleFirstRescan(bed);
  const uint64_t since = JournalEnd(bed);
  ASSERT_NE(0u, bed.server().Fault({{"action", "upload"}, {"error", 0x3004}, {"count", -1}}));
  bed.PlaceLocal("/kept.txt", "kept locally");
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return !SessionErrors(bed, -25).empty(); }, 60s));
  ASSERT_TRUE(bed.WaitDaemonLooked(3));  // a retry, if there were one, comes within a turn
  EXPECT_EQ(1u, Since(bed, since, "request", "upload").size());
  EXPECT_EQ(testsupport::Sha256Hex("kept locally"), bed.LocalTree()["/kept.txt"].sha256);
  bed.ExpectNoWritesInPlace();
  bed.ExpectNothingLost();
}

// A refused "connect" (an unknown session): a connection error, nothing
// transferred, and convergence after a reload with the right session.
TEST_F(E2eTest, WrongSessionThenReloaded) {
  SyncBedOptions options = Defaults();
  options.session = "not-a-token";
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  bed.WriteLocal("/waiting.txt", "waits for the right session");
  bed.PutServer("/waiting-too.txt", "so does this one");
  ASSERT_TRUE(bed.ui().waitFor(
      [&](const std::vector<PObject>& msgs) {
        for (const PObject& m : msgs) {
          if (m.hasMember("connection_id") && m.hasMember("notify") &&
              testsupport::UiStandIn::ErrorType(m) == -6) {
            return true;
          }
        }
        return false;
      },
      60s));
  EXPECT_TRUE(bed.JournalOf("request", "upload").empty());
  EXPECT_TRUE(bed.JournalOf("request", "resume_download").empty());
  PObject reload = bed.ConnectionRequest("reload_connection");
  reload["session"] = bed.options().server.tokens.front().c_str();
  const PObject reply = bed.Request(reload);
  EXPECT_FALSE(reply.hasMember("error")) << testsupport::UiStandIn::Describe(reply);
  ASSERT_TRUE(bed.WaitConverged(90s));
  bed.Finish();
}

// A certificate for another name: the handshake completes, the daemon
// checks the name after it and closes without a request; a reload with
// the right name converges.
TEST_F(E2eTest, WrongServerNameThenReloaded) {
  SyncBedOptions options = Defaults();
  options.ssl_server_hostname = "other.test";
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  bed.WriteLocal("/waiting.txt", "waits for the right name");
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return bed.JournalOf("tls").size() >= 2; }, 60s));
  // Two more attempts, each ended by the daemon after its handshake.
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return bed.JournalOf("tls").size() >= 4; }, 60s));
  EXPECT_TRUE(bed.JournalOf("tls_failed").empty());
  // No request on a connection after its handshake ("connect" goes before
  // it, in plain text).
  std::map<uint64_t, uint64_t> handshake_at;  // connection -> seq
  for (const json& e : bed.server().Journal()) {
    const uint64_t conn = e.value("conn", uint64_t{0});
    if (e.value("event", "") == "tls") handshake_at[conn] = e.value("seq", uint64_t{0});
    if (e.value("event", "") == "request" && handshake_at.count(conn) != 0) ADD_FAILURE() << "after TLS: " << e;
  }
  EXPECT_TRUE(bed.server().List("/").empty());

  PObject reload = bed.ConnectionRequest("reload_connection");
  reload["ssl_server_hostname"] = "server.test";
  const PObject reply = bed.Request(reload);
  EXPECT_FALSE(reply.hasMember("error")) << testsupport::UiStandIn::Describe(reply);
  ASSERT_TRUE(bed.WaitConverged(90s));
  bed.Finish();
}

// -------------------------------------------- a user interface gone a while

TEST_F(E2eTest, UserInterfaceGoneAndBack) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  for (int i = 0; i < 100; ++i) bed.WriteLocal("/first/f" + std::to_string(i), RandomBytes(3000 + i, 40 + i));
  bed.WriteLocal("/first/big", RandomBytes(kBig, 39));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return bed.server().List("/").size() > 5; }, 60s));
  bed.ui().closeListener();
  for (int i = 0; i < 50; ++i) bed.PutServer("/second/f" + std::to_string(i), RandomBytes(2000 + i, 140 + i));
  // The daemon carries on without anyone to tell: the server's new files
  // arrive while the user interface is away.
  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        for (int i = 0; i < 50; ++i) {
          if (access(bed.local("/second/f" + std::to_string(i)).c_str(), F_OK) != 0) return false;
        }
        return true;
      },
      120s));
  ASSERT_TRUE(bed.ui().reopenListener());
  const size_t mark = bed.ui().messages().size();
  bed.WriteLocal("/after.txt", "after the user interface came back");
  ASSERT_TRUE(bed.WaitConverged(120s));
  bool notified = false;
  const std::vector<PObject> all = bed.ui().messages();
  for (size_t i = mark; i < all.size(); ++i) {
    notified = notified || (all[i].hasMember("notify") && all[i]["path"].asString() == "/after.txt");
  }
  EXPECT_TRUE(notified) << "notifications resume";
  EXPECT_EQ(0u, bed.ui().decodeFailures());
  bed.Finish();
}

}  // namespace
}  // namespace e2e
