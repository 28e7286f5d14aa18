#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace {

class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_)); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPairTest, RaisedFlagEndsTheWaitBeforeItStarts) {
  std::atomic<int> flag{1};
  unsigned ready = 99;
  int error = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::WaitStatus::kAborted,
            platform::WaitSocket(fds_[0], platform::kWaitRead, 5000, &flag, &ready, &error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(0u, ready);
}

TEST_F(SocketPairTest, ReadinessMapsToTheAskedSets) {
  unsigned ready = 0;
  int error = 0;
  EXPECT_EQ(platform::WaitStatus::kTimeout,
            platform::WaitSocket(fds_[0], platform::kWaitRead | platform::kWaitExcept, 0, nullptr, &ready, &error));
  EXPECT_EQ(platform::WaitStatus::kReady,
            platform::WaitSocket(fds_[0], platform::kWaitWrite, 0, nullptr, &ready, &error));
  EXPECT_EQ(platform::kWaitWrite, ready);

  ASSERT_EQ(1, platform::SocketSend(fds_[1], "x", 1));
  EXPECT_EQ(platform::WaitStatus::kReady,
            platform::WaitSocket(fds_[0], platform::kWaitRead | platform::kWaitExcept, 0, nullptr, &ready, &error));
  EXPECT_EQ(platform::kWaitRead, ready);
}

// A peer that has gone makes the socket readable, and the read then says so.
TEST_F(SocketPairTest, HangUpCountsAsReadable) {
  close(fds_[1]);
  fds_[1] = -1;
  unsigned ready = 0;
  int error = 0;
  ASSERT_EQ(platform::WaitStatus::kReady,
            platform::WaitSocket(fds_[0], platform::kWaitRead, 1000, nullptr, &ready, &error));
  EXPECT_EQ(platform::kWaitRead, ready);
  char c;
  EXPECT_EQ(0, platform::SocketRecv(fds_[0], &c, 1));
  // And a send reports EPIPE instead of raising SIGPIPE.
  EXPECT_EQ(-1, platform::SocketSend(fds_[0], "x", 1));
  EXPECT_EQ(EPIPE, errno);
}

TEST(SocketConnectTest, RefusedConnectIsReadyWithAPendingError) {
  // Bound but not listening: the connect is refused.
  int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(target, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(target, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  socklen_t len = sizeof sa;
  ASSERT_EQ(0, getsockname(target, reinterpret_cast<sockaddr*>(&sa), &len));

  int fd = platform::CreateTcpSocket();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, platform::SetSocketNonBlocking(fd));
  ASSERT_EQ(0, platform::SetSocketLinger(fd, 1));
  in_addr addr;
  ASSERT_TRUE(platform::ParseIPv4("127.0.0.1", &addr));
  int rc = platform::StartConnect(fd, addr, ntohs(sa.sin_port));
  if (rc == EINPROGRESS) {
    unsigned ready = 0;
    int error = 0;
    ASSERT_EQ(platform::WaitStatus::kReady,
              platform::WaitSocket(fd, platform::kWaitWrite | platform::kWaitExcept, 1000, nullptr, &ready, &error));
    EXPECT_TRUE(ready & platform::kWaitWrite) << "Linux reports a refused connect as writable";
    int so_error = 0;
    ASSERT_EQ(0, platform::PendingSocketError(fd, &so_error));
    EXPECT_EQ(ECONNREFUSED, so_error);
  } else {
    EXPECT_EQ(ECONNREFUSED, rc);
  }
  EXPECT_EQ(0, platform::CloseSocket(fd));
  close(target);
}

TEST(SocketAddressTest, OnlyDottedAddressesParse) {
  in_addr addr;
  EXPECT_TRUE(platform::ParseIPv4("10.1.2.3", &addr));
  EXPECT_EQ(htonl(0x0a010203u), addr.s_addr);
  for (const char* bad : {"300.1.2.3", "localhost", "", "1.2.3.4.5"}) {
    EXPECT_FALSE(platform::ParseIPv4(bad, &addr)) << bad;
  }
  EXPECT_FALSE(platform::ParseIPv4(nullptr, &addr));
}

TEST(SocketErrorTextTest, ComesFromTheCLibrary) {
  EXPECT_EQ("Broken pipe", platform::ErrorText(EPIPE));
  EXPECT_FALSE(platform::ErrorText(123456).empty());
}

}  // namespace
