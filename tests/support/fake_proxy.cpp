#include "support/fake_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/loopback.h"

namespace testsupport {

using loopback::SendAll;

FakeProxy::~FakeProxy() { Stop(); }

bool FakeProxy::Start(Script script, std::string* error) {
  script_ = std::move(script);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  listen_fd_ = loopback::BindLoopback(0, 16, &port_);
  if (listen_fd_ < 0) {
    *error = std::string("listen: ") + std::strerror(errno);
    return false;
  }
  acceptor_ = std::thread(&FakeProxy::AcceptLoop, this);
  return true;
}

void FakeProxy::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return;
    stopped_ = true;
  }
  if (stop_pipe_[1] >= 0) {
    char c = 0;
    // Never read: the pipe stays readable for every thread that polls it.
    while (write(stop_pipe_[1], &c, 1) < 0 && errno == EINTR) {
    }
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  for (int fd : fds_) close(fd);
  fds_.clear();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  for (int& fd : stop_pipe_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::vector<FakeProxy::Request> FakeProxy::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int FakeProxy::Accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

int FakeProxy::Closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

std::string FakeProxy::TagsSent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return tags_;
}

bool FakeProxy::WaitClosed(int n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return closed_ >= n; });
}

bool FakeProxy::WaitReadable(int fd) const {
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents != 0) return false;
    if (p[0].revents != 0) return true;
  }
}

void FakeProxy::AcceptLoop() {
  for (;;) {
    if (!WaitReadable(listen_fd_)) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    int connection = accepted_++;
    fds_.push_back(fd);
    workers_.emplace_back(&FakeProxy::Serve, this, connection, fd);
  }
}

void FakeProxy::Serve(int connection, int fd) {
  std::string pending;
  char buf[4096];
  bool echo = false;
  bool silent = false;
  bool by_client = true;
  for (;;) {
    if (!WaitReadable(fd)) return;  // stopped
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the client closed
    if (silent) continue;
    if (echo) {
      if (!SendAll(fd, buf, static_cast<size_t>(n))) break;
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t end;
    while (!echo && !silent && (end = pending.find("\r\n\r\n")) != std::string::npos) {
      std::string request = pending.substr(0, end + 4);
      pending.erase(0, end + 4);
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back({connection, request});
      }
      FakeProxyReply reply = script_(connection, request);
      if (!reply.bytes.empty() && !SendAll(fd, reply.bytes.data(), reply.bytes.size())) break;
      if (reply.close) {
        shutdown(fd, SHUT_RDWR);
        by_client = false;
        break;
      }
      silent = reply.silent;
      if (reply.tunnel) {
        if (!SendAll(fd, &reply.tag, 1)) break;
        std::lock_guard<std::mutex> lock(mu_);
        tags_ += reply.tag;
        echo = true;
        if (!pending.empty() && !SendAll(fd, pending.data(), pending.size())) break;
        pending.clear();
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (by_client) ++closed_;
  cv_.notify_all();
}

}  // namespace testsupport
