#include "settings/settings.h"

#include <map>

#include "foundation/config.h"

namespace {

// `text` as a plain decimal number (ASCII digits only: no sign, blank or
// trailing byte) within [low, high]; false for anything else. Config's
// integer reader would take "12abc" as 12 and wrap "4294967296" to 0.
bool ParseInRange(const ustring& text, long long low, long long high, long long* out) {
  const char* p = text.c_str_utf8();
  if (*p == '\0') return false;
  long long value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > high) return false;  // also stops any overflow
  }
  if (value < low) return false;
  *out = value;
  return true;
}

}  // namespace

Settings* Settings::getInstance() {
  static Settings instance;
  return &instance;
}

Settings::Settings() {
  std::lock_guard<std::mutex> guard(lock);
  setDefaults();
}

void Settings::resetToDefaults() {
  std::lock_guard<std::mutex> guard(lock);
  setDefaults();
}

void Settings::setDefaults() {
  db_path = "";
  pid_file_path = "/var/run/trelvik-daemon.pid";
  log_file_path = "/var/log/trelvik-daemon.log";
  log_level_file_path = "/var/log/trelvik-daemon.debug";
  cert_path = "";
  work_dir_name = ".ZarqelonWorkingDirectory";
  fstat_db_path = "/tmp/file-status.sqlite";
  filter_db_path = "/tmp/filter.sqlite";
  history_db_path = "/tmp/history.sqlite";
  system_filter_path = "/tmp/filter";
  worker_count = 3;
  socket_path = "";
  ui_socket_path = "";
  ui_port = 1024;
  is_foreground = false;
  rejected.clear();
}

int Settings::loadConfigSettings(const ustring& path) {
  std::lock_guard<std::mutex> guard(lock);
  Config config;
  if (config.read(path) < 0) return -1;
  // Config offers look-ups only through get_int, which inserts; the values
  // are needed as text.
  std::map<ustring, ustring> values(config.begin(), config.end());
  rejected.clear();

  struct StringKey {
    const char* key;
    ustring Settings::*field;
  };
  static const StringKey kStrings[] = {
      {"history_db_path", &Settings::history_db_path},
      {"fstat_db_path", &Settings::fstat_db_path},
      {"filter_db_path", &Settings::filter_db_path},
      {"system_filter_path", &Settings::system_filter_path},
      {"pid_file_path", &Settings::pid_file_path},
      {"log_file_path", &Settings::log_file_path},
      {"log_level_file_path", &Settings::log_level_file_path},
      {"cert_path", &Settings::cert_path},
      {"work_dir_name", &Settings::work_dir_name},
  };
  // An absent key or an empty value keeps the field.
  auto value_of = [&values](const char* key) -> const ustring* {
    auto it = values.find(ustring(key));
    return it == values.end() || it->second.empty() ? nullptr : &it->second;
  };

  for (const StringKey& s : kStrings) {
    if (const ustring* v = value_of(s.key)) this->*s.field = *v;
  }
  long long number = 0;
  if (const ustring* v = value_of("worker_count")) {
    if (ParseInRange(*v, kMinWorkerCount, kMaxWorkerCount, &number)) {
      worker_count = static_cast<uint32_t>(number);
    } else {
      rejected.emplace_back("worker_count", *v);
    }
  }
  if (const ustring* v = value_of("socket_path")) socket_path = *v;
  if (const ustring* v = value_of("ui_socket_path")) ui_socket_path = *v;
  if (const ustring* v = value_of("ui_port")) {
    if (ParseInRange(*v, kMinUIPort, kMaxUIPort, &number)) {
      ui_port = static_cast<int>(number);
    } else {
      rejected.emplace_back("ui_port", *v);
    }
  }
  if (const ustring* v = value_of("is_foreground")) is_foreground = *v == "true";
  return 0;
}

std::vector<std::pair<ustring, ustring>> Settings::getRejectedValues() const {
  std::lock_guard<std::mutex> guard(lock);
  return rejected;
}
