#include "support/server_stand_in.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "server_stand_in/wire.h"
#include "support/temp_dir.h"
#include "transport/loopback.h"

namespace {

using json = nlohmann::json;
using testsupport::ServerStandIn;
using testsupport::ServerStandInOptions;

// MD4 of "abc" (RFC 1320).
constexpr char kMd4Abc[] = "a448017aaf21d8525fc10ae87aa6729d";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> PathsOf(const std::vector<ServerStandIn::Object>& objects) {
  std::vector<std::string> out;
  for (const auto& o : objects) out.push_back(o.path);
  return out;
}

// Sends one request on `fd` and reads the one reply map.
json Exchange(int fd, uint8_t command, const json& members) {
  EXPECT_TRUE(loopback::SendAll(fd, wire::Request(command, members)));
  wire::Reader reader(fd);
  std::optional<json> reply = reader.Value();
  EXPECT_TRUE(reply.has_value()) << "no whole reply to command " << int(command);
  return reply.value_or(json());
}

json ConnectMembers(const std::string& session) {
  return {{"action", "connect"}, {"session", session}, {"view_id", 1}, {"do_ssl", 0}};
}

uint64_t ErrorCode(const json& reply) {
  return reply.contains("error") ? reply["error"].value("code", uint64_t{0}) : 0;
}

TEST(ServerStandInTest, StartsWithTwoPortsAndAJournalAndStopsCleanly) {
  ServerStandIn server;
  ASSERT_TRUE(server.Start());
  EXPECT_GT(server.port(), 0);
  EXPECT_GT(server.control_port(), 0);
  EXPECT_NE(server.port(), server.control_port());
  EXPECT_TRUE(std::filesystem::exists(server.data_dir() + "/journal.jsonl"));
  EXPECT_TRUE(server.Violations().empty());
  server.Stop();
  EXPECT_EQ(server.port(), 0);
  server.Stop();  // idempotent
}

// Put, Get, History, List and Remove through the control port: versions rise
// by one per change, missing parents get one each, a folder remove leaves
// tombstones, and the stored content is the bytes put.
TEST(ServerStandInTest, ControlChangesAreVersionedAndReadBack) {
  ServerStandIn server;
  ASSERT_TRUE(server.Start());
  uint64_t v1 = server.Put("/docs/a.txt", "abc", 1700000000);
  ASSERT_NE(v1, 0u);
  std::optional<ServerStandIn::Object> folder = server.Get("/docs");
  ASSERT_TRUE(folder.has_value());
  EXPECT_TRUE(folder->is_dir);
  EXPECT_EQ(folder->version + 1, v1) << "the missing parent takes the version before the file";

  std::optional<ServerStandIn::Object> a = server.Get("/docs/a.txt");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->version, v1);
  EXPECT_EQ(a->max_id, v1);
  EXPECT_FALSE(a->is_dir);
  EXPECT_EQ(a->size, 3u);
  EXPECT_EQ(a->md4, kMd4Abc);
  EXPECT_EQ(a->mtime, 1700000000u);
  EXPECT_EQ(ReadAll(a->content_path), "abc");

  uint64_t v2 = server.Put("/docs/a.txt", "");
  EXPECT_EQ(v2, v1 + 1);
  EXPECT_EQ(server.Get("/docs/a.txt")->size, 0u);

  testsupport::TempDir local;
  std::string big(300000, 'x');
  { std::ofstream(local.path() + "/big", std::ios::binary) << big; }
  uint64_t v3 = server.PutFile("/big.bin", local.path() + "/big", 1234);
  EXPECT_EQ(v3, v2 + 1);
  EXPECT_EQ(ReadAll(server.Get("/big.bin")->content_path), big);
  uint64_t v4 = server.Mkdir("/empty");
  EXPECT_EQ(v4, v3 + 1);
  EXPECT_EQ(server.Head(), v4);
  EXPECT_EQ(PathsOf(server.List()), (std::vector<std::string>{"/big.bin", "/docs", "/docs/a.txt", "/empty"}));
  EXPECT_EQ(PathsOf(server.List("/docs")), (std::vector<std::string>{"/docs/a.txt"}));

