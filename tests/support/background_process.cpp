#include "support/background_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

BackgroundProcess::~BackgroundProcess() { Stop(); }

bool BackgroundProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  if (pid_ > 0 || argv.empty()) {
    *error = pid_ > 0 ? "already started" : "empty argv";
    return false;
  }
  int in[2], out[2];
  // Close-on-exec, so that other children of the test never hold these ends.
  if (pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("pipe2: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("pipe2: ") + std::strerror(errno);
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (!stderr_path_.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (own_group_) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    close(in[1]);
    close(out[0]);
    return false;
  }
  pid_ = pid;
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  buffer_.clear();
  eof_ = false;
  return true;
}

bool BackgroundProcess::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line->assign(buffer_, 0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    if (eof_ || stdout_fd_ < 0) return false;
    struct pollfd p = {stdout_fd_, POLLIN, 0};
    int n = poll(&p, 1, RemainingMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    char chunk[4096];
    ssize_t got = read(stdout_fd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      eof_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

bool BackgroundProcess::WaitForLine(const std::function<bool(const std::string&)>& match, std::string* line,
                                    std::chrono::milliseconds timeout, std::string* seen) {
  Clock::time_point deadline = Clock::now() + timeout;
  std::string l;
  while (ReadLine(&l, std::chrono::milliseconds(RemainingMs(deadline)))) {
    if (seen != nullptr) *seen += l + "\n";
    if (match(l)) {
      *line = l;
      return true;
    }
  }
  return false;
}

bool BackgroundProcess::WaitExit(int* status, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return false;
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      *status = st;
      return true;
    }
    if (r < 0 && errno != EINTR) {
      // Not our child any more (reaped elsewhere): nothing left to wait for.
      pid_ = -1;
      *status = -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int BackgroundProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) {
    CloseFds();
    return -1;
  }
  int status = -1;
  kill(pid_, SIGTERM);
  if (!WaitExit(&status, grace)) {
    kill(pid_, SIGKILL);
    while (!WaitExit(&status, std::chrono::milliseconds(1000))) {
    }
  }
  CloseFds();
  return status;
}

void BackgroundProcess::CloseFds() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdin_fd_ = stdout_fd_ = -1;
}

}  // namespace testsupport
