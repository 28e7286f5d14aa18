// The daemon's test timing as text: how a test rig hands shorter waits to
// a daemon it runs as a separate process (the environment variable
// TRELVIK_TEST_TIMING, read by main).
#ifndef FOUNDATION_DAEMON_TIMING_TEXT_H_
#define FOUNDATION_DAEMON_TIMING_TEXT_H_

#include <string>

#include "foundation/daemon_timing.h"

// Reads the daemon's test timing from `text`: "key=value" pairs joined by
// ',', each key a field of DaemonTiming, each value a whole number of milliseconds
// from 1 to 86400000 (worker_reply_timeout: seconds, 1 to 86400). Fields not
// named keep their value in `timing`. true with `timing` changed; false,
// `timing` untouched and `error` saying which pair is wrong, for an empty
// text, an unknown or repeated key, a value that is not such a number.
bool ParseDaemonTiming(const std::string& text, DaemonTiming& timing, std::string& error);

// The timing as "key=value" pairs in the same form, every field.
std::string FormatDaemonTiming(const DaemonTiming& timing);

#endif  // FOUNDATION_DAEMON_TIMING_TEXT_H_
