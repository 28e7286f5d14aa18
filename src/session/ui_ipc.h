// UI_IPC: the notifications the daemon sends to the user-interface process.
#ifndef SESSION_UI_IPC_H_
#define SESSION_UI_IPC_H_

#include <atomic>

#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "session/event.h"
#include "transport/channel.h"

class UiNotifier;

// Each notification is one PObject map sent over a new loopback connection
// to the user interface's port (Settings::getUIPort(), read per call); the
// user interface does not answer. When Settings::getUISocketPath() is not
// empty the named-socket connect is used, which the channel does not offer:
// every notification then fails (-1) after logging.
//
// The Report* members and LastBreath hand their message to
// UiNotifier::getInstance() (session/ui_notifier.h; UiReporter below posts
// the same messages to a notifier it is given): while its sender runs
// (the daemon linked) they only queue it, so a user interface that stops
// accepting never holds the caller; otherwise they deliver it at once.
// Results: 0 when the message was queued or sent, -1 when not (dropped;
// logged on "channel_ui_debug"; never retried). Callers ignore the result.
//
// Threads: the static members may run on any thread at once, under any lock
// (the event queue reports under its own).
//
// Error codes ("error_type", "code") are the daemon's negative ERR_* codes,
// carried as their ErrorNumber sign-extended to unsigned 64-bit integers.
class UI_IPC {
 public:
  // {"notify": "error", "connection_id": conn_id, "error_type": error,
  //  "sess_id": sess_id, "conn_id": conn_id}
  static int ReportConnectionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error);
  // {"notify": "error", "session_id": sess_id, "error_type": error,
  //  "sess_id": sess_id, "conn_id": conn_id}
  static int ReportSessionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error);
  // {"notify": "recent_file", "session_id": m_sess_id, "path": m_path,
  //  "is_dir": 1 or 0 by F_DIR, "event_type": m_type}
  static int ReportFileEventToUI(Event const& ev);
  // The same members with "notify": "syncing_file".
  static int ReportFileSyncingEventToUI(Event const& ev);
  // {"notify": "locked_file", "session_id", "path", "is_dir" as above,
  //  "error": {"reason": "file locked", "code": err}}
  static int ReportFileLockedEventToUI(Event const& ev, ErrorCode err);
  // The same "locked_file" message for a file that could not be put in
  // place for another reason: "error" is {"reason": reason, "code": err}.
  static int ReportFileErrorToUI(Event const& ev, ErrorCode err, const char* reason);
  // {"action": "connection_terminate"}. Nothing calls it.
  static int LastBreath();

  // Delivers `msg` now, on this thread, over a connection of its own: 0, or
  // -1 after L_ERR lines. The connect and the send give up early (-1) once
  // `*abort` is not 0 (null: never). The notifier's sender calls it; it may
  // wait out the connect time-out, so no caller that holds a lock may.
  static int Deliver(PObject const& msg, const std::atomic<int>* abort);

  // The instance members wrap one channel (81920-byte buffers) for a
  // connection adopted from elsewhere; nothing in the daemon calls them.
  UI_IPC();
  // Closes the channel.
  ~UI_IPC();
  UI_IPC(const UI_IPC&) = delete;
  UI_IPC& operator=(const UI_IPC&) = delete;

  // Adopts the connected socket `fd` (non-blocking); the channel's result
  // (0, or a negative ERR_* code with `fd` still the caller's).
  ErrorCode Open(int fd);
  // Receives one object into `obj` (merging); the stream's result.
  PStream::Code Recv(PObject& obj);
  // Closes the channel.
  void Destroy();

 private:
  // Posts one message to the notifier; its result.
  static int SendMessageW(PObject msg);

  Channel m_channel;
};

// The Report* notifications of UI_IPC, posted to one notifier: the workers
// and the syncers are handed one, so that one built on a notifier of its
// own (a test's) reports there. Messages and results as UI_IPC's; any
// thread, under any lock.
class UiReporter {
 public:
  // `notifier` must outlive the reporter.
  explicit UiReporter(UiNotifier& notifier) : notifier_(notifier) {}
  UiReporter(const UiReporter&) = delete;
  UiReporter& operator=(const UiReporter&) = delete;

  int ReportConnectionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error);
  int ReportSessionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error);
  int ReportFileEventToUI(Event const& ev);
  int ReportFileSyncingEventToUI(Event const& ev);
  int ReportFileLockedEventToUI(Event const& ev, ErrorCode err);
  int ReportFileErrorToUI(Event const& ev, ErrorCode err, const char* reason);

 private:
  UiNotifier& notifier_;
};

#endif  // SESSION_UI_IPC_H_
