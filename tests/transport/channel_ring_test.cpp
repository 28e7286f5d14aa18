// The two rings of Channel, with capacity 16 and odd sizes so that the data
// wraps around the ends of both.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "transport/channel.h"
#include "loopback.h"

namespace {

using loopback::RecvExactly;
using loopback::SendAll;

constexpr size_t kCapacity = 16;

// Moves at most 3 bytes per write and 5 per read through the real socket
// operations, so that flushes stop part-way and the write ring wraps.
class TrickleChannel : public Channel {
 public:
  TrickleChannel() : Channel(kCapacity) {}
  void Trickle() {
    m_ops.write = [](void* ctx, void const* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
      return WriteFd(static_cast<int*>(ctx), buf, len < 3 ? len : 3, wait, flag);
    };
    m_ops.read = [](void* ctx, void* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
      return ReadFd(static_cast<int*>(ctx), buf, len < 5 ? len : 5, wait, flag);
    };
  }
};

class ChannelRingTest : public ::testing::Test {
 protected:
  void SetUp() override { Reopen(); }

  // A fresh connection: the channel on one end, peer_ on the other.
  void Reopen() {
    ASSERT_EQ(ERR_OK, ch_.Close());
    loopback::Pair p = loopback::MakePair();
    ASSERT_GE(p.a.get(), 0);
    ASSERT_GE(p.b.get(), 0);
    ASSERT_EQ(ERR_OK, ch_.Open(p.a.release(), true));
    ch_.Trickle();
    ch_.SetTimeout(5);
    peer_ = std::move(p.b);
  }

