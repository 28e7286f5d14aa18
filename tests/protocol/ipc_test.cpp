// The loopback IPC endpoints, driven from one thread: the port search, the
// refused ports, waits, and single exchanges whose far end the test plays.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <string>

#include "protocol/ipc_listener.h"
#include "protocol/ipc_sender.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::Hex;

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A socket bound to 127.0.0.1:port (not listening), or -1 when the port is
// taken.
int BindPort(int port) {
  int bound = -1;
  return testsupport::loopback::BindLoopback(port, -1, &bound);
}

// The lowest port the kernel hands out on its own; fixed ports below it are
// only taken by tests that bind them on purpose.
int EphemeralLow() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 32768;
  in >> low;
  return low;
}

class IPCTest : public testsupport::TempDirTest {};

// With P and P+1 taken, prepare(P) binds P+2 and says so in its log. P is
// drawn at run time, because other tests run at the same time.
TEST_F(IPCTest, PortSearchSkipsTakenPorts) {
  ptest::LogCapture log(Path(), "ipc=7\n");
  std::mt19937 rng(static_cast<unsigned>(getpid()) ^
                   static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const int high = EphemeralLow() - 3;
  ASSERT_GT(high, 10000);
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int p = std::uniform_int_distribution<int>(10000, high)(rng);
    int held0 = BindPort(p);
    int held1 = BindPort(p + 1);
    int probe = BindPort(p + 2);
    const bool usable = held0 >= 0 && held1 >= 0 && probe >= 0;
    if (probe >= 0) close(probe);
    if (usable) {
      IPCListener listener;
      int bound = listener.prepare(p);
      close(held0);
      close(held1);
      if (bound != p + 2) continue;  // P+2 was taken by someone else meanwhile
      const std::string text = log.Text();
      for (int q : {p, p + 1}) {
        EXPECT_NE(std::string::npos, text.find("): Try to bind port: " + std::to_string(q) + "\n")) << text;
        EXPECT_NE(std::string::npos, text.find("): Bind port " + std::to_string(q) + " failed, try next one\n"))
            << text;
      }
      EXPECT_NE(std::string::npos, text.find("[INFO] ipc(")) << text;
      EXPECT_NE(std::string::npos, text.find("): Bind port " + std::to_string(p + 2) + " success\n")) << text;
      EXPECT_NE(std::string::npos, text.find("): listening on port " + std::to_string(p + 2) + "\n")) << text;
      // It really listens there.
      int c = ptest::ConnectTo(p + 2);
      EXPECT_GE(c, 0);
      if (c >= 0) close(c);
      return;
    }
    if (held0 >= 0) close(held0);
    if (held1 >= 0) close(held1);
  }
  FAIL() << "no three free ports found";
}

// Ports outside 1..65535 give -1 and leave no socket: 0 would bind a port of
// the kernel's choosing and announce "daemon_port": 0.
TEST_F(IPCTest, PortsOutOfRangeAreRefused) {
  ptest::LogCapture log(Path(), "ipc=7\n");
  for (int port : {65536, 0, -1, -65536}) {
    SCOPED_TRACE(port);
    IPCListener listener;
    EXPECT_EQ(-1, listener.prepare(port));
    EXPECT_FALSE(listener.isReady());
    EXPECT_EQ(-1, listener.accept());
  }
  const std::string text = log.Text();
  EXPECT_NE(std::string::npos, text.find("): Try to bind port: 65536\n")) << text;
  EXPECT_NE(std::string::npos, text.find("): Port number exceeds 65536\n")) << text;
  EXPECT_NE(std::string::npos, text.find("): find available port failed.\n")) << text;
}

TEST_F(IPCTest, NamedSocketsAreInert) {
  IPCListener listener;
  EXPECT_EQ(-1, listener.prepare(Path("sock")));
  EXPECT_FALSE(listener.isReady());

  IPCSender sender;
  EXPECT_EQ(0, sender.connect(Path("sock")));
  PObject msg;
  msg["notify"] = "error";
  EXPECT_EQ(-1, sender.send(msg));
}

TEST_F(IPCTest, ReadinessWaits) {
  IPCListener none;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(none.isReady());
  EXPECT_LT(SecondsSince(start), 0.1) << "no socket: no wait";
  EXPECT_EQ(-1, none.accept());

  IPCListener listener;
  int port = listener.prepare(EphemeralLow());  // any port from there up
  ASSERT_GT(port, 0);
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(listener.isReady());
  double waited = SecondsSince(start);
  EXPECT_GT(waited, 2.5);
  EXPECT_LT(waited, 5.0);
  // Nothing to accept: -1 at once, never a blocked control loop.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, listener.accept());
  EXPECT_LT(SecondsSince(start), 0.5);

  int c = ptest::ConnectTo(port);
  ASSERT_GE(c, 0);
  EXPECT_TRUE(listener.isReady());
  int conn = listener.accept();
  EXPECT_GE(conn, 0);
  close(conn);
  close(c);
  listener.close();
  EXPECT_FALSE(listener.isReady());
  // A second prepare replaces the socket.
  EXPECT_GT(listener.prepare(port), 0);
}

