// The server request road against the storage-server stand-in on loopback:
//   (a) pulls through the road on a kept TLS channel ("alive" 30);
//   (b) the anchor: the same request and reply by ProtoWriteHeader and
//       PStream::Send/Recv on one handshaken TLS Channel, no pool;
//   (c) the road with "alive" 0 (a new TCP connection, TLS handshake and
//       "connect" for every pull).
// (a) and (b) run in alternating blocks so that drift of the machine
// touches both alike. Prints p50, p99 and pulls per second of each, the
// stand-in's accepts per 1,000 pulls for (a) and (c), and whether p50 of (a)
// is within 1.1 x p50 of (b). A timed program, not a Google Benchmark.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "server/connection_manager.h"
#include "server/request_road.h"
#include "server/syncer_road_profile.h"
#include "session/registry.h"
#include "support/pki.h"
#include "support/server_stand_in.h"
#include "transport/channel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 10;
constexpr int kBlockPulls = 300;
constexpr int kFreshPulls = 300;
constexpr int kRecords = 20;

PObject PullRequest() {
  PObject request;
  InitRequest(request, "pull_event");
  request["session"] = "test-token";
  request["sync_id"] = 0ull;
  request["path"] = "/";
  request["view_id"] = 1ull;
  request["node_id"] = 0ull;
  request["recursive"] = true;
  request["file"]["offset"] = 0ull;
  request["mtime"]["offset"] = 0ull;
  return request;
}

struct Figures {
  std::vector<double> us;  // one latency per pull, microseconds
  double seconds = 0;      // wall time of the pulls alone
  void Add(Clock::time_point start) {
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  double Pct(double p) {
    std::sort(us.begin(), us.end());
    return us[std::min(us.size() - 1, static_cast<size_t>(p * static_cast<double>(us.size())))];
  }
  double PerSecond() const { return static_cast<double>(us.size()) / seconds; }
};

void Fail(const char* what, int rc) {
  std::fprintf(stderr, "server_road_bench: %s failed (%d)\n", what, rc);
  std::exit(1);
}
void Fail(const char* what, ErrorCode rc) { Fail(what, ErrorNumber(rc)); }

}  // namespace

int main() {
  Channel::SetVerifyCAPath(testsupport::PkiPath("ca.pem").c_str());
  testsupport::ServerStandIn server;
  testsupport::ServerStandInOptions options;
  options.settings = {{"alive", 30}};
  if (!server.Start(options)) Fail("starting the stand-in", -1);
  for (int i = 0; i < kRecords; ++i) server.Put("/file-" + std::to_string(i), std::string(100 + i, 'x'));

  ConnectionInfo info;
  info.conn_id = 1;
  info.server_ip = "127.0.0.1";
  info.server_port = server.port();
  info.server_name = "server.test";
  info.session = "test-token";
  ConnectionManager manager;
  manager.add(info, nullptr, nullptr);
  Connection conn;
  manager.get(1, conn);
  Registry::Entry session;
  session.view_id = 1;
  std::atomic<int> flag{0};
  RequestRoad road(SyncerRoadProfile(), flag, conn, session);
  const PObject request = PullRequest();

  ErrorCode rc = ERR_OK;
  // Warm the road.
  for (int i = 0; i < 50; ++i) {
    PObject reply;
    if ((rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply)) != ERR_OK) Fail("a warm-up pull", rc);
    if (reply["event_list"].asArray().size() != kRecords) Fail("the pull reply", -1);
  }
  // The anchor's channel, handshaken once (by the road's handshake, which
  // is only set-up here).
  Channel anchor(81920);
  anchor.SetFlag(&flag);
  rc = road.RequestChannel(anchor);
  if (rc != ERR_OK) Fail("the anchor's handshake", rc);
  PStream stream;

  const uint64_t accepts_a0 = server.Counters().value("accepts", uint64_t{0});

  Figures a, b, c;
  for (int block = 0; block < kBlocks; ++block) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBlockPulls; ++i) {
      PObject reply;
      auto start = Clock::now();
      rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply);
      a.Add(start);
      if (rc != ERR_OK) Fail("pull (a)", rc);
    }
    a.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    for (int i = 0; i < kBlockPulls; ++i) {
      PObject reply;
      auto start = Clock::now();
      if ((rc = ProtoWriteHeader(anchor, 0, SCMD_EVT_PULL)) != ERR_OK) Fail("header (b)", rc);
      if (const PStream::Code sent = stream.Send(anchor, request); sent != PStream::Code::kOk) {
        Fail("send (b)", StreamCodeNumber(sent));
      }
      if (const PStream::Code got = stream.Recv(anchor, reply); got != PStream::Code::kOk) {
        Fail("recv (b)", StreamCodeNumber(got));
      }
      b.Add(start);
    }
    b.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
  }
  const uint64_t accepts_a = server.Counters().value("accepts", uint64_t{0}) - accepts_a0;

  server.Fault({{"action", "pull_event"}, {"alive", 0}, {"count", -1}});
  const uint64_t accepts_c0 = server.Counters().value("accepts", uint64_t{0});
  auto t0 = Clock::now();
  for (int i = 0; i < kFreshPulls; ++i) {
    PObject reply;
    auto start = Clock::now();
    rc = road.Request("ProtoPullEvent", SCMD_EVT_PULL, request, reply);
    c.Add(start);
    if (rc != ERR_OK) Fail("pull (c)", rc);
  }
  c.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const uint64_t accepts_c = server.Counters().value("accepts", uint64_t{0}) - accepts_c0;

  const double pa = a.Pct(0.5), pb = b.Pct(0.5);
  std::printf("pull_event, %d records per reply, TLS, loopback\n", kRecords);
  std::printf("%-34s %10s %10s %12s %18s\n", "", "p50 us", "p99 us", "pulls/s", "accepts/1000 pulls");
  std::printf("%-34s %10.1f %10.1f %12.0f %18.1f\n", "(a) road, kept channel (alive 30)", pa, a.Pct(0.99),
              a.PerSecond(), 1000.0 * static_cast<double>(accepts_a) / static_cast<double>(a.us.size()));
  std::printf("%-34s %10.1f %10.1f %12.0f %18s\n", "(b) anchor: header+Send+Recv", pb, b.Pct(0.99), b.PerSecond(),
              "-");
  std::printf("%-34s %10.1f %10.1f %12.0f %18.1f\n", "(c) road, alive 0", c.Pct(0.5), c.Pct(0.99), c.PerSecond(),
              1000.0 * static_cast<double>(accepts_c) / static_cast<double>(c.us.size()));
  std::printf("p50 (a) / p50 (b) = %.3f (target <= 1.1): %s\n", pa / pb, pa <= 1.1 * pb ? "met" : "NOT met");
  (void)anchor.Close();
  manager.clear();
  server.Stop();
  return 0;
}