  // The bytes the peer can take without waiting.
  std::string PeerAvailable() {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = recv(peer_.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  TrickleChannel ch_;
  loopback::Fd peer_;
};

TEST_F(ChannelRingTest, WritesIntegersBigEndianAcrossTheRingEnd) {
  // 7 bytes, 4 of them flushed: the next integers start at index 7 and wrap.
  ASSERT_EQ(ERR_OK, ch_.Write("abcdefg", 7));
  ASSERT_EQ(ERR_OK, ch_.FlushWrite(2));
  ASSERT_EQ(ERR_OK, ch_.WriteByte(0x01));
  ASSERT_EQ(ERR_OK, ch_.WriteInt16(0x0203));
  ASSERT_EQ(ERR_OK, ch_.WriteInt32(0x04050607u));
  ASSERT_EQ(ERR_OK, ch_.WriteInt64(0x08090a0b0c0d0e0full));
  ASSERT_EQ(ERR_OK, ch_.WriteInt32(0xf1f2f3f4u));
  ASSERT_EQ(ERR_OK, ch_.FlushWrite(0));
  const std::string expected =
      "abcdefg"
      "\x01"
      "\x02\x03"
      "\x04\x05\x06\x07"
      "\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
      "\xf1\xf2\xf3\xf4";
  EXPECT_EQ(expected, RecvExactly(peer_.get(), expected.size()));
}

TEST_F(ChannelRingTest, ReadsIntegersBigEndianFromOddPieces) {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    bytes += "\x81";
    bytes += "\x82\x83";
    bytes += "\x84\x85\x86\x87";
    bytes += std::string("\x88\x89\x8a\x8b\x8c\x8d\x8e\x8f", 8);
  }
  ASSERT_TRUE(SendAll(peer_.get(), bytes));
  for (int round = 0; round < 3; ++round) {
    uint8_t b = 0;
    uint16_t s = 0;
    uint32_t i = 0;
    uint64_t l = 0;
    ASSERT_EQ(ERR_OK, ch_.ReadByte(&b));
    ASSERT_EQ(ERR_OK, ch_.ReadInt16(&s));
    ASSERT_EQ(ERR_OK, ch_.ReadInt32(&i));
    ASSERT_EQ(ERR_OK, ch_.ReadInt64(&l));
    EXPECT_EQ(0x81, b);
    EXPECT_EQ(0x8283, s);
    EXPECT_EQ(0x84858687u, i);
    EXPECT_EQ(0x88898a8b8c8d8e8full, l);
  }
}

TEST_F(ChannelRingTest, WriteOfExactlyCapacityWaitsForTheFlush) {
  const std::string block = "0123456789abcdef";
  ASSERT_EQ(ERR_OK, ch_.Write(block.data(), block.size()));
  char c;
  EXPECT_EQ(-1, recv(peer_.get(), &c, 1, MSG_DONTWAIT));
  EXPECT_EQ(EAGAIN, errno);

  // One more byte does not fit: at least one byte goes out first.
  ASSERT_EQ(ERR_OK, ch_.Write("!", 1));
  std::string got = PeerAvailable();
  EXPECT_GE(got.size(), 1u);
  EXPECT_EQ(block.substr(0, got.size()), got);

  ASSERT_EQ(ERR_OK, ch_.FlushWrite(0));
  got += RecvExactly(peer_.get(), block.size() + 1 - got.size());
  EXPECT_EQ(block + "!", got);
}

TEST_F(ChannelRingTest, FlushOfMoreThanIsBufferedSendsAll) {
  ASSERT_EQ(ERR_OK, ch_.Write("hello", 5));
  EXPECT_EQ(ERR_OK, ch_.FlushWrite(1000));
  EXPECT_EQ("hello", RecvExactly(peer_.get(), 5));
  EXPECT_EQ(ERR_OK, ch_.FlushWrite(1000));  // nothing buffered: nothing to do
}

TEST_F(ChannelRingTest, BlockLargerThanCapacityIsRefused) {
  const std::string big(kCapacity + 1, 'x');
  EXPECT_EQ(ERR_INVAL, ch_.Write(big.data(), big.size()));
  ASSERT_EQ(ERR_OK, ch_.FlushWrite(0));
  EXPECT_EQ("", PeerAvailable());
}

// Reads of 7, 25 (more than the ring) and 9 bytes, while the socket hands
// over at most 5 bytes per call: the first read takes 10 bytes in and keeps 3
// for the next, which must come first in the 25.
TEST_F(ChannelRingTest, ReadsAcrossTheCapacityKeepOrder) {
  std::string bytes;
  for (int i = 0; i < 41; ++i) bytes += static_cast<char>('A' + i % 26);
  ASSERT_TRUE(SendAll(peer_.get(), bytes));
  ASSERT_EQ(0, shutdown(peer_.get(), SHUT_WR));

  size_t offset = 0;
  for (size_t len : {size_t{7}, size_t{25}, size_t{9}}) {
    std::string got(len, '\0');
    size_t total = 0;
    ASSERT_EQ(ERR_OK, ch_.Read(&got[0], len, total)) << len;
    EXPECT_EQ(len, total);
    EXPECT_EQ(bytes.substr(offset, len), got);
    offset += len;
  }
  char c;
  EXPECT_EQ(ERR_IO, ch_.Read(&c, 1));
}

// A failure still hands over the bytes that arrived, and leaves nothing
// behind in the ring.
TEST_F(ChannelRingTest, PeerClosingMidReadReportsWhatArrived) {
  struct Case {
    size_t sent, requested;
  };
  // Requests below the capacity go through the ring, larger ones do not.
  for (Case c : {Case{0, 12}, Case{7, 12}, Case{0, 30}, Case{10, 30}, Case{16, 30}, Case{23, 30}}) {
    SCOPED_TRACE(std::to_string(c.sent) + " of " + std::to_string(c.requested));
    Reopen();
    std::string bytes;
    for (size_t i = 0; i < c.sent; ++i) bytes += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(SendAll(peer_.get(), bytes));
    peer_.reset();

    std::string got(c.requested, '\0');
    size_t total = 99;
    EXPECT_EQ(ERR_IO, ch_.Read(&got[0], got.size(), total));
    EXPECT_EQ(c.sent, total);
    EXPECT_EQ(bytes, got.substr(0, total));
    size_t again = 99;
    EXPECT_EQ(ERR_IO, ch_.Read(&got[0], 1, again));
    EXPECT_EQ(0u, again);
  }
}

TEST_F(ChannelRingTest, FailedIntegerReadLeavesTheTargetAlone) {
  ASSERT_TRUE(SendAll(peer_.get(), std::string("\x01\x02", 2)));
  peer_.reset();
  uint32_t v = 0xdeadbeef;
  EXPECT_EQ(ERR_IO, ch_.ReadInt32(&v));
  EXPECT_EQ(0xdeadbeefu, v);
}

}  // namespace
