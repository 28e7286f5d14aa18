// The request road against the storage-server stand-in: handshakes in each
// order, channel reuse, keep-alives, TLS checks, refusals and failures.
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "road_fixture.h"
#include "server/road_clock.h"
#include "support/stuck_listener.h"

namespace {

using roadtest::RoadTest;
using Stat = Connection::ChannelStat;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) names.insert(e->d_name);
  closedir(d);
  return names;
}

// Each order puts the same requests on the wire in its own sequence, with
// TLS where it must be, and the session token and view id in "connect".
TEST_F(RoadTest, HandshakeOrders) {
  struct Case {
    const char* name;
    bool worker;
    bool use_ssl;
    std::vector<std::pair<std::string, bool>> wire;  // action, inside TLS
    const char* connect_counter;
  };
  const Case cases[] = {
      {"syncer", false, true, {{"encrypt_channel", false}, {"connect", true}, {"pull_event", true}},
       "connects_in_tls"},
      {"syncer plain", false, false, {{"connect", false}, {"pull_event", false}}, "connects_plain"},
      {"worker", true, true, {{"connect", false}, {"pull_event", true}}, "connects_do_ssl"},
      {"worker plain", true, false, {{"connect", false}, {"pull_event", false}}, "connects_plain"},
  };
  Start();
  roadtest::RecordingLog log;
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionInfo info = Info();
    info.use_ssl = c.use_ssl;
    Reload(info);
    const uint64_t before = Counter(c.connect_counter);
    RequestRoad& road = c.worker ? Road(roadtest::WorkerShapedProfile(&log)) : Road();
    PObject reply;
    ASSERT_EQ(ERR_OK, Pull(road, reply));
    EXPECT_TRUE(reply.hasMember("next_sync_id"));
    std::vector<nlohmann::json> requests = Requests();
    ASSERT_EQ(seen + c.wire.size(), requests.size());
    for (size_t i = 0; i < c.wire.size(); ++i) {
      const nlohmann::json& r = requests[seen + i];
      EXPECT_EQ(c.wire[i].first, r.value("action", "?"));
      EXPECT_EQ(c.wire[i].second, r.value("tls", false)) << c.wire[i].first;
      EXPECT_EQ(requests[seen].value("conn", -1), r.value("conn", -2));
      if (c.wire[i].first == "connect") {
        EXPECT_EQ("test-token", r["request"].value("session", ""));
        EXPECT_EQ(1, r["request"].value("view_id", 0));
        EXPECT_EQ(c.worker && c.use_ssl, r["request"].contains("do_ssl"));
      }
    }
    seen = requests.size();
    EXPECT_EQ(before + 1, Counter(c.connect_counter));
  }
  EXPECT_TRUE(Logged("Syncer: request ssl channel"));
  EXPECT_TRUE(Logged("Syncer: channel is now encrypted using SSL"));
  EXPECT_TRUE(log.Has("RequestSsl"));
}

// A live channel is reused without a new TCP connection, TLS handshake or
// "connect" for as long as the last reply's "alive" lasts.
TEST_F(RoadTest, ChannelReuseFollowsAlive) {
  Start();
  RequestRoad& road = Road();
  server_.Set({{"alive", 30}});
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ERR_OK, Pull(road)) << i;
  nlohmann::json c = server_.Counters();
  EXPECT_EQ(1u, c.value("accepts", 0u));
  EXPECT_EQ(1u, c.value("tls_handshakes", 0u));
  EXPECT_EQ(1u, c.value("connects_in_tls", 0u));
  EXPECT_EQ(100u, c["requests"].value("pull_event", 0u));

  // "alive" 0 in the pull reply closes the channel after every pull.
  Reload(Info());
  server_.Fault({{"action", "pull_event"}, {"alive", 0}, {"count", -1}});
  for (int i = 0; i < 100; ++i) ASSERT_EQ(ERR_OK, Pull(road)) << i;
  c = server_.Counters();
  EXPECT_EQ(101u, c.value("accepts", 0u));
  EXPECT_EQ(101u, c.value("tls_handshakes", 0u));
  EXPECT_EQ(101u, c.value("connects_in_tls", 0u));
  for (const Stat& s : PeekPool()) EXPECT_EQ(Stat::kNotConnected, s.expire);

  // "alive" 1: valid until the clock has moved past it.
  server_.ClearFaults();
  server_.Set({{"alive", 1}});
  ASSERT_EQ(ERR_OK, Pull(road));
  ASSERT_EQ(ERR_OK, Pull(road));
  EXPECT_EQ(102u, Counter("accepts"));
  road_clock::AdvanceForTest(2);
  ASSERT_EQ(ERR_OK, Pull(road));
  EXPECT_EQ(103u, Counter("accepts"));
}

