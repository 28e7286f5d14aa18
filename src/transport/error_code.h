// The daemon's result codes. Every channel, stream and IPC call returns ERR_OK
// for success and one of the negative codes for failure. The codes are their
// own type: a count, a verdict or a bare -1 cannot pass for one. Where a code
// leaves or enters the process (control replies, user-interface messages,
// stored rows, log texts) it becomes a number only through ErrorNumber and
// comes back only through ErrorCodeFromNumber.
#ifndef TRANSPORT_ERROR_CODE_H_
#define TRANSPORT_ERROR_CODE_H_

#include <iosfwd>

enum class ErrorCode : int {
  ERR_OK = 0,
  ERR_INT = -1,    // the caller's abort flag was raised
  ERR_IO = -2,     // closed channel, peer closed, socket error, connect or SSL set-up failed
  ERR_SYS = -3,    // poll failed, socket not ready after a wait, socket option failed
  ERR_INVAL = -4,  // bad argument: zero-length read, block too large, bad socket or address
  ERR_PROTO = -5,
  ERR_AUTH = -6,
  ERR_SERVER = -7,
  ERR_CONFLICT = -8,
  ERR_TIMEOUT = -9,  // one wait timed out (retried), or the channel time-out ran out
  ERR_VERSION = -10,
  ERR_NOENT = -11,
  ERR_USER = -12,
  ERR_PASSWORD = -13,
  ERR_QXVDISABLE = -14,
  ERR_QUOTA = -15,
  ERR_DISKFULL = -16,
  ERR_SYNCFOLDER_MISS = -17,
  ERR_VIEW = -18,
  ERR_PERMISS = -19,
  ERR_VIEW_PATH = -20,
  ERR_CH_CONNECTION_ABORT = -21,
  ERR_LOCAL_DISKFULL = -22,
  ERR_LOCKED_FILE = -23,
  ERR_SSL_VERIFY_FAIL = -24,  // server certificate or host name refused
  ERR_PERMISS_READ_ONLY = -25,
  ERR_MAX = -26,  // bounds the list; not a code
};

// The short names stay usable unqualified.
using enum ErrorCode;

// The number of a code as it crosses a process boundary (control replies,
// user-interface messages, stored rows, log texts): its value above.
constexpr int ErrorNumber(ErrorCode code) { return static_cast<int>(code); }

// The code of a number read back from outside. A number that is no code
// (ERR_MAX, a positive number, anything below) gives ERR_SYS, never an
// unnamed value.
constexpr ErrorCode ErrorCodeFromNumber(int number) {
  if (number > 0 || number <= ErrorNumber(ERR_MAX)) return ERR_SYS;
  return static_cast<ErrorCode>(number);
}

// The code of a status of the lowest layer that returns "a count (>= 0) or a
// negative code" (a channel operation, a socket wait): ERR_OK for any count.
constexpr ErrorCode CodeOfStatus(int status) { return status >= 0 ? ERR_OK : ErrorCodeFromNumber(status); }

// The fixed text of a code. Never null.
const char* GetErrorString(ErrorCode code);
// The text of a number given negative or positive (-5 and 5 give the same
// text), for numbers read from outside. Anything outside -25..25 gives
// "Unknown error". Never null.
const char* GetErrorString(int number);

// Writes the number of the code (as ErrorNumber gives it), so that test
// failures and diagnostics show "-2", not raw bytes.
std::ostream& operator<<(std::ostream& os, ErrorCode code);

#endif  // TRANSPORT_ERROR_CODE_H_
