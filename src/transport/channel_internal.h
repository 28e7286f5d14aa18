// Pieces shared by the plain and the TLS halves of Channel. Not for users of
// the channel.
#ifndef TRANSPORT_CHANNEL_INTERNAL_H_
#define TRANSPORT_CHANNEL_INTERNAL_H_

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "transport/channel.h"

namespace transport_internal {

// Log component of every channel message.
inline constexpr const char kComponent[] = "channel_debug";

// One wait of `timeout` on `sock` for the platform::kWait* sets in `want`,
// after checking the abort flag: 0 (the ready sets in *ready), ERR_INT,
// ERR_TIMEOUT or ERR_SYS.
ErrorCode WaitWithTimeout(int sock, unsigned want, timeval const& timeout, const std::atomic<int>* abort_flag,
                          unsigned* ready);

// WaitWithTimeout for `want` (kWaitRead or kWaitWrite) with kWaitExcept,
// as one read or write of the channel does before its I/O: 0 when `sock` is
// ready for `want`; ERR_IO after "[WARNING] channel(<line>): <op>:
// <exception>" when the exception set is ready; ERR_SYS after "<op>: select
// but fd [<sock>] not ready" when `want` is not; or the wait's own code.
// `op` and `exception` are the caller's fixed texts ("ReadFd", "exception
// set").
ErrorCode WaitReady(int sock, unsigned want, timeval const& timeout, const std::atomic<int>* abort_flag, const char* op,
                    const char* exception);

// True when `seconds` is not 0 and at least that long has passed since `since`.
bool SecondsPassed(std::chrono::steady_clock::time_point since, uint32_t seconds);

// Frees a plain context made by Channel::NewPlainContext without closing
// its socket (which then belongs to an SSL object).
void FreePlainContext(void* context);

// shutdown and close of a channel's socket, with the channel's DEBUG lines.
// Does nothing for -1.
void ShutdownAndClose(int fd);

// Drains OpenSSL's error queue into the log, one WARNING per entry. For the
// TLS half and for subclasses that run their own TLS session (the tunnel).
void log_ssl();

}  // namespace transport_internal

// Fills an operation table; a friend of Channel so that the table's entries
// can reach its protected I/O functions.
struct ChannelOps {
  static void InstallPlain(CHANNEL_OPS& ops);
  static void InstallSSL(CHANNEL_OPS& ops);
};

#endif  // TRANSPORT_CHANNEL_INTERNAL_H_
