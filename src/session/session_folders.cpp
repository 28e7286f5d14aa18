#include "session/session_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "foundation/logger.h"
#include "session/detector.h"
#include "session/session_path.h"
#include "session/ui_ipc.h"
#include "transport/error_code.h"

namespace {

constexpr char kComp[] = "session_folders_debug";

#define FOLDERS_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A few rounds for a name that another thread or process changes while it
// is being repaired; more means something keeps planting it.
constexpr int kRepairTries = 3;

const char* KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISREG(mode)) return "a file";
  return "not a folder";
}

}  // namespace

SessionFolders::SessionFolders(ustring local_path, uint64_t conn_id, uint64_t sess_id)
    : local_path_(std::move(local_path)), conn_id_(conn_id), sess_id_(sess_id) {
  working_ = local_path_ + "/" + kWorkingDirName;
  recycle_ = working_ + "/" + kRecycleDirName;
}

void SessionFolders::Report(const ustring& full, const char* what) const {
  FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): '%s' is %s, not the session's folder: nothing goes through it.\n",
              full.c_str_utf8(), what);
  (void)UI_IPC::ReportSessionErrorToUI(conn_id_, sess_id_, ERR_SYS);  // logged on failure; nothing to retry
}

platform::UniqueFd SessionFolders::OpenChild(int parent, const char* name, const ustring& full, dev_t dev) const {
  for (int i = 0; i < kRepairTries; ++i) {
    platform::UniqueFd fd(openat(parent, name, kOpenFlags));
    if (fd.valid()) {
      struct stat st;
      if (fstat(fd.get(), &st) != 0) {
        FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot examine '%s': errno %d\n", full.c_str_utf8(), errno);
        return {};
      }
      if (st.st_dev == dev) return fd;
      // Something is mounted there: not ours to remove, and never written.
      Report(full, "another file system");
      return {};
    }
    const int err = errno;
    if (err == ENOENT) {
      if (mkdirat(parent, name, 0755) != 0 && errno != EEXIST) {
        FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot create '%s': errno %d\n", full.c_str_utf8(), errno);
        return {};
      }
      continue;  // made (here or elsewhere): open it again
    }
    if (err != ELOOP && err != ENOTDIR) {
      FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot open '%s': errno %d\n", full.c_str_utf8(), err);
      return {};
    }
    // A link, a file or a special file at the folder's name.
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot examine '%s': errno %d\n", full.c_str_utf8(), errno);
      return {};
    }
    if (S_ISDIR(st.st_mode)) continue;  // replaced by a folder meanwhile
    Report(full, KindOf(st.st_mode));
    // unlinkat without AT_REMOVEDIR removes the entry itself: a link's
    // target is never reached.
    if (unlinkat(parent, name, 0) != 0 && errno != ENOENT) {
      FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot unlink '%s': errno %d\n", full.c_str_utf8(), errno);
      return {};
    }
    FOLDERS_LOG(L_WARNING, "[WARNING] session-folders(%d): unlinked '%s'; making the folder again.\n",
                full.c_str_utf8());
  }
  FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): '%s' keeps changing; left alone.\n", full.c_str_utf8());
  return {};
}

int SessionFolders::Open(Which which, platform::UniqueFd* out) const {
  out->reset();
  // The session folder may be reached through a link: it is the user's
  // choice. Everything below it is opened from it.
  platform::UniqueFd root(open(local_path_.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!root.valid() || fstat(root.get(), &st) != 0) {
    FOLDERS_LOG(L_ERR, "[ERROR] session-folders(%d): cannot open the session folder '%s': errno %d\n",
                local_path_.c_str_utf8(), errno);
    return -1;
  }
  platform::UniqueFd work = OpenChild(root.get(), kWorkingDirName, working_, st.st_dev);
  if (!work.valid()) return -1;
  platform::UniqueFd bin = OpenChild(work.get(), kRecycleDirName, recycle_, st.st_dev);
  if (!bin.valid()) return -1;
  *out = which == Which::kWorking ? std::move(work) : std::move(bin);
  return 0;
}

int SessionFolders::Ensure() const {
  platform::UniqueFd fd;
  return Open(Which::kRecycle, &fd);
}

bool IsRealFolder(const ustring& path) {
  struct stat st;
  return lstat(path.c_str_utf8(), &st) == 0 && S_ISDIR(st.st_mode);
}