// Plays the user interface: a listener whose accepted connection the test
// reads and writes directly.
class FarEnd {
 public:
  FarEnd() {
    fd_ = ptest::ListenAnyPort(&port_, 2 << 20);
  }
  ~FarEnd() {
    if (conn_ >= 0) close(conn_);
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  int Accept() {
    conn_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_;
  }
  bool Write(const std::string& bytes) {
    return send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // One object from the connection.
  PStream::Code ReadObject(PObject& obj) {
    Channel ch(81920);
    int dup_fd = dup(conn_);
    if (ch.Open(dup_fd, true) != ERR_OK) return static_cast<PStream::Code>(-100);
    PStream stream;
    return stream.Recv(ch, obj);
  }
  void CloseConnection() {
    close(conn_);
    conn_ = -1;
  }

 private:
  int fd_ = -1;
  int conn_ = -1;
  int port_ = 0;
};

std::string Str(const std::string& s) {
  return B({0x10, static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}) + s;
}

TEST_F(IPCTest, SendWithAndWithoutWaitingForTheReply) {
  const std::string answer = B({0x42}) + Str("ack") + Str("ok") + B({0x40});
  for (bool wait : {false, true}) {
    SCOPED_TRACE(wait);
    FarEnd ui;
    IPCSender sender;
    ASSERT_EQ(0, sender.connect(ui.port()));
    ASSERT_GE(ui.Accept(), 0);
    ASSERT_TRUE(ui.Write(answer));  // the answer waits in the sender's socket

    PObject request;
    request["action"] = "status";
    PObject reply;
    reply["kept"] = 1;
    ASSERT_EQ(0, sender.send(request, wait, reply));
    EXPECT_EQ(wait ? "{\"ack\": \"ok\", \"kept\": 1}" : "{\"kept\": 1}", std::string(reply.toString().c_str_utf8()));

    PObject got;
    ASSERT_EQ(PStream::Code::kOk, ui.ReadObject(got));
    EXPECT_EQ("{\"action\": \"status\"}", std::string(got.toString().c_str_utf8()));
  }
}

TEST_F(IPCTest, AssignAdoptsAConnectedSocket) {
  FarEnd ui;
  int fd = ptest::ConnectTo(ui.port());
  ASSERT_GE(fd, 0);
  ASSERT_GE(ui.Accept(), 0);
  IPCSender sender;
  ASSERT_EQ(0, sender.assign(fd));
  PObject msg;
  msg["daemon_port"] = 1025;
  ASSERT_EQ(0, sender.send(msg));
  PObject got;
  ASSERT_EQ(PStream::Code::kOk, ui.ReadObject(got));
  EXPECT_EQ(1025u, got["daemon_port"].asUInt64());

  IPCSender bad;
  EXPECT_EQ(-1, bad.assign(-1));
}

TEST_F(IPCTest, ConnectFailsWithoutAListener) {
  int port = 0;
  int l = ptest::ListenAnyPort(&port);
  ASSERT_GE(l, 0);
  close(l);
  IPCSender sender;
  EXPECT_EQ(-1, sender.connect(port));
  EXPECT_EQ(-1, sender.send(PObject("x")));
}

// A user interface that has closed its end: the daemon's send gives -1 and
// the process lives on, with SIGPIPE at its default action.
TEST_F(IPCTest, PeerGoneGivesMinusOneNotSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);
  const std::string body = ptest::Pattern(4 << 20);
  ptest::PutFile(Path("body"), body);
  FarEnd ui;
  IPCSender sender;
  ASSERT_EQ(0, sender.connect(ui.port()));
  ASSERT_GE(ui.Accept(), 0);
  ui.CloseConnection();

  PObject msg;
  PObject::binary_type& b = msg["data"].asBinary();
  b.path = Path("body").c_str();
  b.length = body.size();
  EXPECT_EQ(-1, sender.send(msg));
  EXPECT_EQ(-1, sender.send(msg));
}

// A reply that carries a file body has nowhere to go: refused, no file.
TEST_F(IPCTest, ReplyWithABinaryIsRefused) {
  FarEnd ui;
  IPCSender sender;
  ASSERT_EQ(0, sender.connect(ui.port()));
  ASSERT_GE(ui.Accept(), 0);
  ASSERT_TRUE(ui.Write(B({0x42}) + Str("f") + B({0x30, 0, 0, 0, 0, 0, 0, 0, 3}) + "abc" + B({0x40})));
  PObject reply;
  EXPECT_EQ(-1, sender.recv(reply));
}

}  // namespace
