// The request road through an HTTP proxy (tinyproxy) and through the relay
// tunnel: the pool's channels after a reload carry the pull, TLS inside.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "road_fixture.h"
#include "transport/proxy_peers.h"
#include "support/relay_stand_in.h"

namespace {

using roadtest::RoadTest;

ProxyInfo Proxy(int port) {
  ProxyInfo proxy;
  proxy.use_proxy = true;
  proxy.proxy_ip = "127.0.0.1";
  proxy.proxy_port = static_cast<uint16_t>(port);
  proxy.user_name = "u";
  proxy.password = "p";
  return proxy;
}

// After a reload onto the proxy the next pull goes through it, with TLS end
// to end. The proxy channel races its four authentication methods: each
// opens a tunnel to the server, one is kept, the other three are closed
// without a byte.
TEST_F(RoadTest, PullThroughTinyproxy) {
  Start();
  testsupport::BackgroundProcess tinyproxy;
  int pport = 0;
  ASSERT_NO_FATAL_FAILURE(proxypeers::StartTinyproxy(&tinyproxy, Path(), "", &pport));
  const ProxyInfo proxy = Proxy(pport);
  Reload(Info(), &proxy, nullptr);
  RequestRoad& road = Road();
  PObject reply;
  ASSERT_EQ(ERR_OK, Pull(road, reply));
  ASSERT_EQ(ERR_OK, Pull(road, reply));
  EXPECT_TRUE(reply.hasMember("next_sync_id"));

  const std::string tp_log = proxypeers::ReadText(Path("tp.log"));
  EXPECT_NE(std::string::npos, tp_log.find("CONNECT 127.0.0.1:" + std::to_string(server_.port()) + " HTTP/1.1"))
      << tp_log;
  EXPECT_EQ(1u, server_.Counters().value("tls_handshakes", 0u));
  // Connections as the server saw them: 4 accepted, one carried every
  // request, three closed by the client without a request.
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor(
      [&] {
        size_t closes = 0;
        for (const nlohmann::json& e : server_.Journal()) closes += e.value("event", "") == "close";
        return closes >= 3;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(4u, server_.Counters().value("accepts", 0u));
  std::map<int, int> requests_by_conn;
  std::vector<int> closed_idle;
  for (const nlohmann::json& e : server_.Journal()) {
    const int conn = e.value("conn", -1);
    if (e.value("event", "") == "request") ++requests_by_conn[conn];
    if (e.value("event", "") == "close") {
      EXPECT_EQ("client", e.value("by", "")) << e.dump();
      EXPECT_EQ(0, requests_by_conn[conn]) << e.dump();
      closed_idle.push_back(conn);
    }
  }
  EXPECT_EQ(3u, closed_idle.size());
  ASSERT_EQ(4u, requests_by_conn.size());  // the three closed ones counted as 0
  int carrying = 0;
  for (const auto& [conn, n] : requests_by_conn) carrying += n > 0;
  EXPECT_EQ(1, carrying);
}

// One pull through the relay tunnel: the relay sees a valid upgrade for the
// server's address, and TLS runs end to end inside.
TEST_F(RoadTest, PullThroughTheRelay) {
  Start();
  testsupport::relay::TestRelay relay;
  std::string error;
  ASSERT_TRUE(relay.Start(testsupport::relay::Mode::kConnect, 0, &error)) << error;
  const TunnelInfo tunnel{true, "127.0.0.1", static_cast<uint16_t>(relay.port())};
  Reload(Info(), nullptr, &tunnel);
  PObject reply;
  ASSERT_EQ(ERR_OK, Pull(Road(), reply));
  EXPECT_TRUE(reply.hasMember("next_sync_id"));
  ASSERT_EQ(1u, relay.Connections().size());
  EXPECT_TRUE(relay.Connections()[0].valid) << relay.Connections()[0].why;
  EXPECT_EQ("127.0.0.1:" + std::to_string(server_.port()), relay.Connections()[0].target);
  EXPECT_EQ(1u, server_.Counters().value("tls_handshakes", 0u));
  EXPECT_EQ(1u, server_.Counters().value("connects_in_tls", 0u));
  manager_.clear();
  conn_.clear();
}

}  // namespace
