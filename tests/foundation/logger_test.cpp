#include "foundation/logger.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/local_time.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (g++ ships no header for it): hooks that see
// every malloc and operator new.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#endif

// TearDown puts the logger back as it is before Initialize, so each case
// starts from there.

namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr time_t kClock = 1362665109;
// LC_ALL=C TZ=UTC date -d @1362665109 '+%b %d %H:%M:%S '
constexpr char kPrefix[] = "Mar 07 14:05:09 ";
constexpr size_t kPrefixLen = sizeof kPrefix - 1;
constexpr long long kRotateSize = 1048576;

time_t FixedClock() { return kClock; }

class LoggerTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClockForTest(&FixedClock);
  }
  void TearDown() override {
    platform::SetClockForTest(nullptr);
    Logger::ResetForTest();
  }

  // Starts the file output at rel (rotation count 50), with an optional level file.
  void StartFile(const std::string& rel, const std::string& levels = "") {
    std::string level_path;
    if (!levels.empty()) {
      WriteFile("levels.conf", levels);
      level_path = Path("levels.conf");
    }
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path(rel).c_str(), level_path.c_str(), 50));
  }

  // Logs one line of exactly `total` bytes, prefix and "\n" included.
  static void LogLineOfSize(size_t total, char fill = 'x') {
    std::string body(total - kPrefixLen - 1, fill);
    Logger::LogMsg(Logger::L_ERR, "test_debug", "%s\n", body.c_str());
  }

  bool Exists(const std::string& rel) const { return fs::exists(Path(rel)); }
  uintmax_t SizeOf(const std::string& rel) const { return fs::file_size(Path(rel)); }
};

time_t g_now = kClock;
time_t SettableClock() { return g_now; }

TEST_F(LoggerTest, LineIsEnglishLocalTimeThenMessage) {
  StartFile("d.log");
  platform::SetClockForTest(&SettableClock);
  Logger::LogMsg(Logger::L_ERR, "x_debug", "[ERROR] app(%d): %s %zu\n", 12, "t\xC3\xA9xt", size_t{7});
  g_now = kClock + 61;
  Logger::LogMsg(Logger::L_ERR, "x_debug", "next\n");
  EXPECT_EQ(std::string(kPrefix) + "[ERROR] app(12): t\xC3\xA9xt 7\n" + "Mar 07 14:06:10 next\n",
            ReadFile("d.log"));
}

TEST_F(LoggerTest, ThresholdsComeFromTheLevelFile) {
  StartFile("d.log",
            "client_debug=7\n"
            "flist_debug=abc\n"
            "event_db_debug = ' 6'\n"
            "default_component=0\n");
  struct Case {
    const char* comp;
    Logger::Level level;
    bool written;
  } cases[] = {
      {"client_debug", Logger::L_DEBUG, true},
      // Not a number: 0, only L_EMERG passes.
      {"flist_debug", Logger::L_EMERG, true},
      {"flist_debug", Logger::L_ALERT, false},
      {"event_db_debug", Logger::L_INFO, true},
      {"event_db_debug", Logger::L_DEBUG, false},
      // "default_component" is a component like any other, not the fallback.
      {"default_component", Logger::L_EMERG, true},
      {"default_component", Logger::L_ALERT, false},
      {"worker_debug", Logger::L_WARNING, true},
      {"worker_debug", Logger::L_NOTICE, false},
      {"", Logger::L_WARNING, true},
      {"CLIENT_DEBUG", Logger::L_NOTICE, false},  // exact bytes only
  };
  std::string expected;
  int n = 0;
  for (const Case& c : cases) {
    // Both overloads must agree.
    Logger::LogMsg(c.level, c.comp, "%d %s\n", n, c.comp);
    Logger::LogMsg(c.level, ustring(c.comp), "%d %s\n", n, c.comp);
    EXPECT_EQ(c.written, Logger::IsEnabled(c.level, c.comp)) << c.comp << " " << c.level;
    if (c.written) {
      std::string line = std::string(kPrefix) + std::to_string(n) + " " + c.comp + "\n";
      expected += line + line;
    }
    ++n;
  }
  EXPECT_EQ(expected, ReadFile("d.log"));
}

