#include "session/ui_ipc.h"

#include <string>
#include <utility>

#include "foundation/logger.h"
#include "protocol/ipc_sender.h"
#include "protocol/pstream.h"
#include "session/ui_notifier.h"
#include "settings/settings.h"

namespace {

constexpr char kComp[] = "channel_ui_debug";
constexpr size_t kChannelCapacity = 81920;

// The members shared by "recent_file" and "syncing_file".
PObject FileEventMessage(const char* notify, const Event& ev) {
  PObject msg;
  msg["notify"] = notify;
  msg["session_id"] = static_cast<unsigned long long>(ev.m_sess_id);
  msg["path"] = ev.m_path;
  msg["is_dir"] = (ev.m_mode & Event::F_DIR) ? 1u : 0u;
  msg["event_type"] = static_cast<int>(ev.m_type);
  return msg;
}

// A sender whose channel polls an abort flag.
class AbortableSender : public IPCSender {
 public:
  explicit AbortableSender(const std::atomic<int>* abort) { c.SetFlag(abort); }
};

}  // namespace

int UI_IPC::SendMessageW(PObject msg) { return UiNotifier::getInstance().Post(std::move(msg)); }

int UI_IPC::Deliver(PObject const& msg, const std::atomic<int>* abort) {
  AbortableSender sender(abort);
  const Settings* settings = Settings::getInstance();
  const ustring socket_path = settings->getUISocketPath();
  bool connected;
  if (!socket_path.empty()) {
    connected = sender.connect(std::string(socket_path.c_str_utf8(), socket_path.length())) == 0;
    if (!connected) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] ui-ipc(%d): failed to connect to domain socket %s\n",
                     __LINE__, socket_path.c_str_utf8());
    }
  } else {
    const int port = settings->getUIPort();
    connected = sender.connect(port) == 0;
    if (!connected) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] ui-ipc(%d): failed to connect to local port %d\n",
                     __LINE__, port);
    }
  }
  if (connected) {
    if (sender.send(msg) == 0) return 0;
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] ui-ipc(%d): failed to send message to IPC\n", __LINE__);
  }
  // The text of a large message is built only when the line is written.
  if (Logger::IsEnabled(Logger::L_ERR, kComp)) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] ui-ipc(%d): message (%s) is not sent\n", __LINE__,
                   msg.toString().c_str_utf8());
  }
  return -1;
}

int UI_IPC::ReportConnectionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error) {
  return UiReporter(UiNotifier::getInstance()).ReportConnectionErrorToUI(conn_id, sess_id, error);
}

int UI_IPC::ReportSessionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error) {
  return UiReporter(UiNotifier::getInstance()).ReportSessionErrorToUI(conn_id, sess_id, error);
}

int UI_IPC::ReportFileEventToUI(Event const& ev) {
  return UiReporter(UiNotifier::getInstance()).ReportFileEventToUI(ev);
}

int UI_IPC::ReportFileSyncingEventToUI(Event const& ev) {
  return UiReporter(UiNotifier::getInstance()).ReportFileSyncingEventToUI(ev);
}

int UI_IPC::ReportFileLockedEventToUI(Event const& ev, ErrorCode err) {
  return UiReporter(UiNotifier::getInstance()).ReportFileLockedEventToUI(ev, err);
}

int UI_IPC::ReportFileErrorToUI(Event const& ev, ErrorCode err, const char* reason) {
  return UiReporter(UiNotifier::getInstance()).ReportFileErrorToUI(ev, err, reason);
}

int UI_IPC::LastBreath() {
  PObject msg;
  msg["action"] = "connection_terminate";
  return SendMessageW(std::move(msg));
}

UI_IPC::UI_IPC() : m_channel(kChannelCapacity) {}

UI_IPC::~UI_IPC() {
  // Nothing is pending: the instance only receives.
  (void)m_channel.Close();
}

ErrorCode UI_IPC::Open(int fd) { return m_channel.Open(fd, true); }

PStream::Code UI_IPC::Recv(PObject& obj) {
  PStream stream;
  return stream.Recv(m_channel, obj);
}

void UI_IPC::Destroy() {
  // A receive-only channel has nothing to flush; a failed close has no one
  // to tell.
  (void)m_channel.Close();
}

// ---- UiReporter ----

int UiReporter::ReportConnectionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error) {
  PObject msg;
  msg["notify"] = "error";
  msg["connection_id"] = conn_id;
  msg["error_type"] = ErrorNumber(error);  // sign-extended to 64 bits
  msg["sess_id"] = sess_id;
  msg["conn_id"] = conn_id;
  return notifier_.Post(std::move(msg));
}

int UiReporter::ReportSessionErrorToUI(unsigned long long conn_id, unsigned long long sess_id, ErrorCode error) {
  PObject msg;
  msg["notify"] = "error";
  msg["session_id"] = sess_id;
  msg["error_type"] = ErrorNumber(error);  // sign-extended to 64 bits
  msg["sess_id"] = sess_id;
  msg["conn_id"] = conn_id;
  return notifier_.Post(std::move(msg));
}

int UiReporter::ReportFileEventToUI(Event const& ev) { return notifier_.Post(FileEventMessage("recent_file", ev)); }

int UiReporter::ReportFileSyncingEventToUI(Event const& ev) {
  return notifier_.Post(FileEventMessage("syncing_file", ev));
}

int UiReporter::ReportFileLockedEventToUI(Event const& ev, ErrorCode err) {
  return ReportFileErrorToUI(ev, err, "file locked");
}

int UiReporter::ReportFileErrorToUI(Event const& ev, ErrorCode err, const char* reason) {
  PObject msg;
  msg["notify"] = "locked_file";
  msg["session_id"] = static_cast<unsigned long long>(ev.m_sess_id);
  msg["path"] = ev.m_path;
  msg["is_dir"] = (ev.m_mode & Event::F_DIR) ? 1u : 0u;
  msg["error"]["reason"] = reason;
  msg["error"]["code"] = ErrorNumber(err);  // sign-extended to 64 bits
  return notifier_.Post(std::move(msg));
}
