// A snapshot of the process-wide state a test may change through POSIX, put
// back when the guard goes: the environment (TZ re-read), the locale, the
// working folder, the file mode mask, signal dispositions and the calling
// thread's signal mask, and the resource limits. Every TempDirTest holds one, so a
// case that changes any of these cannot leak into the next case of the same
// process. State the code under test keeps (logger, clock, settings, name
// generator) is each fixture's own to restore.
#ifndef TESTS_SUPPORT_PROCESS_STATE_H_
#define TESTS_SUPPORT_PROCESS_STATE_H_

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>

namespace testsupport {

class ProcessStateGuard {
 public:
  ProcessStateGuard();
  ~ProcessStateGuard();
  ProcessStateGuard(const ProcessStateGuard&) = delete;
  ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

 private:
  std::map<std::string, std::string> env_;
  std::string locale_;
  int cwd_fd_;  // -1 when the working folder could not be opened
  mode_t umask_;
  struct sigaction actions_[NSIG];
  bool have_action_[NSIG];
  sigset_t mask_;
  rlimit limits_[RLIM_NLIMITS];
  bool have_limit_[RLIM_NLIMITS];
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PROCESS_STATE_H_
