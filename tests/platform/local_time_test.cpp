#include "platform/local_time.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "support/process_state.h"

namespace {

class LocalTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override { platform::SetClockForTest(nullptr); }

  testsupport::ProcessStateGuard process_state_;  // TZ and the locale
};

// Oracle: LC_ALL=C TZ=UTC date -d @1362665109 '+%b %d %H:%M:%S '
TEST_F(LocalTimeTest, FormatsInCLocaleWhateverTheProcessLocale) {
  // A locale that names months differently must not leak into the prefix.
  std::setlocale(LC_ALL, "");
  char buf[64];
  ASSERT_EQ(16, platform::FormatLocalTime(1362665109, "%b %d %H:%M:%S ", buf, sizeof buf));
  EXPECT_STREQ("Mar 07 14:05:09 ", buf);
}

TEST_F(LocalTimeTest, TooSmallBufferGivesMinusOneAndEmptyText) {
  char buf[8];
  EXPECT_EQ(-1, platform::FormatLocalTime(1362665109, "%b %d %H:%M:%S ", buf, sizeof buf));
  EXPECT_STREQ("", buf);
}

time_t FixedClock() { return 42; }

TEST_F(LocalTimeTest, ClockCanBeReplacedAndRestored) {
  platform::SetClockForTest(&FixedClock);
  EXPECT_EQ(42, platform::CurrentTime());
  platform::SetClockForTest(nullptr);
  EXPECT_GT(platform::CurrentTime(), 1700000000);
}

}  // namespace
