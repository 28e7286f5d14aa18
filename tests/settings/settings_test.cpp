#include "settings/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

using testsupport::TempDirTest;

class SettingsTest : public TempDirTest {
 protected:
  // Loads `text` as a configuration file into `s`.
  int Load(Settings& s, const std::string& text) {
    WriteFile("daemon.conf", text);
    return s.loadConfigSettings(ustring(Path("daemon.conf").c_str()));
  }

  static void ExpectDefaults(const Settings& s) {
    EXPECT_EQ(s.getPidFilePath(), "/var/run/trelvik-daemon.pid");
    EXPECT_EQ(s.getLogFilePath(), "/var/log/trelvik-daemon.log");
    EXPECT_EQ(s.getLogLevelFilePath(), "/var/log/trelvik-daemon.debug");
    EXPECT_EQ(s.getCertPath(), "");
    EXPECT_EQ(s.getWorkDirName(), ".ZarqelonWorkingDirectory");
    EXPECT_EQ(s.getFStatDbPath(), "/tmp/file-status.sqlite");
    EXPECT_EQ(s.getFilterDbPath(), "/tmp/filter.sqlite");
    EXPECT_EQ(s.getHistoryDbPath(), "/tmp/history.sqlite");
    EXPECT_EQ(s.getSystemFilterPath(), "/tmp/filter");
    EXPECT_EQ(s.getWorkerCount(), 3u);
    EXPECT_EQ(s.getSocketPath(), "");
    EXPECT_EQ(s.getUISocketPath(), "");
    EXPECT_EQ(s.getUIPort(), 1024);
    EXPECT_FALSE(s.isForeground());
  }
};

TEST_F(SettingsTest, DefaultsOfANewObjectAndOfTheProcessWideOne) {
  Settings s;
  ExpectDefaults(s);
  EXPECT_TRUE(s.getRejectedValues().empty());
  Settings* instance = Settings::getInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance, Settings::getInstance());
  ExpectDefaults(*instance);
}

TEST_F(SettingsTest, EveryKeyIsRead) {
  Settings s;
  ASSERT_EQ(Load(s,
                 "history_db_path=/h\nfstat_db_path=/f\nfilter_db_path=/fi\nsystem_filter_path=/s\n"
                 "pid_file_path=/p\nlog_file_path=/l\nlog_level_file_path=/ll\ncert_path=/c\n"
                 "work_dir_name=w\nworker_count=7\nsocket_path=/sock\nui_socket_path=/ui\n"
                 "ui_port=4000\nis_foreground=true\nunknown_key=ignored\n"),
            0);
  EXPECT_EQ(s.getHistoryDbPath(), "/h");
  EXPECT_EQ(s.getFStatDbPath(), "/f");
  EXPECT_EQ(s.getFilterDbPath(), "/fi");
  EXPECT_EQ(s.getSystemFilterPath(), "/s");
  EXPECT_EQ(s.getPidFilePath(), "/p");
  EXPECT_EQ(s.getLogFilePath(), "/l");
  EXPECT_EQ(s.getLogLevelFilePath(), "/ll");
  EXPECT_EQ(s.getCertPath(), "/c");
  EXPECT_EQ(s.getWorkDirName(), "w");
  EXPECT_EQ(s.getWorkerCount(), 7u);
  EXPECT_EQ(s.getSocketPath(), "/sock");
  EXPECT_EQ(s.getUISocketPath(), "/ui");
  EXPECT_EQ(s.getUIPort(), 4000);
  EXPECT_TRUE(s.isForeground());
  EXPECT_TRUE(s.getRejectedValues().empty());
}

TEST_F(SettingsTest, OneKeyChangesOnlyItsField) {
  Settings s;
  ASSERT_EQ(Load(s, "worker_count=5\n"), 0);
  EXPECT_EQ(s.getWorkerCount(), 5u);
  Settings reference;
  ASSERT_EQ(Load(reference, "worker_count=3\n"), 0);
  ExpectDefaults(reference);
  EXPECT_EQ(s.getUIPort(), 1024);
  EXPECT_EQ(s.getPidFilePath(), "/var/run/trelvik-daemon.pid");
}

TEST_F(SettingsTest, OnlyExactlyTrueIsForeground) {
  const std::pair<const char*, bool> cases[] = {
      {"true", true}, {"TRUE", false}, {"True", false}, {"yes", false}, {"1", false}, {"'true '", false},
  };
  for (const auto& [value, expected] : cases) {
    Settings s;
    ASSERT_EQ(Load(s, std::string("is_foreground=") + value + "\n"), 0) << value;
    EXPECT_EQ(s.isForeground(), expected) << value;
  }
}

