// A control loop on an IPCListener in its own thread, as the daemon runs
// it, serving senders from several threads: one request and one reply per
// connection, and "stop" without a reply.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ipc_listener.h"
#include "protocol/ipc_sender.h"
#include "protocol/pstream.h"
#include "transport/channel.h"

namespace {

// Serves connections until a request's "action" is "stop". Counts the
// requests it answered.
class ControlLoop {
 public:
  int Start() {
    port_ = listener_.prepare(20000 + getpid() % 10000);
    if (port_ > 0) thread_ = std::thread([this] { Run(); });
    return port_;
  }
  ~ControlLoop() { Join(); }
  // Waits until the loop has served "stop".
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  int answered() const { return answered_; }
  int failed() const { return failed_; }

 private:
  void Run() {
    for (;;) {
      if (!listener_.isReady()) continue;
      int fd = listener_.accept();
      if (fd < 0) continue;
      Channel ch(81920);
      if (ch.Open(fd, true) != ERR_OK) {
        close(fd);
        continue;
      }
      // One stream receives the request and sends the reply.
      PStream stream;
      PObject request;
      if (stream.Recv(ch, request) != PStream::Code::kOk) {
        ++failed_;
        continue;
      }
      ustring action = request["action"].asString();
      if (action == "stop") return;
      PObject reply;
      reply["ack"] = "ok";
      reply["echo"] = request["n"];
      if (stream.Send(ch, reply) == PStream::Code::kOk) ++answered_;
    }
  }

  IPCListener listener_{std::chrono::milliseconds(200)};
  int port_ = -1;
  std::thread thread_;
  std::atomic<int> answered_{0};
  std::atomic<int> failed_{0};
};

TEST(IPCConcurrencyTest, ControlLoopServesSendersFromManyThreads) {
  ControlLoop loop;
  const int port = loop.Start();
  ASSERT_GT(port, 0);

  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        IPCSender sender;
        if (sender.connect(port) != 0) continue;
        PObject request;
        request["action"] = "status";
        request["n"] = t * 100 + i;
        PObject reply;
        if (sender.send(request, true, reply) != 0) continue;
        if (reply["ack"].asString() == "ok" && reply["echo"].asUInt64() == static_cast<uint64_t>(t * 100 + i)) {
          ++good;
        }
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(kThreads * kEach, good.load());

  // A local process that sends a file body gets nothing and stops nothing:
  // the loop's stream has no receive folder.
  {
    IPCSender rogue;
    ASSERT_EQ(0, rogue.connect(port));
    PObject body;
    body["x"].asBinary().path = "/etc/hostname";
    body["x"].asBinary().length = 0;
    EXPECT_EQ(0, rogue.send(body));
  }

  IPCSender stopper;
  ASSERT_EQ(0, stopper.connect(port));
  PObject stop;
  stop["action"] = "stop";
  PObject untouched;
  EXPECT_EQ(0, stopper.send(stop, false, untouched));
  EXPECT_TRUE(untouched.isNull());
  loop.Join();
  EXPECT_EQ(kThreads * kEach, loop.answered());
  EXPECT_EQ(1, loop.failed()) << "the body without a place was refused";
}

}  // namespace
