// The process-wide log: one threshold per component, output to a size-rotated
// log file, standard output or standard error.
#ifndef FOUNDATION_LOGGER_H_
#define FOUNDATION_LOGGER_H_

#include <cstdarg>

#include "foundation/ustring.h"

// Static members only. Usable before Initialize: it then writes to standard
// error with the time prefix, every component filtered at L_WARNING.
//
// Threads: LogMsg, LogMsg2, LogMSG_c, Rotate and Destroy may be called from
// any thread. Initialize must run before any other thread exists: it fills the
// threshold map, which is then read without a lock. The logger's state lives
// in storage that is never destroyed, so objects may log from their
// destructors during exit.
class Logger {
 public:
  enum Type {
    ANDROID_LOGGER = 0,  // treated as SYSLOG_LOGGER for writing; opens a file
    SYSLOG_LOGGER = 1,   // undecorated messages on standard error
    STDOUT_LOGGER = 2,
    STDERR_LOGGER = 3,
    FILE_LOGGER = 4,
  };

  // A higher number is more detailed.
  enum Level {
    L_EMERG = 0,
    L_ALERT = 1,
    L_CRIT = 2,
    L_ERR = 3,
    L_WARNING = 4,
    L_NOTICE = 5,
    L_INFO = 6,
    L_DEBUG = 7,
  };

  Logger() = delete;

  // Sets the thresholds and the output. Thresholds: "default_component" = 4,
  // then every key=value of the level file at `level_path` (if not empty; a
  // missing or bad file adds nothing), each value read as a decimal int (not a
  // number: 0). STDOUT_LOGGER, STDERR_LOGGER, SYSLOG_LOGGER: result 0.
  // FILE_LOGGER, ANDROID_LOGGER: opens `log_path` for appending
  // (close-on-exec), starts the size count at 0 and keeps `rotate_cnt`;
  // -1 when the path is empty or cannot be opened (the output then stays
  // as it was). Call before any other thread starts.
  static int Initialize(Type type, const ustring& log_path, const ustring& level_path,
                        int rotate_cnt);

  // Writes one message when `level` is at most the threshold of `comp` (4 for
  // a component without one): "%b %d %H:%M:%S " local time in English, then
  // the message, then a flush. The caller's format carries the end of line.
  // A message whose level is filtered out costs a map lookup: no lock, no
  // allocation. For FILE_LOGGER, the file is rotated once it holds more than
  // 1,048,576 bytes; after a failed rotation the file output stays silent.
  static void LogMsg(Level level, const char* comp, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));
  static void LogMsg(Level level, const ustring& comp, const char* fmt, ...)
      __attribute__((format(printf, 3, 4)));

  // Whether LogMsg(level, comp, ...) would write: lets a caller skip
  // building an expensive argument for a line that is filtered out. Same
  // cost as a filtered-out call: no lock, no allocation.
  static bool IsEnabled(Level level, const char* comp);

  // LogMsg with the arguments already started; `args` is consumed.
  static void LogMsg2(Level level, const char* comp, const char* fmt, va_list args)
      __attribute__((format(printf, 3, 0)));
  static void LogMsg2(Level level, const ustring& comp, const char* fmt, va_list args)
      __attribute__((format(printf, 3, 0)));

  // Moves log_path_<i> to log_path_<i+1> for i = rotate_cnt-2 down to 0,
  // deletes log_path_<rotate_cnt-1>, moves the live file to log_path_0 and
  // opens a new live file (with 50: log_path_0 .. log_path_48 remain).
  // Takes the log lock. Returns 0, or -1 when the live file could not be
  // moved or reopened: the file output is then closed for good. Also -1,
  // touching nothing, when there is no open log file (not FILE_LOGGER, or
  // after a failed rotation).
  static int Rotate();

  // For FILE_LOGGER: closes the file and writes to standard output from then
  // on (type STDERR_LOGGER, nothing counted). Other types: nothing.
  static void Destroy();

  // Back to the state before the first Initialize: no thresholds, standard
  // error, nothing counted; a log file is closed. For test fixtures, which
  // leave the process as they found it. Same rule as Initialize: no other
  // thread may log meanwhile.
  static void ResetForTest();
};

// Logger::LogMsg on `comp` with the source line as the first conversion of
// the literal format; `level` is a Level name without "Logger::":
//   LOG_WITH_LINE(L_ERR, kComp, "[ERROR] detector(%d): %s\n", name)
#define LOG_WITH_LINE(level, comp, fmt, ...) \
  Logger::LogMsg(Logger::level, comp, fmt, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Logger::LogMsg2 for modules made of free functions; `level` is a
// Logger::Level value.
void LogMSG_c(int level, const char* comp, const char* fmt, va_list args)
    __attribute__((format(printf, 3, 0)));

#endif  // FOUNDATION_LOGGER_H_
