// The daemon's result codes. Every channel, stream and IPC call returns 0 (or
// a positive count) for success and one of these negative codes for failure.
#ifndef TRANSPORT_ERROR_CODE_H_
#define TRANSPORT_ERROR_CODE_H_

enum {
  ERR_OK = 0,
  ERR_INT = -1,     // the caller's abort flag was raised
  ERR_IO = -2,      // closed channel, peer closed, socket error, connect or SSL set-up failed
  ERR_SYS = -3,     // poll failed, socket not ready after a wait, socket option failed
  ERR_INVAL = -4,   // bad argument: zero-length read, block too large, bad socket or address
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

// The fixed text of a code, given negative or positive (-5 and 5 give the same
// text). Anything outside -25..25 gives "Unknown error". Never null.
const char* GetErrorString(int code);

#endif  // TRANSPORT_ERROR_CODE_H_
