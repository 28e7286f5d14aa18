// Test helpers around the databases: the sqlite3 shell as an independent
// reader and writer, and a log file whose lines the tests read back.
#ifndef TESTS_FILTER_SQLITE_SHELL_H_
#define TESTS_FILTER_SQLITE_SHELL_H_

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "foundation/logger.h"
#include "support/command.h"

namespace filter_test {

// Runs `sql` with `sqlite3 -batch -noheader db` and returns its standard
// output; a failing run fails the test (use ShellResult to expect one).
inline std::string Shell(const std::string& db, const std::string& sql) {
  testsupport::CommandResult r = testsupport::RunCommand({"sqlite3", "-batch", "-noheader", db, sql});
  EXPECT_EQ(0, r.exit_code) << sql << "\n" << r.err;
  return r.out;
}

inline testsupport::CommandResult ShellResult(const std::string& db, const std::string& sql) {
  return testsupport::RunCommand({"sqlite3", "-batch", "-noheader", db, sql});
}

// Starts the process-wide logger on `dir`/test.log with every component of
// the filter databases at L_DEBUG. Call before any thread starts; the
// fixture's TearDown calls Logger::ResetForTest().
inline std::string StartLog(const std::string& dir) {
  std::string levels = dir + "/levels.conf";
  std::ofstream(levels) << "filter_db_debug=7\nfilter_utils_debug=7\nprogress_cache_debug=7\n"
                           "fstat_db_debug=7\n";
  std::string log = dir + "/test.log";
  EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), levels.c_str(), 50));
  return log;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace filter_test

#endif  // TESTS_FILTER_SQLITE_SHELL_H_
