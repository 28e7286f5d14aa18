// Runs an external program for tests: no shell, captured output.
#ifndef TESTS_SUPPORT_COMMAND_H_
#define TESTS_SUPPORT_COMMAND_H_

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

}  // namespace testsupport

#endif  // TESTS_SUPPORT_COMMAND_H_
