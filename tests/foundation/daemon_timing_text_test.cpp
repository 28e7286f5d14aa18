#include "foundation/daemon_timing_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

bool Same(const DaemonTiming& a, const DaemonTiming& b) { return FormatDaemonTiming(a) == FormatDaemonTiming(b); }

TEST(DaemonTimingText, DefaultsAreTheDaemonsOwnWaits) {
  const DaemonTiming t;
  EXPECT_EQ(
      "pause_poll=1000,worker_idle_rest=1000,worker_retry_rest=3000,worker_redo_rest=2000,syncer_idle_wait=1000,"
      "syncer_up_to_date_rest=5000,syncer_retry_wait=3000,syncer_long_wait=120000,cleaner_retry_wait=3000,"
      "cleaner_pass_wait=1000,control_poll=3000,detector_wait=1000,worker_pending_rest=10000,"
      "worker_pending_max_rest=300000,worker_reply_timeout=90",
      FormatDaemonTiming(t));
}

TEST(DaemonTimingText, GoodTextsSetTheNamedFieldsOnly) {
  DaemonTiming t;
  std::string error;
  ASSERT_TRUE(ParseDaemonTiming("worker_retry_rest=200,pause_poll=50,worker_reply_timeout=7", t, error)) << error;
  EXPECT_EQ(milliseconds(200), t.worker_retry_rest);
  EXPECT_EQ(milliseconds(50), t.pause_poll);
  EXPECT_EQ(seconds(7), t.worker_reply_timeout);
  DaemonTiming expected;
  expected.worker_retry_rest = milliseconds(200);
  expected.pause_poll = milliseconds(50);
  expected.worker_reply_timeout = seconds(7);
  EXPECT_TRUE(Same(expected, t)) << FormatDaemonTiming(t);

  // Every field by its own name, and the bounds.
  DaemonTiming all;
  DaemonTiming round;
  round.syncer_long_wait = milliseconds(86400000);
  round.worker_reply_timeout = seconds(86400);
  round.control_poll = milliseconds(1);
  ASSERT_TRUE(ParseDaemonTiming(FormatDaemonTiming(round), all, error)) << error;
  EXPECT_TRUE(Same(round, all)) << FormatDaemonTiming(all);
}

// A bad text changes nothing at all, not even the pairs before the bad one.
TEST(DaemonTimingText, BadTextsChangeNothing) {
  const char* const cases[] = {
      "",
      ",",
      "pause_poll=100,",
      ",pause_poll=100",
      "pause_poll",
      "pause_poll=",
      "=100",
      "pause_poll=0",
      "pause_poll=-5",
      "pause_poll=+5",
      "pause_poll=1.5",
      "pause_poll=100ms",
      "pause_poll= 100",
      " pause_poll=100",
      "pause_poll=86400001",
      "pause_poll=99999999999999999999",
      "worker_reply_timeout=86401",
      "pause_poll=100,pause_poll=200",
      "pause_poll=100,no_such_wait=200",
      "PAUSE_POLL=100",
      "pause_poll=100;worker_idle_rest=100",
      "scale=10",
  };
  for (const char* text : cases) {
    DaemonTiming t;
    t.worker_redo_rest = milliseconds(77);
    const DaemonTiming before = t;
    std::string error;
    EXPECT_FALSE(ParseDaemonTiming(text, t, error)) << "'" << text << "'";
    EXPECT_FALSE(error.empty()) << "'" << text << "'";
    EXPECT_TRUE(Same(before, t)) << "'" << text << "': " << FormatDaemonTiming(t);
  }
}

}  // namespace