TEST_F(LoggerTest, BadOrMissingLevelFileLeavesDefaults) {
  // A bad line empties what the level file had given.
  WriteFile("bad.conf", "client_debug=7\nthis is bad\n");
  for (const char* levels : {"bad.conf", "missing.conf"}) {
    SCOPED_TRACE(levels);
    std::string log = std::string(levels) + ".log";
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path(log).c_str(), Path(levels).c_str(), 50));
    Logger::LogMsg(Logger::L_NOTICE, "client_debug", "dropped\n");
    Logger::LogMsg(Logger::L_WARNING, "client_debug", "kept\n");
    Logger::LogMsg(Logger::L_WARNING, "default_component", "kept too\n");
    Logger::LogMsg(Logger::L_NOTICE, "default_component", "dropped\n");
    EXPECT_EQ(std::string(kPrefix) + "kept\n" + kPrefix + "kept too\n", ReadFile(log));
  }
}

TEST_F(LoggerTest, FileOutputThatCannotOpenFailsAndKeepsTheOldOutput) {
  StartFile("d.log");
  EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 50));
  EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, Path("missing/d.log").c_str(), "", 50));
  Logger::LogMsg(Logger::L_ERR, "x", "still here\n");
  EXPECT_EQ(std::string(kPrefix) + "still here\n", ReadFile("d.log"));
  EXPECT_FALSE(Exists("missing"));
}

// Output of each type, read back from the standard streams.
TEST_F(LoggerTest, StandardStreamOutputs) {
  struct Case {
    const char* name;
    bool initialize;
    Logger::Type type;
    bool to_stderr;
    bool prefixed;
  } cases[] = {
      {"before Initialize", false, Logger::STDOUT_LOGGER, true, true},
      {"STDOUT_LOGGER", true, Logger::STDOUT_LOGGER, false, true},
      {"STDERR_LOGGER", true, Logger::STDERR_LOGGER, true, true},
      {"SYSLOG_LOGGER", true, Logger::SYSLOG_LOGGER, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.initialize) {
      ASSERT_EQ(0, Logger::Initialize(c.type, "", "", 50));
    }
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Logger::LogMsg(Logger::L_WARNING, "any_debug", "[WARNING] t(%d): w\n", 3);
    Logger::LogMsg(Logger::L_NOTICE, "any_debug", "filtered\n");
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string expected = std::string(c.prefixed ? kPrefix : "") + "[WARNING] t(3): w\n";
    EXPECT_EQ(c.to_stderr ? "" : expected, out);
    EXPECT_EQ(c.to_stderr ? expected : "", err);
  }
}

