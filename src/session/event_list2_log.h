// Logging helpers shared by the event_list2*.cpp files (not for other users).
#ifndef SESSION_EVENT_LIST2_LOG_H_
#define SESSION_EVENT_LIST2_LOG_H_

#include "foundation/logger.h"

namespace event_list2_log {

inline constexpr char kComponent[] = "event_list_debug";

inline bool On(Logger::Level level) { return Logger::IsEnabled(level, kComponent); }

}  // namespace event_list2_log

// The format is a literal; the first conversion of every message is the
// source line.
#define EVENT_LIST_LOG(level, fmt, ...) \
  Logger::LogMsg(Logger::level, event_list2_log::kComponent, fmt, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#endif  // SESSION_EVENT_LIST2_LOG_H_
