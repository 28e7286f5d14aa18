#include "app/ipc_loop.h"

#include <unistd.h>

#include <string>

#include "app/app.h"
#include "app/stop_signal.h"
#include "foundation/logger.h"
#include "protocol/ipc_listener.h"
#include "protocol/ipc_sender.h"
#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "settings/settings.h"
#include "transport/channel.h"

namespace {

constexpr const char* kComponent = "client_debug";

// The buffer size of every daemon channel.
constexpr size_t kChannelCapacity = 81920;

// Values accepted in one control request. The largest real request
// ("link_connection") holds a few dozen; the limit bounds what a local peer
// can make the loop allocate (each string may still carry 64 KiB).
constexpr size_t kRequestValueLimit = 1024;

// Sends {"daemon_port": port} to the user interface at ui_port. 0, or -1
// after the two ERROR lines.
int announce_port(int ui_port, int port) {
  IPCSender sender;
  if (sender.connect(ui_port) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to connect to port : %d\n", __LINE__,
                   ui_port);
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): failed to send daemon port back to ui\n",
                   __LINE__);
    return -1;
  }
  PObject msg;
  msg["daemon_port"] = port;
  if (sender.send(msg) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to send message.\n", __LINE__);
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): failed to send daemon port back to ui\n",
                   __LINE__);
    return -1;
  }
  return 0;
}

// One connection: one request in, one reply out. Returns 1 after "stop",
// -1 when the application thread takes no more requests, else 0.
int serve_one(VelkoraApp& app, int fd) {
  Channel channel(kChannelCapacity);
  if (channel.Open(fd, true) != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): open channel fail.\n", __LINE__);
    (void)close(fd);  // still ours after a failed Open; nothing was written
    return 0;
  }
  channel.SetFlag(stop_signal_abort_flag());
  PStream stream;
  stream.SetValueLimit(kRequestValueLimit);
  // No receive folder: a binary value in a request is refused before any
  // file is made.
  PObject req;
  PObject rsp;
  if (stream.Recv(channel, req) != PStream::Code::kOk) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to recieve message from channel.\n",
                   __LINE__);
    return 0;
  }
  const bool debug = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
  if (debug) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): recieve msg >>> %s\n", __LINE__,
                   req.toString().c_str_utf8());
  }
  if (app.send_message(req, rsp) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): the application thread takes no more requests\n",
                   __LINE__);
    return -1;
  }
  // The same test as the dispatcher's, so the loop ends exactly when the
  // application thread has handled a "stop". It gets no reply.
  if (req["action"].asString() == "stop") return 1;
  if (debug) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): send rsp <<< %s\n", __LINE__,
                   rsp.toString().c_str_utf8());
  }
  if (stream.Send(channel, rsp) != PStream::Code::kOk) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to send message from channel.\n",
                   __LINE__);
  }
  return 0;
}

}  // namespace

int recieve_from_ipc(VelkoraApp& app) {
  IPCListener listener(app.timing().control_poll);
  const Settings* settings = Settings::getInstance();
  const ustring socket_path = settings->getSocketPath();
  if (!socket_path.empty()) {
    if (listener.prepare(std::string(socket_path.c_str_utf8())) < 0) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): failed to listen on port domain socket '%s'\n",
                     __LINE__, socket_path.c_str_utf8());
      return -1;
    }
    Logger::LogMsg(Logger::L_NOTICE, kComponent, "[NOTE] app(%d): daemon is listening on socket %s\n", __LINE__,
                   socket_path.c_str_utf8());
  } else {
    const int ui_port = settings->getUIPort();
    const int port = listener.prepare(ui_port + 1);
    if (port < 0) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): failed to listen on port local_port.\n",
                     __LINE__);
      return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] app(%d): daemon is listening on local port %d\n", __LINE__,
                   port);
    if (announce_port(ui_port, port) < 0) return -1;
  }

  for (;;) {
    const int signo = g_stop_signal;
    if (signo != 0) {
      Logger::LogMsg(Logger::L_NOTICE, kComponent, "[NOTE] app(%d): signal %d received, stopping\n", __LINE__,
                     signo);
      listener.close();
      return 0;
    }
    if (!listener.isReady()) continue;
    const int fd = listener.accept();
    if (fd < 0) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): accept fail.\n", __LINE__);
      continue;
    }
    const int served = serve_one(app, fd);
    if (served != 0) {
      listener.close();
      return served > 0 ? 0 : -1;
    }
  }
}
