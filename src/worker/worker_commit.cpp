// Recording a finished event in the session's event database.
#include "filter/filter_db.h"
#include "session/file_event_db.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// Whether a request or reply part describes a new value: present and not
// marked "refer" (a missing part and "refer" both keep the old value).
bool Describes(const PObject& msg, const char* part) {
  return msg.hasMember(part) && !msg[part]["refer"].asBool();
}

// The attribute parts of `q` over the old record `d`, into `r`.
void TakeAttributes(const PObject& q, const DBFileInfo& d, DBFileInfo& r) {
  r.macHash = Describes(q, "mac_attribute") ? q["mac_attribute"]["hash"].asString() : d.macHash;
  r.execBit = Describes(q, "exec_bit") ? q["exec_bit"]["exec_bit"].asUInt32() : d.execBit;
  if (Describes(q, "unix_perm")) {
    const PObject& p = q["unix_perm"];
    r.unixUid = p["uid"].asUInt32();
    r.unixGid = p["gid"].asUInt32();
    r.unixMode = p["mode"].asUInt32();
    r.unixHash = p["local_hash"].asString();
  } else {
    r.unixUid = d.unixUid;
    r.unixGid = d.unixGid;
    r.unixMode = d.unixMode;
    r.unixHash = d.unixHash;
  }
  if (Describes(q, "zarqelon_acl")) {
    r.aclAttribute = q["zarqelon_acl"]["acl"].asString();
    r.aclHash = q["zarqelon_acl"]["local_hash"].asString();
  } else {
    r.aclAttribute = d.aclAttribute;
    r.aclHash = d.aclHash;
  }
  if (Describes(q, "share_priv")) {
    const PObject& p = q["share_priv"];
    r.sharePrivDisabled = p["disabled"].asBool() ? 1 : 0;
    r.sharePrivDenyList = p["deny_list"].asString();
    r.sharePrivRoList = p["ro_list"].asString();
    r.sharePrivRwList = p["rw_list"].asString();
    r.sharePrivHash = p["local_hash"].asString();
  } else {
    r.sharePrivDisabled = d.sharePrivDisabled;
    r.sharePrivDenyList = d.sharePrivDenyList;
    r.sharePrivRoList = d.sharePrivRoList;
    r.sharePrivRwList = d.sharePrivRwList;
    r.sharePrivHash = d.sharePrivHash;
  }
}

// The fields every commit takes from the reply; folders keep size 0 and an
// empty hash.
DBFileInfo NewRecord(const PObject& r, const ustring& path) {
  DBFileInfo rec;
  rec.isExist = 1;
  rec.syncID = r["sync_id"].asUInt64();
  rec.maxSyncID = r["max_id"].asUInt64();
  rec.fileType = r["is_dir"].asBool() ? 1 : 0;
  rec.path = path;
  return rec;
}

}  // namespace

int Worker::UpdateDatabaseInfo(const DBFileInfo& record) {
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): UpdateDatabaseInfo: missing databasehandle\n");
    return -1;
  }
  const int rc = db->setEventInfo(record);
  if (rc != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): UpdateDatabaseInfo: failed to update database, error code %d\n", rc);
    return -1;
  }
  return 0;
}

int Worker::RemoveDatabaseInfo() {
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveDatabaseInfo: missing databasehandle\n");
    return -1;
  }
  context.database_record.Clear();
  const Event& ev = context.current_event;
  const int rc = db->rmEventInfo(ev.m_path);
  if (rc != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveDatabaseInfo: failed to update database, error code %d\n", rc);
    return -1;
  }
  if (filters_.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) < 0) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): RemoveDatabaseInfo : failed to rmLocalFilteredEventByPath for session "
               "'%llu', path '%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}

