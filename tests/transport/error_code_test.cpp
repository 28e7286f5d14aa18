#include "transport/error_code.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>

namespace {

TEST(GetErrorStringTest, SignDoesNotMatterInsideTheTable) {
  EXPECT_STREQ("Successful", GetErrorString(ERR_OK));
  EXPECT_STREQ("QXV disabled", GetErrorString(-14));
  EXPECT_STREQ("QXV disabled", GetErrorString(14));
  EXPECT_STREQ("Protocal error", GetErrorString(ERR_PROTO));
  EXPECT_STREQ("ssl certificate verify fail", GetErrorString(ERR_SSL_VERIFY_FAIL));
  EXPECT_STREQ("permission is read-only", GetErrorString(-25));
}

// Negating INT_MIN is undefined; the range is checked first.
TEST(GetErrorStringTest, EverythingBeyondTheTableIsUnknown) {
  for (int code : {ErrorNumber(ERR_MAX), 26, -27, 1000, INT_MIN, INT_MIN + 1, INT_MAX}) {
    EXPECT_STREQ("Unknown error", GetErrorString(code)) << code;
  }
}

// Every code, its number as it crosses a process boundary, and its text.
struct CodeRow {
  ErrorCode code;
  int number;
  const char* text;
};
const CodeRow kCodes[] = {
    {ERR_OK, 0, "Successful"},
    {ERR_INT, -1, "Interrupted"},
    {ERR_IO, -2, "I/O error"},
    {ERR_SYS, -3, "System error"},
    {ERR_INVAL, -4, "Invalid argument"},
    {ERR_PROTO, -5, "Protocal error"},
    {ERR_AUTH, -6, "Authentication failure"},
    {ERR_SERVER, -7, "Server error"},
    {ERR_CONFLICT, -8, "Event conflict"},
    {ERR_TIMEOUT, -9, "Connection timeout"},
    {ERR_VERSION, -10, "Incompatible version"},
    {ERR_NOENT, -11, "No such entry"},
    {ERR_USER, -12, "Invalid username"},
    {ERR_PASSWORD, -13, "Password and username not matched"},
    {ERR_QXVDISABLE, -14, "QXV disabled"},
    {ERR_QUOTA, -15, "User quota not enough"},
    {ERR_DISKFULL, -16, "Disk is full"},
    {ERR_SYNCFOLDER_MISS, -17, "Sync Folder is miss"},
    {ERR_VIEW, -18, "View missing/invalid"},
    {ERR_PERMISS, -19, "no permission "},
    {ERR_VIEW_PATH, -20, "pull event by path, but the path is missing"},
    {ERR_CH_CONNECTION_ABORT, -21, "connection about by setting flag"},
    {ERR_LOCAL_DISKFULL, -22, "Local Disk is full"},
    {ERR_LOCKED_FILE, -23, "file locked or no permission"},
    {ERR_SSL_VERIFY_FAIL, -24, "ssl certificate verify fail"},
    {ERR_PERMISS_READ_ONLY, -25, "permission is read-only"},
};

TEST(ErrorNumberTest, EveryCodeKeepsItsNumberBothWays) {
  static_assert(sizeof kCodes / sizeof kCodes[0] == 26, "one row per code");
  for (const CodeRow& r : kCodes) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(r.number, ErrorNumber(r.code));
    EXPECT_EQ(r.code, ErrorCodeFromNumber(r.number));
    EXPECT_STREQ(r.text, GetErrorString(r.code));
    EXPECT_STREQ(r.text, GetErrorString(r.number));
    std::ostringstream printed;
    printed << r.code;
    EXPECT_EQ(std::to_string(r.number), printed.str());
  }
}

// A number read back from outside that is no code becomes a defined code,
// never an unnamed value of the type; the bound ERR_MAX is no code either.
TEST(ErrorNumberTest, NumbersThatAreNoCodeReadBackAsSystemError) {
  for (int number : {ErrorNumber(ERR_MAX), 1, 25, -27, -1000, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(ERR_SYS, ErrorCodeFromNumber(number));
  }
}

// The boundary of the lowest layer: any count is success, a negative status
// is its code.
TEST(ErrorNumberTest, CountsAreSuccessAndNegativeStatusesTheirCode) {
  EXPECT_EQ(ERR_OK, CodeOfStatus(0));
  EXPECT_EQ(ERR_OK, CodeOfStatus(1));
  EXPECT_EQ(ERR_OK, CodeOfStatus(INT_MAX));
  for (const CodeRow& r : kCodes) EXPECT_EQ(r.code, CodeOfStatus(r.number)) << r.text;
  EXPECT_EQ(ERR_SYS, CodeOfStatus(ErrorNumber(ERR_MAX)));
  EXPECT_EQ(ERR_SYS, CodeOfStatus(INT_MIN));
}

}  // namespace