// Keep-alive messages are skipped; the final reply, with or without "type",
// is the answer, and a pre-filled target survives the keep-alives.
TEST_F(RoadTest, KeepAlivesAreSkipped) {
  Start();
  RequestRoad& road = Road();
  ASSERT_EQ(ERR_OK, Pull(road));  // handshake out of the way
  server_.Fault({{"action", "pull_event"}, {"keep_alives", 3}, {"final_type", true}});
  PObject reply;
  ASSERT_EQ(ERR_OK, Pull(road, reply));
  EXPECT_EQ(ustring("reply"), reply["type"].asString());
  EXPECT_TRUE(reply.hasMember("next_sync_id"));

  // The final reply carries no "type": merged into a keep-alive it would
  // still read as one, and the road would wait out the reply time-out.
  server_.Fault({{"action", "pull_event"}, {"keep_alives", 3}});
  PObject target;
  target["file"]["data"].asBinary().path = Path("partial").c_str();
  target["file"]["data"].asBinary().offset = 7;
  const auto start = Clock::now();
  ASSERT_EQ(ERR_OK, Pull(road, target));
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_FALSE(target.hasMember("type"));
  EXPECT_TRUE(target.hasMember("next_sync_id"));
  EXPECT_EQ(ustring(Path("partial").c_str()), target["file"]["data"].asBinary().path);
  EXPECT_EQ(7u, target["file"]["data"].asBinary().offset);
  size_t keep_alives = 0;
  for (const nlohmann::json& e : server_.Journal()) keep_alives += e.value("event", "") == "keep_alive";
  EXPECT_EQ(6u, keep_alives);
}

// The certificate, its name and the trust settings decide the upgrade; a
// refused one fails the handshake before "connect" is sent.
TEST_F(RoadTest, TlsChecks) {
  struct Case {
    const char* cert;
    const char* name;
    const char* ca;
    bool allow_untrust;
    ErrorCode result;
  };
  const Case cases[] = {
      {"srv", "server.test", "ca.pem", false, ERR_OK},
      {"srv", "other.test", "ca.pem", false, ERR_SSL_VERIFY_FAIL},
      {"expired", "server.test", "ca.pem", false, ERR_SSL_VERIFY_FAIL},
      {"srv", "server.test", "ca2.pem", false, ERR_SSL_VERIFY_FAIL},
      {"self-signed", "other.test", "ca.pem", false, ERR_SSL_VERIFY_FAIL},
      {"self-signed", "other.test", "ca.pem", true, ERR_OK},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.name + " " + c.ca);
    server_.Set({{"cert", c.cert}});
    Channel::SetVerifyCAPath(testsupport::PkiPath(c.ca).c_str());
    ConnectionInfo info = Info();
    info.server_name = c.name;
    info.ssl_allow_untrust = c.allow_untrust;
    Reload(info);
    const uint64_t connects = Counter("connects_in_tls");
    const size_t refused = Count("Syncer: Convert to SSL channel failed (-24)");
    EXPECT_EQ(c.result, Pull(Road()));
    if (c.result == ERR_OK) {
      EXPECT_EQ(connects + 1, Counter("connects_in_tls"));
    } else {
      EXPECT_EQ(connects, Counter("connects_in_tls"));
      EXPECT_EQ(refused + 1, Count("Syncer: Convert to SSL channel failed (-24)"));
      EXPECT_TRUE(Logged("ProtoPullEvent: fail to establish communication channel"));
      for (const Stat& s : PeekPool()) EXPECT_EQ(Stat::kNotConnected, s.expire);
    }
  }
}

