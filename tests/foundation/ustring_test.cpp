#include "foundation/ustring.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const size_t npos = ustring::npos;

std::string Bytes(const ustring& s) { return std::string(s.c_str_utf8(), s.length()); }

std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// --- UTF-8 validity and the UTF-16 copy -------------------------------------

struct Utf8Case {
  const char* bytes;
  bool valid;
  size_t units;  // UTF-16 units of a valid text
};

// Oracle, one sample at a time:
//   printf '%b' "$sample" > in
//   iconv -f UTF-8 -t UTF-16LE in > out && echo valid $(( $(wc -c < out) / 2 )) || echo invalid
const Utf8Case kUtf8Cases[] = {
    {"", true, 0},
    {"abc", true, 3},
    {"\xC3\xA9", true, 1},
    {"\xE2\x82\xAC", true, 1},
    {"\xF0\x9F\x98\x80", true, 2},  // U+1F600: a surrogate pair
    {"/home/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.txt", true, 15},
    {"\xEF\xBF\xBF", true, 1},      // noncharacter U+FFFF is still valid
    {"\xF4\x8F\xBF\xBF", true, 2},  // U+10FFFF, the last code point
    {"\xEF\xBB\xBF", true, 1},      // byte-order mark
    {"\xED\x9F\xBF", true, 1},      // U+D7FF, just below the surrogates
    {"\xEE\x80\x80", true, 1},      // U+E000, just above them
    {"\xC3", false, 0},             // lead byte alone
    {"\xA9", false, 0},             // continuation byte alone
    {"\xC0\x80", false, 0},         // overlong NUL
    {"\xED\xA0\x80", false, 0},     // encoded high surrogate
    {"\xF4\x90\x80\x80", false, 0}, // above U+10FFFF
    {"\xE2\x82", false, 0},         // truncated sequence
    {"a\xC3", false, 0},            // truncated at the end
    {"\xFF", false, 0},
    {"\xC3(", false, 0},
    {"\xE0\x80\xAF", false, 0},     // overlong "/"
    {"\xF0\x9F\x98", false, 0},
    {"\xED\xB0\x80", false, 0},     // encoded low surrogate
};

TEST(UstringUtf8Test, ValidityAndUtf16LengthMatchIconv) {
  for (const Utf8Case& c : kUtf8Cases) {
    SCOPED_TRACE(Hex(c.bytes));
    ustring s(c.bytes);
    EXPECT_EQ(c.valid, ustring::is_valid(s));
    testing::internal::CaptureStderr();
    const char16_t* w1 = s.c_str();
    size_t units = std::char_traits<char16_t>::length(w1);
    const char16_t* w2 = s.c_str_utf16();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(nullptr, w1);
    ASSERT_NE(nullptr, w2);
    EXPECT_EQ(c.units, units);
    EXPECT_EQ(c.bytes, Bytes(s)) << "the bytes never change";
    if (c.valid) {
      EXPECT_EQ("", err);
      EXPECT_EQ(c.bytes, Bytes(ustring(w1))) << "UTF-16 round trip";
    } else {
      // Nothing is cached for an invalid text: every call warns again.
      EXPECT_EQ(2u, Count(err, "Warning: u_strFromUTF8: error code 10 at line 900\n")) << err;
      EXPECT_EQ(std::u16string(), std::u16string(w2));
    }
  }
}

TEST(UstringUtf8Test, TailByteOfTwoByteCharacterIsInvalid) {
  ustring e("\xC3\xA9");
  ASSERT_EQ(2u, e.length());
  ustring tail = e.substr(1);
  EXPECT_EQ("\xA9", Bytes(tail));
  EXPECT_FALSE(ustring::is_valid(tail));
  testing::internal::CaptureStderr();
  EXPECT_EQ(std::u16string(), tail.c_str());
  EXPECT_NE("", testing::internal::GetCapturedStderr());
}

