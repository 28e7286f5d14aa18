// "link_connection", "reload_connection", "unlink_connection".
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app_fixture.h"
#include "server/connection_manager.h"
#include "support/background_process.h"
#include "transport/proxy_peers.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;

class ConnectionTest : public AppFixture {
 protected:
  // The ids of the listed connections, in list order.
  std::vector<uint64_t> ListedConnections() {
    std::vector<uint64_t> ids;
    const PObject status = Call("get_status");
    for (const PObject& c : status["connection_list"].asArray()) ids.push_back(c["connection_id"].asUInt64());
    return ids;
  }
  std::string ConnectionStatus(uint64_t id) {
    const PObject status = Call("get_status");
    for (const PObject& c : status["connection_list"].asArray()) {
      if (c["connection_id"].asUInt64() == id) return c["status"].asString().c_str_utf8();
    }
    return "absent";
  }
  static Connection Stored(uint64_t id) {
    Connection c;
    EXPECT_EQ(0, ConnectionManager::getInstance()->get(id, c)) << id;
    return c;
  }
  // Links, adds connection 1 with `req` and a session on it that syncs.
  void LinkWithSyncingSession(const PObject& req) {
    Link();
    PObject rsp = Call("link_connection", req);
    ASSERT_FALSE(rsp.hasMember("error")) << Text(rsp);
    MakeSessionFolders(1);
    (void)RegisterSession(1, 1);
  }
  bool Pulled(size_t at_least) {
    return WaitUntil([&] { return Requests("pull_event").size() >= at_least; }, 20s);
  }
};

TEST_F(ConnectionTest, ARequestWithoutARequiredKeyOrWithIdZeroIsRefused) {
  Connect(1);  // the target of the reloads
  const Connection before = Stored(1);
  struct Case {
    const char* name;
    const char* drop;  // a key left out, or null
    PObject id;        // replaces "connection_id" when not null
  };
  const Case cases[] = {
      {"no connection_id", "connection_id", PObject()},
      {"no server_ip", "server_ip", PObject()},
      {"no server_port", "server_port", PObject()},
      {"no session", "session", PObject()},
      {"id 0", nullptr, PObject(0)},
      {"an id that is not an integer", nullptr, PObject("7")},
  };
  for (const char* action : {"link_connection", "reload_connection"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(action) + ": " + c.name);
      // Accepted by mistake, an add would list 2 and a reload would move 1.
      PObject req = ConnectionRequest(std::string(action) == "link_connection" ? 2 : 1);
      req["server_ip"] = "127.0.0.9";
      if (c.drop != nullptr) req.asMap().erase(ustring(c.drop));
      if (!c.id.isNull()) req["connection_id"] = c.id;
      const size_t errors = CountInLog("invalid parameters.\n");
      const PObject rsp = Call(action, req);
      EXPECT_EQ(Text(rsp), "{\"error\": \"Invalid parameters\"}");
      EXPECT_EQ(CountInLog("invalid parameters.\n"), errors + 1);
      EXPECT_EQ(ListedConnections(), std::vector<uint64_t>{1});
      EXPECT_EQ(Stored(1).getConnectionInfo().server_ip, before.getConnectionInfo().server_ip);
    }
  }
  EXPECT_FALSE(Logged("is reloaded:")) << Log();
}