// Refusals in the handshake: the road's code, and nothing sent afterwards
// on the refused connection.
TEST_F(RoadTest, HandshakeRefusals) {
  struct Case {
    const char* name;
    nlohmann::json fault;
    ErrorCode result;
    const char* line;
  };
  const Case cases[] = {
      {"encrypt_channel refused", {{"action", "encrypt_channel"}, {"error", 0x2001}}, ERR_IO,
       "Syncer: request SSL: "},
      {"connect alive 0", {{"action", "connect"}, {"alive", 0}}, ERR_IO, "Syncer: connection refused by server."},
      {"session missing", {{"action", "connect"}, {"error", 0x2001}}, ERR_AUTH,
       "Syncer: request channel: {\"code\": 8193}"},
      {"internal error", {{"action", "connect"}, {"error", 0x7000}}, ERR_SERVER, "server error: 28672"},
      {"unhandled code", {{"action", "connect"}, {"error", 0x6000}}, ERR_SERVER, "unhandled error code: 24576"},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reload(Info());
    const size_t before = Requests().size();
    server_.Fault(c.fault);
    EXPECT_EQ(c.result, Pull(Road()));
    EXPECT_TRUE(Logged(c.line)) << Log();
    std::vector<std::string> actions = Actions();
    ASSERT_GT(actions.size(), before);
    EXPECT_EQ(c.fault["action"], actions.back()) << "a request followed the refusal";
    for (const Stat& s : PeekPool()) EXPECT_EQ(Stat::kNotConnected, s.expire);
  }
  EXPECT_FALSE(Logged("pull_event"));
}

// "error" with SPROTO_ERR_OK is the server saying "no error": the handshake
// goes on to its other checks.
TEST_F(RoadTest, ErrorCodeOkIsNoRefusal) {
  Start();
  RequestRoad& road = Road();
  Channel ch(81920);
  server_.Fault({{"action", "connect"}, {"set", {{"error.code", 1}}}});
  EXPECT_EQ(ERR_OK, road.RequestChannel(ch));
  EXPECT_FALSE(Logged("Syncer: request channel:"));
  EXPECT_FALSE(Logged("unhandled error code"));
  EXPECT_TRUE(Logged("Connect with Velkora server build"));
  (void)ch.Close();
  server_.Fault({{"action", "connect"}, {"set", {{"error.code", 1}}}, {"alive", 0}});
  EXPECT_EQ(ERR_IO, road.RequestChannel(ch));
  EXPECT_TRUE(Logged("Syncer: connection refused by server."));
  (void)ch.Close();
}

// In the worker's order "connect" travels in plain text and TLS follows a
// good reply: a refused "connect" must never let a request through in plain
// text (the stand-in expecting TLS counts one as a violation).
TEST_F(RoadTest, WorkerOrderSendsNoPlainRequestAfterARefusal) {
  testsupport::ServerStandInOptions options;
  options.expect_tls = true;
  Start(options);
  roadtest::RecordingLog log;
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log));
  const int codes[] = {0x7000, 0x6001, 0xB001};
  for (int code : codes) {
    server_.Fault({{"action", "connect"}, {"error", code}});
    EXPECT_EQ(ERR_SERVER, Pull(road)) << code;
  }
  server_.Fault({{"action", "connect"}, {"error", 0x9001}});
  EXPECT_EQ(ERR_INT, Pull(road));
  server_.Fault({{"action", "connect"}, {"alive", 0}});
  EXPECT_EQ(ERR_IO, Pull(road));
  EXPECT_EQ(0u, Counter("tls_handshakes"));
  for (const std::string& a : Actions()) EXPECT_EQ("connect", a);
  ASSERT_EQ(ERR_OK, Pull(road));
  EXPECT_EQ(1u, Counter("tls_handshakes"));
  EXPECT_EQ("pull_event", Actions().back());
}