TEST(UstringUtf8Test, IsValidWritesNoCacheAndWarnsNothing) {
  const ustring s("\xC3");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ustring::is_valid(s));
  EXPECT_FALSE(ustring::is_valid(s));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(UstringUtf8Test, SmileyIsFourBytesAndTwoUnits) {
  ustring narrow("\xF0\x9F\x98\x80");
  EXPECT_EQ(4u, narrow.length());
  EXPECT_EQ(std::u16string(u"\U0001F600"), narrow.c_str());
  ustring wide(u"\U0001F600");
  EXPECT_EQ("\xF0\x9F\x98\x80", Bytes(wide));
  EXPECT_EQ(2u, std::char_traits<char16_t>::length(wide.c_str()));
}

TEST(UstringUtf8Test, LoneSurrogateGivesEmptyStringWithWarning) {
  const char16_t high[] = {u'a', 0xD800, u'b', 0};
  const char16_t low[] = {0xDC00, 0};
  for (const char16_t* units : {high, low}) {
    ustring s("kept?");
    testing::internal::CaptureStderr();
    s = units;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", Bytes(s));
    EXPECT_EQ(std::u16string(), s.c_str());
    EXPECT_EQ("Warning: u_strToUTF8: error code 10 at line 867\n", err);
  }
  // The same through the single-unit overloads.
  testing::internal::CaptureStderr();
  ustring one(static_cast<char16_t>(0xD800));
  ustring many("x");
  many.assign(static_cast<char16_t>(0xDFFF), 3);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(one.empty());
  EXPECT_TRUE(many.empty());
  EXPECT_EQ(2u, Count(err, "at line 867\n"));
}

TEST(UstringUtf8Test, WideAssignBuildsBytesAndNarrowAppendRebuildsCopy) {
  ustring s;
  s = u"\u00E9";
  EXPECT_EQ("\xC3\xA9", Bytes(s));
  EXPECT_EQ(std::u16string(u"\u00E9"), s.c_str());
  s += 'x';
  EXPECT_EQ(std::u16string(u"\u00E9x"), s.c_str());
  s.append(u"\u20AC", 5);
  s.append(u'!', 2);
  EXPECT_EQ("\xC3\xA9x\xE2\x82\xAC!!", Bytes(s));
  EXPECT_EQ(std::u16string(u"\u00E9x\u20AC!!"), s.c_str());
}

// Every byte change must drop the cached UTF-16 copy, or c_str() hands
// the operating system a stale name.
TEST(UstringUtf8Test, EveryChangeOfTheBytesRefreshesTheUtf16Copy) {
  ustring s("a\\b");
  ASSERT_EQ(std::u16string(u"a\\b"), s.c_str());
  s.replace('\\', '/');
  EXPECT_EQ(std::u16string(u"a/b"), s.c_str());
  s[0] = 'z';
  EXPECT_EQ(std::u16string(u"z/b"), s.c_str());
  s.trim("z");
  EXPECT_EQ(std::u16string(u"/b"), s.c_str());
  s.assign("q");
  EXPECT_EQ(std::u16string(u"q"), s.c_str());
  s.clear();
  EXPECT_EQ(std::u16string(), s.c_str());
  ustring never_filled;
  never_filled[0] = '\0';  // the terminator of an empty string is writable
  EXPECT_TRUE(never_filled.empty());
  s.append(ustring("\xC3\xA9"));
  EXPECT_EQ(std::u16string(u"\u00E9"), s.c_str());
}

// A name read from the disk may be invalid UTF-8; appending wide text to it
// must not throw its bytes away.
TEST(UstringUtf8Test, WideAppendKeepsInvalidBytes) {
  ustring s("bad\xFF");
  testing::internal::CaptureStderr();
  s.append(u"/\u00E9");
  s += u'x';
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ("bad\xFF/\xC3\xA9x", Bytes(s));
  EXPECT_EQ("", err);
}

