// Running part of a test binary again as root of a user namespace of its
// own, where /proc/sys/user limits are writable and bind that namespace
// alone. unshare(CLONE_NEWUSER) refuses a threaded process, so the binary is
// started again under `unshare --user --map-root-user` and does its work
// before the test runner (and its threads) start.
#ifndef TESTS_SUPPORT_USER_NAMESPACE_CHILD_H_
#define TESTS_SUPPORT_USER_NAMESPACE_CHILD_H_

#include <cstddef>

namespace testsupport {

// Checks made in the child, where gtest does not run yet.
int& ChildFailures();

#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++::testsupport::ChildFailures();                                        \
    }                                                                          \
  } while (0)

// Writes `value` to /proc/sys/user/<name>; false when it cannot.
bool WriteUserLimit(const char* name, int value);

// Entries of /proc/self/fd (the listing's own descriptor included); sockets
// left out when `sockets` is false (a stand-in's thread opens and closes
// them on its own schedule).
size_t OpenDescriptorCount(bool sockets = true);

// When the environment variable `child_variable` is set, runs `child` and
// _exits with its result; else returns false. Call it from a namespace-scope
// initializer so that it runs before main.
bool RunAsChildIf(const char* child_variable, int (*child)());

// From a test: starts this binary again in a new user namespace with
// `child_variable`=1 and expects exit status 0. Skips the test where user
// namespaces are forbidden.
void RunSelfInUserNamespace(const char* child_variable);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_USER_NAMESPACE_CHILD_H_
