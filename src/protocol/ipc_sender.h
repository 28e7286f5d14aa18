// IPCSender: one message (or one exchange) over a loopback TCP connection.
#ifndef PROTOCOL_IPC_SENDER_H_
#define PROTOCOL_IPC_SENDER_H_

#include <string>

#include "protocol/pobject.h"
#include "transport/channel.h"

// Carries PObjects over its own channel (81,920-byte buffers) to the user
// interface, or over an accepted control connection. The daemon makes one per
// connection: connect or assign, send (and perhaps receive), destroy. Sends
// use MSG_NOSIGNAL: a peer that has gone gives -1, never SIGPIPE.
//
// Threads: no lock; each sender belongs to the thread that sends. Not
// copyable (it owns its connection).
class IPCSender {
 public:
  IPCSender();
  // Closes the connection.
  virtual ~IPCSender();
  IPCSender(const IPCSender&) = delete;
  IPCSender& operator=(const IPCSender&) = delete;

  // Connects to 127.0.0.1:`port`. 0, or -1.
  int connect(int port);
  // Named sockets are not offered: connects nothing and returns 0, so the
  // next send gives -1.
  int connect(const std::string& path);
  // Adopts a connected socket (non-blocking, 1 s linger). 0; or -1, and the
  // caller still owns `fd`.
  int assign(int fd);
  void close();

  // Sends `obj` with a fresh PStream; with `wait`, then receives the answer
  // into `reply` (merging, through the virtual recv); without, `reply` is
  // not touched. 0, or -1 on any failure (the stream has logged its cause).
  virtual int send(const PObject& obj, bool wait, PObject& reply);
  // Sends one object. 0, or -1.
  virtual int send(const PObject& obj);
  // Receives one object into `obj` (merging). 0, or -1.
  virtual int recv(PObject& obj);

 protected:
  Channel c;
};

#endif  // PROTOCOL_IPC_SENDER_H_
