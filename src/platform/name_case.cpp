#include "platform/name_case.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/fs_type.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

bool PathExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Whether the ext4 (f2fs) driver of this kernel can hold casefolded folders
// at all; read once, the kernel does not change under a running process.
bool CasefoldSupported(unsigned long f_type) {
  static const bool ext4 = PathExists("/sys/fs/ext4/features/casefold");
  static const bool f2fs = PathExists("/sys/fs/f2fs/features/casefold");
  return FsTypeName(f_type) == "f2fs" ? f2fs : ext4;
}

// Rule per st_dev. Entries are never dropped: a device number reused by a
// later mount of another kind keeps the old rule until the process ends.
struct RuleCache {
  std::mutex mutex;
  std::unordered_map<dev_t, CaseRule> rules;
};

RuleCache& Cache() {
  static RuleCache* cache = new RuleCache;  // never destroyed: used at exit
  return *cache;
}

// One-entry cache per thread in front of the shared table: a rescan asks
// about the same device for every file, and must not contend on the mutex.
struct LastRule {
  bool valid = false;
  dev_t dev = 0;
  CaseRule rule = CaseRule::kSensitive;
};
thread_local LastRule t_last;

bool LookUp(dev_t dev, CaseRule* rule) {
  if (t_last.valid && t_last.dev == dev) {
    *rule = t_last.rule;
    return true;
  }
  RuleCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto it = cache.rules.find(dev);
  if (it == cache.rules.end()) return false;
  t_last = {true, dev, it->second};
  *rule = it->second;
  return true;
}

int FolderHasCasefoldFlag(const char* dir, bool* casefold) {
  UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno;
  int flags = 0;
  if (ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
    // A folder that cannot answer carries no casefold flag.
    if (errno == ENOTTY || errno == EOPNOTSUPP) {
      *casefold = false;
      return 0;
    }
    return errno;
  }
  *casefold = (flags & FS_CASEFOLD_FL) != 0;
  return 0;
}

}  // namespace

int FolderIgnoresCase(const char* dir, dev_t dev, bool* insensitive) {
  CaseRule rule;
  if (!LookUp(dev, &rule)) {
    // Classify by the folder's own device: `dev` may belong to a file
    // system mounted on the entry, whose name lives in the folder's one.
    struct stat st;
    if (stat(dir, &st) != 0) return errno;
    unsigned long f_type = 0;
    int err = FsTypeOfPath(dir, &f_type);
    if (err != 0) return err;
    rule = CaseRuleOfType(f_type, CasefoldSupported(f_type));
    {
      RuleCache& cache = Cache();
      std::lock_guard<std::mutex> lock(cache.mutex);
      cache.rules.emplace(st.st_dev, rule);
    }
    if (st.st_dev == dev) t_last = {true, dev, rule};
  }
  switch (rule) {
    case CaseRule::kSensitive:
      *insensitive = false;
      return 0;
    case CaseRule::kInsensitive:
      *insensitive = true;
      return 0;
    case CaseRule::kPerFolder:
      return FolderHasCasefoldFlag(dir, insensitive);
  }
  return EINVAL;
}

bool DeviceKnownCaseSensitive(dev_t dev) {
  CaseRule rule;
  return LookUp(dev, &rule) && rule == CaseRule::kSensitive;
}

int FolderHasExactName(const char* dir, const char* name, bool* found) {
  DIR* d = opendir(dir);
  if (d == nullptr) return errno;
  *found = false;
  int err = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    if (std::strcmp(e->d_name, name) == 0) {
      *found = true;
      break;
    }
  }
  (void)closedir(d);  // read-only stream: nothing to flush
  return err;
}

}  // namespace platform