TEST_F(SettingsTest, AnEmptyValueKeepsTheDefault) {
  Settings s;
  ASSERT_EQ(Load(s, "pid_file_path=''\nworker_count=\"\"\nui_port=''\nis_foreground=''\n"), 0);
  ExpectDefaults(s);
  EXPECT_TRUE(s.getRejectedValues().empty());
}

TEST_F(SettingsTest, AnUnreadableFileLeavesEveryDefault) {
  Settings s;
  EXPECT_EQ(s.loadConfigSettings(ustring(Path("missing.conf").c_str())), -1);
  EXPECT_EQ(s.loadConfigSettings(ustring("")), -1);
  EXPECT_EQ(s.loadConfigSettings(ustring(Path().c_str())), -1);  // a folder
  ExpectDefaults(s);
}

TEST_F(SettingsTest, ABadLineVoidsTheWholeFileAlsoTheLinesBeforeIt) {
  // A bare "key=" is a bad line for the reader, as is text without "=".
  for (const char* bad : {"pid_file_path=\n", "garbage\n", "ui_port = 1 2\n"}) {
    Settings s;
    EXPECT_EQ(Load(s, std::string("worker_count=9\nui_port=4000\nis_foreground=true\n") + bad), -1) << bad;
    ExpectDefaults(s);
  }
}

TEST_F(SettingsTest, WorkerCountOutsideItsRangeKeepsTheDefault) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"2", 2},   {"64", 64},        {"1", 3},        {"08", 8},   {"0", 3},           {"-1", 3},  {"12abc", 3},
      {"65", 3},  {"4294967296", 3}, {"+5", 3},   {"' 5'", 3},        {"5.0", 3}, {"99999999999999999999999", 3},
  };
  for (const auto& [value, expected] : cases) {
    Settings s;
    ASSERT_EQ(Load(s, std::string("worker_count=") + value + "\nui_port=4000\n"), 0) << value;
    EXPECT_EQ(s.getWorkerCount(), expected) << value;
    EXPECT_EQ(s.getUIPort(), 4000) << "a rejected value must not void the other keys: " << value;
    auto rejected = s.getRejectedValues();
    if (expected == 3) {
      ASSERT_EQ(rejected.size(), 1u) << value;
      EXPECT_EQ(rejected[0].first, "worker_count");
      std::string raw = value;
      if (raw.front() == '\'') raw = raw.substr(1, raw.size() - 2);
      EXPECT_EQ(rejected[0].second, raw.c_str());
    } else {
      EXPECT_TRUE(rejected.empty()) << value;
    }
  }
}

TEST_F(SettingsTest, UiPortOutsideItsRangeKeepsTheDefault) {
  const std::pair<const char*, int> cases[] = {
      {"1", 1}, {"65534", 65534}, {"0", 1024}, {"65535", 1024}, {"abc", 1024}, {"-1", 1024}, {"70000", 1024},
      {"4000x", 1024},
  };
  for (const auto& [value, expected] : cases) {
    Settings s;
    ASSERT_EQ(Load(s, std::string("ui_port=") + value + "\n"), 0) << value;
    EXPECT_EQ(s.getUIPort(), expected) << value;
    EXPECT_EQ(s.getRejectedValues().size(), expected == 1024 ? 1u : 0u) << value;
  }
}

TEST_F(SettingsTest, RejectedValuesAreListedInOrderAndResetClearsThem) {
  Settings s;
  ASSERT_EQ(Load(s, "ui_port=abc\nworker_count=0\npid_file_path=/p\n"), 0);
  auto rejected = s.getRejectedValues();
  ASSERT_EQ(rejected.size(), 2u);
  EXPECT_EQ(rejected[0].first, "worker_count");
  EXPECT_EQ(rejected[0].second, "0");
  EXPECT_EQ(rejected[1].first, "ui_port");
  EXPECT_EQ(rejected[1].second, "abc");
  EXPECT_EQ(s.getPidFilePath(), "/p");

  s.resetToDefaults();
  ExpectDefaults(s);
  EXPECT_TRUE(s.getRejectedValues().empty());
}

TEST_F(SettingsTest, ResetToDefaultsRestoresTheProcessWideObject) {
  Settings* s = Settings::getInstance();
  ASSERT_EQ(Load(*s, "ui_port=5000\nui_socket_path=/x\n"), 0);
  EXPECT_EQ(s->getUIPort(), 5000);
  EXPECT_EQ(s->getUISocketPath(), "/x");
  s->resetToDefaults();
  ExpectDefaults(*s);
}

}  // namespace
