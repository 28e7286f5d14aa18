// A child process for tests (a TLS test server, a proxy): started with an
// argument vector, its standard output read line by line as it comes, stopped
// and reaped by pid.
#ifndef TESTS_SUPPORT_BACKGROUND_PROCESS_H_
#define TESTS_SUPPORT_BACKGROUND_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Owns one child. Its standard input is a pipe this object keeps open (so a
// program that reads commands from it sees no end of input), its standard
// output a pipe read through ReadLine, its standard error the caller's (or a
// file). The
// destructor stops the child. One thread uses an object at a time.
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Options for the next Start. A child in a process group of its own gets
  // no signal that the terminal sends to the caller's group (Ctrl-C).
  void SetOwnProcessGroup(bool on) { own_group_ = on; }
  // Standard error to this file (created or truncated) instead of the
  // caller's; "" for the caller's.
  void SetStderrPath(std::string path) { stderr_path_ = std::move(path); }

  // Starts argv[0], searched in PATH, with `argv`. false (and *error set)
  // when the pipes cannot be made or the program cannot be started; a
  // program that is not found fails here, not later.
  bool Start(const std::vector<std::string>& argv, std::string* error);

  // The next line of the child's output, without its "\n". false at the end
  // of the output or when no whole line came within `timeout`; a partial
  // line stays buffered.
  bool ReadLine(std::string* line, std::chrono::milliseconds timeout);

  // Reads lines until one satisfies `match` (that line goes to *line),
  // within `timeout` in all. Every line read on the way is appended to
  // *seen when `seen` is not null, for the failure message.
  bool WaitForLine(const std::function<bool(const std::string&)>& match, std::string* line,
                   std::chrono::milliseconds timeout, std::string* seen = nullptr);

  // SIGTERM, then SIGKILL when the child has not ended after `grace`; reaps
  // it and closes the pipes. The wait status, or -1 when no child runs.
  // Idempotent.
  int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  // Waits up to `timeout` for the child to end by itself and reaps it. true
  // and its wait status in *status when it ended. Output it wrote before
  // ending can still be read.
  bool WaitExit(int* status, std::chrono::milliseconds timeout);

  pid_t pid() const { return pid_; }

 private:
  void CloseFds();

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string buffer_;
  bool eof_ = false;
  bool own_group_ = false;
  std::string stderr_path_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_BACKGROUND_PROCESS_H_
