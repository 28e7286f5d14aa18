// Logging of the worker's source files (not for other users).
#ifndef WORKER_WORKER_LOG_H_
#define WORKER_WORKER_LOG_H_

#include "foundation/logger.h"

namespace worker_log {

inline constexpr char kComponent[] = "worker_debug";

// Lets a caller skip building a toString() text for a filtered-out line.
inline bool On(Logger::Level level) { return Logger::IsEnabled(level, kComponent); }

}  // namespace worker_log

// The format is a literal; its first conversion is the source line.
#define WORKER_LOG(level, ...) LOG_WITH_LINE(level, worker_log::kComponent, __VA_ARGS__)

#endif  // WORKER_WORKER_LOG_H_
