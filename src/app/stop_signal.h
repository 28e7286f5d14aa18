// SIGINT and SIGTERM as a request to stop: the control loop leaves as after
// "stop", so that Ctrl-C leaves no pid file and no running task behind.
#ifndef APP_STOP_SIGNAL_H_
#define APP_STOP_SIGNAL_H_

#include <csignal>

#include <atomic>

// The number of the stop signal that arrived; 0 while none did. Written
// only by the signal handler (or by a test); read by the control loop on
// every pass.
extern volatile sig_atomic_t g_stop_signal;

// Raised together with g_stop_signal, for channels (Channel::SetFlag): a
// request that is being received when the signal comes gives up within a
// second instead of running into its time-out.
const std::atomic<int>* stop_signal_abort_flag();

// Blocks SIGINT and SIGTERM in the calling thread; threads created afterwards
// inherit the mask. Call on the main thread before any other thread starts,
// so that only the main thread ever takes these signals. 0, or an errno value.
int block_stop_signals();

// Installs the handler for SIGINT and SIGTERM (SA_RESETHAND: a second signal
// of the same kind ends the process as usual) and unblocks both in the
// calling thread, the latter also when the handler cannot be installed (the
// signals then keep their default effect). 0, or -1 with errno set.
int install_stop_signals();

#endif  // APP_STOP_SIGNAL_H_
