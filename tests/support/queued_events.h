// TakeQueued: empties the event queue and names what it held, for tests of
// the code that pushes events (rescans, expansions).
//
// Header-only on purpose, as recording_task.h: only executables that
// already link `session` include it.
#ifndef TESTS_SUPPORT_QUEUED_EVENTS_H_
#define TESTS_SUPPORT_QUEUED_EVENTS_H_

#include <algorithm>
#include <string>
#include <vector>

#include "session/event_manager.h"
#include "support/recording_task.h"

namespace testsupport {

// Every event queued in `em` so far as "<local|server> <type> <path>[/]",
// sorted; the queue is empty afterwards. Three empty pulls in a row end it.
inline std::vector<std::string> TakeQueued(EventManager& em) {
  std::vector<std::string> out;
  RecordingTask task;
  for (int misses = 0; misses < 3;) {
    Event ev;
    if (em.PullEvent(&task, ev) < 0) {
      ++misses;
      continue;
    }
    misses = 0;
    static const char* kTypes[] = {"empty", "create", "remove", "modify", "rename"};
    out.push_back(std::string(ev.isServerEvent() ? "server " : "local ") + kTypes[ev.m_type] + " " +
                  ev.m_path.c_str_utf8() + (ev.isDir() ? "/" : ""));
    Event next;
    while (em.DoneEvent(&task, next) < 0) {
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_QUEUED_EVENTS_H_
