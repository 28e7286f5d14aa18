#include "foundation/utility.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/utsname.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "support/process_state.h"

namespace {

std::string Encode(const std::string& bytes) {
  std::unique_ptr<char[]> text = SzBase64EncBuffer(bytes.data(), bytes.size());
  return text ? std::string(text.get()) : std::string("<null>");
}

// Oracle for each row: printf '<bytes>' | base64 -w0   (GNU coreutils)
TEST(Base64Test, EncodingMatchesCoreutils) {
  struct Case {
    std::string bytes, text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\x00\xff\xfe\x80\x7f\x3e\x3f", 7), "AP/+gH8+Pw=="},
      {"\xfb\xff", "+/8="},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, Encode(c.bytes)) << c.text;
  EXPECT_EQ(nullptr, SzBase64EncBuffer(nullptr, 3));
}

// Input longer than the 767 groups a fixed 3,072-byte buffer would hold is
// encoded whole. Oracle:
//   python3 -c 'import sys; sys.stdout.buffer.write(bytes((i*7+3)%256
//     for i in range(3000)))' | base64 -w0
// prints 4,000 characters; their first 16, characters 3061-3076 (around
// where a 3,072-byte buffer ends) and last 16 are below.
TEST(Base64Test, ThreeThousandBytesGiveFourThousandCharacters) {
  std::string bytes;
  for (int i = 0; i < 3000; ++i) bytes += static_cast<char>((i * 7 + 3) % 256);
  std::string text = Encode(bytes);
  ASSERT_EQ(4000u, text.size());
  EXPECT_EQ("AwoRGB8mLTQ7QklQ", text.substr(0, 16));
  EXPECT_EQ("xMvS2eDn7vX8AwoR", text.substr(3060, 16));
  EXPECT_EQ("t77FzNPa4ejv9v0E", text.substr(3984, 16));
  // The bytes repeat every 768 (256 values, 3-byte groups), so the text
  // repeats every 1,024 characters all the way through.
  for (size_t k = 0; k + 1024 < text.size(); ++k) ASSERT_EQ(text[k], text[k + 1024]) << k;

  std::vector<char> back(bytes.size());
  unsigned int len = static_cast<unsigned int>(back.size());
  ASSERT_TRUE(EncBase64Dec(text.data(), static_cast<unsigned int>(text.size()), back.data(), &len));
  EXPECT_EQ(bytes, std::string(back.data(), len));
}

TEST(Base64Test, OneLineVariantStopsAtTheFirstZeroByte) {
  std::unique_ptr<char[]> text = SzBase64EncOneLine("foo\0bar", 7);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ("Zm9v", text.get());
}

TEST(Base64Test, DecodingCases) {
  struct Case {
    const char* name;
    std::string text;
    unsigned int room;
    bool ok;
    std::string bytes;  // written, also when !ok
  };
  const Case cases[] = {
      {"three bytes", "YWJj", 16, true, "abc"},
      {"one pad", "YWI=", 16, true, "ab"},
      {"two pads", "YQ==", 16, true, "a"},
      {"two groups", "YWJjZA==", 16, true, "abcd"},
      {"empty", "", 16, true, ""},
      {"one character", "Y", 16, false, ""},
      {"last group of three without pad", "YWI", 16, false, "ab"},
      {"last group of two without pad", "YQ", 16, false, "a"},
      {"trailing single character", "YWJjY", 16, false, "abc"},
      {"blank inside", "YW Jj", 16, false, ""},
      {"line end", "YWJj\n", 16, false, "abc"},
      {"pad in a short group", "YQ=", 16, false, ""},
      {"pad before the last group", "YQ==YWJj", 16, false, ""},
      {"pad in the second place", "Y===", 16, false, ""},
      {"data after a pad", "YW=j", 16, false, ""},
      {"pads only", "====", 16, false, ""},
      {"url-safe alphabet", "-_-_", 16, false, ""},
      {"non-zero pad bits", "YWJ=", 16, false, ""},
      {"non-zero pad bits, two pads", "YR==", 16, false, ""},
      {"room for two of three", "YWJj", 2, false, "ab"},
      {"no room", "YQ==", 0, false, ""},
      {"exact room", "YWJjZA==", 4, true, "abcd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> out(c.room + 1, '#');
    unsigned int len = c.room;
    EXPECT_EQ(c.ok, EncBase64Dec(c.text.data(), static_cast<unsigned int>(c.text.size()),
                                 out.data(), &len));
    ASSERT_EQ(c.bytes.size(), len);
    EXPECT_EQ(c.bytes, std::string(out.data(), len));
    EXPECT_EQ('#', out[c.room]) << "wrote past the room";
  }
  char out[4];
  unsigned int len = sizeof out;
  EXPECT_FALSE(EncBase64Dec(nullptr, 4, out, &len));
  EXPECT_FALSE(EncBase64Dec("YWJj", 4, nullptr, &len));
  EXPECT_FALSE(EncBase64Dec("YWJj", 4, out, nullptr));
}

// Oracle: printf secret | openssl enc -bf-cfb -K 7c4e9a137c4e9a137c4e9a137c4e9a13
//   -iv 0000000000000000 -nosalt -provider legacy -provider default -A -a
// (the 4-byte key repeated to 16 bytes, which is what the Blowfish key
// schedule does with it; -K 7c4e9a13 alone would be zero-padded).
TEST(SyncPassTest, ScramblesLikeBlowfishCfbUnderTheChallengeKey) {
  EXPECT_EQ(0, std::memcmp(g_encChalleng, "\x7c\x4e\x9a\x13", 4));
  struct Case {
    std::string plain, scrambled;
  };
  const Case cases[] = {
      {"secret", "TPIf2adk"},
      {"p\xc3\xa4ss w0rd!", "T1TY2LEwltHlKSc="},  // same command, printf 'p\xc3\xa4ss w0rd!'
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string out = "old";
    SyncPassEnc(c.plain, out);
    EXPECT_EQ(c.scrambled, out);
    SyncPassDec(c.scrambled, out);
    EXPECT_EQ(c.plain, out);
  }
}

TEST(SyncPassTest, RoundTripsOneToSixtyFourBytes) {
  for (size_t n = 1; n <= 64; ++n) {
    std::string plain;
    for (size_t i = 0; i < n; ++i) plain += static_cast<char>(1 + (i * 37 + n) % 255);
    std::string scrambled, back;
    SyncPassEnc(plain, scrambled);
    EXPECT_EQ(4 * ((n + 2) / 3), scrambled.size()) << n;
    SyncPassDec(scrambled, back);
    EXPECT_EQ(plain, back) << n;
  }
}

TEST(SyncPassTest, DecodingGarbageGivesEmptyAndAZeroByteEndsTheText) {
  std::string out = "old";
  for (const char* bad : {"not base64!", "TPIf2ad", "TPIf 2adk", "===="}) {
    SyncPassDec(bad, out);
    EXPECT_EQ("", out) << bad;
  }
  SyncPassEnc(std::string("ab\0cd", 5), out);
  std::string back;
  SyncPassDec(out, back);
  EXPECT_EQ("ab", back);
}

class CodePageConversionTest : public ::testing::Test {
 protected:
  void UseLocale(const char* name) { ASSERT_NE(nullptr, std::setlocale(LC_ALL, name)) << name; }

  testsupport::ProcessStateGuard process_state_;  // puts the locale back
};

TEST_F(CodePageConversionTest, UnderCUtf8TextPassesUnchanged) {
  UseLocale("C.UTF-8");
  ustring native;
  ASSERT_EQ(0, CodePageToNativeStr("caf\xc3\xa9", native));
  EXPECT_STREQ("caf\xc3\xa9", native.c_str_utf8());
  std::string narrow;
  ASSERT_EQ(0, NativeStrToCodePage(ustring("\xe2\x82\xac 5"), narrow));
  EXPECT_EQ("\xe2\x82\xac 5", narrow);
}

TEST_F(CodePageConversionTest, UnderCWhatAsciiCannotHoldBecomesQuestionMarks) {
  UseLocale("C");
  std::string narrow;
  ASSERT_EQ(0, NativeStrToCodePage(ustring("caf\xc3\xa9 \xe2\x82\xac"), narrow));
  EXPECT_EQ("caf? ?", narrow);
  ustring native;
  ASSERT_EQ(0, CodePageToNativeStr("caf\xe9", native));
  EXPECT_STREQ("caf?", native.c_str_utf8());
}

TEST_F(CodePageConversionTest, Utf8ConversionsReplaceInvalidSequencesInAnyLocale) {
  for (const char* locale : {"C", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    UseLocale(locale);
    ustring native;
    ASSERT_EQ(0, UTF8ToNativeStr("\xc3\xa9t\xc3", native));
    EXPECT_STREQ("\xc3\xa9t?", native.c_str_utf8());
    std::string narrow;
    ASSERT_EQ(0, NativeStrToUTF8(ustring("a\xff\xc3\xa9"), narrow));
    EXPECT_EQ("a?\xc3\xa9", narrow);
  }
}

TEST_F(CodePageConversionTest, EmptyTextGivesEmptyText) {
  ustring native = "old";
  std::string narrow = "old";
  EXPECT_EQ(0, CodePageToNativeStr("", native));
  EXPECT_TRUE(native.empty());
  EXPECT_EQ(0, NativeStrToCodePage(ustring(), narrow));
  EXPECT_EQ("", narrow);
}

TEST(HostNameTest, IsTheKernelsNodeName) {
  struct utsname uts;
  ASSERT_EQ(0, uname(&uts));
  std::string host = "old";
  ASSERT_EQ(0, GetSysHostName(host));
  EXPECT_EQ(std::string(uts.nodename), host);
}

TEST(ParseUsrNameTest, SplitsAtTheLastSlashOrElseBackslash) {
  struct Case {
    std::string in, user, domain;
  };
  const Case cases[] = {
      {"CORP/alice", "alice", "CORP"},
      {"CORP\\bob", "bob", "CORP"},
      {"carol", "carol", ""},
      {"A/B/dave", "dave", "A/B"},
      {"A\\B/erin", "erin", "A\\B"},  // "/" wins over "\"
      {"CORP/", "", "CORP"},
  };
  for (const Case& c : cases) {
    std::string user = c.in, domain = "old";
    ParseUsrName(user, domain);
    EXPECT_EQ(c.user, user) << c.in;
    EXPECT_EQ(c.domain, domain) << c.in;
  }
}

TEST(CriticalSectionTest, HoldsTheMutexFromStartUntilEndOrDestruction) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  {
    CriticalSection cs(&mutex);
    EXPECT_EQ(0, pthread_mutex_trylock(&mutex));  // not taken by construction
    ASSERT_EQ(0, pthread_mutex_unlock(&mutex));
    cs.start();
    cs.start();  // a second start must not deadlock on the normal mutex
    EXPECT_EQ(EBUSY, pthread_mutex_trylock(&mutex));
    cs.end();
    EXPECT_EQ(0, pthread_mutex_trylock(&mutex));
    ASSERT_EQ(0, pthread_mutex_unlock(&mutex));
    cs.end();  // not held: must not unlock someone else's lock
    cs.start();
  }
  EXPECT_EQ(0, pthread_mutex_trylock(&mutex)) << "destructor left it locked";
  ASSERT_EQ(0, pthread_mutex_unlock(&mutex));

  CriticalSection by_fd(3);
  by_fd.start();
  by_fd.end();
  EXPECT_EQ(-1, CriticalSection::lock(3));
  EXPECT_EQ(-1, CriticalSection::lock(static_cast<pthread_mutex_t*>(nullptr)));
}

}  // namespace
