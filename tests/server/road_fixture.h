// Fixture of the request road's tests against the storage-server stand-in:
// one stand-in per test, a connection to it in a manager of the test's own,
// a session with view 1, and "pull_event" requests.
#ifndef TESTS_SERVER_ROAD_FIXTURE_H_
#define TESTS_SERVER_ROAD_FIXTURE_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "protocol/proto_common.h"
#include "road_test_util.h"
#include "server/connection_manager.h"
#include "server/request_road.h"
#include "server/syncer_road_profile.h"
#include "session/registry.h"
#include "support/pki.h"
#include "support/server_stand_in.h"
#include "transport/channel.h"

namespace roadtest {

class RoadTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    // Static and not thread-safe: set before any channel converts.
    Channel::SetVerifyCAPath(testsupport::PkiPath("ca.pem").c_str());
    session_.sess_id = 22;
    session_.conn_id = 1;
    session_.view_id = 1;
  }
  void TearDown() override {
    roads_.clear();
    manager_.clear();
    server_.Stop();
    Channel::SetVerifyCAPath("");
    LogTest::TearDown();
  }

  // Starts the stand-in and adds connection 1 to it (TLS on, right name).
  void Start(testsupport::ServerStandInOptions options = {}) {
    ASSERT_TRUE(server_.Start(options));
    ASSERT_EQ(0, manager_.add(Info(), nullptr, nullptr));
    ASSERT_EQ(0, manager_.get(1, conn_));
  }

  ConnectionInfo Info() const {
    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server_.port();
    info.server_name = "server.test";
    info.session = "test-token";
    info.use_ssl = true;
    return info;
  }

  // Replaces connection 1's settings and takes a fresh copy.
  void Reload(const ConnectionInfo& info, const ProxyInfo* proxy = nullptr, const TunnelInfo* tunnel = nullptr) {
    ASSERT_EQ(0, manager_.reload(info, proxy, tunnel));
    ASSERT_EQ(0, manager_.get(1, conn_));
  }

  // A road on conn_ and session_ with `profile` (default the Syncer's).
  RequestRoad& Road(const RoadProfile& profile = SyncerRoadProfile(), RoadHooks* hooks = nullptr) {
    roads_.push_back(std::make_unique<RequestRoad>(profile, abort_, conn_, session_, hooks));
    return *roads_.back();
  }

  // A syncer-shaped "pull_event" from sync id 0 of the whole view.
  static PObject PullRequest() {
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

  ErrorCode Pull(RequestRoad& road, PObject& reply) {
    return road.Request("ProtoPullEvent", SCMD_EVT_PULL, PullRequest(), reply);
  }
  ErrorCode Pull(RequestRoad& road) {
    PObject reply;
    return Pull(road, reply);
  }

  uint64_t Counter(const char* name) { return server_.Counters().value(name, uint64_t{0}); }

  // The journal's "request" events: {action, tls, conn, request}.
  std::vector<nlohmann::json> Requests() {
    std::vector<nlohmann::json> out;
    for (const nlohmann::json& e : server_.Journal()) {
      if (e.value("event", "") == "request") out.push_back(e);
    }
    return out;
  }
  std::vector<std::string> Actions() {
    std::vector<std::string> out;
    for (const nlohmann::json& e : Requests()) out.push_back(e.value("action", "?"));
    return out;
  }

  // The stats of all four channels, popped and pushed back unchanged.
  std::vector<Connection::ChannelStat> PeekPool() {
    std::vector<Connection::ChannelStat> stats;
    for (int i = 0; i < 4; ++i) stats.push_back(conn_.pop());
    for (const auto& s : stats) conn_.push(s);
    return stats;
  }

  testsupport::ServerStandIn server_;
  ConnectionManager manager_;
  Connection conn_;
  Registry::Entry session_;
  std::atomic<int> abort_{0};
  std::vector<std::unique_ptr<RequestRoad>> roads_;
};

}  // namespace roadtest

#endif  // TESTS_SERVER_ROAD_FIXTURE_H_
