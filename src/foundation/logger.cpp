#include "foundation/logger.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <locale>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "foundation/config.h"
#include "platform/local_time.h"

namespace {

// A log file is rotated once it holds more than this many bytes.
constexpr long long kRotateSize = 0x100000;

// Threshold of a component that has none of its own.
constexpr int kDefaultThreshold = Logger::L_WARNING;

// Byte order of component names, the order of ustring's operator<, with a
// plain char* looked up without building a ustring (no allocation when a
// call is filtered out). Inline: names differ mostly in their first bytes,
// and a strcmp call per tree level cost more than the rest of the lookup.
struct ComponentLess {
  using is_transparent = void;
  static const unsigned char* Bytes(const ustring& s) {
    return reinterpret_cast<const unsigned char*>(s.c_str_utf8());
  }
  static const unsigned char* Bytes(const char* s) {
    return reinterpret_cast<const unsigned char*>(s ? s : "");
  }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    const unsigned char* p = Bytes(a);
    const unsigned char* q = Bytes(b);
    while (*p != 0 && *p == *q) {
      ++p;
      ++q;
    }
    return *p < *q;
  }
};

struct State {
  // Filled by Initialize before any other thread exists, then only read, so
  // LogMsg looks thresholds up without the lock.
  std::map<ustring, int, ComponentLess> log_level;
  // The highest threshold of log_level and of the fallback: a level above it
  // is filtered out without a lookup (debug lines, when debugging is off).
  int max_threshold = kDefaultThreshold;

  // On a cache line of its own: threads that write lines must not slow down
  // the lock-free threshold reads of the others.
  alignas(64) std::mutex log_lock;  // guards every member below
  Logger::Type log_type = Logger::STDOUT_LOGGER;
  FILE* log_fp = stderr;
  long long log_size = -1;  // bytes in the current log file; -1: not counted
  int rotate_cnt = 50;
  std::string log_path;

  // The time prefix of the last line: lines come many per second, and
  // formatting local time costs about as much as the write itself.
  time_t prefix_time = -1;
  char prefix[1024] = "";
  int prefix_len = 0;
};

// Allocated on first use and never destroyed: singletons log from their
// destructors while the process exits.
State& GetState() {
  static State* const state = new State;
  return *state;
}

template <class Comp>
bool FilteredOut(int level, const Comp& comp) {
  const State& s = GetState();
  if (level > s.max_threshold) return true;
  const auto& levels = s.log_level;
  auto it = levels.find(comp);
  return level > (it == levels.end() ? kDefaultThreshold : it->second);
}

// The decimal number at the start of `text` (after blanks, with a sign);
// 0 when there is none.
int ParseLevel(const ustring& text) {
  std::istringstream in(text.c_str_utf8());
  in.imbue(std::locale::classic());
  int value = 0;
  in >> value;
  return value;
}

std::string Numbered(const std::string& path, int i) { return path + "_" + std::to_string(i); }

// Closes the stream unless it is one of the standard ones.
void CloseOwned(State& s) {
  if (s.log_fp != nullptr && s.log_fp != stdout && s.log_fp != stderr) {
    // Nothing to do about a failed close of a log file we are leaving.
    (void)std::fclose(s.log_fp);
  }
  s.log_fp = nullptr;
}

// Runs under log_lock.
int RotateLocked(State& s) {
  if (s.log_type != Logger::FILE_LOGGER || s.log_size < 0 || s.log_fp == nullptr) return -1;
  // Missing sources are normal until the count of files is reached.
  for (int i = s.rotate_cnt - 2; i >= 0; --i) {
    (void)std::rename(Numbered(s.log_path, i).c_str(), Numbered(s.log_path, i + 1).c_str());
  }
  (void)unlink(Numbered(s.log_path, s.rotate_cnt - 1).c_str());
  CloseOwned(s);
  if (std::rename(s.log_path.c_str(), Numbered(s.log_path, 0).c_str()) != 0) return -1;
  FILE* fp = std::fopen(s.log_path.c_str(), "ae");
  if (fp == nullptr) return -1;
  s.log_fp = fp;
  return 0;
}