void Worker::TakeModTime(const PObject& q, const DBFileInfo& d, DBFileInfo& rec) const {
  if (q.hasMember("mtime")) {
    rec.fileModTime = q["mtime"]["refer"].asBool() ? d.fileModTime : q["mtime"]["mtime"].asUInt32();
    return;
  }
  FILE_INFO info;
  // A file gone meanwhile has no time to give (FSStat then reports 0).
  if (GetFilesystemInfo(info) == 0 && info.isExist) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): commit local modify time %u\n", info.mtime);
    rec.fileModTime = info.mtime;
  } else {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): stat(%s) failure, missing modify time\n",
               context.full_path.c_str_utf8());
    rec.fileModTime = d.fileModTime;
  }
}

DBFileInfo Worker::EventRecord(const Event& ev) {
  DBFileInfo rec;
  rec.isExist = 1;
  rec.syncID = ev.m_sync_id;
  rec.maxSyncID = ev.m_max_id;
  rec.fileType = ev.isDir() ? 1 : 0;
  rec.path = ev.m_path;
  rec.fileSize = ev.m_data_size;
  rec.fileCheckSum = ev.m_data_hash;
  rec.execBit = ev.m_exec_bit;
  return rec;
}

int Worker::CommitRecord(const DBFileInfo& rec) {
  if (UpdateDatabaseInfo(rec) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): CommitDatabase: Failed to update local event database. Error code = %d\n",
               -1);
    return -1;
  }
  const Event& ev = context.current_event;
  if (filters_.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) < 0) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): CommitDatabase: Failed to remvoe filter db record for session '%llu', path "
               "'%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::CommitDatabaseUpload(const PObject& q, const PObject& r, const DBFileInfo& d, const ustring& sign_file) {
  DBFileInfo rec = NewRecord(r, context.current_event.m_path);
  if (rec.fileType == 0) {
    // Content the server merely referred to, without naming a stored
    // object, is the old content.
    const bool kept = r["file"]["refer"].asBool() && r["file"]["file_id"].asUInt64() == 0;
    const bool take_request = q.hasMember("file") && !kept;
    rec.fileSize = take_request ? q["file"]["size"].asUInt64() : d.fileSize;
    rec.fileCheckSum = take_request ? q["file"]["hash"].asString() : d.fileCheckSum;
  }
  TakeModTime(q, d, rec);
  TakeAttributes(q, d, rec);
  rec.signaturePath = sign_file.empty() ? d.signaturePath : sign_file;
  return CommitRecord(rec);
}

int Worker::CommitDatabaseDownload(const PObject& r, const DBFileInfo& d, const ustring& sign_file) {
  DBFileInfo rec = NewRecord(r, context.current_event.m_path);
  if (rec.fileType == 0) {
    const bool take_reply = Describes(r, "file");
    rec.fileSize = take_reply ? r["file"]["size"].asUInt64() : d.fileSize;
    rec.fileCheckSum = take_reply ? r["file"]["hash"].asString() : d.fileCheckSum;
  }
  TakeModTime(r, d, rec);
  TakeAttributes(r, d, rec);
  rec.signaturePath = sign_file.empty() ? d.signaturePath : sign_file;
  if (worker_log::On(Logger::L_DEBUG)) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): commit upload response '%s'\n", r.toString().c_str_utf8());
  }
  return CommitRecord(rec);
}

int Worker::CommitServerEvent(const Event& ev, const FILE_INFO& /*local_info: not read*/, const DBFileInfo& d) {
  DBFileInfo rec = EventRecord(ev);
  rec.signaturePath = d.signaturePath;
  rec.fileModTime = d.fileModTime;
  if (UpdateDatabaseInfo(rec) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): CommitServerEvent: Failed to update local event database (#%llu, %s).\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  if (filters_.rmLocalFilteredEventByPath(ev.m_sess_id, ev.m_path) < 0) {
    WORKER_LOG(L_ERR,
               "[ERROR] worker(%d): CommitServerEvent: Failed to remvoe filter db record for session '%llu', "
               "path '%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
    return -1;
  }
  return 0;
}
