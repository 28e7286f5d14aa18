// Logging helpers of the event_manager*.cpp and event_pool.cpp files (not
// for other users).
#ifndef SESSION_EVENT_MANAGER_LOG_H_
#define SESSION_EVENT_MANAGER_LOG_H_

#include "foundation/logger.h"

namespace event_manager_log {

inline constexpr char kComponent[] = "event_mgr_debug";

// Lets a caller skip building Event::toString() for a line that is filtered
// out: the manager logs every push, pull and done under its lock.
inline bool On(Logger::Level level) { return Logger::IsEnabled(level, kComponent); }

}  // namespace event_manager_log

#define EVENT_MGR_LOG(level, ...) LOG_WITH_LINE(level, event_manager_log::kComponent, __VA_ARGS__)

#endif  // SESSION_EVENT_MANAGER_LOG_H_