TEST_F(ConnectionTest, TheRequestKeysReachTheConnection) {
  PObject req = ConnectionRequest(3);
  req["use_ssl"] = 1;
  req["ssl_allow_untrust"] = "false";  // a non-empty string reads true
  req["package_version"] = 0x100000005ull;  // kept in 32 bits
  req["use_tunnel"] = 1;
  req["tunnel_ip"] = "10.0.0.2";
  req["tunnel_port"] = 9000;
  EXPECT_EQ(Text(Call("link_connection", req)), "null");
  const Connection c = Stored(3);
  const ConnectionInfo& info = c.getConnectionInfo();
  EXPECT_EQ(info.server_ip, "127.0.0.1");
  EXPECT_EQ(info.server_port, server_.port());
  EXPECT_EQ(info.session, kToken);
  EXPECT_EQ(info.server_name, "server.test");
  EXPECT_EQ(info.computer_name, "PC1");
  EXPECT_TRUE(info.use_ssl);
  EXPECT_TRUE(info.ssl_allow_untrust);
  EXPECT_EQ(info.version_info.build_number, 5);
  EXPECT_EQ(info.version_info.major, 3);
  EXPECT_EQ(info.version_info.minor, 1);
  EXPECT_TRUE(c.getTunnelInfo().use_tunnel);
  EXPECT_EQ(c.getTunnelInfo().tunnel_ip, "10.0.0.2");
  EXPECT_EQ(c.getTunnelInfo().tunnel_port, 9000);
  EXPECT_FALSE(c.getProxyInfo().use_proxy);
  EXPECT_TRUE(Logged("connection #3 is added:\n")) << Log();
  EXPECT_TRUE(Logged("server = 127.0.0.1:" + std::to_string(server_.port()) + "\n")) << Log();
  EXPECT_TRUE(Logged("ssl = 1:1\n")) << Log();
  EXPECT_TRUE(Logged("tunnel: 10.0.0.2:9000\n")) << Log();
  EXPECT_FALSE(Logged("proxy: ")) << Log();
}

TEST_F(ConnectionTest, ADuplicateOrUnknownIdIsAWarningWithItsPortAndNoError) {
  Connect(1);
  const std::string where = "(127.0.0.1:" + std::to_string(server_.port()) + ")";
  EXPECT_EQ(Text(Call("link_connection", ConnectionRequest(1))), "null");
  EXPECT_TRUE(Logged("[WARNING] app(")) << Log();
  EXPECT_TRUE(Logged("connection #1 " + where + " is not added\n")) << Log();
  EXPECT_EQ(Text(Call("reload_connection", ConnectionRequest(8))), "null");
  EXPECT_TRUE(Logged("connection #8 " + where + " is not reloaded\n")) << Log();
  EXPECT_EQ(ListedConnections(), std::vector<uint64_t>{1});
}

