// StuckListener: a user interface that listens and never accepts. A loopback
// listener with a backlog of 1 whose accept queue the test fills itself, so
// that every further connect to its port stays pending (the kernel drops the
// SYN while the queue is full) until the connecting side gives up.
//
// Header-only, POSIX alone, like loopback.h.
#ifndef TESTS_SUPPORT_STUCK_LISTENER_H_
#define TESTS_SUPPORT_STUCK_LISTENER_H_

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/loopback.h"

namespace testsupport {

class StuckListener {
 public:
  // Listens and connects until one connect stays pending for a second (a
  // loopback connect with room in the queue completes in microseconds).
  // ok() tells whether that happened; error() says what was seen if not.
  StuckListener() {
    listener_ = loopback::Listener(1, &port_);
    if (listener_.get() < 0) {
      error_ = "cannot listen: " + std::string(std::strerror(errno));
      return;
    }
    for (int i = 0; i < 8; ++i) {
      loopback::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (fd.get() < 0) {
        error_ = "socket: " + std::string(std::strerror(errno));
        return;
      }
      const sockaddr_in sa = loopback::LoopbackAddress(port_);
      if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        error_ = "connect: " + std::string(std::strerror(errno));
        return;
      }
      pollfd p{fd.get(), POLLOUT, 0};
      const int ready = poll(&p, 1, 1000);
      fillers_.push_back(std::move(fd));
      if (ready == 0) {
        full_ = true;  // this one stays pending: the queue is full
        return;
      }
    }
    error_ = "8 connects completed without an accept: the backlog never filled";
  }
  StuckListener(const StuckListener&) = delete;
  StuckListener& operator=(const StuckListener&) = delete;

  int port() const { return port_; }
  bool ok() const { return full_; }
  const std::string& error() const { return error_; }

 private:
  loopback::Fd listener_;
  std::vector<loopback::Fd> fillers_;  // queued, and the one left pending
  int port_ = -1;
  bool full_ = false;
  std::string error_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_STUCK_LISTENER_H_