__attribute__((format(printf, 1, 0))) void Write(const char* fmt, va_list args) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.log_lock);
  // Tested under the lock: a failed rotation on another thread nulls it.
  if (s.log_type != Logger::SYSLOG_LOGGER && s.log_fp == nullptr) return;

  // Write errors are not reported: there is nowhere left to report them.
  if (s.log_type == Logger::SYSLOG_LOGGER || s.log_type == Logger::ANDROID_LOGGER) {
    (void)std::vfprintf(stderr, fmt, args);
    (void)std::fflush(stderr);
    return;
  }

  time_t now = platform::CurrentTime();
  if (now != s.prefix_time) {
    // On failure the line goes out without a time.
    int len = platform::FormatLocalTime(now, "%b %d %H:%M:%S ", s.prefix, sizeof s.prefix);
    s.prefix_len = len < 0 ? 0 : len;
    s.prefix_time = now;
  }
  size_t put = std::fwrite(s.prefix, 1, static_cast<size_t>(s.prefix_len), s.log_fp);
  int n1 = put == static_cast<size_t>(s.prefix_len) ? s.prefix_len : -1;
  int n2 = std::vfprintf(s.log_fp, fmt, args);
  (void)std::fflush(s.log_fp);

  if (s.log_type == Logger::FILE_LOGGER && s.log_size >= 0 && n1 >= 0 && n2 >= 0) {
    s.log_size += static_cast<long long>(n1) + n2;
    if (s.log_size > kRotateSize) {
      // A failed rotation leaves log_fp null: the file output falls silent.
      (void)RotateLocked(s);
      s.log_size = 0;
    }
  }
}

}  // namespace

int Logger::Initialize(Type type, const ustring& log_path, const ustring& level_path,
                       int rotate_cnt) {
  State& s = GetState();
  s.log_level[ustring("default_component")] = kDefaultThreshold;
  if (!level_path.empty()) {
    Config levels;
    // A missing or bad level file leaves the store empty: nothing is added.
    (void)levels.read(level_path);
    for (const auto& [component, value] : levels) s.log_level[component] = ParseLevel(value);
  }
  s.max_threshold = kDefaultThreshold;
  for (const auto& entry : s.log_level) s.max_threshold = std::max(s.max_threshold, entry.second);

  std::lock_guard<std::mutex> lock(s.log_lock);
  s.log_type = type;
  switch (type) {
    case SYSLOG_LOGGER:
    case STDOUT_LOGGER:
    case STDERR_LOGGER:
      CloseOwned(s);
      s.log_fp = type == SYSLOG_LOGGER ? nullptr : type == STDOUT_LOGGER ? stdout : stderr;
      s.log_path.clear();
      s.log_size = -1;
      return 0;
    case FILE_LOGGER:
    case ANDROID_LOGGER: {
      if (log_path.empty()) return -1;
      FILE* fp = std::fopen(log_path.c_str_utf8(), "ae");
      if (fp == nullptr) return -1;
      CloseOwned(s);
      s.log_fp = fp;
      s.log_size = 0;
      s.log_path = log_path.c_str_utf8();
      s.rotate_cnt = rotate_cnt;
      return 0;
    }
  }
  return -1;
}

void Logger::LogMsg(Level level, const char* comp, const char* fmt, ...) {
  if (FilteredOut(level, comp)) return;
  va_list args;
  va_start(args, fmt);
  Write(fmt, args);
  va_end(args);
}

void Logger::LogMsg(Level level, const ustring& comp, const char* fmt, ...) {
  if (FilteredOut(level, comp)) return;
  va_list args;
  va_start(args, fmt);
  Write(fmt, args);
  va_end(args);
}

bool Logger::IsEnabled(Level level, const char* comp) { return !FilteredOut(level, comp); }

void Logger::LogMsg2(Level level, const char* comp, const char* fmt, va_list args) {
  if (FilteredOut(level, comp)) return;
  Write(fmt, args);
}

void Logger::LogMsg2(Level level, const ustring& comp, const char* fmt, va_list args) {
  if (FilteredOut(level, comp)) return;
  Write(fmt, args);
}

int Logger::Rotate() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.log_lock);
  return RotateLocked(s);
}

void Logger::Destroy() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.log_lock);
  if (s.log_type != FILE_LOGGER) return;
  CloseOwned(s);
  s.log_type = STDERR_LOGGER;
  s.log_fp = stdout;
  s.log_size = -1;
  s.log_path.clear();
}

void Logger::ResetForTest() {
  State& s = GetState();
  s.log_level.clear();
  s.max_threshold = kDefaultThreshold;
  std::lock_guard<std::mutex> lock(s.log_lock);
  CloseOwned(s);
  s.log_type = STDOUT_LOGGER;
  s.log_fp = stderr;
  s.log_size = -1;
  s.rotate_cnt = 50;
  s.log_path.clear();
}

void LogMSG_c(int level, const char* comp, const char* fmt, va_list args) {
  if (FilteredOut(level, comp)) return;
  Write(fmt, args);
}
