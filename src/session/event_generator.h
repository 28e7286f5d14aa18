// The event generator: turns one fact about a path of a session into an
// Event and queues it through an EventManager. The only
// place where a server change record becomes an event; there the daemon's
// own changes coming back from the server ("server echo") are dropped.
//
// Every function takes the session's Registry::Entry and uses its sess_id.
// Paths are checked before anything is queued: a path that is not valid
// UTF-8, fails IsSafeSessionPath, or is "/" in a removal or a file event is
// dropped with a WARNING (result 0), since a worker writes, renames and
// deletes at local_path + path. Nothing here fails the caller otherwise.
// Log component "worker_debug". Any thread.
#ifndef SESSION_EVENT_GENERATOR_H_
#define SESSION_EVENT_GENERATOR_H_

#include <cstdint>

#include "filter/filter_db.h"
#include "foundation/ustring.h"
#include "protocol/pobject.h"
#include "session/event.h"
#include "session/registry.h"

// The record-to-event step of PushEvent(entry, change), without database or
// queue: fills `ev` from the server change record (keys "is_dir",
// "is_removed", "path", "sync_id", "max_id" and the optional maps "file"
// {"hash", "size"}, "mtime" {"mtime"}, "mac_attribute" {"hash", "size"},
// "exec_bit" {"exec_bit"}; an absent key or one of another kind reads as
// false, "" or 0). Mode F_SERVER, plus F_DIR for a folder; type EV_REMOVE
// or EV_CREATE. False when the path may not be queued (see above); `ev` is
// then filled all the same, for the log line.
bool ServerChangeToEvent(uint64_t sess_id, const PObject& change, Event& ev);

class EventManager;

// The generator bound to one event queue: every event it makes goes into
// `events`, never into another. The workers and the syncers each hold one
// for the queue they serve, so that a worker or syncer built on a queue of
// its own (a test's) pushes into that queue. Holds no state but the
// reference; any thread.
class EventGenerator {
 public:
  // `events` must outlive the generator.
  explicit EventGenerator(EventManager& events) : events_(events) {}
  EventGenerator(const EventGenerator&) = delete;
  EventGenerator& operator=(const EventGenerator&) = delete;

  // The queue it pushes into.
  EventManager& events() const { return events_; }

  // Queues one server change as a server event. 1 queued; 0 dropped: an
  // unsafe path, a removal of a path the session's event database does not
  // know, or a change not newer than the database's record of a path that
  // exists locally (server echo). A database error counts as no echo.
  int PushEvent(Registry::Entry& entry, const PObject& change);

  // A server EV_REMOVE with the two ids. 1, or 0 for an unsafe path.
  int PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir, uint64_t sync_id,
                            uint64_t max_id);

  // A forced download: a server EV_MODIFY whose sync id and max id are
  // MAX_SYNC_ID, with size, time, hashes and exec bit from the path's
  // database record (a WARNING when there is none; queued all the same).
  // 1, or 0 for an unsafe path.
  int PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir);

  // A local EV_MODIFY (F_DIR for a folder), nothing else set. 1, or 0 for
  // an unsafe path.
  int PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir);

  // A local EV_REMOVE. 1, or 0 for an unsafe path (the session root among
  // them).
  int PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir);

  // A held-back local event released by a filter change: an upload of its
  // path when is_exist is set, else a forced download; a folder when
  // file_type is not 0. The result of that call.
  int PushEvent(Registry::Entry& entry, const FilterLocalEvent& ev);

 private:
  EventManager& events_;
};

// The same operations on the process-wide queue (EventManager::getInstance()),
// for the application's own requests and for the programs and tests that
// drive that queue; results as above.
int PushEvent(Registry::Entry& entry, const PObject& change);
int PushServerRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir, uint64_t sync_id,
                          uint64_t max_id);
int PushDownloadEvent(Registry::Entry& entry, const ustring& path, bool is_dir);
int PushUploadEvent(Registry::Entry& entry, const ustring& path, bool is_dir);
int PushLocalRemoveEvent(Registry::Entry& entry, const ustring& path, bool is_dir);
int PushEvent(Registry::Entry& entry, const FilterLocalEvent& ev);

#endif  // SESSION_EVENT_GENERATOR_H_
