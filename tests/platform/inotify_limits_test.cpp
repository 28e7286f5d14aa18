// The kernel's per-user inotify limits, met for real: in a new user
// namespace /proc/sys/user/max_inotify_watches and max_inotify_instances
// are writable and bind the namespace alone. unshare(CLONE_NEWUSER) refuses
// a threaded caller, so the test runs this same program again under
// `unshare --user --map-root-user`, which does the work below before the
// test runner starts.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/inotify_change_source.h"
#include "support/user_namespace_child.h"

namespace {

constexpr char kChildVariable[] = "INOTIFY_LIMITS_CHILD";




// Everything the source has now, after the kernel queued it.
platform::ChangeBatch ReadNow(platform::ChangeSource& source) {
  pollfd pfd{source.fd(), POLLIN, 0};
  (void)poll(&pfd, 1, 2000);  // a time-out reads an empty batch, which the checks catch
  platform::ChangeBatch batch;
  source.Read(&batch);
  return batch;
}

std::vector<std::string> Names(const platform::ChangeBatch& batch) {
  std::vector<std::string> names;
  for (const auto& r : batch.records) names.push_back(std::to_string(r.action) + " " + r.name);
  return names;
}

int RunChild() {
  std::string base = std::filesystem::temp_directory_path() / "trelvik-limits-XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return 90;
  std::string root = base + "/root";
  for (const char* d : {"", "/a", "/b", "/c", "/d", "/e"}) mkdir((root + d).c_str(), 0755);
  platform::InotifyOptions options;

  // Six folders, five watches allowed: refused, nothing left behind.
  if (!testsupport::WriteUserLimit("max_inotify_watches", 5)) return 91;
  size_t fds = testsupport::OpenDescriptorCount();
  std::unique_ptr<platform::InotifyChangeSource> source;
  CHILD_CHECK(platform::InotifyChangeSource::Create(root, options, &source) == ENOSPC);
  CHILD_CHECK(source == nullptr);
  CHILD_CHECK(testsupport::OpenDescriptorCount() == fds);

  // Seven allowed: the tree fits, the first new folder too, the next ones
  // not, reported once; the folders already watched still report.
  if (!testsupport::WriteUserLimit("max_inotify_watches", 7)) return 92;
  CHILD_CHECK(platform::InotifyChangeSource::Create(root, options, &source) == 0);
  if (source == nullptr) return 93;
  for (const char* d : {"/x", "/y", "/z"}) mkdir((root + d).c_str(), 0755);
  platform::ChangeBatch batch = ReadNow(*source);
  CHILD_CHECK((Names(batch) == std::vector<std::string>{"1 x", "1 y", "1 z"}));
  CHILD_CHECK(batch.watch_errno == ENOSPC);
  CHILD_CHECK(batch.watch_error_folder == "y");
  mkdir((root + "/a/later").c_str(), 0755);
  batch = ReadNow(*source);
  CHILD_CHECK((Names(batch) == std::vector<std::string>{"1 a/later"}));
  CHILD_CHECK(batch.watch_errno == 0);

  // A freed watch is used again; a failure after that success is reported
  // again.
  rmdir((root + "/x").c_str());
  mkdir((root + "/w").c_str(), 0755);
  mkdir((root + "/v").c_str(), 0755);
  batch = ReadNow(*source);
  CHILD_CHECK((Names(batch) == std::vector<std::string>{"2 x", "1 w", "1 v"}));
  CHILD_CHECK(batch.watch_errno == ENOSPC);
  CHILD_CHECK(batch.watch_error_folder == "v");
  int w = open((root + "/w/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  close(w);
  batch = ReadNow(*source);
  CHILD_CHECK((Names(batch) == std::vector<std::string>{"1 w/f", "3 w/f"}));

  // One inotify instance allowed, and it is in use.
  if (!testsupport::WriteUserLimit("max_inotify_instances", 1)) return 94;
  fds = testsupport::OpenDescriptorCount();
  std::unique_ptr<platform::InotifyChangeSource> second;
  CHILD_CHECK(platform::InotifyChangeSource::Create(root, options, &second) == EMFILE);
  CHILD_CHECK(testsupport::OpenDescriptorCount() == fds);

  source.reset();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return testsupport::ChildFailures() == 0 ? 0 : 1;
}

// Started as the child: do its work and end before the test runner starts.
[[maybe_unused]] const bool kRanAsChild = testsupport::RunAsChildIf(kChildVariable, &RunChild);

TEST(InotifyLimits, WatchAndInstanceLimitsInAUserNamespace) {
  testsupport::RunSelfInUserNamespace(kChildVariable);
}

}  // namespace
