// DaemonProcessCore: the real daemon binary as a separate process with a
// configuration of the caller's own. Free of GoogleTest: every failure comes
// back as an error text. DaemonProcess (daemon_process.h) is the tests'
// wrapper that turns those into test failures.
#ifndef TESTS_SUPPORT_DAEMON_PROCESS_CORE_H_
#define TESTS_SUPPORT_DAEMON_PROCESS_CORE_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Writes a configuration whose every path lies in `folder` (pid file, log
// file, level file with client_debug=7 and ipc=7, databases, an empty system
// filter) with is_foreground=true, then the caller's keys over it, and
// starts the binary on it, in `folder` as its working folder. Standard
// output and standard error go to the files "stdout" and "stderr" in
// `folder`, so neither can fill up and stall the daemon.
//
// The daemon is forked from the calling thread, which must be the main
// thread: the child asks for SIGKILL when that thread's process ends
// (PR_SET_PDEATHSIG), so a caller that dies leaves no daemon running. The
// destructor kills and reaps a daemon that still runs.
//
// Threads: one thread uses an object.
class DaemonProcessCore {
 public:
  // `binary`: the trelvik-daemon executable. `folder` must exist.
  DaemonProcessCore(std::string binary, std::string folder);
  virtual ~DaemonProcessCore();
  DaemonProcessCore(const DaemonProcessCore&) = delete;
  DaemonProcessCore& operator=(const DaemonProcessCore&) = delete;

  // Sets a configuration key (replacing the default, if any). The value is
  // quoted in the file; an empty value is written as '' (a bare "key=" would
  // make the whole file invalid).
  void Set(const std::string& key, const std::string& value);
  // Leaves a key out of the file.
  void Unset(const std::string& key);
  // Runs the daemon through a launcher: `prefix` (its first element an
  // absolute path) comes before the binary in the argument vector, as in
  // {"/usr/bin/prlimit", "--stack=..."}.
  void SetLauncher(std::vector<std::string> prefix) { launcher_ = std::move(prefix); }
  // Starts the daemon in a process group of its own (setpgid in the child,
  // as POSIX_SPAWN_SETPGROUP does; the fork stays for PR_SET_PDEATHSIG), so
  // that Ctrl-C in the caller's terminal reaches the caller alone.
  void SetOwnProcessGroup(bool on) { own_group_ = on; }
  // The daemon's test timing (TRELVIK_TEST_TIMING, "key=ms" pairs, see
  // foundation/daemon_timing_text.h) in the environment of the next Start;
  // "" (the default) leaves the variable out, so the daemon keeps its own
  // waits. Any value the test process itself has is never passed on.
  void SetTiming(std::string text) { timing_ = std::move(text); }
  // The content of the log-level file ("component=level" lines).
  void SetLogLevels(std::string levels) { levels_ = std::move(levels); }

  // Where things are.
  std::string ConfigPath() const { return folder_ + "/daemon.conf"; }
  std::string PidFilePath() const { return folder_ + "/daemon.pid"; }
  std::string LogFilePath() const { return folder_ + "/daemon.log"; }
  const std::string& folder() const { return folder_; }

  // Writes the configuration and starts the binary with the configuration
  // path as its first argument, then `extra`. false, and *error set, when
  // it cannot be started or one runs already.
  bool Start(const std::vector<std::string>& extra, std::string* error);
  // Starts the binary with exactly these arguments after the program name,
  // without writing the configuration.
  bool StartWithArgs(const std::vector<std::string>& args, std::string* error);

  // Waits up to `timeout` for the daemon to end and reaps it. true and its
  // exit status (0..255; 128 + N when killed by signal N) in *code. false
  // with *error empty after the timeout, set when waitpid failed.
  bool WaitExit(int* code, std::chrono::milliseconds timeout, std::string* error);
  // Sends `signo` to the running daemon. false when none runs.
  bool Signal(int signo);
  // SIGKILL and reap; nothing when none runs.
  void Kill();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // All the daemon wrote so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // The daemon's standard error when it holds a sanitizer report, else "".
  std::string SanitizerReport() const;
  // Waits until standard output holds `text`. false after `timeout`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // The lines of standard output that contain `text`.
  std::vector<std::string> OutputLines(const std::string& text) const;

  // Open descriptors of the running daemon (entries of /proc/<pid>/fd), or
  // -1 when none runs or they cannot be listed.
  int OpenDescriptorCount() const;

 private:
  bool Launch(const std::vector<std::string>& args, std::string* error);
  bool WriteConfig(std::string* error);

  std::string binary_;
  std::string folder_;
  std::vector<std::pair<std::string, std::string>> keys_;
  std::vector<std::string> launcher_;
  std::string levels_ = "client_debug=7\nipc=7\n";
  std::string timing_;
  bool own_group_ = false;
  pid_t pid_ = -1;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_DAEMON_PROCESS_CORE_H_