TEST_F(LoggerTest, DestroyClosesTheFileAndWritesToStandardOutput) {
  StartFile("d.log");
  Logger::LogMsg(Logger::L_ERR, "x", "in file\n");
  Logger::Destroy();
  ::testing::internal::CaptureStdout();
  Logger::LogMsg(Logger::L_ERR, "x", "on stdout\n");
  EXPECT_EQ(std::string(kPrefix) + "on stdout\n", ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(std::string(kPrefix) + "in file\n", ReadFile("d.log"));
}

void CallLogMsg2(Logger::Level level, const char* comp, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void CallLogMsg2(Logger::Level level, const char* comp, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Logger::LogMsg2(level, ustring(comp), fmt, args);
  va_end(args);
}

void CallLogMSG_c(int level, const char* comp, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void CallLogMSG_c(int level, const char* comp, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogMSG_c(level, comp, fmt, args);
  va_end(args);
}

TEST_F(LoggerTest, ArgumentListEntriesFilterAndFormatAlike) {
  StartFile("d.log", "c_debug=5\n");
  CallLogMsg2(Logger::L_NOTICE, "c_debug", "two %llu\n", 1ULL << 40);
  CallLogMsg2(Logger::L_INFO, "c_debug", "dropped\n");
  CallLogMSG_c(Logger::L_NOTICE, "c_debug", "c %s\n", "ok");
  CallLogMSG_c(Logger::L_INFO, "c_debug", "dropped\n");
  CallLogMSG_c(99, "c_debug", "dropped\n");
  EXPECT_EQ(std::string(kPrefix) + "two 1099511627776\n" + kPrefix + "c ok\n", ReadFile("d.log"));
}

TEST_F(LoggerTest, OpensForAppendingAndCountsFromZero) {
  // More than a rotation's worth of text already in the file.
  WriteFile("d.log", std::string(kRotateSize + 10, 'o') + "\n");
  StartFile("d.log");
  Logger::LogMsg(Logger::L_ERR, "x", "appended\n");
  EXPECT_FALSE(Exists("d.log_0"));
  EXPECT_THAT(ReadFile("d.log"), EndsWith("o\n" + std::string(kPrefix) + "appended\n"));
}

// True when some descriptor of this process is open on `path`; *cloexec
// then tells whether it is closed on exec.
bool OpenDescriptor(const std::string& path, bool* cloexec) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    char target[PATH_MAX];
    ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    if (n < 0) continue;
    target[n] = '\0';
    if (path != target) continue;
    int fd = std::stoi(entry.path().filename().string());
    *cloexec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    return true;
  }
  return false;
}

TEST_F(LoggerTest, LogFileIsClosedOnExecAlsoAfterRotation) {
  std::string path = fs::canonical(Path()).string() + "/d.log";
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, path.c_str(), "", 50));
  bool cloexec = false;
  ASSERT_TRUE(OpenDescriptor(path, &cloexec));
  EXPECT_TRUE(cloexec);
  ASSERT_EQ(0, Logger::Rotate());
  cloexec = false;
  ASSERT_TRUE(OpenDescriptor(path, &cloexec));
  EXPECT_TRUE(cloexec);
}

// Rotation happens after the line that takes the count past 1,048,576 bytes,
// and the new file counts from its own first line.
TEST_F(LoggerTest, RotatesAfterTheLineThatCrossesTheLimit) {
  StartFile("d.log");
  for (int i = 0; i < 1000; ++i) LogLineOfSize(1048);  // 1,048,000 bytes
  LogLineOfSize(700, 'L');
  ASSERT_TRUE(Exists("d.log_0"));
  EXPECT_EQ(1048700u, SizeOf("d.log_0"));
  EXPECT_THAT(ReadFile("d.log_0"), EndsWith(std::string(683, 'L') + "\n"));
  EXPECT_EQ(0u, SizeOf("d.log"));

  // Exactly the limit in the new file: no rotation yet.
  LogLineOfSize(576);
  for (int i = 0; i < 1000; ++i) LogLineOfSize(1048);
  EXPECT_EQ(static_cast<uintmax_t>(kRotateSize), SizeOf("d.log"));
  EXPECT_FALSE(Exists("d.log_1"));
  LogLineOfSize(20);
  EXPECT_TRUE(Exists("d.log_1"));
  EXPECT_EQ(static_cast<uintmax_t>(kRotateSize + 20), SizeOf("d.log_0"));
  EXPECT_EQ(1048700u, SizeOf("d.log_1"));
}

TEST_F(LoggerTest, SixtyRotationsKeepFortyNineNumberedFiles) {
  StartFile("d.log");
  for (int gen = 0; gen < 60; ++gen) {
    Logger::LogMsg(Logger::L_ERR, "x", "generation %d\n", gen);
    ASSERT_EQ(0, Logger::Rotate());
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Path())) names.push_back(entry.path().filename());
  EXPECT_EQ(50u, names.size());  // the live file and d.log_0 .. d.log_48
  EXPECT_FALSE(Exists("d.log_49"));
  for (int i = 0; i <= 48; ++i) {
    std::string rel = "d.log_" + std::to_string(i);
    ASSERT_TRUE(Exists(rel)) << rel;
    EXPECT_EQ(std::string(kPrefix) + "generation " + std::to_string(59 - i) + "\n", ReadFile(rel));
  }
  EXPECT_EQ("", ReadFile("d.log"));
}

