// Helpers of the section protocol tests: bytes written through a channel,
// a channel fed with given bytes, and two channels joined end to end.
#ifndef TESTS_PROTOCOL_SECTION_TEST_UTIL_H_
#define TESTS_PROTOCOL_SECTION_TEST_UTIL_H_

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "protocol_test_util.h"
#include "transport/channel.h"

namespace stest {

// Runs `write` on a fresh channel and returns the result and everything
// that reached the far end (closing the channel flushes what is buffered).
// ERR_MAX, which is no code, when no channel could be made.
struct Written {
  ErrorCode rc;
  std::string bytes;
};
inline Written WriteThrough(const std::function<ErrorCode(Channel&)>& write, size_t capacity = 81920) {
  ptest::ChannelPair pair(capacity);
  if (!pair.ok()) return {ERR_MAX, "<no channel>"};
  const ErrorCode rc = write(pair.ch);
  return {rc, pair.CloseAndCollect()};
}

// A channel whose far end has sent `bytes` and then ended its output.
inline std::unique_ptr<ptest::ChannelPair> Feed(const std::string& bytes, size_t capacity = 81920) {
  auto pair = std::make_unique<ptest::ChannelPair>(capacity);
  if (!pair->ok() || !pair->PeerSend(bytes)) pair.reset();
  return pair;
}

// Two channels joined by a loopback TCP connection; each direction holds
// about 1 MiB before anyone reads.
class ChannelLink {
 public:
  explicit ChannelLink(size_t capacity = 81920) : a(capacity), b(capacity) {
    int port = 0;
    int l = ptest::ListenAnyPort(&port, 2 << 20);
    if (l < 0) return;
    int fa = ptest::ConnectTo(port, 2 << 20);
    int fb = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
    if (fa >= 0 && a.Open(fa, true) != ERR_OK) close(fa);
    if (fb >= 0 && b.Open(fb, true) != ERR_OK) close(fb);
  }
  ChannelLink(const ChannelLink&) = delete;
  ChannelLink& operator=(const ChannelLink&) = delete;

  bool ok() const { return !a.IsClosed() && !b.IsClosed(); }

  Channel a;
  Channel b;
};

}  // namespace stest

#endif  // TESTS_PROTOCOL_SECTION_TEST_UTIL_H_
