#include "platform/ascii_case.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

// Every byte: only A-Z move. The bytes 0xC1-0xDA are A-Z with the top bit
// set (a fold that masks it would turn them into letters), and 0x40, 0x5B
// border the range.
TEST(AsciiCaseTest, OnlyCapitalLettersFold) {
  for (int i = 0; i < 256; ++i) {
    unsigned char c = static_cast<unsigned char>(i);
    unsigned char want = (i >= 'A' && i <= 'Z') ? static_cast<unsigned char>(i + 32) : c;
    EXPECT_EQ(want, platform::AsciiFold(c)) << "byte " << i;
    EXPECT_EQ(static_cast<char>(want), platform::AsciiFold(static_cast<char>(c))) << "byte " << i;
  }
}

TEST(AsciiCaseTest, EqualIgnoringCaseTable) {
  using namespace std::string_literals;
  struct Case {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"@Zarq", "@zARQ", true},
      {"", "", true},
      {"abc", "abcd", false},                // a prefix is not equal
      {"\xC3\x84", "\xC3\xA4", false},       // U+00C4 and U+00E4: no folding above ASCII
      {"\xC1", "\xE1", false},               // 'A' | 0x80 and 'a' | 0x80
      {"\xC1", "a", false},
      {"@", "`", false},                     // the neighbours of A-Z
      {"[", "{", false},
      {"a\0B"s, "A\0b"s, true},              // NUL is an ordinary byte
      {"a\0b"s, "a"s, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
    EXPECT_EQ(c.equal, platform::AsciiEqualIgnoringCase(c.a, c.b));
    EXPECT_EQ(c.equal, platform::AsciiEqualIgnoringCase(c.b, c.a));
  }
}

}  // namespace
