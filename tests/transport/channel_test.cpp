// Opening, connecting, closing and the time-outs of a plain Channel.
#include "transport/channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "loopback.h"

namespace {

using loopback::RecvExactly;
using loopback::SecondsSince;
using loopback::SendAll;

constexpr size_t kCapacity = 81920;

TEST(ChannelOpenTest, ConnectsToADottedAddressAndCarriesBytesBothWays) {
  int port = 0;
  loopback::Fd listener = loopback::Listener(1, &port);
  ASSERT_GE(listener.get(), 0);
  Channel ch(kCapacity);
  EXPECT_TRUE(ch.IsClosed());
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  EXPECT_FALSE(ch.IsClosed());
  loopback::Fd peer(accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(peer.get(), 0);

  ASSERT_EQ(ERR_OK, ch.WriteInt32(0x01020304u));
  ASSERT_EQ(ERR_OK, ch.FlushWrite(0));
  EXPECT_EQ("\x01\x02\x03\x04", RecvExactly(peer.get(), 4));
  ASSERT_TRUE(SendAll(peer.get(), "pong"));
  char buf[4];
  ASSERT_EQ(ERR_OK, ch.Read(buf, 4));
  EXPECT_EQ("pong", std::string(buf, 4));
}

struct ConnectCase {
  const char* name;
  const char* ip;  // "" with use_port: the refusing port
  int port;        // 0: the refusing port
  ErrorCode expected;
};

void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ChannelConnectTest : public ::testing::TestWithParam<ConnectCase> {};

// A bad argument leaves the channel as it was; a connect that fails closes
// the socket it made.
TEST_P(ChannelConnectTest, FailsWithTheRightCode) {
  const ConnectCase& c = GetParam();
  int port = 0;
  // Bound but not listening: connects to it are refused.
  loopback::Fd refusing = loopback::Listener(-1, &port);
  ASSERT_GE(refusing.get(), 0);
  Channel ch(kCapacity);
  int fds_before = dup(0);
  close(fds_before);
  EXPECT_EQ(c.expected, ch.Open(c.ip, c.port == 0 ? port : c.port));
  EXPECT_TRUE(ch.IsClosed());
  int fds_after = dup(0);
  close(fds_after);
  EXPECT_EQ(fds_before, fds_after) << "a socket was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelConnectTest,
    ::testing::Values(ConnectCase{"ClosedPort", "127.0.0.1", 0, ERR_IO},
                      ConnectCase{"OutOfRangeAddress", "300.1.2.3", 80, ERR_IO},
                      ConnectCase{"HostName", "localhost", 80, ERR_IO}, ConnectCase{"EmptyAddress", "", 80, ERR_IO},
                      ConnectCase{"NullAddress", nullptr, 80, ERR_INVAL},
                      ConnectCase{"NegativePort", "127.0.0.1", -1, ERR_INVAL},
                      ConnectCase{"PortAbove65535", "127.0.0.1", 70000, ERR_INVAL}),
    [](const ::testing::TestParamInfo<ConnectCase>& info) { return std::string(info.param.name); });

// Opening over an open channel would leak its socket; it is refused and the
// old connection goes on working.
TEST(ChannelOpenTest, OpenOnAnOpenChannelIsRefused) {
  loopback::Pair p = loopback::MakePair();
  int port = 0;
  loopback::Fd other = loopback::Listener(1, &port);
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));

  EXPECT_EQ(ERR_INVAL, ch.Open("127.0.0.1", port));
  loopback::Pair q = loopback::MakePair();
  EXPECT_EQ(ERR_INVAL, ch.Open(q.a.get(), true));  // still the caller's

  ASSERT_EQ(ERR_OK, ch.Write("still", 5));
  ASSERT_EQ(ERR_OK, ch.FlushWrite(0));
  EXPECT_EQ("still", RecvExactly(p.b.get(), 5));
}

TEST(ChannelOpenTest, AdoptingAnInvalidSocketIsRefused) {
  Channel ch(kCapacity);
  EXPECT_EQ(ERR_INVAL, ch.Open(-1, true));
  EXPECT_EQ(ERR_INVAL, ch.Open(-1, false));
  EXPECT_TRUE(ch.IsClosed());
}

TEST(ChannelOpenTest, NamedSocketOpenIsInert) {
  Channel ch(kCapacity);
  EXPECT_EQ(ERR_OK, ch.Open("/tmp/no-such-socket"));
  EXPECT_TRUE(ch.IsClosed());
}

TEST(ChannelOpenTest, PeerInfoIsNotProvided) {
  loopback::Pair p = loopback::MakePair();
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  std::string ip;
  int port = 0;
  EXPECT_EQ(ERR_SYS, ch.GetPeerInfo(ip, port));
}

TEST(ChannelCloseTest, ClosedChannelRefusesIO) {
  Channel ch(kCapacity);
  char c = 0;
  size_t total = 7;
  EXPECT_EQ(ERR_IO, ch.Read(&c, 1, total));
  EXPECT_EQ(0u, total);
  EXPECT_EQ(ERR_IO, ch.Write("x", 1));
  EXPECT_EQ(ERR_IO, ch.WriteInt32(1));
  EXPECT_EQ(ERR_OK, ch.FlushWrite(0));
  EXPECT_EQ(ERR_OK, ch.Close());
  EXPECT_EQ(ERR_OK, ch.Close());
}

