// EventManager: file-status rows and the pending counts.
#include "filter/file_status_db.h"
#include "session/event_manager.h"
#include "session/event_manager_log.h"
#include "session/event_pool.h"

namespace {
using ull = unsigned long long;
}  // namespace

int EventManager::SyncingEvent2FStatDB(const ustring& full_path, bool is_dir) {
  // The database keeps the separators of the program that reads it.
  ustring path(full_path);
  path.replace('/', '\\');
  EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): Syncing event to fstatdb at path [%s].\n",
                path.c_str_utf8());
  FileStatusInfo info;
  info.fileType = is_dir ? SFT_DIR1 : SFT_FILE1;
  info.syncStatus = FSTAT_SYNCING;
  info.path = path;
  // Failures are SQLite's positive codes as well as -1.
  if (FileStatusDB::setFileSyncStat(info) != 0) {
    EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Failed to set syncing event into FStatDB at path [%s].\n",
                  path.c_str_utf8());
    return -1;
  }
  return 0;
}

int EventManager::SyncedEvent2FStatDB(const ustring& full_path) {
  ustring path(full_path);
  path.replace('/', '\\');
  EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): Synced event to fstatdb at path [%s].\n",
                path.c_str_utf8());
  if (FileStatusDB::rmFileStatByPath(path) != 0) {
    EVENT_MGR_LOG(L_ERR, "[ERROR] event-manager(%d): Failed to rm synced event from FStatDB by path [%s].\n",
                  path.c_str_utf8());
    return -1;
  }
  return 0;
}

size_t EventManager::GetAllPendingEventCount(uint64_t sess_id) {
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(m_pool_index_lock);
    auto found = pool_counter_index.find(sess_id);
    if (found != pool_counter_index.end()) {
      count = static_cast<size_t>(found->second->get_local_event_count()) +
              static_cast<size_t>(found->second->get_server_event_count());
    }
  }
  EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager: session %llu has %zu total events.\n",
                static_cast<ull>(sess_id), count);
  return count;
}

size_t EventManager::GetPendingServerEvent(uint64_t sess_id) {
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(m_pool_index_lock);
    auto found = pool_counter_index.find(sess_id);
    if (found != pool_counter_index.end()) {
      count = static_cast<size_t>(found->second->get_server_event_count());
    }
  }
  EVENT_MGR_LOG(L_DEBUG, "[DEBUG] event-manager(%d): EventManager: session %llu has %zu server events.\n",
                static_cast<ull>(sess_id), count);
  return count;
}