TEST_F(RoadTest, ServerBuildLine) {
  Start();
  server_.Set({{"server_build", nullptr}});
  ASSERT_EQ(ERR_OK, Pull(Road()));
  EXPECT_TRUE(Logged("Connect with Velkora server build 2402\n")) << Log();
  Reload(Info());
  server_.Set({{"server_build", 3107}});
  ASSERT_EQ(ERR_OK, Pull(Road()));
  EXPECT_TRUE(Logged("Connect with Velkora server build 3107\n"));
}

// Failures of the exchange itself: every one gives ERR_IO for a syncer, and
// the channel goes back closed and marked for a new handshake.
TEST_F(RoadTest, BrokenRepliesFailTheExchange) {
  struct Case {
    const char* name;
    nlohmann::json fault;
  };
  const Case cases[] = {
      {"truncated", {{"action", "pull_event"}, {"preset", "truncated"}}},
      {"closed before the reply", {{"action", "pull_event"}, {"close", "before_reply"}}},
      {"integer width 9", {{"action", "pull_event"}, {"preset", "width_9"}}},
      {"unknown tag", {{"action", "pull_event"}, {"preset", "unknown_tag"}}},
      {"deep nesting", {{"action", "pull_event"}, {"preset", "deep_nesting"}}},
  };
  Start();
  RequestRoad& road = Road();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Fault(c.fault);
    const auto start = Clock::now();
    EXPECT_EQ(ERR_IO, Pull(road));
    EXPECT_LT(SecondsSince(start), 5.0);
    for (const Stat& s : PeekPool()) {
      EXPECT_EQ(Stat::kNotConnected, s.expire);
      EXPECT_TRUE(s.channel->IsClosed());
    }
  }
  EXPECT_TRUE(Logged("ProtoPullEvent: fail to pull events. -2."));
  EXPECT_TRUE(Logged("Syncer: RunProtocol(pull_event): failed to recv response"));
  // The next pull handshakes again and succeeds.
  EXPECT_EQ(ERR_OK, Pull(road));
}

// A server that stops answering: the reply time-out ends the exchange, and
// the channel comes back closed.
TEST_F(RoadTest, SilentServerTimesOut) {
  Start();
  RoadProfile profile = SyncerRoadProfile();
  profile.reply_timeout = 2;
  profile.channel_timeout = 2;
  RequestRoad& road = Road(profile);
  ASSERT_EQ(ERR_OK, Pull(road));
  server_.Fault({{"action", "pull_event"}, {"delay_ms", 6000}});
  const auto start = Clock::now();
  EXPECT_EQ(ERR_IO, Pull(road));
  const double took = SecondsSince(start);
  EXPECT_GE(took, 1.5);
  EXPECT_LT(took, 4.5);
  for (const Stat& s : PeekPool()) {
    EXPECT_EQ(Stat::kNotConnected, s.expire);
    EXPECT_TRUE(s.channel->IsClosed());
  }
}

// The requester's abort flag, raised from another thread, breaks off the
// wait for a reply at once.
TEST_F(RoadTest, AbortFlagBreaksOffTheExchange) {
  Start();
  RequestRoad& road = Road();
  ASSERT_EQ(ERR_OK, Pull(road));
  server_.Fault({{"action", "pull_event"}, {"delay_ms", 8000}});
  std::thread raiser([this] {
    std::this_thread::sleep_for(300ms);
    abort_ = 1;
  });
  const auto start = Clock::now();
  EXPECT_EQ(ERR_IO, Pull(road));
  EXPECT_LT(SecondsSince(start), 1.8);
  raiser.join();
  abort_ = 0;
  for (const Stat& s : PeekPool()) {
    EXPECT_EQ(Stat::kNotConnected, s.expire);
    EXPECT_EQ(nullptr, roadtest::ChannelPeek::Flag(*s.channel));
  }
}

