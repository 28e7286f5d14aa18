#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/tmp_name_gen.h"
#include "support/tmp_name_key.h"

namespace {

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

TEST(TmpNameGenTest, EncodesSixBytesAsEightCharacters) {
  struct Case {
    unsigned char bytes[6];
    const char* name;
  } cases[] = {
      {{0x00, 0x10, 0x83, 0xFF, 0xFF, 0xFF}, "0123____"},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, "00000000"},
      {{0xFB, 0xEF, 0xBE, 0x04, 0x10, 0x41}, "----1111"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.name, TmpNameGen::encodeName(c.bytes).c_str_utf8());
}

// With the 16-byte key 000102..0f repeated to 256 bytes the schedule is that
// of RC4 with the 16-byte key, so the first name is RC4's first six bytes:
//   head -c 6 /dev/zero |
//     openssl enc -rc4 -K 000102030405060708090a0b0c0d0e0f -nosalt
//       -provider legacy -provider default | base64 |
//     tr 'A-Za-z0-9+/' '0-9a-zA-Z\-_'
// prints WpN0-kvy. Later names restart i and j on purpose and differ from RC4.
TEST(TmpNameGenTest, FirstNameOfAKnownKeyIsRc4Output) {
  unsigned char key[256];
  for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(i % 16);
  TmpNameGen gen;
  gen.setKeyForTest(key);
  EXPECT_STREQ("WpN0-kvy", gen.getTmpName().c_str_utf8());
  std::string second = gen.getTmpName().c_str_utf8();
  EXPECT_NE("WpN0-kvy", second);

  // The same key replays the same names, also on the process instance.
  testsupport::ScopedTmpNameKey known(key);
  EXPECT_STREQ("WpN0-kvy", TmpNameGen::getInstance()->getTmpName().c_str_utf8());
  EXPECT_EQ(second, TmpNameGen::getInstance()->getTmpName().c_str_utf8());
}

TEST(TmpNameGenTest, NamesUseTheAlphabetAndPathsJoinWithSlash) {
  TmpNameGen gen;
  for (int i = 0; i < 1000; ++i) {
    std::string name = gen.getTmpName().c_str_utf8();
    ASSERT_EQ(8u, name.size());
    for (char ch : name) ASSERT_NE(nullptr, std::strchr(kAlphabet, ch)) << name;
  }
  std::string path = gen.getTmpPath("a/b").c_str_utf8();
  ASSERT_EQ(12u, path.size());
  EXPECT_EQ("a/b/", path.substr(0, 4));
  std::string bare = gen.getTmpPath("").c_str_utf8();
  ASSERT_EQ(9u, bare.size());
  EXPECT_EQ('/', bare[0]);
}

// Keys come from getrandom: two generators start apart.
TEST(TmpNameGenTest, IndependentGeneratorsDiffer) {
  TmpNameGen a, b;
  EXPECT_NE(a.getTmpName(), b.getTmpName());
}

}  // namespace
