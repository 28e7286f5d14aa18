// The stand-in and its harness under several threads at once: clients pulling
// on their own connections while the store changes, and control calls from
// several test threads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "server_stand_in/wire.h"
#include "support/server_stand_in.h"
#include "support/temp_dir.h"
#include "transport/loopback.h"

namespace {

using json = nlohmann::json;
using testsupport::ServerStandIn;
using testsupport::ServerStandInOptions;

json PullMembers(uint64_t sync_id) {
  return {{"action", "pull_event"}, {"session", "test-token"}, {"view_id", 1},
          {"sync_id", sync_id},     {"path", "/"},               {"node_id", 0},
          {"recursive", 1},         {"file", {{"offset", 0}}},   {"mtime", {{"offset", 0}}}};
}

// What one pulling client saw, checked on the main thread.
struct ClientResult {
  std::string failure;  // empty when every exchange held
  size_t pulls = 0;
  uint64_t last_next = 0;
};

// Connects, then pulls from 0 `pulls` times. Each reply must be sorted by
// version, hold every seeded file, and name a next_sync_id at or above
// every record.
ClientResult PullingClient(int port, int pulls, size_t seeded_files) {
  ClientResult r;
  loopback::Fd fd = loopback::Connect(port);
  if (fd.get() < 0) return {"cannot connect", 0, 0};
  wire::Reader reader(fd.get());
  if (!loopback::SendAll(fd.get(), wire::Request(14, {{"action", "connect"}, {"session", "test-token"},
                                                      {"view_id", 1}, {"do_ssl", 0}}))) {
    return {"cannot send connect", 0, 0};
  }
  std::optional<json> connected = reader.Value();
  if (!connected || connected->contains("error")) return {"connect refused", 0, 0};
  for (int i = 0; i < pulls; ++i) {
    if (!loopback::SendAll(fd.get(), wire::Request(6, PullMembers(0)))) return {"cannot send pull", r.pulls, 0};
    std::optional<json> reply = reader.Value();
    if (!reply || !reply->contains("event_list") || !reply->contains("next_sync_id")) {
      r.failure = "bad pull reply: " + (reply ? reply->dump() : std::string("none"));
      return r;
    }
    uint64_t next = (*reply)["next_sync_id"].get<uint64_t>();
    uint64_t previous = 0;
    size_t seeded = 0;
    for (const json& rec : (*reply)["event_list"]) {
      uint64_t v = rec["sync_id"].get<uint64_t>();
      if (v < previous || v > next) {
        r.failure = "record out of order or above next_sync_id: " + rec.dump();
        return r;
      }
      previous = v;
      if (rec["path"].get<std::string>().rfind("/seed/", 0) == 0) ++seeded;
    }
    if (seeded != seeded_files) {
      r.failure = "a pull missed seeded files: " + std::to_string(seeded);
      return r;
    }
    if (next < r.last_next) {
      r.failure = "next_sync_id went back";
      return r;
    }
    r.last_next = next;
    ++r.pulls;
  }
  return r;
}

// Eight clients pull at once while the test adds files through the control
// port: every reply is whole and consistent, and the counters add up.
TEST(ServerStandInConcurrencyTest, SeveralClientsPullWhileTheStoreChanges) {
  constexpr int kClients = 8;
  constexpr int kPulls = 10;
  constexpr size_t kSeeded = 40;
  testsupport::TempDir seed;
  std::filesystem::create_directories(seed.path() + "/seed");
  for (size_t i = 0; i < kSeeded; ++i) {
    std::ofstream(seed.path() + "/seed/f" + std::to_string(i), std::ios::binary) << std::string(i * 100, 'a');
  }
  ServerStandInOptions options;
  options.seed = seed.path();
  ServerStandIn server;
  ASSERT_TRUE(server.Start(options));

  std::vector<ClientResult> results(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] { results[c] = PullingClient(server.port(), kPulls, kSeeded); });
  }
  for (int i = 0; i < 30; ++i) server.Put("/added/f" + std::to_string(i), std::string(i, 'b'));
  for (std::thread& t : clients) t.join();

  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(results[c].failure, "") << "client " << c;
    EXPECT_EQ(results[c].pulls, static_cast<size_t>(kPulls)) << "client " << c;
  }
  // The store only grows, so the head after the joins bounds every answer.
  uint64_t head = server.Head();
  for (const ClientResult& r : results) EXPECT_LE(r.last_next, head);
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return server.Counters()["accepts"] == kClients; },
                                     std::chrono::seconds(10)));
  json counters = server.Counters();
  EXPECT_EQ(counters["connects_plain"], kClients);
  EXPECT_EQ(counters["requests"].value("pull_event", 0), kClients * kPulls);
  server.Stop();
}

// Control calls from several test threads share one connection: each gets
// its own reply, and every change takes a distinct version.
TEST(ServerStandInConcurrencyTest, ControlCallsFromSeveralThreadsGetTheirOwnReplies) {
  constexpr int kThreads = 4;
  constexpr int kPuts = 25;
  ServerStandIn server;
  ASSERT_TRUE(server.Start());
  ASSERT_NE(server.Mkdir("/t"), 0u);
  std::vector<std::vector<uint64_t>> versions(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPuts; ++i) {
        std::string path = "/t/" + std::to_string(t) + "-" + std::to_string(i);
        versions[t].push_back(server.Put(path, path));
        std::optional<ServerStandIn::Object> got = server.Get(path);
        // Another thread may have written since, but never this path.
        EXPECT_TRUE(got && got->version == versions[t].back() && got->size == path.size()) << path;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<uint64_t> all;
  for (const auto& v : versions) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPuts));
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(*all.rbegin(), server.Head());
  EXPECT_EQ(server.List("/t").size(), static_cast<size_t>(kThreads * kPuts));
  server.Stop();
}

}  // namespace
