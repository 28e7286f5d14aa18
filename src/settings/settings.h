// Settings: the daemon's start-up configuration (file locations, worker
// count, control ports, logging mode).
#ifndef SETTINGS_SETTINGS_H_
#define SETTINGS_SETTINGS_H_

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "foundation/ustring.h"

// Built-in defaults, overwritten once by `main` from the key=value file named
// on the command line; everything else that configures the daemon arrives
// over the control protocol. The user-interface notifier reads `ui_port` and
// `ui_socket_path` from here too.
//
// Threads: every getter and the loader take `lock`; getters return copies, so
// no caller ever holds a view into the object. Nothing else is locked while
// `lock` is held.
class Settings {
 public:
  // Accepted ranges; a value outside them keeps the default. The task table
  // holds worker_count + 3 places, four of them fixed tasks: 1 would leave
  // no worker (a daemon that links and pulls but never syncs), 0 not even
  // room for the fixed tasks, and a huge count asks for billions of places. The control loop listens on
  // ui_port + 1 or above, so 65535 leaves it no port.
  static constexpr uint32_t kMinWorkerCount = 2;
  static constexpr uint32_t kMaxWorkerCount = 64;
  static constexpr int kMinUIPort = 1;
  static constexpr int kMaxUIPort = 65534;

  // The process-wide object, made with the defaults on the first call
  // (thread-safe), destroyed at process exit. Never null.
  static Settings* getInstance();

  // An object with the defaults. Public for tests; the daemon uses
  // getInstance() only.
  Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // Puts every field back to its default and forgets rejected values: lets
  // tests reuse the process-wide object.
  void resetToDefaults();

  // Reads the key=value file at `path` (see Config) under `lock`. -1, every
  // field unchanged, when the file cannot be read or has a bad line; else 0.
  // A key that is absent or has an empty value keeps its field; a string
  // takes the value as it stands; "is_foreground" is true only for exactly
  // "true"; "worker_count" and "ui_port" must be plain decimal numbers in
  // their ranges, else the field is kept and the pair is listed by
  // getRejectedValues. Unknown keys are ignored.
  int loadConfigSettings(const ustring& path);

  // The (key, value) pairs that the last load refused ("worker_count"
  // before "ui_port"), for the caller to log once logging runs.
  std::vector<std::pair<ustring, ustring>> getRejectedValues() const;

  ustring getPidFilePath() const { return getMember(pid_file_path); }
  ustring getLogFilePath() const { return getMember(log_file_path); }
  ustring getLogLevelFilePath() const { return getMember(log_level_file_path); }
  ustring getCertPath() const { return getMember(cert_path); }
  ustring getWorkDirName() const { return getMember(work_dir_name); }
  ustring getFStatDbPath() const { return getMember(fstat_db_path); }
  ustring getFilterDbPath() const { return getMember(filter_db_path); }
  ustring getHistoryDbPath() const { return getMember(history_db_path); }
  ustring getSystemFilterPath() const { return getMember(system_filter_path); }
  ustring getSocketPath() const { return getMember(socket_path); }
  ustring getUISocketPath() const { return getMember(ui_socket_path); }
  // In kMinWorkerCount..kMaxWorkerCount.
  uint32_t getWorkerCount() const { return getMember(worker_count); }
  // In kMinUIPort..kMaxUIPort.
  int getUIPort() const { return getMember(ui_port); }
  bool isForeground() const { return getMember(is_foreground); }

 private:
  // A copy of `field`, taken under `lock`.
  template <class T>
  T getMember(const T& field) const {
    std::lock_guard<std::mutex> guard(lock);
    return field;
  }
  // The caller holds `lock`.
  void setDefaults();

  ustring db_path;  // never read; kept with its default
  ustring pid_file_path;
  ustring log_file_path;
  ustring log_level_file_path;
  ustring cert_path;
  ustring work_dir_name;
  ustring fstat_db_path;
  ustring filter_db_path;
  ustring history_db_path;
  ustring system_filter_path;
  uint32_t worker_count;
  ustring socket_path;
  ustring ui_socket_path;
  int ui_port;
  bool is_foreground;
  std::vector<std::pair<ustring, ustring>> rejected;
  mutable std::mutex lock;  // guards every field above
};

#endif  // SETTINGS_SETTINGS_H_
