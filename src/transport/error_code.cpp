#include "transport/error_code.h"

#include <ostream>

namespace {

const char* const kErrorTexts[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "QXV disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
    "ssl certificate verify fail",
    "permission is read-only",
};

constexpr int kLastCode = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]) - 1;
static_assert(kLastCode == -ErrorNumber(ERR_PERMISS_READ_ONLY) && kLastCode + 1 == -ErrorNumber(ERR_MAX));

}  // namespace

const char* GetErrorString(ErrorCode code) { return GetErrorString(ErrorNumber(code)); }

const char* GetErrorString(int code) {
  // Range first: negating INT_MIN would overflow.
  if (code < -kLastCode || code > kLastCode) return "Unknown error";
  return kErrorTexts[code < 0 ? -code : code];
}

std::ostream& operator<<(std::ostream& os, ErrorCode code) { return os << ErrorNumber(code); }
