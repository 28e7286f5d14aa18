#include "platform/socket_extra.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SocketExtra, ResolveIPv4) {
  in_addr addr;
  ASSERT_TRUE(platform::ResolveIPv4("127.0.0.1", &addr));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), addr.s_addr);
  ASSERT_TRUE(platform::ResolveIPv4("localhost", &addr));
  EXPECT_EQ(127u, ntohl(addr.s_addr) >> 24);
  EXPECT_FALSE(platform::ResolveIPv4("proxy.invalid", &addr));
  EXPECT_FALSE(platform::ResolveIPv4("", &addr));
  EXPECT_FALSE(platform::ResolveIPv4(nullptr, &addr));
}

TEST(SocketExtra, PeekLeavesTheBytesQueuedAndNoDelaySticks) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  ASSERT_EQ(5, write(sv[1], "hello", 5));
  char buf[8];
  EXPECT_EQ(5, platform::SocketPeek(sv[0], buf, sizeof buf));
  EXPECT_EQ(5, recv(sv[0], buf, sizeof buf, 0));
  EXPECT_EQ(0, std::memcmp(buf, "hello", 5));
  close(sv[1]);
  EXPECT_EQ(0, platform::SocketPeek(sv[0], buf, sizeof buf));
  close(sv[0]);

  int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(tcp, 0);
  EXPECT_EQ(0, platform::SetSocketNoDelay(tcp));
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(0, getsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &on, &len));
  EXPECT_EQ(1, on);
  close(tcp);
  EXPECT_EQ(EBADF, platform::SetSocketNoDelay(tcp));
}

}  // namespace