// Close sends what is buffered, then ends the stream; the channel can be
// opened again.
TEST(ChannelCloseTest, CloseFlushesThenClosesAndTheChannelReopens) {
  Channel ch(kCapacity);
  for (int round = 0; round < 2; ++round) {
    loopback::Pair p = loopback::MakePair();
    ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
    ASSERT_EQ(ERR_OK, ch.Write("bye", 3));
    EXPECT_EQ(ERR_OK, ch.Close());
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_EQ("bye", loopback::RecvToEnd(p.b.get()));
  }
}

TEST(ChannelCloseTest, DestructorClosesTheSocket) {
  loopback::Pair p = loopback::MakePair();
  {
    Channel ch(kCapacity);
    ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
    ASSERT_EQ(ERR_OK, ch.Write("end", 3));
  }
  EXPECT_EQ("end", loopback::RecvToEnd(p.b.get()));
}

// A peer that stopped reading with bytes still queued for it: Close lingers
// up to a second to deliver them, Discard resets at once.
TEST(ChannelCloseTest, DiscardDropsWhatAPeerThatStoppedReadingWouldGet) {
  for (bool discard : {false, true}) {
    SCOPED_TRACE(discard ? "Discard" : "Close");
    loopback::Pair p = loopback::MakePair();
    loopback::SmallBuffers(p.a.get());
    loopback::SmallBuffers(p.b.get());
    Channel ch(kCapacity);
    ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
    ch.SetTimeout(1);
    const std::string block(kCapacity, 'x');
    ErrorCode rc = ERR_OK;
    for (int i = 0; i < 200 && rc == ERR_OK; ++i) rc = ch.Write(block.data(), block.size());
    ASSERT_EQ(ERR_TIMEOUT, rc);
    const auto start = std::chrono::steady_clock::now();
    if (discard) {
      ch.Discard();
    } else {
      (void)ch.Close();
    }
    EXPECT_TRUE(ch.IsClosed());
    if (discard) {
      EXPECT_LT(SecondsSince(start), 0.3);
    } else {
      EXPECT_GE(SecondsSince(start), 0.9);
    }
  }
}

// The peer is connected but never says anything.
TEST(ChannelTimeoutTest, SilentPeerTimesOutAfterTheChannelTimeout) {
  loopback::Pair p = loopback::MakePair();
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(2);
  char buf[8];
  size_t total = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_TIMEOUT, ch.Read(buf, sizeof buf, total));
  double took = SecondsSince(start);
  EXPECT_EQ(0u, total);
  EXPECT_GE(took, 2.0);
  EXPECT_LT(took, 3.5);
}

// A peer that does not read: the flush times out once the kernel buffers
// are full and nothing has moved for the channel's time-out.
TEST(ChannelTimeoutTest, FlushToAPeerThatDoesNotReadTimesOut) {
  loopback::Pair p = loopback::MakePair();
  loopback::SmallBuffers(p.a.get());
  loopback::SmallBuffers(p.b.get());
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(1);
  const std::string block(kCapacity, 'x');
  ErrorCode rc = ERR_OK;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200 && rc == ERR_OK; ++i) {
    rc = ch.Write(block.data(), block.size());
  }
  EXPECT_EQ(ERR_TIMEOUT, rc);
  EXPECT_LT(SecondsSince(start), 3.0);
}

// listen(fd, 0) takes one connection into its queue and never accepts: the
// next connect hangs. With a time-out of 3 the first timed-out wait (counted
// as 3 s) ends it.
TEST(ChannelTimeoutTest, SilentConnectGivesUpAfterOneWait) {
  int port = 0;
  loopback::Fd listener = loopback::Listener(0, &port);
  ASSERT_GE(listener.get(), 0);
  loopback::Fd filler = loopback::Connect(port);
  ASSERT_GE(filler.get(), 0);
  Channel ch(kCapacity);
  ch.SetTimeout(3);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", port));
  double took = SecondsSince(start);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 2.0);
  EXPECT_TRUE(ch.IsClosed());
}

// A ring of 0 bytes would make every read loop for ever; it is taken as 1.
TEST(ChannelCapacityTest, ZeroCapacityStillMovesBytes) {
  loopback::Pair p = loopback::MakePair();
  Channel ch(0);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(5);
  EXPECT_EQ(ERR_OK, ch.Write("", 0));
  ASSERT_EQ(ERR_OK, ch.Write("a", 1));
  ASSERT_EQ(ERR_OK, ch.Write("b", 1));
  ASSERT_EQ(ERR_OK, ch.FlushWrite(0));
  EXPECT_EQ("ab", RecvExactly(p.b.get(), 2));
  ASSERT_TRUE(SendAll(p.b.get(), "xyz"));
  char buf[3];
  ASSERT_EQ(ERR_OK, ch.Read(buf, 3));
  EXPECT_EQ("xyz", std::string(buf, 3));
}

// The test environment ignores SIGPIPE, as the daemon's main does: a plain
// write to a closed peer reports EPIPE instead of killing the process.
TEST(ChannelEnvironmentTest, SigpipeIsIgnored) {
  loopback::Pair p = loopback::MakePair();
  p.b.reset();
  ssize_t n = 0;
  for (int i = 0; i < 100 && n >= 0; ++i) {
    n = write(p.a.get(), "x", 1);
    if (n >= 0) usleep(1000);
  }
  EXPECT_EQ(-1, n);
  EXPECT_EQ(EPIPE, errno);
}

}  // namespace
