// Compiled into every test executable (an interface source of test_support,
// so that no linker can drop it): ignores SIGPIPE before the first test, as
// the daemon's main does. OpenSSL writes with write(2), without MSG_NOSIGNAL,
// so a peer that has gone would otherwise kill the test process.
#include <gtest/gtest.h>

#include <csignal>

namespace {

class IgnoreSigpipeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

[[maybe_unused]] ::testing::Environment* const g_ignore_sigpipe =
    ::testing::AddGlobalTestEnvironment(new IgnoreSigpipeEnvironment);

}  // namespace
