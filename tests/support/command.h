// Runs an external program for tests: no shell, captured output.
#ifndef TESTS_SUPPORT_COMMAND_H_
#define TESTS_SUPPORT_COMMAND_H_

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct CommandResult {
  // The exit status; 128 + N when killed by signal N; -1 when the program
  // could not be started (`err` then says why).
  int exit_code = -1;
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs argv[0] (looked up in PATH when it has no "/") with the arguments
// argv, through fork and exec, never a shell. `input` is written to its
// standard input, which is then closed. `env` entries "NAME=value" are added
// to (or replace in) the caller's environment for the child only. Waits for
// the program to end; reads both outputs as they come, so neither pipe can
// fill and stall the child. Safe from any thread (the child inherits no
// descriptor of the caller: all of them are close-on-exec in this project).
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& env = {});

// The sqlite3 program with `args` (its options, the database, the SQL).
// It waits up to 10 s for a lock, as the daemon's own connections do: a
// database the daemon has open may be locked for a moment, while it
// checkpoints or closes, and the program alone would fail at once.
CommandResult RunSqlite3(const std::vector<std::string>& args);

// Uid and gid of the unprivileged user that access-denied cases run as
// (CI runs as root, which passes every permission check).
inline constexpr unsigned kNobodyId = 65534;

// Runs fn in a forked child (no exec) and returns what fn returned, which
// must lie in 0..254 (it travels as an exit status). With as_nobody the
// child first drops its supplementary groups, then its gid and uid to
// kNobodyId (the caller must be root). A child still running after
// timeout_seconds is killed and the result is kTimedOut; killed otherwise by
// signal N: 128 + N; -1 when fork or the drop failed. The child ends with
// _exit: no test framework state, atexit handler or buffered stdio of the
// parent runs twice. Call only while the process has one thread.
inline constexpr int kTimedOut = -2;
int RunInChild(const std::function<int()>& fn, bool as_nobody, int timeout_seconds = 30);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_COMMAND_H_
