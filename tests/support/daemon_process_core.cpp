#include "support/daemon_process_core.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return !out.fail();
}

// The value as the configuration reader takes it back: quoted with a quote
// character it does not hold. Empty when it cannot be written at all.
std::string Quoted(const std::string& value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F) return "";
  }
  if (value.find('\'') == std::string::npos) return "'" + value + "'";
  if (value.find('"') == std::string::npos) return "\"" + value + "\"";
  return "";
}

}  // namespace

DaemonProcessCore::DaemonProcessCore(std::string binary, std::string folder)
    : binary_(std::move(binary)), folder_(std::move(folder)) {
  keys_ = {
      {"is_foreground", "true"},
      {"pid_file_path", PidFilePath()},
      {"log_file_path", LogFilePath()},
      {"log_level_file_path", folder_ + "/daemon.levels"},
      {"fstat_db_path", folder_ + "/file-status.sqlite"},
      {"filter_db_path", folder_ + "/filter.sqlite"},
      {"history_db_path", folder_ + "/history.sqlite"},
      {"system_filter_path", folder_ + "/system.filter"},
  };
}

DaemonProcessCore::~DaemonProcessCore() { Kill(); }

void DaemonProcessCore::Set(const std::string& key, const std::string& value) {
  for (auto& entry : keys_) {
    if (entry.first == key) {
      entry.second = value;
      return;
    }
  }
  keys_.emplace_back(key, value);
}

void DaemonProcessCore::Unset(const std::string& key) {
  for (auto it = keys_.begin(); it != keys_.end(); ++it) {
    if (it->first == key) {
      keys_.erase(it);
      return;
    }
  }
}

bool DaemonProcessCore::WriteConfig(std::string* error) {
  std::string config;
  for (const auto& [key, value] : keys_) {
    std::string quoted = Quoted(value);
    if (quoted.empty()) {
      *error = "configuration value of " + key + " cannot be written: " + value;
      return false;
    }
    config += key + "=" + quoted + "\n";
  }
  bool ok = WriteWhole(ConfigPath(), config) && WriteWhole(folder_ + "/daemon.levels", levels_) &&
            WriteWhole(folder_ + "/system.filter", "");
  if (!ok) *error = "cannot write the configuration in " + folder_;
  return ok;
}

bool DaemonProcessCore::Start(const std::vector<std::string>& extra, std::string* error) {
  std::vector<std::string> args = {ConfigPath()};
  args.insert(args.end(), extra.begin(), extra.end());
  return WriteConfig(error) && Launch(args, error);
}

bool DaemonProcessCore::StartWithArgs(const std::vector<std::string>& args, std::string* error) {
  return Launch(args, error);
}

bool DaemonProcessCore::Launch(const std::vector<std::string>& args, std::string* error) {
  if (pid_ > 0) {
    *error = "the daemon runs already";
    return false;
  }
  // Everything the child needs is made before fork: between fork and exec
  // only async-signal-safe calls may run (the test may have threads).
  std::vector<std::string> argv_strings = launcher_;
  argv_strings.push_back(binary_);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TRELVIK_TEST_TIMING=", 20) != 0) env_strings.emplace_back(*e);
  }
  if (!timing_.empty()) env_strings.push_back("TRELVIK_TEST_TIMING=" + timing_);
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out = open((folder_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open((folder_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  auto close_all = [&] {
    for (int fd : {out, err, null_in}) {
      if (fd >= 0) (void)close(fd);  // the child holds its own copies
    }
  };
  if (out < 0 || err < 0 || null_in < 0) {
    *error = "cannot open the output files in " + folder_ + ": " + std::strerror(errno);
    close_all();
    return false;
  }
  sigset_t none;
  sigemptyset(&none);
  const pid_t parent = getpid();
  const bool own_group = own_group_;
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close_all();
    return false;
  }
  if (pid == 0) {
    // Killed with the test; and if the test died before the request took
    // effect, end now.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    if (own_group && setpgid(0, 0) != 0) _exit(127);
    if (dup2(null_in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    if (chdir(folder_.c_str()) != 0) _exit(127);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);  // the daemon sets its own mask
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close_all();
  // Also from this side, so that the group exists before Start returns
  // (EACCES once the child has exec'd: it made the group itself by then).
  if (own_group) (void)setpgid(pid, pid);
  pid_ = pid;
  return true;
}

bool DaemonProcessCore::WaitExit(int* code, std::chrono::milliseconds timeout, std::string* error) {
  error->clear();
  if (pid_ <= 0) return false;
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      *code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
      return true;
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      *error = std::string("waitpid: ") + std::strerror(errno);
      return false;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool DaemonProcessCore::Signal(int signo) { return pid_ > 0 && kill(pid_, signo) == 0; }

void DaemonProcessCore::Kill() {
  if (pid_ <= 0) return;
  (void)kill(pid_, SIGKILL);  // it may have ended already; waitpid tells
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string DaemonProcessCore::Stdout() const { return ReadWhole(folder_ + "/stdout"); }

std::string DaemonProcessCore::Stderr() const { return ReadWhole(folder_ + "/stderr"); }

bool DaemonProcessCore::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (Stdout().find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> DaemonProcessCore::OutputLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream in(Stdout());
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

int DaemonProcessCore::OpenDescriptorCount() const {
  if (pid_ <= 0) return -1;
  DIR* dir = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
  }
  (void)closedir(dir);  // a listing only
  return count;
}

std::string DaemonProcessCore::SanitizerReport() const {
  std::string err = Stderr();
  for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                           "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer"}) {
    if (err.find(mark) != std::string::npos) return err;
  }
  return "";
}

}  // namespace testsupport
