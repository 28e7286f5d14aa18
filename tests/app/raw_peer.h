// Raw loopback sockets for tests that check the daemon's bytes exactly:
// no Channel, no PStream, only what travels.
#ifndef TESTS_APP_RAW_PEER_H_
#define TESTS_APP_RAW_PEER_H_

#include <string>

#include "support/loopback.h"

namespace apptest {

using testsupport::loopback::AcceptAndRecvToEnd;
using testsupport::loopback::BindLoopback;
using testsupport::loopback::ConnectLoopback;
using testsupport::loopback::Exchange;
using testsupport::loopback::SendAll;

// Wire encodings of the values the tests write by hand.
inline std::string Str(const std::string& s) {
  return std::string("\x10", 1) + static_cast<char>(s.size() >> 8) + static_cast<char>(s.size() & 0xFF) + s;
}
inline std::string MapOf(const std::string& members) { return "\x42" + members + "\x40"; }
inline std::string Action(const std::string& action) { return MapOf(Str("action") + Str(action)); }

}  // namespace apptest

#endif  // TESTS_APP_RAW_PEER_H_
