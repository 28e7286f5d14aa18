#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "support/process_state.h"

namespace {

// The guard puts the process's locale back after each case.
class CodePageTest : public ::testing::Test {
 protected:
  void UseLocale(const char* name) { ASSERT_NE(nullptr, std::setlocale(LC_ALL, name)) << name; }

  testsupport::ProcessStateGuard process_state_;
};

TEST_F(CodePageTest, UnderCUtf8TextPassesAndInvalidBytesBecomeOneQuestionMarkEach) {
  UseLocale("C.UTF-8");
  EXPECT_STREQ("UTF-8", platform::LocaleCodeSet());
  std::string out = "old";
  ASSERT_EQ(0, platform::Utf8ToLocale("caf\xc3\xa9 \xe2\x82\xac", out));
  EXPECT_EQ("caf\xc3\xa9 \xe2\x82\xac", out);
  ASSERT_EQ(0, platform::LocaleToUtf8("a\xff" "b\xc3", out));
  EXPECT_EQ("a?b?", out);
}

TEST_F(CodePageTest, UnderCEachUnmappableCharacterBecomesOneQuestionMark) {
  UseLocale("C");
  std::string out;
  // é is two bytes and € three: one "?" each, not one per byte.
  ASSERT_EQ(0, platform::Utf8ToLocale("caf\xc3\xa9 \xe2\x82\xac!", out));
  EXPECT_EQ("caf? ?!", out);
  // Bytes above 0x7f are not ASCII.
  ASSERT_EQ(0, platform::LocaleToUtf8("x\xe9y", out));
  EXPECT_EQ("x?y", out);
}

TEST_F(CodePageTest, ValidateUtf8ReplacesOverlongSurrogateAndTruncatedSequences) {
  struct Case {
    std::string in, want;
  };
  const Case cases[] = {
      {"", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xc0\xaf", "??"},          // overlong "/"
      {"\xed\xa0\x80x", "???x"},   // a UTF-16 surrogate
      {"ab\xe2\x82", "ab??"},      // cut at the end
  };
  for (const Case& c : cases) {
    std::string out = "old";
    ASSERT_EQ(0, platform::ValidateUtf8(c.in, out));
    EXPECT_EQ(c.want, out) << c.in;
  }
}

TEST_F(CodePageTest, LongTextIsConvertedWhole) {
  UseLocale("C.UTF-8");
  std::string in;
  for (int i = 0; i < 20000; ++i) in += "\xc3\xa9";
  std::string out;
  ASSERT_EQ(0, platform::Utf8ToLocale(in, out));
  EXPECT_EQ(in, out);
}

}  // namespace
