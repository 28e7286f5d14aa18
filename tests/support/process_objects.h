// The process-wide collaborators the daemon hands its tasks, for the rigs
// whose tests drive the process-wide queue, registry and user-interface
// stand-in: the generator on EventManager::getInstance(), the reporter on
// UiNotifier::getInstance(), the rows of the process-wide file-status file.
// Header-only: only a test that links the session library includes it.
#ifndef TESTS_SUPPORT_PROCESS_OBJECTS_H_
#define TESTS_SUPPORT_PROCESS_OBJECTS_H_

#include "filter/file_status_db.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"

namespace testsupport {

inline EventGenerator& ProcessGenerator() {
  static EventGenerator generator(*EventManager::getInstance());
  return generator;
}

inline UiReporter& ProcessUiReporter() {
  static UiReporter reporter(UiNotifier::getInstance());
  return reporter;
}

inline FileStatusRows& ProcessFileStatus() {
  static FileStatusDBRows rows;
  return rows;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PROCESS_OBJECTS_H_
