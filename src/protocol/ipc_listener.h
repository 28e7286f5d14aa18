// IPCListener: the daemon's end of the loopback control connection.
#ifndef PROTOCOL_IPC_LISTENER_H_
#define PROTOCOL_IPC_LISTENER_H_

#include <chrono>
#include <string>

// A TCP socket listening on 127.0.0.1 for the user interface's control
// requests; each accepted connection carries one request and one reply
// (PStream encoding, nothing else). Named local sockets are not offered: their
// operations are inert and give -1, which the control loop relies on.
//
// Log lines go to component "ipc". Threads: no lock; the one thread that runs
// the control loop owns the listener. Not copyable.
class IPCListener {
 public:
  // No socket; isReady waits up to `wait` (the daemon's
  // DaemonTiming::control_poll, 3 s).
  explicit IPCListener(std::chrono::milliseconds wait = std::chrono::seconds(3));
  // close().
  ~IPCListener();
  IPCListener(const IPCListener&) = delete;
  IPCListener& operator=(const IPCListener&) = delete;

  // Closes any socket it has, then listens (backlog 8) on 127.0.0.1 at
  // `port` or, when that cannot be bound, the next port up, and so on to
  // 65535. The port bound, or -1 (no socket left behind) when none could be
  // bound, when `port` is below 1 or above 65535, or the socket cannot be made.
  int prepare(int port);
  // Named-socket variant: does nothing; -1.
  int prepare(const std::string& path);

  // Waits up to the time-out for a connection to accept. false at once
  // without a socket; false on time-out or error.
  bool isReady();
  // One waiting connection's socket (blocking, close-on-exec; the caller
  // owns it), or -1: no socket, or nothing to accept any more (a client that
  // reset its connection after isReady gives -1, never a blocked loop).
  int accept();
  // Closes the listening socket; nothing without one.
  void close();

 private:
  // shutdown and close: 0, or -1 for an invalid socket.
  static int CloseSocket(int sock);
  // A socket listening on 127.0.0.1 at exactly `port`, or -1 (logged) for a
  // port outside 1..65535 or any failure.
  static int OpenSocket(int port);
  // Named sockets: inert, -1.
  static int OpenDomainSocket(const std::string& path);
  static int CloseDomainSocket(int sock);
  // Binds `sock` to the first free port from `port` up. The port, or -1.
  static int do_bind(int sock, int port);

  std::chrono::milliseconds wait_;  // isReady's wait
  int fd;                           // listening socket, -1 when none
  std::string socket_path;          // named socket's path; always empty here
};

#endif  // PROTOCOL_IPC_LISTENER_H_
