// The abort flag, raised by another thread while the channel waits. The
// channel time-out is 0 (never), so only the flag can end each wait.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "loopback.h"
#include "support/pki.h"
#include "transport/channel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kCapacity = 81920;
// One wait lasts 1 s; the flag is read before each.
constexpr double kAbortWithin = 1.5;

// Raises the flag after a delay from its own thread and notes when.
class Raiser {
 public:
  explicit Raiser(std::atomic<int>* flag)
      : thread_([this, flag] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          raised_at_ = Clock::now();
          flag->store(1, std::memory_order_relaxed);
        }) {}
  ~Raiser() { Join(); }
  // Seconds from the raise to now; joins first.
  double SecondsSinceRaise() {
    Join();
    return std::chrono::duration<double>(Clock::now() - raised_at_).count();
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  Clock::time_point raised_at_;
  std::thread thread_;
};

// Reaches the handshake step on its own.
class HandshakeChannel : public Channel {
 public:
  HandshakeChannel() : Channel(kCapacity) {}
  // The handshake's code; ERR_MAX (no code) when the TLS objects could not
  // be set up.
  ErrorCode HandshakeOnly(const std::atomic<int>* abort_flag) {
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    if (InitSSL(ssl, ctx, false, true) != 0) return ERR_MAX;
    const ErrorCode rc =
        SSL_set_fd(ssl, m_ops.get_fd(m_ops.context)) == 1 ? SSLHandshake(ssl, m_timeout, 0, abort_flag) : ERR_MAX;
    DeinitSSL(ssl, ctx, true);
    return rc;
  }
};

TEST(ChannelAbortTest, RaisedFlagEndsARead) {
  loopback::Pair p = loopback::MakePair();
  std::atomic<int> flag{0};
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(0);
  ch.SetFlag(&flag);
  char buf[16];
  Raiser raiser(&flag);
  EXPECT_EQ(ERR_INT, ch.Read(buf, sizeof buf));
  EXPECT_LT(raiser.SecondsSinceRaise(), kAbortWithin);
}

// The peer reads nothing; the writer blocks once the kernel buffers are full.
TEST(ChannelAbortTest, RaisedFlagEndsAFlush) {
  loopback::Pair p = loopback::MakePair();
  std::atomic<int> flag{0};
  Channel ch(kCapacity);
  ASSERT_EQ(ERR_OK, ch.Open(p.a.release(), true));
  ch.SetTimeout(0);
  ch.SetFlag(&flag);
  const std::string block(kCapacity, 'x');
  Raiser raiser(&flag);
  ErrorCode rc = ERR_OK;
  // Up to 64 MiB: far more than the kernel buffers take.
  for (int i = 0; i < 800 && rc == ERR_OK; ++i) {
    rc = ch.Write(block.data(), block.size());
    if (rc == ERR_OK) rc = ch.FlushWrite(0);
  }
  EXPECT_EQ(ERR_INT, rc);
  EXPECT_LT(raiser.SecondsSinceRaise(), kAbortWithin);
  // Close must not wait for the peer either: the flag is still raised.
  auto start = Clock::now();
  EXPECT_EQ(ERR_INT, ch.Close());
  EXPECT_LT(loopback::SecondsSince(start), kAbortWithin + 1.0);  // + the 1-s linger
}

// listen(fd, 0) with its one queue slot taken: the connect hangs.
TEST(ChannelAbortTest, RaisedFlagEndsAConnect) {
  int port = 0;
  loopback::Fd listener = loopback::Listener(0, &port);
  ASSERT_GE(listener.get(), 0);
  loopback::Fd filler = loopback::Connect(port);
  ASSERT_GE(filler.get(), 0);
  std::atomic<int> flag{0};
  Channel ch(kCapacity);
  ch.SetTimeout(0);
  ch.SetFlag(&flag);
  Raiser raiser(&flag);
  EXPECT_EQ(ERR_IO, ch.Open("127.0.0.1", port));
  EXPECT_LT(raiser.SecondsSinceRaise(), kAbortWithin);
  EXPECT_TRUE(ch.IsClosed());
}

// A listener that takes the connection and never answers the client hello.
TEST(ChannelAbortTest, RaisedFlagEndsAHandshake) {
  int port = 0;
  loopback::Fd listener = loopback::Listener(1, &port);
  ASSERT_GE(listener.get(), 0);
  std::atomic<int> flag{0};
  HandshakeChannel ch;
  ch.SetTimeout(0);
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  {
    Raiser raiser(&flag);
    EXPECT_EQ(ERR_INT, ch.HandshakeOnly(&flag));
    EXPECT_LT(raiser.SecondsSinceRaise(), kAbortWithin);
  }

  flag.store(0);
  ch.SetFlag(&flag);
  Channel::SetVerifyCAPath(ustring(testsupport::PkiPath("ca.pem").c_str()));
  Raiser raiser(&flag);
  EXPECT_EQ(ERR_IO, ch.ConvertToSSLChannel(false));
  EXPECT_LT(raiser.SecondsSinceRaise(), kAbortWithin);
  EXPECT_FALSE(ch.IsClosed());
}

}  // namespace
