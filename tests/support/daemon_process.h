// DaemonProcess: the real daemon binary, started by a test as a separate
// process with a configuration of the test's own. The tests' wrapper of
// DaemonProcessCore (daemon_process_core.h): every error becomes a test
// failure.
#ifndef TESTS_SUPPORT_DAEMON_PROCESS_H_
#define TESTS_SUPPORT_DAEMON_PROCESS_H_

#include <chrono>
#include <string>
#include <vector>

#include "support/daemon_process_core.h"

namespace testsupport {

// As DaemonProcessCore; besides, every reaped daemon's standard error is
// checked for a sanitizer report (a test failure), the destructor's reap
// included.
//
// Threads: one thread uses an object.
class DaemonProcess : public DaemonProcessCore {
 public:
  DaemonProcess(std::string binary, std::string folder);
  ~DaemonProcess() override;

  // false (and a test failure) when it cannot be started or one runs
  // already.
  bool Start(const std::vector<std::string>& extra = {});
  bool StartWithArgs(const std::vector<std::string>& args);

  // Waits up to `timeout` for the daemon to end and reaps it. true and its
  // exit status (0..255; 128 + N when killed by signal N) in *code.
  bool WaitExit(int* code, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // SIGKILL and reap; nothing when none runs.
  void Kill();

 private:
  // Fails the test when standard error holds a sanitizer report.
  void CheckSanitizerReport() const;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_DAEMON_PROCESS_H_
