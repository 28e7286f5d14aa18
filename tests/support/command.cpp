#include "support/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>

extern char** environ;

namespace testsupport {

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) (void)close(fd);  // pipe ends: nothing to flush
  fd = -1;
}

// The caller's environment with `overrides` ("NAME=value") added or replaced.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& o : overrides) {
      if (o.substr(0, o.find('=')) == name) replaced = true;
    }
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

// Writes to a pipe whose reader may have gone: EPIPE must come back as an
// error, not as a SIGPIPE that kills the test. SIGPIPE for a pipe write is
// sent to the writing thread, so blocking it there and taking a pending one
// back afterwards leaves the rest of the process untouched.
ssize_t WriteNoSigpipe(int fd, const char* data, size_t len) {
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  ssize_t n = write(fd, data, len);
  int saved = errno;
  if (n < 0 && saved == EPIPE) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = saved;
  return n;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& env) {
  CommandResult result;
  if (argv.empty()) {
    result.err = "RunCommand: empty argv";
    return result;
  }
  // Everything the child needs is built before fork: only async-signal-safe
  // calls may run between fork and exec in a threaded process.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_strings = MergedEnvironment(env);
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  // [0] read end, [1] write end; `status` carries an exec failure's errno.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
  auto close_all = [&] {
    for (int* p : {in, out, err, status}) {
      CloseFd(p[0]);
      CloseFd(p[1]);
    }
  };
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      pipe2(status, O_CLOEXEC) != 0) {
    result.err = std::string("pipe2: ") + std::strerror(errno);
    close_all();
    return result;
  }

  pid_t pid = fork();
  if (pid < 0) {
    result.err = std::string("fork: ") + std::strerror(errno);
    close_all();
    return result;
  }
  if (pid == 0) {
    // dup2 clears close-on-exec on the copies 0, 1 and 2 only.
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) {
      int e = errno;
      (void)!write(status[1], &e, sizeof e);
      _exit(127);
    }
    execvpe(args[0], args.data(), envp.data());
    int e = errno;
    (void)!write(status[1], &e, sizeof e);
    _exit(127);
  }

  CloseFd(in[0]);
  CloseFd(out[1]);
  CloseFd(err[1]);
  CloseFd(status[1]);

  size_t written = 0;
  if (input.empty()) CloseFd(in[1]);
  if (in[1] >= 0) (void)fcntl(in[1], F_SETFL, O_NONBLOCK);  // a full pipe must not stall the reads

  while (out[0] >= 0 || err[0] >= 0 || in[1] >= 0) {
    struct pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (out[0] >= 0) { idx_out = n; fds[n++] = {out[0], POLLIN, 0}; }
    if (err[0] >= 0) { idx_err = n; fds[n++] = {err[0], POLLIN, 0}; }
    if (in[1] >= 0) { idx_in = n; fds[n++] = {in[1], POLLOUT, 0}; }
    if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto drain = [](int& fd, std::string& sink) {
      char buf[65536];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0) {
        sink.append(buf, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        CloseFd(fd);
      }
    };
    if (idx_out >= 0 && fds[idx_out].revents) drain(out[0], result.out);
    if (idx_err >= 0 && fds[idx_err].revents) drain(err[0], result.err);
    if (idx_in >= 0 && fds[idx_in].revents) {
      ssize_t w = WriteNoSigpipe(in[1], input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (written == input.size() || (w < 0 && errno != EINTR && errno != EAGAIN)) CloseFd(in[1]);
    }
  }

  int exec_errno = 0;
  ssize_t got = read(status[0], &exec_errno, sizeof exec_errno);
  CloseFd(status[0]);

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) {
      result.err += std::string("waitpid: ") + std::strerror(errno);
      return result;
    }
  }
  if (got == static_cast<ssize_t>(sizeof exec_errno)) {
    result.exit_code = -1;
    result.err = std::string("exec ") + argv[0] + ": " + std::strerror(exec_errno);
  } else if (WIFEXITED(wstatus)) {
    result.exit_code = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.exit_code = 128 + WTERMSIG(wstatus);
  }
  return result;
}

int RunInChild(const std::function<int()>& fn, bool as_nobody, int timeout_seconds) {
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobodyId) != 0 || setuid(kNobodyId) != 0)) {
      _exit(255);
    }
    int r = fn();
    fflush(nullptr);
    _exit(r & 0xFF);
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int wstatus = 0;
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus) == 255 && as_nobody ? -1 : WEXITSTATUS(wstatus);
      return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
    }
    if (r < 0 && errno != EINTR) return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= timeout_seconds) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
      }
      return kTimedOut;
    }
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

CommandResult RunSqlite3(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"sqlite3", "-cmd", ".timeout 10000"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv);
}

}  // namespace testsupport
