#include "server/recycle_cleaner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "platform/local_time.h"
#include "platform/remove_tree.h"
#include "session/detector.h"
#include "session/file_event_db.h"
#include "session/session_folders.h"
#include "session/session_path.h"

namespace {

constexpr char kComp[] = "recycle_cleaner_debug";

#define CLEANER_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

}  // namespace

RecycleCleaner::RecycleCleaner(TaskManager* owner, Registry& registry, const DaemonTiming& timing)
    : Task(owner, nullptr), registry_(registry), timing_(timing) {}

void RecycleCleaner::DoTask() {
  CLEANER_LOG(L_DEBUG, "[DEBUG] recycle-cleaner(%d): RecycleCleaner START.\n");
  while (true) {
    const State state = GetState();
    if (state == STOP) break;
    if (state == PAUSE) {
      CLEANER_LOG(L_DEBUG, "[DEBUG] recycle-cleaner(%d): paused.\n");
      std::this_thread::sleep_for(timing_.pause_poll);
      continue;
    }
    if (UpdateContext() < 0) {
      Wait(timing_.cleaner_retry_wait);
      continue;
    }
    if (Rotate() < 0) {
      Wait(timing_.cleaner_retry_wait);
      continue;
    }
    Wait(timing_.cleaner_pass_wait);
  }
  CLEANER_LOG(L_DEBUG, "[DEBUG] recycle-cleaner(%d): RecycleCleaner : stop working\n");
}

int RecycleCleaner::UpdateContext() {
  Registry::Entry next;
  if (registry_.FindNext(context_.entry.sess_id, next) == 0) {
    context_.entry.clear();
    return -1;
  }
  context_.entry = next;
  return 0;
}

ustring RecycleCleaner::GetRecycleBinDir() const {
  ustring dir = context_.entry.local_path;
  dir += "/";
  dir += kWorkingDirName;
  dir += "/";
  dir += kRecycleDirName;
  return dir;
}

int RecycleCleaner::RemoveItem(int bin_fd, const char* name) {
  struct stat st;
  if (fstatat(bin_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : -1;
  }
  if (S_ISDIR(st.st_mode)) {
    const int err = platform::RemoveTreeAt(bin_fd, name, [name](platform::RemoveStep, int e) {
      CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): removing '%s': errno %d\n", name, e);
    });
    return err == 0 ? 0 : -1;
  }
  // A file, link or special file is unlinked itself: a link's target, a
  // FIFO's reader are never touched.
  if (unlinkat(bin_fd, name, 0) == 0 || errno == ENOENT) return 0;
  return -1;
}

int RecycleCleaner::Rotate() {
  Registry::Entry& entry = context_.entry;
  if (entry.recycle_time == 0) return 0;
  const uint32_t now = static_cast<uint32_t>(platform::CurrentTime());
  // Unsigned on purpose: a recycle_time in the future wraps to a large age
  // and lets the purge run.
  if (static_cast<uint32_t>(now - entry.recycle_time) < kAgeLimit) {
    CLEANER_LOG(L_DEBUG, "[DEBUG] recycle-cleaner(%d): session %llu: nothing due yet.\n",
                static_cast<unsigned long long>(entry.sess_id));
    return 0;
  }
  const uint32_t limit = now - kAgeLimit;

  std::set<ustring> paths;
  if (!entry.event_db || entry.event_db->getRotateList(limit, paths) != 0) {
    CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Failed to getRotateList.\n");
    return -1;
  }
  const ustring dir = GetRecycleBinDir();
  // Every item goes relative to the folder opened here: a link put in place
  // of the working or recycle folder is never followed. It is replaced by an
  // empty folder, where the items are missing: their records go, and what
  // the link led to is left as it was.
  platform::UniqueFd bin;
  if (SessionFolders(entry.local_path, entry.conn_id, entry.sess_id).Open(SessionFolders::Which::kRecycle, &bin) != 0) {
    CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): the recycle folder '%s' cannot be opened.\n", dir.c_str_utf8());
    return -1;
  }
  for (const ustring& path : paths) {
    if (!IsRecycleItemPath(path)) {
      // A damaged row: joined to the folder it could name the folder itself,
      // a sibling of it or the working folder. Its row goes below.
      CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Invalid recycle record '%s', skip it.\n",
                  path.c_str_utf8());
      continue;
    }
    ustring full = dir;
    full += path;
    CLEANER_LOG(L_DEBUG, "[DEBUG] recycle-cleaner(%d): Need rotate '%s'.\n", full.c_str_utf8());
    if (RemoveItem(bin.get(), path.c_str_utf8() + 1) != 0) {
      CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Failed to remove file. at '%s'\n", full.c_str_utf8());
      return -1;
    }
  }
  if (entry.event_db->rmRotateRecords(limit) != 0) {
    CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Failed to rmRotateRecords.\n");
    return -1;
  }
  uint32_t oldest = 0;
  if (entry.event_db->getOldestRecyleTime(oldest) != 0) {
    CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Failed to getOldestRecyleTime.\n");
    return -1;
  }
  if (before_time_store_) before_time_store_();
  registry_.UpdateRecycleTime(entry, oldest);
  // A worker that recycled since the read above set recycle_time through
  // InitRecycleTime, which the store just overwrote with an older value or
  // 0 (with 0 its item would never be purged). Its record is in the table:
  // read again and lower the stored time to it.
  uint32_t again = 0;
  if (entry.event_db->getOldestRecyleTime(again) != 0) {
    CLEANER_LOG(L_ERR, "[ERROR] recycle-cleaner(%d): Failed to getOldestRecyleTime.\n");
    return -1;
  }
  if (again != 0) registry_.InitRecycleTime(entry, again);
  return 0;
}
