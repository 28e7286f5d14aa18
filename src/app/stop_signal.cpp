#include "app/stop_signal.h"

#include <pthread.h>

#include <cerrno>

volatile sig_atomic_t g_stop_signal = 0;

namespace {

// Stored from a signal handler: only a lock-free atomic may be.
static_assert(std::atomic<int>::is_always_lock_free, "the abort flag is set from a signal handler");
std::atomic<int> g_abort_flag{0};

void OnStopSignal(int signo) {
  g_stop_signal = signo;
  g_abort_flag.store(1, std::memory_order_relaxed);
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

const std::atomic<int>* stop_signal_abort_flag() { return &g_abort_flag; }

int block_stop_signals() {
  sigset_t set = StopSignals();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int install_stop_signals() {
  struct sigaction sa = {};
  sa.sa_handler = &OnStopSignal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  const bool handled = sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
  const int saved = errno;
  // Unblocked even without the handler: a signal that stayed blocked would
  // leave the daemon impossible to stop.
  sigset_t set = StopSignals();
  const int rc = pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  if (!handled) {
    errno = saved;
    return -1;
  }
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}
