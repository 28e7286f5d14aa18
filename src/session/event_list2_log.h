// Logging helpers shared by the event_list2*.cpp files (not for other users).
#ifndef SESSION_EVENT_LIST2_LOG_H_
#define SESSION_EVENT_LIST2_LOG_H_

#include "foundation/logger.h"

namespace event_list2_log {

inline constexpr char kComponent[] = "event_list_debug";

inline bool On(Logger::Level level) { return Logger::IsEnabled(level, kComponent); }

}  // namespace event_list2_log

#define EVENT_LIST_LOG(level, ...) LOG_WITH_LINE(level, event_list2_log::kComponent, __VA_ARGS__)

#endif  // SESSION_EVENT_LIST2_LOG_H_
