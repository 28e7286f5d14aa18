// "reload_session": the read-only and recursive settings of a session.
#include "app/app.h"
#include "app/worker_hold.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "platform/trash.h"
#include "session/event_manager.h"
#include "session/session_path.h"
#include "session/ui_ipc.h"
#include "transport/error_code.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

void VelkoraApp::change_permission(Registry::Entry& ent, bool read_only) {
  const unsigned long long id = ent.sess_id;
  if (!ent.read_only && read_only) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): chaning permission sync of session %llu to read only\n", id);
    ent.read_only = true;
    (void)Registry::getInstance().SetReadOnly(ent.sess_id, true);
  } else if (ent.read_only && !read_only) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): chaning permission sync of session %llu to read write\n", id);
    ent.read_only = false;
    (void)Registry::getInstance().SetReadOnly(ent.sess_id, false);
    // Local changes made while read-only were never uploaded.
    EventManager::getInstance()->IssueRescan(ent.sess_id, "/", true);
  }
}

void VelkoraApp::change_recursive(Registry::Entry& ent, bool recursive) {
  if (!ent.recursive && recursive) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): switch to recursive\n");
    ent.recursive = true;
    (void)Registry::getInstance().SetRecursive(ent.sess_id, true);
    // The sub-folders were never pulled: start again from the beginning.
    if (ent.event_db->setSyncId(0) < 0) {
      LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to reset sync_id of session %llu\n",
                    static_cast<unsigned long long>(ent.sess_id));
    }
  } else if (ent.recursive && !recursive) {
    LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): switch to non-recursive\n");
    ent.recursive = false;
    (void)Registry::getInstance().SetRecursive(ent.sess_id, false);
    // No worker may write into a sub-folder while it goes to the trash.
    Worker::AbortFilter filter;
    filter.setSession(ent.sess_id);
    const WorkerHold hold(workers(), filter, InterruptBound(timing_));
    if (ent.event_db->rmAllFolders() < 0) {
      LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to remove folder records of session %llu\n",
                    static_cast<unsigned long long>(ent.sess_id));
    }
    if (remove_all_dir(ent.local_path) != 0) {
      // The folders stay where they are; the user decides what becomes of them.
      (void)UI_IPC::ReportSessionErrorToUI(ent.conn_id, ent.sess_id, ERR_SYS);
    }
  }
  EventManager::getInstance()->IssueRescan(ent.sess_id, "/", true);
}

int VelkoraApp::remove_all_dir(const ustring& path) {
  LOG_WITH_LINE(L_DEBUG, kComponent, "[DEBUG] app(%d): removing all folders under %s\n", path.c_str_utf8());
  DIR_HANDLE dir;
  if (FSOpenDir(path, 0, dir) < 0) {
    LOG_WITH_LINE(L_WARNING, kComponent, "[WARNING] app(%d): folders under %s is not removed\n", path.c_str_utf8());
    return -1;  // every sub-folder stays
  }
  int kept = 0;
  DIR_ENTRY entry;
  // Links are typed FT_SLINK: never descended, their targets untouched.
  while (FSReadDir(dir, entry) == 1) {
    if (entry.type != FT_DIR || entry.name == "." || entry.name == ".." || entry.name == kWorkingDirName) continue;
    // A session folder that is a mount point holds its volume's trash,
    // which cannot go into itself.
    if (platform::IsVolumeTrash((path + "/" + entry.name).c_str_utf8())) continue;
    LOG_WITH_LINE(L_DEBUG, kComponent, "[DEBUG] app(%d): removing %s/%s\n", path.c_str_utf8(),
                  entry.name.c_str_utf8());
    // To the trash, never deleted: the folder may hold what the server
    // never had (files not yet sent, held back by rules, or of a read-only
    // session). What no trash takes stays in place.
    const ustring sub = path + "/" + entry.name;
    // A session folder that is a mount point of its own keeps its volume's
    // trash inside it: what went there would be synced again as new
    // folders once the session is recursive again.
    const std::string trash = platform::TrashDirOf(sub.c_str_utf8());
    const std::string root = path.c_str_utf8();
    if (trash.empty() || trash.compare(0, root.size() + 1, root + "/") == 0 || FSRemove(sub, true) != 0) {
      LOG_WITH_LINE(L_WARNING, kComponent, "[WARNING] app(%d): folder %s/%s is kept: no trash takes it\n",
                    path.c_str_utf8(), entry.name.c_str_utf8());
      ++kept;
    }
  }
  (void)FSCloseDir(dir);
  return kept;
}
