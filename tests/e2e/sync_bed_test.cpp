// The bed's own parts that need no daemon: the counting relay and the
// write watch.
#include "support/sync_bed.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "support/loopback.h"
#include "support/relay_stand_in.h"
#include "support/temp_dir.h"

namespace {

namespace loopback = testsupport::loopback;

using namespace std::chrono_literals;
using testsupport::CountingRelay;
using testsupport::ServerStandIn;
using testsupport::WriteWatch;

std::string RoundTrip(int port, const std::string& bytes) {
  loopback::Fd fd(loopback::ConnectLoopback(port));
  if (fd.get() < 0 || !loopback::SendAll(fd.get(), bytes)) return "";
  std::string got;
  char buf[4096];
  while (got.size() < bytes.size()) {
    ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Bytes are counted both ways; a drop ends open connections; while not
// listening, connections are refused, and the same port serves again after.
TEST(CountingRelayTest, CountsDropsAndStopsListening) {
  testsupport::relay::EchoTarget echo;
  CountingRelay relay;
  ASSERT_TRUE(relay.Start(echo.port()));
  EXPECT_EQ("hello", RoundTrip(relay.port(), "hello"));
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return relay.bytes_down() == 5; }, 5s));
  EXPECT_EQ(5u, relay.bytes_up());

  loopback::Fd held(loopback::ConnectLoopback(relay.port()));
  ASSERT_GE(held.get(), 0);
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return echo.accepted() == 2; }, 5s));
  relay.DropAll();
  char c;
  EXPECT_EQ(0, recv(held.get(), &c, 1, 0)) << "a dropped connection ends";

  const int port = relay.port();
  relay.StopListening();
  EXPECT_LT(loopback::ConnectLoopback(port), 0);
  ASSERT_TRUE(relay.ResumeListening());
  EXPECT_EQ(port, relay.port());
  EXPECT_EQ("again", RoundTrip(port, "again"));
  EXPECT_EQ(3, relay.accepted());
  relay.Stop();
}

// A file written and closed that the test did not announce is reported; an
// announced one, a rename into place, a time change, a folder made and a
// write in the top-level working folder are not.
TEST(WriteWatchTest, ReportsOnlyUnannouncedWritesInPlace) {
  testsupport::TempDir dir;
  const std::string root = dir.path();
  ASSERT_EQ(0, mkdir((root + "/.ZarqelonWorkingDirectory").c_str(), 0700));
  WriteWatch watch(root);
  ASSERT_TRUE(watch.ok());
  auto write = [&](const std::string& rel, const std::string& bytes) {
    std::ofstream out(root + rel, std::ios::binary | std::ios::trunc);
    out << bytes;
  };
  watch.Announce("/mine");
  write("/mine", "1");
  write("/.ZarqelonWorkingDirectory/tmp", "2");
  ASSERT_EQ(0, std::rename((root + "/.ZarqelonWorkingDirectory/tmp").c_str(), (root + "/placed").c_str()));
  ASSERT_EQ(0, mkdir((root + "/sub").c_str(), 0700));
  // The watch of a new folder is added when its creation is read.
  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        write("/sub/probe", "p");
        return !watch.Unexpected().empty();
      },
      5s));
  write("/sub/in-place", "3");
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return watch.Unexpected().size() >= 2; }, 5s));
  std::this_thread::sleep_for(200ms);
  const std::vector<std::string> seen = watch.Unexpected();
  ASSERT_FALSE(seen.empty());
  for (const std::string& rel : seen) EXPECT_TRUE(rel == "/sub/probe" || rel == "/sub/in-place") << rel;
  EXPECT_EQ("/sub/in-place", seen.back());
}

}  // namespace
