#include "support/user_namespace_child.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/command.h"

namespace testsupport {

int& ChildFailures() {
  static int failures = 0;
  return failures;
}

bool WriteUserLimit(const char* name, int value) {
  std::string path = std::string("/proc/sys/user/") + name;
  FILE* f = fopen(path.c_str(), "we");
  if (f == nullptr) return false;
  bool ok = fprintf(f, "%d\n", value) > 0;
  return fclose(f) == 0 && ok;
}

size_t OpenDescriptorCount(bool sockets) {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (!sockets && e->d_name[0] != '.') {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("socket:", 0) == 0) {
          continue;
        }
      }
      ++n;
    }
    closedir(d);
  }
  return n;
}

bool RunAsChildIf(const char* child_variable, int (*child)()) {
  const char* v = getenv(child_variable);
  if (v != nullptr && *v != 0) _exit(child());
  return false;
}

void RunSelfInUserNamespace(const char* child_variable) {
  // A sandbox that forbids user namespaces leaves nothing to test here.
  if (RunCommand({"unshare", "--user", "--map-root-user", "true"}, "", {}).exit_code != 0) {
    GTEST_SKIP() << "user namespaces are not available";
  }
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  CommandResult r =
      RunCommand({"unshare", "--user", "--map-root-user", exe}, "", {std::string(child_variable) + "=1"});
  EXPECT_EQ(0, r.exit_code) << r.err << r.out;
}

}  // namespace testsupport