// The worker's flag is heeded during the TCP connect too: a connect that
// the peer never completes (a listener whose queue is full) ends at the
// abort, not after the channel time-out of 60 s.
TEST_F(RoadTest, WorkerAbortEndsAConnectThatNeverCompletes) {
  testsupport::StuckListener stuck;
  ASSERT_TRUE(stuck.ok()) << stuck.error();
  ConnectionInfo info = Info();
  info.server_port = stuck.port();
  ASSERT_EQ(0, manager_.add(info, nullptr, nullptr));
  ASSERT_EQ(0, manager_.get(1, conn_));
  roadtest::RecordingLog log;
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log));
  std::atomic<bool> done{false};
  std::atomic<ErrorCode> rc{ERR_OK};
  std::thread puller([&] {
    rc = Pull(road);
    done = true;
  });
  const std::string connecting = "Connecting 127.0.0.1:" + std::to_string(stuck.port());
  const bool seen = testsupport::ServerStandIn::WaitFor([&] { return log.Has(connecting); }, 10s);
  EXPECT_TRUE(seen);
  // Still connecting: the peer never completes the handshake.
  EXPECT_FALSE(done.load());
  const auto start = Clock::now();
  abort_ = 1;
  const bool ended = testsupport::ServerStandIn::WaitFor([&] { return done.load(); }, 5s);
  EXPECT_TRUE(ended) << "the connect outlived the abort";
  puller.join();
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_NE(ERR_OK, rc.load());
  abort_ = 0;
}

// A syncer's reply has no folder for binaries: one in a pull reply fails
// the exchange, and nothing is written anywhere (the root folder least).
TEST_F(RoadTest, BinaryInAPullReplyWritesNothing) {
  Start();
  const std::set<std::string> root_before = Listing("/");
  const std::set<std::string> cwd_before = Listing(".");
  server_.Fault({{"action", "pull_event"}, {"preset", "binary_in_pull"}});
  EXPECT_EQ(ERR_IO, Pull(Road()));
  EXPECT_TRUE(Logged("binary of 4 bytes has no place to go")) << Log();
  EXPECT_EQ(root_before, Listing("/"));
  EXPECT_EQ(cwd_before, Listing("."));
}

// The deleted requester's abort flag is never read again: every pooled
// channel is detached when it is pushed back, so the pool may close its
// channels after the task that lent them is gone.
TEST_F(RoadTest, AbortFlagOfADeletedRequesterIsNeverRead) {
  Start();
  {
    auto flag = std::make_unique<std::atomic<int>>(0);
    RequestRoad road(SyncerRoadProfile(), *flag, conn_, session_);
    ASSERT_EQ(ERR_OK, Pull(road));
    PObject reply;
    ASSERT_EQ(ERR_OK, road.Exchange("twice", reply, [&](Channel& ch) {
      ErrorCode rc = road.RunProtocol(ch, SCMD_EVT_PULL, PullRequest(), reply);
      EXPECT_EQ(flag.get(), roadtest::ChannelPeek::Flag(ch));
      return rc;
    }));
  }
  for (const Stat& s : PeekPool()) EXPECT_EQ(nullptr, roadtest::ChannelPeek::Flag(*s.channel));
  manager_.clear();
  conn_.clear();  // the pool closes its live TLS channel now
}

