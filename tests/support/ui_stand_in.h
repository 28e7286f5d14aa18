// UiStandIn: the user interface's side of the loopback control protocol, for
// tests that drive the daemon (in-process or as a separate program) and for
// the ui-stand-in console program.
#ifndef TESTS_SUPPORT_UI_STAND_IN_H_
#define TESTS_SUPPORT_UI_STAND_IN_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/pobject.h"

namespace testsupport {

// Listens on 127.0.0.1 at the given port (0: one the kernel picks), with a
// close-on-exec socket (a daemon started by the test must not inherit it)
// and a backlog of 128. From construction on, one thread accepts every
// connection and reads its one PObject: the daemon's port announcement, and
// the notifications of workers and the event queue. It never stops draining
// while it lives, so that tests see every notification (a stalled user
// interface costs the daemon dropped notifications; tests/support/
// stuck_listener.h is that one).
//
// Threads: every member may be called from any thread. request calls are
// serialised among themselves; the accept thread runs beside them.
class UiStandIn {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the accept thread for every message received, in order.
  using MessageHook = std::function<void(const PObject&)>;

  explicit UiStandIn(int port = 0, MessageHook hook = nullptr);
  // Stops the accept thread and closes the listener.
  ~UiStandIn();
  UiStandIn(const UiStandIn&) = delete;
  UiStandIn& operator=(const UiStandIn&) = delete;

  // The listening port P, or -1 when the socket could not be set up
  // (`error()` then says why).
  int port() const { return port_; }
  const std::string& error() const { return error_; }

  // Copies of the messages received so far, in arrival order.
  std::vector<PObject> messages() const;
  // Connections whose message could not be decoded (an empty one included).
  // Tests require 0.
  size_t decodeFailures() const { return decode_failures_.load(); }

  // Waits until `pred` holds for the messages received so far (checked at
  // once and after every new message). false after `timeout`.
  bool waitFor(const std::function<bool(const std::vector<PObject>&)>& pred, std::chrono::milliseconds timeout);

  // The port of the latest {"daemon_port": D} received (a restarted daemon
  // may take another port), waiting up to `timeout` for a first one; -1
  // when none came.
  int daemonPort(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // A user interface that goes away and comes back: closeListener stops
  // accepting and closes the listening socket (connections then fail);
  // reopenListener listens again on the same port (SO_REUSEADDR, as the
  // daemon's listener). Messages received and the announced port are kept.
  // reopenListener returns false when the port cannot be taken again.
  void closeListener();
  bool reopenListener();

  // Results of request.
  enum RequestResult {
    kReply = 0,           // a reply was decoded into *reply
    kClosed = 1,          // the daemon ended the connection without a byte
    kNoDaemon = -1,       // no announcement yet, or the connection failed
    kSendFailed = -2,     // the request could not be sent
    kBadReply = -3,       // bytes came that do not decode to one value
  };
  // One connection to the announced port: sends `req`, reads the reply.
  // Serialised: one request at a time.
  RequestResult request(const PObject& req, PObject* reply);
  // Sends {"action": "stop"}: true when the daemon closed the connection
  // without sending a byte, as it must.
  bool stop();

  // One line for a message (no line end), as the console prints it.
  // "error_type" and "code" are the daemon's negative error codes carried as
  // unsigned 64-bit integers and are shown signed.
  static std::string Describe(const PObject& msg);
  // Those two members read as the signed codes they carry.
  static int64_t ErrorType(const PObject& msg);
  static int64_t ErrorCode(const PObject& msg);
  // The "error" notifications among `messages` that name session `sess_id`
  // (a session error), of the type `error_type` unless it is 0.
  static size_t SessionErrors(const std::vector<PObject>& messages, uint64_t sess_id, int64_t error_type = 0);

 private:
  void AcceptLoop();
  // Reads one message from the accepted socket `fd` (which it closes) and
  // stores it, or counts a failure.
  void ReadOne(int fd);

  // Starts the accept thread on listen_fd_.
  void StartAccepting();
  // Ends the accept thread (and drains its wake byte).
  void StopAccepting();

  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};  // a byte on [1] ends the accept thread
  int port_ = -1;
  std::string error_;
  MessageHook hook_;

  mutable std::mutex mutex_;  // guards messages_
  std::condition_variable arrived_;
  std::vector<PObject> messages_;
  std::atomic<size_t> decode_failures_{0};

  std::mutex listener_mutex_;  // serialises closeListener and reopenListener
  std::mutex request_mutex_;  // one request at a time
  std::thread thread_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_UI_STAND_IN_H_
