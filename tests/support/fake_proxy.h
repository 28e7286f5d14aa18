// A scripted HTTP proxy for tests: it listens on 127.0.0.1 on a free port,
// reads each request up to its blank line, asks the test's script what to
// do, and records every request. A reply can turn the connection into a
// "tunnel": after the reply it sends one tag byte (so the test sees which
// connection was kept) and then echoes whatever arrives until the client
// closes.
#ifndef TESTS_SUPPORT_FAKE_PROXY_H_
#define TESTS_SUPPORT_FAKE_PROXY_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// What to do with one request.
struct FakeProxyReply {
  std::string bytes;    // sent as they stand (may be empty)
  bool close = false;   // then close the connection
  bool silent = false;  // send nothing more and read nothing until the client closes
  bool tunnel = false;  // then send `tag` and echo until the client closes
  char tag = 0;
};

class FakeProxy {
 public:
  // Called on the connection's own thread, possibly on several at once:
  // `connection` counts accepted connections from 0, `request` is the whole
  // request including its blank line.
  using Script = std::function<FakeProxyReply(int connection, const std::string& request)>;

  struct Request {
    int connection;
    std::string text;
  };

  FakeProxy() = default;
  ~FakeProxy();
  FakeProxy(const FakeProxy&) = delete;
  FakeProxy& operator=(const FakeProxy&) = delete;

  // Starts listening and serving. false with *error on failure.
  bool Start(Script script, std::string* error);
  // Stops every thread and closes every socket. Idempotent.
  void Stop();

  int port() const { return port_; }
  // The requests so far, in arrival order.
  std::vector<Request> Requests() const;
  // Connections accepted, and connections the client has closed (not
  // counting those the script closed).
  int Accepted() const;
  int Closed() const;
  // Waits until at least `n` connections have been closed by the client.
  bool WaitClosed(int n, std::chrono::milliseconds timeout) const;
  // Tags sent on tunnelled connections, in order.
  std::string TagsSent() const;

 private:
  void AcceptLoop();
  void Serve(int connection, int fd);
  // Waits for `fd` to become readable or the stop pipe; false on stop.
  bool WaitReadable(int fd) const;

  Script script_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
  std::vector<Request> requests_;
  std::string tags_;
  int accepted_ = 0;
  int closed_ = 0;
  bool stopped_ = false;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FAKE_PROXY_H_