TEST_F(ConnectionTest, UnlinkConnectionWithIdZeroOrNoneRemovesAll) {
  for (PObject req : {PObject(), [] {
                        PObject r;
                        r["connection_id"] = 0;
                        return r;
                      }()}) {
    for (uint64_t id : {3, 1, 2}) Connect(id);
    EXPECT_EQ(ListedConnections(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(Text(Call("unlink_connection", req)), "null");
    EXPECT_TRUE(ListedConnections().empty());
    EXPECT_TRUE(Call("get_status")["connection_list"].isNull());
  }
  for (uint64_t id : {1, 2, 3}) Connect(id);
  PObject one;
  one["connection_id"] = 2;
  EXPECT_EQ(Text(Call("unlink_connection", one)), "null");
  EXPECT_EQ(ListedConnections(), (std::vector<uint64_t>{1, 3}));
  one["connection_id"] = 9;  // unknown: nothing changes, nothing is reported
  EXPECT_EQ(Text(Call("unlink_connection", one)), "null");
  EXPECT_EQ(ListedConnections(), (std::vector<uint64_t>{1, 3}));
  EXPECT_TRUE(Logged("connection #9 is removed\n")) << Log();
}

// The stand-in takes plain requests here.
class PlainConnectionTest : public ConnectionTest {
 protected:
  void Configure(Options& options) override { options.stand_in.expect_tls = false; }
};

TEST_F(PlainConnectionTest, WithoutUseSslTheConnectionStaysPlain) {
  PObject req = ConnectionRequest(1);
  req.asMap().erase(ustring("use_ssl"));
  LinkWithSyncingSession(req);
  ASSERT_TRUE(Pulled(1));
  EXPECT_FALSE(Stored(1).getConnectionInfo().use_ssl);
  for (const nlohmann::json& e : server_.Journal()) {
    EXPECT_NE(e.value("event", ""), "tls") << e.dump();
    if (e.value("event", "") == "request") {
      EXPECT_FALSE(e.value("tls", true)) << e.dump();
      EXPECT_NE(e.value("action", ""), "encrypt_channel") << e.dump();
    }
  }
  EXPECT_EQ(ConnectionStatus(1), "connected");
}

TEST_F(ConnectionTest, WithUseSslEveryRequestTravelsInTls) {
  LinkWithSyncingSession(ConnectionRequest(1));
  ASSERT_TRUE(Pulled(1));
  for (const nlohmann::json& e : Requests("pull_event")) EXPECT_TRUE(e.value("tls", false)) << e.dump();
  EXPECT_EQ(ConnectionStatus(1), "connected");
}

TEST_F(ConnectionTest, AnEmptyProxyAddressIsDirectWhenAddedAndHandedOnWhenReloaded) {
  PObject req = ConnectionRequest(1);
  req["use_proxy"] = 1;
  req["proxy_ip"] = "";
  req["proxy_port"] = 3128;
  LinkWithSyncingSession(req);
  ASSERT_TRUE(Pulled(1));
  EXPECT_FALSE(Stored(1).getProxyInfo().use_proxy);
  EXPECT_TRUE(WaitUntil([&] { return ConnectionStatus(1) == "connected"; }, 10s));
  EXPECT_FALSE(Logged("proxy: ")) << Log();

  const size_t failures = CountInLog("Syncer: failed to connect to server.\n");
  EXPECT_EQ(Text(Call("reload_connection", req)), "null");
  EXPECT_TRUE(Logged("connection #1 is reloaded:\n")) << Log();
  EXPECT_TRUE(Logged("proxy: :3128\n")) << Log();
  EXPECT_TRUE(Stored(1).getProxyInfo().use_proxy);
  EXPECT_EQ(Stored(1).getProxyInfo().proxy_ip, "");
  const size_t accepts = server_.Counters().value("accepts", 0);
  // The syncer's next round cannot reach the server through no proxy.
  ASSERT_TRUE(WaitUntil([&] { return CountInLog("Syncer: failed to connect to server.\n") > failures; }, 20s))
      << Log();
  EXPECT_EQ(ConnectionStatus(1), "disconnected");
  EXPECT_EQ(server_.Counters().value("accepts", 0), accepts);
}

TEST_F(ConnectionTest, AReloadOntoAProxyTakesTheNextPullsThroughIt) {
  testsupport::BackgroundProcess tinyproxy;
  int proxy_port = 0;
  proxypeers::StartTinyproxy(&tinyproxy, Path(""), "", &proxy_port);
  LinkWithSyncingSession(ConnectionRequest(1));
  ASSERT_TRUE(Pulled(1));
  // tinyproxy logs each request line.
  const std::string request_line = "CONNECT 127.0.0.1:" + std::to_string(server_.port());
  EXPECT_EQ(ReadFile("tp.log").find(request_line), std::string::npos);

  PObject req = ConnectionRequest(1);
  req["use_proxy"] = 1;
  req["proxy_ip"] = "127.0.0.1";
  req["proxy_port"] = proxy_port;
  EXPECT_EQ(Text(Call("reload_connection", req)), "null");
  EXPECT_TRUE(Logged("proxy: 127.0.0.1:" + std::to_string(proxy_port) + "\n")) << Log();
  // A pull that was under way when the reload came may still reach the
  // server directly, and a connect the reload broke off reaches tinyproxy
  // without a request line: wait for the tunnel, then for pulls after it.
  ASSERT_TRUE(WaitUntil([&] { return ReadFile("tp.log").find(request_line) != std::string::npos; }, 20s))
      << ReadFile("tp.log") << Log();
  const size_t pulls = Requests("pull_event").size();
  ASSERT_TRUE(Pulled(pulls + 1)) << Log();
  EXPECT_TRUE(WaitUntil([&] { return ConnectionStatus(1) == "connected"; }, 10s));
}

}  // namespace
