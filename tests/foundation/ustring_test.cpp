#include "foundation/ustring.h"

#include <gtest/gtest.h>

namespace {

TEST(UstringTest, RoundTripsNonAsciiText) {
  ustring s("caf\xC3\xA9");
  EXPECT_EQ(5u, s.length());
  EXPECT_EQ(std::u16string(u"caf\u00E9"), s.c_str());
  ustring w(u"caf\u00E9");
  EXPECT_STREQ("caf\xC3\xA9", w.c_str_utf8());
}

}  // namespace