TEST(UstringUtf8Test, WideAppendOfLoneSurrogateEmptiesTheString) {
  ustring s("abc");
  const char16_t bad[] = {0xD83D, 0};
  testing::internal::CaptureStderr();
  s += bad;
  EXPECT_EQ("Warning: u_strToUTF8: error code 10 at line 867\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ("", Bytes(s));
}

// --- Normalization -----------------------------------------------------------

struct NormCase {
  const char* in;
  const char* nfc;
  const char* nfd;
};

// Oracle: printf '%b' "$sample" | uconv -x any-nfc | od -An -tx1
//         printf '%b' "$sample" | uconv -x any-nfd | od -An -tx1
const NormCase kNormCases[] = {
    {"", "", ""},
    {"abc/def", "abc/def", "abc/def"},
    {"e\xCC\x81", "\xC3\xA9", "e\xCC\x81"},
    {"\xC3\xA9", "\xC3\xA9", "e\xCC\x81"},
    {"\xEA\xB0\x80", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1"},  // Hangul syllable
    {"\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1"},
    {"\xE2\x84\xAB", "\xC3\x85", "A\xCC\x8A"},                     // Angstrom sign
    {"a\xCC\x87\xCC\xA3", "\xE1\xBA\xA1\xCC\x87", "a\xCC\xA3\xCC\x87"},  // mark order
    {"\xE1\xB8\x8B\xCC\xA3", "\xE1\xB8\x8D\xCC\x87", "d\xCC\xA3\xCC\x87"},
    {"\xEF\xAC\x81", "\xEF\xAC\x81", "\xEF\xAC\x81"},  // compatibility only: kept
    {"/docs/Cafe\xCC\x81/\xC3\x85ngstr\xC3\xB6m.txt", "/docs/Caf\xC3\xA9/\xC3\x85ngstr\xC3\xB6m.txt",
     "/docs/Cafe\xCC\x81/A\xCC\x8Angstro\xCC\x88m.txt"},
};

TEST(UstringNormalizeTest, MatchesUconv) {
  for (const NormCase& c : kNormCases) {
    SCOPED_TRACE(Hex(c.in));
    const ustring in(c.in);
    EXPECT_EQ(Hex(c.nfc), Hex(Bytes(ustring::normalize(in, ustring::NFC))));
    EXPECT_EQ(Hex(c.nfd), Hex(Bytes(in.normalize(ustring::NFD))));
    EXPECT_EQ(c.in, Bytes(in));
  }
}

TEST(UstringNormalizeTest, InvalidTextGivesEmptyResult) {
  testing::internal::CaptureStderr();
  ustring r = ustring("ok\xC3").normalize(ustring::NFC);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(1u, Count(err, "u_strFromUTF8"));
}

// --- Construction and assignment ---------------------------------------------

TEST(UstringAssignTest, NullCharPointerIsEmpty) {
  const char* null = nullptr;
  ustring a(null);
  EXPECT_EQ("", Bytes(a));
  ustring b("x");
  b = null;
  EXPECT_TRUE(b.empty());
  b = "y";
  b.assign(null, 5);
  EXPECT_TRUE(b.empty());
  b = "z";
  b.append(null).append(null, 3) += null;
  EXPECT_EQ("z", Bytes(b));
  const char16_t* wnull = nullptr;
  ustring c(wnull);
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(npos, b.find(null, 1));
  EXPECT_EQ(0u, b.find(null));
  EXPECT_TRUE(b == "z");
  EXPECT_TRUE(ustring() == null);
}

TEST(UstringAssignTest, SourcesStopAtTheirLimits) {
  ustring s;
  s.assign("abcdef", 3);
  EXPECT_EQ("abc", Bytes(s));
  s.assign("ab\0cd", 5);
  EXPECT_EQ("ab", Bytes(s));
  s.assign(std::string("ab\0cd", 5));
  EXPECT_EQ("ab", Bytes(s));
  s.assign(std::string("0123456"), 2, 3);
  EXPECT_EQ("234", Bytes(s));
  s.assign(std::string("0123456"), 7);
  EXPECT_EQ("", Bytes(s));
  s.assign('-', 4);
  EXPECT_EQ("----", Bytes(s));
  s.assign('\0', 2);
  EXPECT_EQ(2u, s.length());
  s.assign(ustring("0123456"), 5, npos);
  EXPECT_EQ("56", Bytes(s));
  s.assign(u"wide text", 4);
  EXPECT_EQ("wide", Bytes(s));
  s.assign(u'\u00E9', 2);
  EXPECT_EQ("\xC3\xA9\xC3\xA9", Bytes(s));
  s = 'c';
  EXPECT_EQ("c", Bytes(s));
  s = u'\u20AC';
  EXPECT_EQ("\xE2\x82\xAC", Bytes(s));
  s = std::string("std");
  EXPECT_EQ("std", Bytes(s));
}

TEST(UstringAssignTest, PositionsPastTheEndThrow) {
  ustring s("abc");
  try {
    s.assign(std::string("ab"), 3);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("basic_string::substr", e.what());
  }
  EXPECT_THROW(s.append(std::string("ab"), 3), std::out_of_range);
  try {
    (void)s.substr(4);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("substr", e.what());
  }
  EXPECT_THROW(s.assign(ustring("ab"), 3), std::out_of_range);
  EXPECT_EQ("abc", Bytes(s)) << "a throwing call leaves the string alone";
}

// Each call reads from the string's own buffer while it may be
// reallocated; AddressSanitizer catches a read from the freed block.
TEST(UstringAssignTest, AliasingTheOwnBuffer) {
  const std::string long_text(100, 'p');
  ustring s(long_text.c_str());
  s.append(s);
  EXPECT_EQ(long_text + long_text, Bytes(s));

  s = long_text.c_str();
  s += s.c_str_utf8();  // the appended pointer dies in the reallocation
  EXPECT_EQ(long_text + long_text, Bytes(s));

  s = "abcdef";
  s.append(s, 2, 2);
  EXPECT_EQ("abcdefcd", Bytes(s));
  s.assign(s.c_str_utf8(), 2);
  EXPECT_EQ("ab", Bytes(s));
  s.assign(s.c_str_utf8(), 10);
  EXPECT_EQ("ab", Bytes(s));

  ustring& self = s;
  s = self;
  EXPECT_EQ("ab", Bytes(s));
  s = s.c_str_utf8();
  EXPECT_EQ("ab", Bytes(s));

  s = "0123456789";
  s.assign(s.c_str_utf8() + 4);
  EXPECT_EQ("456789", Bytes(s));
  s.assign(s, 1, 3);
  EXPECT_EQ("567", Bytes(s));

  s = u"\u00E9t\u00E9";
  s.assign(s.c_str(), 2);
  EXPECT_EQ("\xC3\xA9t", Bytes(s));
  s = s.c_str();
  EXPECT_EQ("\xC3\xA9t", Bytes(s));
  s.append(s.c_str());
  EXPECT_EQ("\xC3\xA9t\xC3\xA9t", Bytes(s));
  s.assign(s.c_str() + 1);
  EXPECT_EQ("t\xC3\xA9t", Bytes(s));
}

TEST(UstringAssignTest, ShrinkingAndGrowingKeepTheText) {
  ustring s;
  for (int i = 0; i < 100000; ++i) s += static_cast<char>('a' + i % 26);
  ASSERT_EQ(100000u, s.length());
  EXPECT_EQ('a' + 99999 % 26, s[99999]);
  s = "short";
  EXPECT_EQ("short", Bytes(s));
  s.append('x', 5000);
  EXPECT_EQ(5005u, s.length());
  s.assign(s, 5000, 5);
  EXPECT_EQ("xxxxx", Bytes(s));
}

TEST(UstringAssignTest, CopiesAndMovesAreIndependent) {
  ustring a("\xC3\xA9");
  ASSERT_EQ(std::u16string(u"\u00E9"), a.c_str());
  ustring b(a);
  b += "!";
  EXPECT_EQ("\xC3\xA9", Bytes(a));
  EXPECT_EQ(std::u16string(u"\u00E9!"), b.c_str());
  ustring c(std::move(b));
  EXPECT_EQ("\xC3\xA9!", Bytes(c));
  EXPECT_EQ(std::u16string(u"\u00E9!"), c.c_str());
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty and usable
  EXPECT_EQ(std::u16string(), b.c_str());
  b = "again";
  a = std::move(b);
  EXPECT_EQ("again", Bytes(a));
  swap(a, c);
  EXPECT_EQ("again", Bytes(c));
  EXPECT_EQ(std::u16string(u"\u00E9!"), a.c_str());
  EXPECT_EQ("\xC3\xA9!x", Bytes(a + 'x'));
  EXPECT_EQ("\xC3\xA9!\xE2\x82\xAC", Bytes(a + u'\u20AC'));
  EXPECT_EQ("\xC3\xA9!ab", Bytes(a + u"ab"));
  EXPECT_EQ("x/y", Bytes(ustring("x") + "/" + ustring("y")));
}

// --- Search --------------------------------------------------------------------

enum Op { FIND, RFIND, FIRST_OF, FIRST_NOT_OF, LAST_OF, LAST_NOT_OF };

struct SearchCase {
  Op op;
  const char* text;
  const char* needle;
  size_t pos;
  size_t want;
};

const SearchCase kSearchCases[] = {
    {FIND, "abc", "x", 3, npos},
    {FIND, "abc", "", 1, 1},
    {FIND, "abc", "", 3, npos},  // unlike std::string
    {FIND, "abc", "c", 0, 2},
    {FIND, "abcabc", "bc", 2, 4},
    {FIND, "abcabc", "cab", 0, 2},
    {FIND, "abc", "abcd", 0, npos},
    {FIND, "", "", 0, npos},
    {FIND, "abc", "a", npos, npos},
    {RFIND, "abc", "", npos, 2},  // unlike std::string
    {RFIND, "abc", "c", npos, 2},
    {RFIND, "abc", "a", 0, 0},
    {RFIND, "abc", "c", 1, npos},
    {RFIND, "abcabc", "bca", 1, 1},  // the match may run past the start
    {RFIND, "abcabc", "abc", npos, 3},
    {RFIND, "abcabc", "abc", 2, 0},
    {RFIND, "abc", "abcd", npos, npos},
    {RFIND, "", "", npos, npos},
    {RFIND, "", "a", 0, npos},
    {RFIND, "abc", "", 1, 1},
    {FIRST_OF, "abc", "", 0, npos},
    {FIRST_OF, "a/b\\c", "\\/", 0, 1},
    {FIRST_OF, "a/b\\c", "\\/", 2, 3},
    {FIRST_OF, "abc", "xyz", 0, npos},
    {FIRST_OF, "abc", "c", 3, npos},
    {FIRST_NOT_OF, "abc", "", 0, 0},
    {FIRST_NOT_OF, "abc", "", 2, 2},
    {FIRST_NOT_OF, "   x ", " ", 0, 3},
    {FIRST_NOT_OF, "aaa", "a", 0, npos},
    {FIRST_NOT_OF, "abc", "", 3, npos},
    {LAST_OF, "/home/user/file", "/", npos, 10},
    {LAST_OF, "/home/user/file", "/", 9, 5},
    {LAST_OF, "/home/user/file", "/", 0, 0},
    {LAST_OF, "abc", "", npos, npos},
    {LAST_OF, "abc", "xy", npos, npos},
    {LAST_OF, "a.b/c", "./", npos, 3},
    {LAST_OF, "", "/", npos, npos},
    {LAST_NOT_OF, "abc", "", npos, 2},
    {LAST_NOT_OF, "abc", "", 1, 1},
    {LAST_NOT_OF, "x   ", " ", npos, 0},
    {LAST_NOT_OF, "   ", " ", npos, npos},
    {LAST_NOT_OF, "", "", npos, npos},
    {LAST_NOT_OF, "ab ", "b ", 5, 0},
    // Non-ASCII bytes are plain bytes; positions are byte positions.
    {FIND, "caf\xC3\xA9/x", "/", 0, 5},
    {LAST_OF, "\xC3\xA9\xC3\xA9", "\xA9", npos, 3},
    {FIRST_NOT_OF, "\xC3\xA9z", "\xC3\xA9", 0, 2},
};

size_t RunSearch(Op op, const ustring& t, const auto& needle, size_t pos) {
  switch (op) {
    case FIND: return t.find(needle, pos);
    case RFIND: return t.rfind(needle, pos);
    case FIRST_OF: return t.find_first_of(needle, pos);
    case FIRST_NOT_OF: return t.find_first_not_of(needle, pos);
    case LAST_OF: return t.find_last_of(needle, pos);
    case LAST_NOT_OF: return t.find_last_not_of(needle, pos);
  }
  return 0;
}

TEST(UstringSearchTest, TableWithEveryNeedleKind) {
  for (const SearchCase& c : kSearchCases) {
    SCOPED_TRACE(testing::Message() << "op " << c.op << " in \"" << c.text << "\" of \"" << c.needle
                                    << "\" from " << c.pos);
    const ustring text(c.text);
    EXPECT_EQ(c.want, RunSearch(c.op, text, c.needle, c.pos));
    EXPECT_EQ(c.want, RunSearch(c.op, text, ustring(c.needle), c.pos));
    EXPECT_EQ(c.want, RunSearch(c.op, text, std::string(c.needle), c.pos));
    if (std::char_traits<char>::length(c.needle) == 1) {
      EXPECT_EQ(c.want, RunSearch(c.op, text, c.needle[0], c.pos));
    }
  }
}

TEST(UstringSearchTest, TextEndsAtTheFirstNul) {
  ustring s("ab");
  s.append('\0', 1).append("cd", 2);
  ASSERT_EQ(5u, s.length());
  EXPECT_EQ(npos, s.find("c"));
  EXPECT_EQ(npos, s.find('c', 3));
  EXPECT_EQ(1u, s.rfind("b"));
  EXPECT_EQ(1u, s.find_last_of("bd"));
  EXPECT_EQ(npos, s.find_first_of('\0'));
  EXPECT_EQ(1u, s.find_last_not_of(""));
  // A std::string needle also ends at its first NUL.
  EXPECT_EQ(0u, ustring("abc").find(std::string("ab\0z", 4)));
}

// --- Editing -------------------------------------------------------------------

TEST(UstringEditTest, Substr) {
  const ustring abc("abc");
  EXPECT_EQ("", Bytes(abc.substr(3)));
  EXPECT_EQ("bc", Bytes(abc.substr(1)));
  EXPECT_EQ("b", Bytes(abc.substr(1, 1)));
  EXPECT_EQ("abc", Bytes(abc.substr(0, 99)));
  EXPECT_EQ("", Bytes(abc.substr(2, 0)));
  EXPECT_THROW((void)abc.substr(4), std::out_of_range);
}

struct TrimCase {
  const char* text;
  const char* list;
  const char* left;
  const char* right;
  const char* both;
};

const TrimCase kTrimCases[] = {
    {"   ", " ", "", "", ""},
    {" a b ", " ", "a b ", " a b", "a b"},
    {"a b", " ", "a b", "a b", "a b"},
    {" x ", "", " x ", " x ", " x "},
    {"", " ", "", "", ""},
    {"\t x\t\n", " \t\n", "x\t\n", "\t x", "x"},
    {"//a//", "/", "a//", "//a", "a"},
};

TEST(UstringEditTest, TrimTable) {
  for (const TrimCase& c : kTrimCases) {
    SCOPED_TRACE(testing::Message() << "\"" << c.text << "\" by \"" << c.list << "\"");
    ustring s(c.text);
    EXPECT_EQ(c.left, Bytes(s.ltrim(c.list)));
    s = c.text;
    EXPECT_EQ(c.right, Bytes(s.rtrim(ustring(c.list))));
    s = c.text;
    EXPECT_EQ(c.both, Bytes(s.trim(c.list)));
    s = c.text;
    EXPECT_EQ(c.both, Bytes(s.trim(ustring(c.list))));
  }
  ustring s(" x ");
  const char* null = nullptr;
  EXPECT_EQ(" x ", Bytes(s.trim(null)));
}

TEST(UstringEditTest, ReplaceTurnsEveryByte) {
  ustring s("\\a\\b\\\\");
  EXPECT_EQ("/a/b//", Bytes(s.replace('\\', '/')));
  EXPECT_EQ("\\a\\b\\\\", Bytes(s.replace('/', '\\')));
  EXPECT_EQ("\\a\\b\\\\", Bytes(s.replace('z', 'y')));
}

// --- Comparison ------------------------------------------------------------------

struct CompareCase {
  const char* a;
  const char* b;
  int plain;
  int caseless;
};

const CompareCase kCompareCases[] = {
    {"abc", "abd", -1, -1},
    {"a", "B", 31, -1},  // capital B sorts before small a
    {"B", "a", -31, 1},
    {"abc", "abc", 0, 0},
    {"ABC", "abc", -32, 0},
    {"ab", "abc", -'c', -'c'},
    {"", "", 0, 0},
    {"\xC3\x84", "\xC3\xA4", 0x84 - 0xA4, 0x84 - 0xA4},  // no folding above ASCII
    {"\xC3", "z", 0xC3 - 'z', 0xC3 - 'z'},               // bytes are unsigned
    {"@", "`", '@' - '`', '@' - '`'},                    // neighbours of A-Z fold to nothing
    {"[", "{", '[' - '{', '[' - '{'},
};

TEST(UstringCompareTest, Table) {
  for (const CompareCase& c : kCompareCases) {
    SCOPED_TRACE(Hex(c.a) + " vs " + Hex(c.b));
    const ustring a(c.a);
    const ustring b(c.b);
    EXPECT_EQ(c.plain, ustring::compare(a, b, false));
    EXPECT_EQ(c.caseless, ustring::compare(a, b, true));
    EXPECT_EQ(c.plain, a.compare(b));
    EXPECT_EQ(c.plain < 0, a < b);
    EXPECT_EQ(c.plain > 0, a > b);
    EXPECT_EQ(c.plain == 0, a == b);
    EXPECT_EQ(c.plain != 0, a != b);
    EXPECT_EQ(c.plain <= 0, a <= b);
    EXPECT_EQ(c.plain >= 0, a >= b);
    EXPECT_EQ(c.plain == 0, a == c.b);
    EXPECT_EQ(c.plain != 0, a != c.b);
  }
}

TEST(UstringCompareTest, EqualStringsAreLessOrEqualAndGreaterOrEqual) {
  const ustring a("same");
  const ustring b("same");
  EXPECT_TRUE(a <= b);
  EXPECT_TRUE(a >= b);
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(a > b);
}

TEST(UstringCompareTest, BoundedCompare) {
  const ustring abc("abc");
  EXPECT_EQ(0, abc.compare(ustring("abd"), 2));
  EXPECT_EQ(-1, abc.compare(ustring("abd"), 3));
  EXPECT_EQ(0, abc.compare(ustring("xyz"), 0));
  EXPECT_EQ('c', abc.compare(ustring("ab"), 5));
}

TEST(UstringCompareTest, MapKeyOrderAndCharPointerLookup) {
  std::map<ustring, int, ustring_less> m;
  for (const char* k : {"b", "a", "B", "\xC3\xA9", "ab", ""}) m[k] = 1;
  std::vector<std::string> order;
  for (const auto& kv : m) order.push_back(Bytes(kv.first));
  EXPECT_EQ((std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}), order);
  EXPECT_NE(m.end(), m.find("ab"));
  EXPECT_EQ(m.end(), m.find("abc"));
  const char* null = nullptr;
  EXPECT_NE(m.end(), m.find(null));
  EXPECT_EQ("B", Bytes(m.lower_bound("A")->first));

  std::map<ustring, int> plain(m.begin(), m.end());
  std::vector<std::string> plain_order;
  for (const auto& kv : plain) plain_order.push_back(Bytes(kv.first));
  EXPECT_EQ(order, plain_order);
}

// --- Streams ---------------------------------------------------------------------

TEST(UstringStreamTest, WritesBytesAndReadsWords) {
  std::ostringstream out;
  ustring s("caf\xC3\xA9");
  s.append('\0', 1).append("hidden", 6);
  out << s << '|';
  EXPECT_EQ("caf\xC3\xA9|", out.str());

  std::istringstream in("  first second");
  ustring w("old");
  in >> w;
  EXPECT_EQ("first", Bytes(w));
  in >> w >> w;
  EXPECT_EQ("second", Bytes(w)) << "a failed read leaves the string alone";
}

}  // namespace
