// Text in the section encoding: plain, wide and scrambled forms, and the
// limits of the readers.
#include "protocol/proto_section_string.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol_test_util.h"
#include "section_test_util.h"
#include "support/command.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::Hex;

namespace {

class ProtoSectionStringTest : public testsupport::TempDirTest {};

TEST_F(ProtoSectionStringTest, PlainTextRoundTripsInEveryForm) {
  const std::string utf8 = "h\xc3\xa9llo \xe2\x82\xac \xf0\x9d\x84\x9e";  // héllo € 𝄞
  const std::u16string wide = u"h\u00e9llo \u20ac \U0001D11E";
  stest::Written w = stest::WriteThrough([&](Channel& ch) {
    ErrorCode rc = ProtoWriteString(ch, utf8);
    if (rc == ERR_OK) rc = ProtoWriteString(ch, wide);
    if (rc == ERR_OK) rc = ProtoWriteString(ch, ustring(utf8));
    if (rc == ERR_OK) rc = ProtoWriteSection(ch, SPROTO_ID_PATH, ustring(utf8));
    return rc;
  });
  ASSERT_EQ(ERR_OK, w.rc);
  const std::string var = B({0, static_cast<int>(utf8.size())}) + utf8;
  EXPECT_EQ(Hex(var + var + var + B({7}) + var), Hex(w.bytes));

  auto pair = stest::Feed(w.bytes);
  ASSERT_TRUE(pair);
  std::string narrow;
  std::u16string wide_back;
  ustring u;
  ustring section;
  EXPECT_EQ(static_cast<int>(utf8.size()), ProtoReadString(pair->ch, wide_back));
  EXPECT_EQ(static_cast<int>(utf8.size()), ProtoReadString(pair->ch, narrow));
  EXPECT_EQ(static_cast<int>(utf8.size()), ProtoReadString(pair->ch, u));
  EXPECT_EQ(3 + static_cast<int>(utf8.size()), ProtoReadSection(pair->ch, SPROTO_ID_PATH, section));
  EXPECT_EQ(wide, wide_back);
  EXPECT_EQ(utf8, narrow);
  EXPECT_STREQ(utf8.c_str(), u.c_str_utf8());
  EXPECT_STREQ(utf8.c_str(), section.c_str_utf8());
}

// The readers take at most 8192 bytes and end the text at its first NUL; a
// text of exactly the limit has no terminator on the wire and must not be
// read past.
TEST_F(ProtoSectionStringTest, ReaderLimits) {
  ptest::LogCapture log(Path(), "proto_common_debug=7\n");
  const std::string full(8192, 'q');
  struct {
    const char* what;
    std::string input;
    int rc;
    std::string text;
  } cases[] = {
      {"exactly 8192 bytes", B({0x20, 0x00}) + full, 8192, full},
      {"8193 bytes", B({0x20, 0x01}) + full + "q", ErrorNumber(ERR_PROTO), "unchanged"},
      {"NUL inside", B({0, 5}) + std::string("ab\0cd", 5), 5, "ab"},
      {"empty", B({0, 0}), 0, ""},
      {"cut short", B({0, 9}) + "abc", ErrorNumber(ERR_IO), "unchanged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (int form = 0; form < 3; ++form) {
      auto pair = stest::Feed(c.input);
      ASSERT_TRUE(pair);
      std::string got = "unchanged";
      int rc;
      if (form == 0) {
        rc = ProtoReadString(pair->ch, got);
      } else if (form == 1) {
        ustring u("unchanged");
        rc = ProtoReadString(pair->ch, u);
        got = u.c_str_utf8();
      } else {
        std::u16string w = u"unchanged";
        rc = ProtoReadString(pair->ch, w);
        got = ustring(w.c_str()).c_str_utf8();
      }
      EXPECT_EQ(c.rc, rc) << form;
      EXPECT_TRUE(c.text == got) << form << ": " << got.size() << " bytes";
    }
  }
  EXPECT_TRUE(log.Has("Expect only 8192 bytes but 8193 bytes coming in")) << log.Text();

  // The section form has the same limit.
  auto pair = stest::Feed(B({37, 0x20, 0x00}) + full + B({37, 0x20, 0x01}) + full + "q");
  ASSERT_TRUE(pair);
  ustring name;
  EXPECT_EQ(3 + 8192, ProtoReadSection(pair->ch, SPROTO_ID_VIEW_NAME, name));
  EXPECT_EQ(8192u, name.length());
  EXPECT_EQ(ErrorNumber(ERR_PROTO), ProtoReadSection(pair->ch, SPROTO_ID_VIEW_NAME, name));
}

// A text whose bytes (scrambled, for Enc) would not fit the uint16 count is
// refused before anything, the section id included, is written.
TEST_F(ProtoSectionStringTest, OverlongTextWritesNothing) {
  const std::string big(65536, 'a');
  // Scrambling is base64: 49,152 bytes become 65,536 characters.
  const std::string grows(49152, 'a');
  struct {
    const char* what;
    std::function<ErrorCode(Channel&)> write;
  } cases[] = {
      {"string", [&](Channel& ch) { return ProtoWriteString(ch, big); }},
      {"ustring", [&](Channel& ch) { return ProtoWriteString(ch, ustring(big)); }},
      {"wide", [&](Channel& ch) { return ProtoWriteString(ch, std::u16string(65536, u'a')); }},
      {"section", [&](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_PATH, ustring(big)); }},
      {"scrambled", [&](Channel& ch) { return ProtoWriteEncString(ch, grows); }},
      {"scrambled section", [&](Channel& ch) { return ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, ustring(grows)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    stest::Written w = stest::WriteThrough(c.write);
    EXPECT_EQ(ERR_INVAL, w.rc);
    EXPECT_EQ("", Hex(w.bytes));
  }
  // One byte less fits.
  stest::Written w = stest::WriteThrough([](Channel& ch) { return ProtoWriteString(ch, std::string(65535, 'a')); });
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_EQ(65537u, w.bytes.size());
}

TEST_F(ProtoSectionStringTest, StringSectionChecksTheRow) {
  stest::Written w =
      stest::WriteThrough([](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_SID, ustring("x")); });
  EXPECT_EQ(ERR_PROTO, w.rc);
  EXPECT_EQ("", w.bytes);
  auto pair = stest::Feed(B({9, 0, 1}) + "x");
  ASSERT_TRUE(pair);
  ustring text("kept");
  EXPECT_EQ(ErrorNumber(ERR_PROTO), ProtoReadSection(pair->ch, SPROTO_ID_SID, text));
  EXPECT_EQ(ErrorNumber(ERR_PROTO), ProtoReadSection(pair->ch, 0, text));
  EXPECT_STREQ("kept", text.c_str_utf8());
}

// Wide text that has no UTF-8 form is refused on the way out (-4, nothing
// written); bytes that are not UTF-8 are refused on the way in (-5) for a
// wide target, and kept as they are for a ustring.
TEST_F(ProtoSectionStringTest, WideConversionFailures) {
  ptest::LogCapture log(Path(), "proto_common_debug=3\n");
  // "\x62" is "b": a plain letter would continue the hex escape.
  for (const std::u16string& bad :
       {std::u16string(u"a\xD800"), std::u16string(u"\xDC00\x62"), std::u16string(u"x\xD800y")}) {
    stest::Written w = stest::WriteThrough([&](Channel& ch) { return ProtoWriteString(ch, bad); });
    EXPECT_EQ(ERR_INVAL, w.rc);
    EXPECT_EQ("", w.bytes);
    w = stest::WriteThrough([&](Channel& ch) { return ProtoWriteEncString(ch, bad); });
    EXPECT_EQ(ERR_INVAL, w.rc);
    EXPECT_EQ("", w.bytes);
  }
  EXPECT_TRUE(log.Has("wcstombs: ")) << log.Text();

  const std::string invalid = B({0, 3}) + "a\xff\x62";
  auto pair = stest::Feed(invalid + invalid);
  ASSERT_TRUE(pair);
  std::u16string wide = u"kept";
  EXPECT_EQ(ErrorNumber(ERR_PROTO), ProtoReadString(pair->ch, wide));
  EXPECT_EQ(u"kept", wide);
  EXPECT_TRUE(log.Has("mbstowcs: ")) << log.Text();
  ustring raw;
  EXPECT_EQ(3, ProtoReadString(pair->ch, raw));
  EXPECT_EQ(std::string("a\xff\x62"), std::string(raw.c_str_utf8()));
}

// "secret" scrambled: Blowfish CFB64 keyed with the header magic, zero IV,
// base64 — the same as the openssl command line gives.
TEST_F(ProtoSectionStringTest, ScrambledTextMatchesOpenssl) {
  testsupport::CommandResult r = testsupport::RunCommand(
      {"openssl", "enc", "-bf-cfb", "-K", "7c4e9a137c4e9a137c4e9a137c4e9a13", "-iv", "0000000000000000", "-nosalt",
       "-provider", "legacy", "-provider", "default", "-A", "-a"},
      "secret");
  ASSERT_EQ(0, r.exit_code) << r.err;
  std::string expected = r.out;
  while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
  ASSERT_EQ("TPIf2adk", expected);
  const std::string var = B({0x00, 0x08}) + expected;

  stest::Written w = stest::WriteThrough([](Channel& ch) {
    ErrorCode rc = ProtoWriteEncString(ch, std::string("secret"));
    if (rc == ERR_OK) rc = ProtoWriteEncString(ch, std::u16string(u"secret"));
    if (rc == ERR_OK) rc = ProtoWriteEncString(ch, ustring("secret"));
    if (rc == ERR_OK) rc = ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, ustring("secret"));
    return rc;
  });
  ASSERT_EQ(ERR_OK, w.rc);
  EXPECT_EQ(Hex(var + var + var + B({4}) + var), Hex(w.bytes));

  auto pair = stest::Feed(w.bytes);
  ASSERT_TRUE(pair);
  std::string narrow;
  std::u16string wide;
  ustring u;
  ustring section;
  EXPECT_EQ(8, ProtoReadDecString(pair->ch, narrow));
  EXPECT_EQ(8, ProtoReadDecString(pair->ch, wide));
  EXPECT_EQ(8, ProtoReadDecString(pair->ch, u));
  EXPECT_EQ(11, ProtoReadDecSection(pair->ch, SPROTO_ID_PASSWD, section));
  EXPECT_EQ("secret", narrow);
  EXPECT_EQ(u"secret", wide);
  EXPECT_STREQ("secret", u.c_str_utf8());
  EXPECT_STREQ("secret", section.c_str_utf8());
}

}  // namespace