  uint64_t v5 = server.Remove("/docs");
  EXPECT_EQ(v5, v4 + 1);
  EXPECT_FALSE(server.Get("/docs").has_value());
  EXPECT_FALSE(server.Get("/docs/a.txt").has_value());
  std::vector<ServerStandIn::Object> history = server.History("/docs/a.txt");
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].version, v1);
  EXPECT_EQ(history[0].md4, kMd4Abc);
  EXPECT_EQ(history[1].version, v2);
  EXPECT_TRUE(history[2].removed);
  EXPECT_EQ(history[2].version, v5) << "the child's tombstone shares the folder's version";
  EXPECT_EQ(PathsOf(server.List()), (std::vector<std::string>{"/big.bin", "/empty"}));
  // Every kept state, tombstones included, by path and version.
  std::vector<ServerStandIn::Object> all = server.Versions();
  std::vector<std::string> seen;
  for (const ServerStandIn::Object& v : all) {
    seen.push_back(v.path + (v.removed ? " removed" : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"/big.bin", "/docs", "/docs removed", "/docs/a.txt", "/docs/a.txt",
                                            "/docs/a.txt removed", "/empty"}));
  EXPECT_EQ(all[3].md4, kMd4Abc);
  EXPECT_EQ(all[5].version, v5);
  server.Stop();
}

// Versions above 2^32 travel through the control port whole (a harness that
// read them into 32 bits would wrap), and a seed given with a first version
// takes that version too.
TEST(ServerStandInTest, FirstVersionAbove32BitsAppliesToTheSeed) {
  testsupport::TempDir seed;
  std::filesystem::create_directories(seed.path() + "/sub");
  { std::ofstream(seed.path() + "/sub/f.txt", std::ios::binary) << "abc"; }
  { std::ofstream(seed.path() + "/top.txt", std::ios::binary) << "top"; }
  ServerStandInOptions options;
  options.seed = seed.path();
  options.first_version = (uint64_t{1} << 32) + 10;
  ServerStandIn server;
  ASSERT_TRUE(server.Start(options));
  std::optional<ServerStandIn::Object> sub = server.Get("/sub");
  std::optional<ServerStandIn::Object> f = server.Get("/sub/f.txt");
  std::optional<ServerStandIn::Object> top = server.Get("/top.txt");
  ASSERT_TRUE(sub && f && top);
  EXPECT_EQ(sub->version, options.first_version);
  EXPECT_EQ(f->version, options.first_version + 1);
  EXPECT_EQ(top->version, options.first_version + 2);
  EXPECT_EQ(f->md4, kMd4Abc);
  EXPECT_EQ(server.Put("/n", "x"), options.first_version + 3);
  EXPECT_EQ(server.Head(), options.first_version + 3);
  server.Stop();
}

TEST(ServerStandInTest, SeedFolderFillsTheFirstViewOnly) {
  testsupport::TempDir seed;
  std::filesystem::create_directories(seed.path() + "/a/b");
  { std::ofstream(seed.path() + "/a/b/c.txt", std::ios::binary) << "abc"; }
  ServerStandInOptions options;
  options.seed = seed.path();
  options.views = {7, 8};
  ServerStandIn server;
  ASSERT_TRUE(server.Start(options));
  EXPECT_EQ(PathsOf(server.List("/", 7)), (std::vector<std::string>{"/a", "/a/b", "/a/b/c.txt"}));
  EXPECT_EQ(ReadAll(server.Get("/a/b/c.txt", 7)->content_path), "abc");
  EXPECT_TRUE(server.List("/", 8).empty());
  server.Stop();
}

// The handshake start by hand: header 7c 4e 9a 13, version 0x46, command 22,
// length 0, then the "encrypt_channel" map; the reply is the empty map in
// plain text, after which the server waits for a TLS handshake.
TEST(ServerStandInTest, EncryptChannelIsAnsweredWithTheEmptyMap) {
  ServerStandIn server;
  ASSERT_TRUE(server.Start());
  loopback::Fd fd = loopback::Connect(server.port());
  ASSERT_GE(fd.get(), 0);
  std::string request = std::string("\x7c\x4e\x9a\x13\x46\x16\x00\x00", 8) +
                        wire::Encode({{"action", "encrypt_channel"}, {"agent", wire::Agent()}});
  ASSERT_TRUE(loopback::SendAll(fd.get(), request));
  EXPECT_EQ(loopback::RecvExactly(fd.get(), 2), std::string("\x42\x40", 2));
  fd.reset();  // no TLS handshake follows: the server gives up on it

  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        for (const json& e : server.Journal()) {
          if (e.value("event", "") == "close" || e.value("event", "") == "tls_failed") return true;
        }
        return false;
      },
      std::chrono::seconds(10)));
  bool logged = false;
  for (const json& e : server.Journal()) {
    if (e.value("event", "") == "request") {
      EXPECT_EQ(e.value("command", 0), 22);
      EXPECT_EQ(e.value("action", ""), "encrypt_channel");
      logged = true;
    }
  }
  EXPECT_TRUE(logged);
  json counters = server.Counters();
  EXPECT_EQ(counters["accepts"], 1);
  EXPECT_EQ(counters["requests"].value("encrypt_channel", 0), 1);
  server.Stop();
}

