#include "session/event_generator.h"

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "session/db_file_info.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/session_path.h"

namespace {

using ull = unsigned long long;

constexpr char kComp[] = "worker_debug";

#define GEN_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

// Whether an event of `path` may reach the queue: a worker acts at
// local_path + path, and a removal of the root would move the whole synced
// folder aside.
bool IsQueueable(const ustring& path, bool is_dir, bool is_remove) {
  if (!ustring::is_valid(path) || !IsSafeSessionPath(path)) return false;
  return path != "/" || (is_dir && !is_remove);
}

bool CheckPath(const Registry::Entry& entry, const ustring& path, bool is_dir, bool is_remove) {
  if (IsQueueable(path, is_dir, is_remove)) return true;
  GEN_LOG(L_WARNING, "[WARNING] event-generator(%d): Unsafe path [%s] in session %llu, drop the event.\n",
          path.c_str_utf8(), static_cast<ull>(entry.sess_id));
  return false;
}

Event MakeEvent(const Registry::Entry& entry, Event::Type type, uint32_t mode, const ustring& path,
                bool is_dir) {
  Event ev;
  ev.m_type = type;
  ev.m_mode = mode | (is_dir ? Event::F_DIR : 0u);
  ev.m_path = path;
  ev.m_sess_id = entry.sess_id;
  return ev;
}

// The session database's record of `path`: 1, 0, or -1 (also without a
// database).
int LookUp(Registry::Entry& entry, const ustring& path, DBFileInfo& info) {
  if (!entry.event_db) return -1;
  return entry.event_db->getEventInfo(path, info);
}

}  // namespace

bool ServerChangeToEvent(uint64_t sess_id, const PObject& change, Event& ev) {
  ev.clear();
  const bool is_dir = change["is_dir"].asBool();
  const bool is_removed = change["is_removed"].asBool();
  ev.m_type = is_removed ? Event::EV_REMOVE : Event::EV_CREATE;
  ev.m_mode = Event::F_SERVER | (is_dir ? Event::F_DIR : 0u);
  ev.m_path = change["path"].asString();
  ev.m_sync_id = change["sync_id"].asUInt64();
  ev.m_max_id = change["max_id"].asUInt64();
  ev.m_sess_id = sess_id;
  // Optional maps: const access reads a missing member as null (0, "").
  const PObject& file = change["file"];
  ev.m_data_hash = file["hash"].asString();
  ev.m_data_size = file["size"].asUInt64();
  ev.m_time = change["mtime"]["mtime"].asUInt32();
  const PObject& mac = change["mac_attribute"];
  ev.m_mac_attr_hash = mac["hash"].asString();
  ev.m_mac_attr_size = mac["size"].asUInt64();
  ev.m_exec_bit = change["exec_bit"]["exec_bit"].asUInt32();
  return IsQueueable(ev.m_path, is_dir, is_removed);
}

int EventGenerator::PushEvent(Registry::Entry& entry, const PObject& change) {
  Event ev;
  if (!ServerChangeToEvent(entry.sess_id, change, ev)) {
    GEN_LOG(L_WARNING,
            "[WARNING] event-generator(%d): Server change with unsafe path [%s] in session %llu, drop it.\n",
            ev.m_path.c_str_utf8(), static_cast<ull>(entry.sess_id));
    return 0;
  }

  DBFileInfo info;
  const int found = LookUp(entry, ev.m_path, info);
  if (found == 0 && ev.m_type == Event::EV_REMOVE) {
    GEN_LOG(L_INFO, "[INFO] event-generator(%d): Server delete event [%s] and cannot find db record (server echo).\n",
            ev.m_path.c_str_utf8());
    return 0;
  }
  if (found == 1 && info.syncID >= ev.m_sync_id) {
    ustring full_path(entry.local_path);
    if (ev.m_path != "/") full_path += ev.m_path;
    FILE_INFO stat;
    if (FSStat(full_path, stat, true) == 0 && stat.isExist) {
      GEN_LOG(L_INFO, "[INFO] event-generator(%d): File [%s] is already up-to-date (server echo).\n",
              ev.m_path.c_str_utf8());
      return 0;
    }
  }
  events_.PushServerEvent(ev);
  return 1;
}

int EventGenerator::PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir,
                                          uint64_t sync_id, uint64_t max_id) {
  if (!CheckPath(entry, path, is_dir, true)) return 0;
  Event ev = MakeEvent(entry, Event::EV_REMOVE, Event::F_SERVER, path, is_dir);
  ev.m_sync_id = sync_id;
  ev.m_max_id = max_id;
  events_.PushServerEvent(ev);
  return 1;
}

int EventGenerator::PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  if (!CheckPath(entry, path, is_dir, false)) return 0;
  Event ev = MakeEvent(entry, Event::EV_MODIFY, Event::F_SERVER, path, is_dir);
  // The largest sync id wins against a pending server event of the path and
  // gives way to any later one.
  ev.m_sync_id = MAX_SYNC_ID;
  ev.m_max_id = MAX_SYNC_ID;
  DBFileInfo info;
  if (LookUp(entry, path, info) == 1) {
    ev.m_data_size = info.fileSize;
    ev.m_time = info.fileModTime;
    ev.m_data_hash = info.fileCheckSum;
    ev.m_mac_attr_hash = info.macHash;
    ev.m_exec_bit = info.execBit;
  } else {
    GEN_LOG(L_WARNING, "[WARNING] event-generator(%d): force download event (%s) missing required info\n",
            path.c_str_utf8());
  }
  events_.PushServerEvent(ev);
  return 1;
}

int EventGenerator::PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  if (!CheckPath(entry, path, is_dir, false)) return 0;
  events_.PushLocalEvent(MakeEvent(entry, Event::EV_MODIFY, 0, path, is_dir));
  return 1;
}

int EventGenerator::PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  if (!CheckPath(entry, path, is_dir, true)) return 0;
  events_.PushLocalEvent(MakeEvent(entry, Event::EV_REMOVE, 0, path, is_dir));
  return 1;
}

int EventGenerator::PushEvent(Registry::Entry& entry, const FilterLocalEvent& ev) {
  const bool is_dir = ev.file_type != 0;
  if (ev.is_exist == 0) return PushDownloadEvent(entry, ev.path, is_dir);
  return PushUploadEvent(entry, ev.path, is_dir);
}

// ---- The process-wide queue ----

namespace {

EventGenerator ProcessGenerator() { return EventGenerator(*EventManager::getInstance()); }

}  // namespace

int PushEvent(Registry::Entry& entry, const PObject& change) { return ProcessGenerator().PushEvent(entry, change); }

int PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir, uint64_t sync_id,
                          uint64_t max_id) {
  return ProcessGenerator().PushServerRemoveEvent(entry, path, is_dir, sync_id, max_id);
}

int PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  return ProcessGenerator().PushDownloadEvent(entry, path, is_dir);
}

int PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  return ProcessGenerator().PushUploadEvent(entry, path, is_dir);
}

int PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir) {
  return ProcessGenerator().PushLocalRemoveEvent(entry, path, is_dir);
}

int PushEvent(Registry::Entry& entry, const FilterLocalEvent& ev) { return ProcessGenerator().PushEvent(entry, ev); }