// The worker's variation points as hooks of a test profile.
TEST_F(RoadTest, WorkerHooksReceiveFolderAndStreamErrors) {
  Start();
  roadtest::RecordingLog log;
  roadtest::TestHooks hooks;
  hooks.folder = Path().c_str();
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log), &hooks);

  // A binary lands in the receive folder.
  server_.Fault({{"action", "pull_event"}, {"preset", "binary_in_pull"}});
  PObject reply;
  ASSERT_EQ(ERR_OK, Pull(road, reply));
  const PObject& records = reply["event_list"];
  ASSERT_TRUE(records.isArray());
  const PObject& last = records[static_cast<unsigned>(records.asArray().size() - 1)];
  const PObject::binary_type& body = last["file"]["data"].asBinary();
  ASSERT_FALSE(body.empty());
  EXPECT_EQ(0, body.path.find(Path().c_str()));
  EXPECT_EQ("body", ReadFile(body.path.substr(Path().size() + 1).c_str_utf8()));

  // A failed receive goes through the stream-error hook.
  server_.Fault({{"action", "pull_event"}, {"preset", "width_9"}});
  EXPECT_EQ(ERR_SYS, Pull(road));
  ASSERT_EQ(1u, hooks.stream_codes.size());
  EXPECT_EQ(PStream::Code::kStream, hooks.stream_codes[0]);
  EXPECT_TRUE(log.Has("RecvFailed pull_event -5"));
  // The worker's pooled exchange logs nothing more for a failed exchange
  // than its hook decides; this one records it.
  EXPECT_TRUE(log.Has("ExchangeFailed ProtoPullEvent -3"));
}

// Bodies of messages no caller sees, a keep-alive's or a handshake reply's,
// are removed from the receive folder; a body of the reply itself stays.
TEST_F(RoadTest, BodiesOfUnseenMessagesRemoved) {
  Start();
  roadtest::RecordingLog log;
  roadtest::TestHooks hooks;
  const std::string recv = Path("recv");
  ASSERT_EQ(0, mkdir(recv.c_str(), 0700));
  hooks.folder = recv.c_str();
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log), &hooks);
  const std::set<std::string> empty = {".", ".."};

  // "connect" with a body beside its members.
  server_.Fault({{"action", "connect"}, {"set", {{"junk", "b64:Ym9keQ=="}}}});
  ASSERT_EQ(ERR_OK, Pull(road));
  EXPECT_EQ(empty, Listing(recv));

  // A keep-alive {"data": <4 bytes>, "type": "keep_alive"}, then the reply
  // {"alive": 30, "next_sync_id": 7}.
  server_.Fault({{"action", "pull_event"},
                 {"raw_b64", "QhAABGRhdGEwAAAAAAAAAARib2R5EAAEdHlwZRAACmtlZXBfYWxpdmVAQhAABWFsaXZlAQEeEAAMbmV4dF9zeW5jX2lkAQEHQA=="}});
  PObject reply;
  ASSERT_EQ(ERR_OK, Pull(road, reply));
  EXPECT_EQ(7u, reply["next_sync_id"].asUInt64());
  EXPECT_FALSE(reply.hasMember("data"));
  EXPECT_EQ(empty, Listing(recv));

  // The reply's own body is the caller's.
  server_.Fault({{"action", "pull_event"}, {"keep_alives", 2}, {"set", {{"data", "b64:Ym9keQ=="}}}});
  PObject kept;
  ASSERT_EQ(ERR_OK, Pull(road, kept));
  const std::string body = kept["data"].asBinary().path.c_str_utf8();
  ASSERT_FALSE(body.empty());
  EXPECT_EQ("body", ReadFile(body.substr(Path().size() + 1)));
  EXPECT_EQ(3u, Listing(recv).size());
}

// The worker's abort policy: the flag is attached inside each exchange only,
// and detached while the reply of an upload is awaited.
TEST_F(RoadTest, WorkerAbortSparesAnUploadReply) {
  Start();
  roadtest::RecordingLog log;
  roadtest::TestHooks hooks;
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log), &hooks);
  ASSERT_EQ(ERR_OK, Pull(road));

  PObject upload = PullRequest();
  InitRequest(upload, "upload");
  server_.Fault({{"action", "upload"}, {"delay_ms", 1500}, {"error", 0x9001}});
  std::thread raiser([this] {
    std::this_thread::sleep_for(300ms);
    abort_ = 1;
  });
  PObject reply;
  EXPECT_EQ(ERR_OK, road.Request("Upload", SCMD_EVT_RECV_4, upload, reply));
  raiser.join();
  EXPECT_EQ(0x9001u, reply["error"]["code"].asUInt32());
  EXPECT_TRUE(hooks.stream_codes.empty());

  // The same wait for a pull is broken off by the raised flag.
  server_.Fault({{"action", "pull_event"}, {"delay_ms", 3000}});
  const auto start = Clock::now();
  EXPECT_EQ(ERR_SYS, Pull(road));
  EXPECT_LT(SecondsSince(start), 1.5);
  EXPECT_EQ(1u, hooks.stream_codes.size());
  abort_ = 0;
}

