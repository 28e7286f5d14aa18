#include "transport/error_code.h"

#include <gtest/gtest.h>

#include <climits>

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
  for (int code : {int{ERR_MAX}, 26, -27, 1000, INT_MIN, INT_MIN + 1, INT_MAX}) {
    EXPECT_STREQ("Unknown error", GetErrorString(code)) << code;
  }
}

}  // namespace
