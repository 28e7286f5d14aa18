// A server change record from arbitrary bytes: the bytes are decoded as a
// message (through a socketpair, a Channel and PStream::Recv, no receive
// folder), and the decoded value, and every member of an "event_list" in
// it, go through the generator's record-to-event step.
// Checks: no crash or sanitizer report; every accepted event has a path
// that passes IsSafeSessionPath, is valid UTF-8 and is not "/" in a removal
// or a file event, and is a server event of the session given.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../support/pobject_from_bytes.h"
#include "foundation/logger.h"
#include "session/event_generator.h"
#include "session/session_path.h"

namespace {

void Setup() {
  // Refused inputs log errors: keep them out of the fuzzer's output.
  const char* tmp = std::getenv("TMPDIR");
  std::string levels = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_server_change.XXXXXX";
  int fd = mkstemp(levels.data());
  if (fd < 0) __builtin_trap();
  const char kLevels[] = "stream=0\nchannel_debug=0\nworker_debug=0\n";
  if (write(fd, kLevels, sizeof kLevels - 1) != static_cast<ssize_t>(sizeof kLevels - 1) || close(fd) != 0) {
    __builtin_trap();
  }
  if (Logger::Initialize(Logger::FILE_LOGGER, "/dev/null", levels.c_str(), 50) != 0) __builtin_trap();
  unlink(levels.c_str());
}

void Check(const PObject& change) {
  Event ev;
  if (!ServerChangeToEvent(7, change, ev)) return;
  if (!IsSafeSessionPath(ev.m_path) || !ustring::is_valid(ev.m_path)) __builtin_trap();
  if (ev.m_path == "/" && (ev.m_type == Event::EV_REMOVE || !ev.isDir())) __builtin_trap();
  if (!ev.isServerEvent() || ev.isExpand() || ev.m_sess_id != 7) __builtin_trap();
  if (ev.m_type != Event::EV_CREATE && ev.m_type != Event::EV_REMOVE) __builtin_trap();
  (void)ev.toString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    Setup();
    ready = true;
  }
  PStream stream;
  PObject message;
  if (testsupport::RecvFromBytes(data, size, stream, message) == testsupport::kNoSockets) __builtin_trap();
  // Whatever was decoded, complete or not, is a record to the generator.
  Check(message);
  for (const PObject& member : message["event_list"].asArray()) Check(member);
  return 0;
}