// Keep-alives alone cannot hold an upload's reply wait once the flag is up:
// it ends one reply time-out later. Without the flag they keep it going.
TEST_F(RoadTest, AnAbortEndsAnUploadWaitOfKeepAlivesAfterOneReplyTimeout) {
  Start();
  roadtest::RecordingLog log;
  roadtest::TestHooks hooks;
  RoadProfile profile = roadtest::WorkerShapedProfile(&log);
  profile.reply_timeout = 2;
  RequestRoad& road = Road(profile, &hooks);
  ASSERT_EQ(ERR_OK, Pull(road));
  PObject upload = PullRequest();
  InitRequest(upload, "upload");

  // 3.5 s of keep-alives, then the reply: longer than the time-out.
  server_.Fault({{"action", "upload"}, {"keep_alives", 10}, {"keep_alive_ms", 350}, {"error", 0x9001}});
  PObject reply;
  EXPECT_EQ(ERR_OK, road.Request("Upload", SCMD_EVT_RECV_4, upload, reply));
  EXPECT_EQ(0x9001u, reply["error"]["code"].asUInt32());
  EXPECT_TRUE(hooks.stream_codes.empty());

  server_.Fault({{"action", "upload"}, {"keep_alives", 1000}, {"keep_alive_ms", 300}, {"error", 0x9001}});
  Clock::time_point raised;
  std::thread raiser([&] {
    std::this_thread::sleep_for(500ms);
    raised = Clock::now();
    abort_ = 1;
  });
  PObject cut;
  const ErrorCode rc = road.Request("Upload", SCMD_EVT_RECV_4, upload, cut);
  raiser.join();
  EXPECT_NE(ERR_OK, rc);
  EXPECT_EQ(1u, hooks.stream_codes.size());
  EXPECT_GE(SecondsSince(raised), 1.6);
  EXPECT_LT(SecondsSince(raised), 3.0);
  abort_ = 0;
}

// The work callback runs several exchanges on one lent channel; a positive
// result counts as success and a negative one expires the channel.
TEST_F(RoadTest, ExchangeRunsTheWorkOnOneChannel) {
  Start();
  roadtest::RecordingLog log;
  RequestRoad& road = Road(roadtest::WorkerShapedProfile(&log));
  PObject reply;
  ASSERT_EQ(ERR_OK, road.Exchange("Download", reply, [&](Channel& ch) {
    PObject first;
    ErrorCode rc = road.RunProtocol(ch, SCMD_EVT_PULL, PullRequest(), first);
    if (rc != ERR_OK) return rc;
    rc = road.RunProtocol(ch, SCMD_EVT_PULL, PullRequest(), reply);
    return rc;
  }));
  std::vector<nlohmann::json> requests = Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(requests[0].value("conn", -1), requests[2].value("conn", -2));
  EXPECT_EQ(1u, Counter("accepts"));

  // Reading the reply's "alive" adds nothing to it.
  PObject untouched;
  ASSERT_EQ(ERR_OK, road.Exchange("Download", untouched, [](Channel&) { return ERR_OK; }));
  EXPECT_TRUE(untouched.isNull()) << untouched.toString().c_str_utf8();

  ASSERT_EQ(ERR_NOENT, road.Exchange("Download", reply, [](Channel&) { return ERR_NOENT; }));
  EXPECT_TRUE(log.Has("ExchangeFailed Download -11"));
  ASSERT_EQ(ERR_OK, Pull(road));
  // No "alive" closed the channel; the failed work expired the next one.
  EXPECT_EQ(3u, Counter("accepts"));
}

}  // namespace