// Numbered names are not cut to a fixed buffer: with a 2,048-byte one, a
// path this long made "_10" into "_1", so one rotation overwrote another.
TEST_F(LoggerTest, NumberedNamesOfALongPathStayDistinct) {
  std::string rel;
  while (Path(rel).size() + 200 < 2040) {
    if (!rel.empty()) rel += '/';
    rel.append(199, 'd');
    ASSERT_EQ(0, mkdir(Path(rel).c_str(), 0700));
  }
  rel += '/';
  rel.append(2045 - Path(rel).size(), 'f');
  ASSERT_EQ(2045u, Path(rel).size());
  StartFile(rel);
  for (int gen = 0; gen < 12; ++gen) {
    Logger::LogMsg(Logger::L_ERR, "x", "generation %d\n", gen);
    ASSERT_EQ(0, Logger::Rotate());
  }
  for (int i : {0, 1, 10, 11}) {
    std::string numbered = rel + "_" + std::to_string(i);
    EXPECT_EQ(std::string(kPrefix) + "generation " + std::to_string(11 - i) + "\n", ReadFile(numbered));
  }
}

TEST_F(LoggerTest, FailedRotationSilencesTheFileOutput) {
  ASSERT_EQ(0, mkdir(Path("logs").c_str(), 0700));
  StartFile("logs/d.log");
  Logger::LogMsg(Logger::L_ERR, "x", "before\n");
  fs::remove_all(Path("logs"));
  // Enough to pass the limit: the rotation cannot move the live file.
  for (int i = 0; i < 1100; ++i) LogLineOfSize(1000);
  EXPECT_EQ(-1, Logger::Rotate());

  ASSERT_EQ(0, mkdir(Path("logs").c_str(), 0700));
  for (int i = 0; i < 1100; ++i) LogLineOfSize(1000);
  EXPECT_TRUE(fs::is_empty(Path("logs")));
}

struct LogsAtExit {
  ~LogsAtExit() { Logger::LogMsg(Logger::L_ERR, "x", "from a destructor at exit\n"); }
};

TEST_F(LoggerTest, ObjectsCanLogFromTheirDestructorsAtExit) {
  std::string path = Path("d.log");
  EXPECT_EXIT(
      {
        // Made before the logger's own state, so destroyed after it would be.
        static LogsAtExit guard;
        if (Logger::Initialize(Logger::FILE_LOGGER, path.c_str(), "", 50) != 0) std::_Exit(2);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_THAT(ReadFile("d.log"), HasSubstr("from a destructor at exit\n"));
}

#if defined(__SANITIZE_ADDRESS__)
std::atomic<long> g_allocations{0};
void CountAllocation(const volatile void*, size_t) { g_allocations.fetch_add(1); }
void IgnoreFree(const volatile void*) {}

// Every debug line that is switched off still makes this call.
TEST_F(LoggerTest, FilteredOutCallsDoNotAllocate) {
  // syncer_debug at 7: no level is above every threshold, each call looks up.
  StartFile("d.log", "client_debug=3\nsyncer_debug=7\n");
  ustring comp("worker_debug");
  ASSERT_NE(0, __sanitizer_install_malloc_and_free_hooks(&CountAllocation, &IgnoreFree));
  Logger::LogMsg(Logger::L_DEBUG, "worker_debug", "%s\n", "never");
  Logger::LogMsg(Logger::L_DEBUG, comp, "%s\n", "never");
  Logger::LogMsg(Logger::L_WARNING, "client_debug", "%s\n", "never");
  EXPECT_EQ(0, g_allocations.load());
  EXPECT_EQ("", ReadFile("d.log"));
}
#endif

}  // namespace
