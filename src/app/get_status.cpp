// "get_status": the sessions, connections and busy workers, one list each.
#include "app/app.h"

#include <vector>

#include "server/connection_manager.h"
#include "session/event_manager.h"

int VelkoraApp::get_status(const PObject& req, PObject& rsp) {
  (void)req;  // carries nothing that is read
  // Each key is made here, null, and becomes an array only when its builder
  // appends a first entry: the user interface expects null for "none".
  (void)get_session_status(rsp["session_list"]);
  (void)get_connection_status(rsp["connection_list"]);
  (void)get_worker_status(rsp["worker_list"]);
  return 0;
}

int VelkoraApp::get_session_status(PObject& list) {
  std::vector<Registry::Entry> entries;
  Registry::getInstance().GetAll(entries);
  EventManager* events = EventManager::getInstance();
  for (const Registry::Entry& e : entries) {
    // A read-only session uploads nothing: its local events are not work.
    const size_t pending =
        e.read_only ? events->GetPendingServerEvent(e.sess_id) : events->GetAllPendingEventCount(e.sess_id);
    PObject item;
    item["connection_id"] = static_cast<unsigned long long>(e.conn_id);
    item["session_id"] = static_cast<unsigned long long>(e.sess_id);
    item["unfinished_files"] = static_cast<unsigned int>(pending);
    item["status"] = e.pause ? "pause" : (pending == 0 ? "uptodate" : "syncing");
    list.asArray().push_back(item);
  }
  return 0;
}

int VelkoraApp::get_connection_status(PObject& list) {
  std::vector<Connection> connections;
  (void)ConnectionManager::getInstance()->get(connections);
  for (const Connection& c : connections) {
    PObject item;
    item["connection_id"] = static_cast<unsigned long long>(c.getConnectionInfo().conn_id);
    item["status"] = c.isConnected2() != 0 ? "connected" : "disconnected";
    list.asArray().push_back(item);
  }
  return 0;
}

int VelkoraApp::get_worker_status(PObject& list) {
  for (Worker* w : workers()) {
    uint64_t session_id = 0;
    ustring path;
    Worker::WorkingType type = Worker::W_TYPE_NONE;
    uint64_t done = 0;
    uint64_t total = 0;
    w->GetWorkingStatus(session_id, path, type, done, total);
    if (type == Worker::W_TYPE_NONE) continue;
    PObject item;
    item["session_id"] = static_cast<unsigned long long>(session_id);
    item["path"] = path;
    item["status"] = type == Worker::W_TYPE_UPLOAD ? "uploading" : "downloading";
    item["progress"] = static_cast<unsigned long long>(done);
    item["total_size"] = static_cast<unsigned long long>(total);
    list.asArray().push_back(item);
  }
  return 0;
}
