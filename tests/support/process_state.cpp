#include "support/process_state.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

extern char** environ;

namespace testsupport {

namespace {

std::map<std::string, std::string> Environment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr) env.emplace(std::string(*e, static_cast<size_t>(eq - *e)), eq + 1);
  }
  return env;
}

// The mask from /proc, which reads it without changing it (umask(2) can only
// read by setting, and another thread may create a file in between).
mode_t CurrentUmask() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  mode_t old = umask(022);
  umask(old);
  return old;
}

bool SameAction(const struct sigaction& a, const struct sigaction& b) {
  return a.sa_handler == b.sa_handler && a.sa_flags == b.sa_flags;
}

bool SameLimit(const rlimit& a, const rlimit& b) { return a.rlim_cur == b.rlim_cur && a.rlim_max == b.rlim_max; }

}  // namespace

ProcessStateGuard::ProcessStateGuard()
    : env_(Environment()),
      locale_(std::setlocale(LC_ALL, nullptr)),
      cwd_fd_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), umask_(CurrentUmask()) {
  for (int sig = 1; sig < NSIG; ++sig) {
    have_action_[sig] = sig != SIGKILL && sig != SIGSTOP && sigaction(sig, nullptr, &actions_[sig]) == 0;
  }
  have_action_[0] = false;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask_);
  for (int r = 0; r < RLIM_NLIMITS; ++r) have_limit_[r] = getrlimit(static_cast<__rlimit_resource_t>(r), &limits_[r]) == 0;
}

ProcessStateGuard::~ProcessStateGuard() {
  // Only what differs is written back: in the common case nothing changes,
  // and a thread the test left behind never sees the environment move.
  const std::map<std::string, std::string> now = Environment();
  bool tz_changed = false;
  for (const auto& [name, value] : now) {
    if (env_.count(name) == 0) {
      unsetenv(name.c_str());
      tz_changed |= name == "TZ";
    }
  }
  for (const auto& [name, value] : env_) {
    auto it = now.find(name);
    if (it == now.end() || it->second != value) {
      setenv(name.c_str(), value.c_str(), 1);
      tz_changed |= name == "TZ";
    }
  }
  if (tz_changed) tzset();
  if (locale_ != std::setlocale(LC_ALL, nullptr)) std::setlocale(LC_ALL, locale_.c_str());

  if (cwd_fd_ >= 0) {
    if (fchdir(cwd_fd_) != 0) std::perror("ProcessStateGuard: fchdir");
    close(cwd_fd_);
  }
  if (CurrentUmask() != umask_) umask(umask_);

  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (have_action_[sig] && sigaction(sig, nullptr, &current) == 0 && !SameAction(current, actions_[sig])) {
      sigaction(sig, &actions_[sig], nullptr);
    }
  }
  pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  for (int r = 0; r < RLIM_NLIMITS; ++r) {
    rlimit current;
    if (have_limit_[r] && getrlimit(static_cast<__rlimit_resource_t>(r), &current) == 0 && !SameLimit(current, limits_[r])) {
      setrlimit(static_cast<__rlimit_resource_t>(r), &limits_[r]);
    }
  }
}

}  // namespace testsupport
