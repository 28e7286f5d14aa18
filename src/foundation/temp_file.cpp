#include "foundation/temp_file.h"

#include <cstdlib>
#include <mutex>

#include "foundation/file_op.h"
#include "foundation/logger.h"

namespace {

const char kComp[] = "utility_debug";

// A default folder that can be read from any thread. Never destroyed, so
// objects destroyed at exit can still read it.
class DefaultFolder {
 public:
  ustring Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!set_) {
      const char* tmp = std::getenv("TMPDIR");
      value_ = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
      set_ = true;
    }
    return value_;
  }
  void Set(const ustring& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = prefix;
    set_ = true;
  }

 private:
  std::mutex mutex_;
  bool set_ = false;  // $TMPDIR is read on first use, not at load time
  ustring value_;
};

DefaultFolder& TempFileDefault() {
  static DefaultFolder* folder = new DefaultFolder;
  return *folder;
}

DefaultFolder& SFFileDefault() {
  static DefaultFolder* folder = new DefaultFolder;
  return *folder;
}

}  // namespace

// What the copies of one TempFile share.
struct TempFile::State {
  ustring path;
  bool permanent = false;
  bool has_file = false;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // Plain removal; the state has no file afterwards whatever the result.
  void Remove() {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] utility(%d): removing TempFile '%s'\n", __LINE__,
                   path.c_str_utf8());
    // FSRemove logs its own failure; the file cannot be removed later either.
    (void)FSRemove(path, false);
    path = "";
    has_file = false;
  }

  // The last owner is gone.
  ~State() {
    if (has_file && !permanent) Remove();
  }
};

int TempFile::initialize(const ustring& prefix) {
  TempFileDefault().Set(prefix);
  return 0;
}

ustring TempFile::DefaultPrefix() { return TempFileDefault().Get(); }

TempFile::TempFile(const ustring& prefix)
    : tmp_prefix(prefix.empty() ? DefaultPrefix() : prefix), state(std::make_shared<State>()) {}

TempFile::TempFile(const TempFile& other) : tmp_prefix(other.tmp_prefix) {
  if (other.state->has_file) {
    state = other.state;
  } else {
    state = std::make_shared<State>();
    state->permanent = other.state->permanent;
  }
}

TempFile& TempFile::operator=(const TempFile& other) {
  if (this == &other || state == other.state) {
    tmp_prefix = other.tmp_prefix;
    return *this;
  }
  tmp_prefix = other.tmp_prefix;
  if (other.state->has_file) {
    state = other.state;  // gives up this object's share first
  } else {
    auto fresh = std::make_shared<State>();
    fresh->permanent = other.state->permanent;
    state = std::move(fresh);
  }
  return *this;
}

TempFile::~TempFile() = default;

int TempFile::create() {
  if (state->has_file) return -1;
  ustring path;
  if (FSMktemp(tmp_prefix, path) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] utility(%d): failed to create TempFile ...\n", __LINE__);
    return -1;
  }
  state->path = path;
  state->has_file = true;
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] utility(%d): creating TempFile '%s'\n", __LINE__,
                 path.c_str_utf8());
  return 0;
}

const ustring& TempFile::getPath() const { return state->path; }

void TempFile::convert_permanent() { state->permanent = true; }

void TempFile::setPrefix(const ustring& prefix) { tmp_prefix = prefix; }

void TempFile::remove() { state->Remove(); }

int SFFile::initialize(const ustring& prefix) {
  SFFileDefault().Set(prefix);
  return 0;
}

SFFile::SFFile(const ustring& prefix) : m_prefix(prefix.empty() ? SFFileDefault().Get() : prefix) {}

int SFFile::create() {
  if (!m_path.empty()) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] utility(%d): use exist file\n", __LINE__);
    return 0;
  }
  if (FSMktemp(m_prefix, m_path) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] utility(%d): failed to create File ...\n", __LINE__);
    return -1;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] utility(%d): creating File '%s'\n", __LINE__,
                 m_path.c_str_utf8());
  return 0;
}

void SFFile::remove() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] utility(%d): removing File '%s'\n", __LINE__,
                 m_path.c_str_utf8());
  (void)FSRemove(m_path, false);  // logs its own failure; the path is forgotten either way
  m_path = "";
}

uint64_t SFFile::getSize() {
  FILE_INFO info;
  if (FSStat(m_path, info, true) != 0 || !info.isExist) return 0;
  return info.size;
}