// A plain "connect" and a pull on one connection, decoded from the bytes.
// The connect reply is compared byte for byte: integers in their smallest
// width, map keys in byte order.
TEST(ServerStandInTest, PlainConnectThenPullOverHandWrittenBytes) {
  ServerStandInOptions options;
  options.settings = {{"server_build", 300}};
  ServerStandIn server;
  ASSERT_TRUE(server.Start(options));
  uint64_t v = server.Put("/dir/a.txt", "abc", 1600000000);
  ASSERT_NE(v, 0u);

  loopback::Fd fd = loopback::Connect(server.port());
  ASSERT_GE(fd.get(), 0);
  ASSERT_TRUE(loopback::SendAll(fd.get(), wire::Request(14, ConnectMembers("test-token"))));
  std::string expected = std::string("\x42\x10\x00\x05" "alive" "\x01\x01\x3c", 12) +
                         std::string("\x10\x00\x06" "server" "\x42", 10) +
                         std::string("\x10\x00\x0f" "package_version" "\x42", 19) +
                         std::string("\x10\x00\x05" "build" "\x01\x02\x01\x2c", 12) + "\x40\x40\x40";
  EXPECT_EQ(loopback::RecvExactly(fd.get(), expected.size()), expected);

  json pull = {{"action", "pull_event"}, {"session", "test-token"}, {"view_id", 1},
               {"sync_id", 0},           {"path", "/"},               {"node_id", 5},
               {"recursive", 1},         {"file", {{"offset", 0}}},   {"mtime", {{"offset", 0}}}};
  json reply = Exchange(fd.get(), 6, pull);
  EXPECT_EQ(reply.value("next_sync_id", uint64_t{0}), v);
  EXPECT_EQ(reply.value("alive", 0), 60);
  ASSERT_TRUE(reply["event_list"].is_array());
  ASSERT_EQ(reply["event_list"].size(), 2u);
  const json& dir = reply["event_list"][0];
  const json& file = reply["event_list"][1];
  EXPECT_EQ(dir["path"], "/dir");
  EXPECT_EQ(dir["is_dir"], 1);
  EXPECT_EQ(file["path"], "/dir/a.txt");
  EXPECT_EQ(file["is_dir"], 0);
  EXPECT_EQ(file["is_removed"], 0);
  EXPECT_EQ(file["sync_id"], v);
  EXPECT_EQ(file["max_id"], v);
  EXPECT_EQ(file["file"]["hash"], kMd4Abc);
  EXPECT_EQ(file["file"]["size"], 3);
  EXPECT_EQ(file["mtime"]["mtime"], 1600000000);

  // Nothing newer than the head: no records, and the request's sync id back.
  pull["sync_id"] = v;
  reply = Exchange(fd.get(), 6, pull);
  EXPECT_TRUE(reply["event_list"].empty());
  EXPECT_EQ(reply.value("next_sync_id", uint64_t{0}), v);

  json counters = server.Counters();
  EXPECT_EQ(counters["connects_plain"], 1);
  EXPECT_EQ(counters["requests"].value("pull_event", 0), 2);
  server.Stop();
}

