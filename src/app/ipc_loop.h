// The control request loop of the main thread.
#ifndef APP_IPC_LOOP_H_
#define APP_IPC_LOOP_H_

class VelkoraApp;

// Listens on 127.0.0.1 at ui_port + 1 or the next free port above, announces
// that port to the user interface at ui_port ({"daemon_port": port}, one
// connection), then takes one request per connection, hands it to
// app.send_message and sends the reply back. Every failure of one connection
// (accept, receive, send, a malformed or hostile request) is logged and the
// loop goes on. A non-empty socket_path is not offered on this platform: the
// loop then logs the failure and returns at once.
//
// Returns 0 after a "stop" request (no reply is sent; the daemon has
// unlinked) or a stop signal (g_stop_signal, checked on every pass, at most
// the listener's wait (DaemonTiming::control_poll) after it arrived; the caller's kill then
// unlinks); -1 when it cannot listen or announce its port, or the
// application thread takes no more requests.
//
// Runs on the main thread, which alone takes the stop signals.
int recieve_from_ipc(VelkoraApp& app);

#endif  // APP_IPC_LOOP_H_
