// Loopback TCP sockets for the channel tests: the shared ones of
// tests/support, and a timer.
#ifndef TESTS_TRANSPORT_LOOPBACK_H_
#define TESTS_TRANSPORT_LOOPBACK_H_

#include <chrono>

#include "support/loopback.h"

namespace loopback {

using namespace testsupport::loopback;

// Seconds since `start`, as a double.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace loopback

#endif  // TESTS_TRANSPORT_LOOPBACK_H_
