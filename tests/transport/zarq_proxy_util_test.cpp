#include "transport/zarq_proxy_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hex.h"

namespace {

TEST(ProxySubstr, BoundsTable) {
  struct Case {
    const char* s;
    size_t start, len;
    const char* want;  // null: refused
  } cases[] = {
      {"hello", 0, 5, "hello"},  // the whole text
      {"hello", 3, 2, "lo"},     // a piece ending at the end
      {"hello", 1, 0, ""},
      {"hello", 3, 3, nullptr},  // past the end
      {"hello", 5, 0, nullptr},  // start at the end
      {"", 0, 0, nullptr},
      {"hello", 1, static_cast<size_t>(-1), nullptr},  // no wrap-around
  };
  for (const Case& c : cases) {
    std::unique_ptr<char[]> got = ZARQProxyClientSubstr(c.s, c.start, c.len);
    if (c.want == nullptr) {
      EXPECT_EQ(nullptr, got.get()) << c.s << " " << c.start << " " << c.len;
    } else {
      ASSERT_NE(nullptr, got.get()) << c.s << " " << c.start << " " << c.len;
      EXPECT_STREQ(c.want, got.get());
    }
  }
  EXPECT_EQ(nullptr, ZARQProxyClientSubstr(nullptr, 0, 0).get());
}

TEST(ProxyStrings, TrimAndUpper) {
  char s[] = "Key: value \t\r\n";
  EXPECT_EQ(0, ZARQProxyClientStrimWhiteSpace(s));
  EXPECT_STREQ("Key: value", s);
  EXPECT_EQ(-1, ZARQProxyClientStrimWhiteSpace(nullptr));
  EXPECT_STREQ("DOM\xc3\xa4IN-1", StrToUpper("dom\xc3\xa4in-1").get());  // only ASCII letters change
}

TEST(ProxyStrings, StrToUnicodeIsLittleEndianAndNeverTruncates) {
  std::unique_ptr<uint8_t[]> out;
  // "A", U+00E9, U+1D11E (a surrogate pair).
  ASSERT_EQ(8, StrToUnicode(&out, "A\xc3\xa9\xf0\x9d\x84\x9e"));
  EXPECT_EQ("4100e90034d81edd", hex::Encode(out.get(), 8));

  // Far beyond any fixed 8192-byte buffer.
  std::string big(10000, 'x');
  big += "\xe2\x82\xac";  // U+20AC at the very end
  ASSERT_EQ(2 * 10001, StrToUnicode(&out, big.c_str()));
  EXPECT_EQ("ac20", hex::Encode(out.get() + 20000, 2));

  EXPECT_EQ(0, StrToUnicode(&out, ""));
  EXPECT_EQ(-1, StrToUnicode(&out, "bad \xff byte"));
  EXPECT_EQ(-1, StrToUnicode(&out, nullptr));
}

TEST(ProxyStrings, Utf8ToNativeCharNeedsRoomForTheTerminator) {
  char16_t w[4];
  EXPECT_EQ(3, UTF8ToNativeChar("abc", w, 4));
  EXPECT_EQ(u'c', w[2]);
  EXPECT_EQ(-1, UTF8ToNativeChar("abcd", w, 4));
}

TEST(ProxyBase64, RoundTripsEveryPaddingLength) {
  const std::string data = std::string("\x00\xff user:pa", 10) + "ss";
  for (size_t len = 0; len <= data.size(); ++len) {
    std::unique_ptr<char[]> text;
    ASSERT_EQ(0, ToBase64(&text, data.data(), len));
    EXPECT_EQ((len + 2) / 3 * 4, std::strlen(text.get()));
    std::unique_ptr<uint8_t[]> back;
    ASSERT_EQ(static_cast<int>(len), FromBase64(&back, text.get())) << text.get();
    EXPECT_EQ(0, std::memcmp(back.get(), data.data(), len));
  }
}

TEST(ProxyBase64, DecodeRefusals) {
  std::unique_ptr<uint8_t[]> out;
  EXPECT_EQ(3, FromBase64(&out, "  YWJj \r\n"));  // blanks at the ends only
  for (const char* bad : {"YWJ", "YW=j", "Y===", "YW Jj", "YWJ\x80", "=AAA"}) {
    EXPECT_EQ(-1, FromBase64(&out, bad)) << bad;
  }
}

}  // namespace

namespace {

std::string g_logged;

void Capture(int level, const char* category, const char* format, va_list args) {
  char line[512];
  vsnprintf(line, sizeof line, format, args);
  g_logged += std::to_string(level) + " " + category + " " + line;
}

TEST(ProxyLogHook, SilentUntilInstalledThenNarrowFormats) {
  g_logged.clear();
  ZARQProxyPrintMsg(PROXY_ERR, "proxy_debug", "[ERROR] lib/zarqproxyclient [%d]Bad parameter\n", 7);
  EXPECT_EQ("", g_logged);
  ZARQProxyInitLogger(Capture);
  PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient [%d]%s\n", 9, "text");
  ZARQProxyInitLogger(nullptr);
  PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient [%d]%s\n", 10, "gone");
  EXPECT_EQ("4 proxy_debug [WARN]lib/zarqproxyclient [9]text\n", g_logged);
}

}  // namespace