// Refusals over the wire, and whether each is a protocol violation.
TEST(ServerStandInTest, RefusalsCarryTheirCodesAndViolationsAreRecorded) {
  struct Case {
    const char* name;
    bool connect_first;
    uint8_t command;
    json members;
    uint64_t code;
    const char* violation;  // nullptr: none expected
  };
  const json pull = {{"action", "pull_event"}, {"session", "test-token"}, {"view_id", 1},
                     {"sync_id", 0},           {"path", "/"},               {"node_id", 0},
                     {"recursive", 1},         {"file", {{"offset", 0}}},   {"mtime", {{"offset", 0}}}};
  json unknown_view = pull;
  unknown_view["view_id"] = 99;
  json bad_path = pull;
  bad_path["path"] = "/a/../b";
  json download = pull;
  download["action"] = "download";
  const Case cases[] = {
      {"unknown token", false, 14, ConnectMembers("no-such-token"), 0x2001, nullptr},
      {"pull before connect", false, 6, pull, 0x2001, "without a successful connect"},
      {"unknown view", true, 6, unknown_view, 0x3001, nullptr},
      {"dot-dot path", true, 6, bad_path, 0x3003, "bad path"},
      {"command 24", true, 24, download, 0x8000, "command 24"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerStandIn server;
    ASSERT_TRUE(server.Start());
    loopback::Fd fd = loopback::Connect(server.port());
    ASSERT_GE(fd.get(), 0);
    if (c.connect_first) {
      ASSERT_EQ(ErrorCode(Exchange(fd.get(), 14, ConnectMembers("test-token"))), 0u);
    }
    json reply = Exchange(fd.get(), c.command, c.members);
    EXPECT_EQ(ErrorCode(reply), c.code) << reply.dump();
    EXPECT_TRUE(reply.contains("alive")) << "every refusal carries \"alive\": " << reply.dump();
    std::vector<json> violations = server.Violations();
    if (c.violation == nullptr) {
      EXPECT_TRUE(violations.empty());
    } else {
      ASSERT_EQ(violations.size(), 1u);
      EXPECT_NE(violations[0].value("text", "").find(c.violation), std::string::npos) << violations[0].dump();
      server.ExpectViolation(c.violation);
    }
    server.Stop();
  }
}

// Stop fails the test on a violation nobody expected, and only then.
TEST(ServerStandInTest, StopFailsOnAnUnexpectedViolation) {
  auto provoke = [](ServerStandIn* server) {
    loopback::Fd fd = loopback::Connect(server->port());
    std::string bad_magic("\x7c\x4e\x9a\x14\x46\x06\x00\x00\x42\x40", 10);
    loopback::SendAll(fd.get(), bad_magic);
    loopback::RecvToEnd(fd.get());
    ServerStandIn::WaitFor([&] { return !server->Violations().empty(); }, std::chrono::seconds(10));
  };
  ServerStandIn unexpected;
  ASSERT_TRUE(unexpected.Start());
  provoke(&unexpected);
  EXPECT_NONFATAL_FAILURE(unexpected.Stop(), "unexpected violation");

  ServerStandIn expected;
  ASSERT_TRUE(expected.Start());
  provoke(&expected);
  expected.ExpectViolation("bad header");
  expected.Stop();
}

// Settings and fault rules pass through the control port; a refused control
// request is a test failure that names it.
TEST(ServerStandInTest, ControlRefusalsAreTestFailures) {
  ServerStandIn server;
  ASSERT_TRUE(server.Start());
  EXPECT_NE(server.Fault({{"action", "pull_event"}, {"error", 0x7000}}), 0u);
  server.Set({{"alive", 5}});
  EXPECT_NONFATAL_FAILURE(server.Set({{"no_such_setting", 1}}), "no_such_setting");
  EXPECT_NONFATAL_FAILURE(server.Put("relative", "x"), "refused");
  EXPECT_FALSE(server.Get("/missing").has_value());

  loopback::Fd fd = loopback::Connect(server.port());
  ASSERT_EQ(ErrorCode(Exchange(fd.get(), 14, ConnectMembers("test-token"))), 0u);
  json reply = Exchange(fd.get(), 6,
                        {{"action", "pull_event"}, {"session", "test-token"}, {"view_id", 1},
                         {"sync_id", 0}, {"path", "/"}, {"node_id", 0}, {"recursive", 1},
                         {"file", {{"offset", 0}}}, {"mtime", {{"offset", 0}}}});
  EXPECT_EQ(ErrorCode(reply), 0x7000u);
  EXPECT_EQ(reply.value("alive", 0), 5);
  server.Stop();
}

}  // namespace
