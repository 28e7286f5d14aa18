#include "foundation/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/temp_dir.h"

namespace {

using Entries = std::map<std::string, std::string>;

class ConfigTest : public testsupport::TempDirTest {
 protected:
  // Writes `text` to a file and reads it into `config`.
  int ReadText(Config& config, const std::string& text, const std::string& rel = "f.conf") {
    WriteFile(rel, text);
    return config.read(Path(rel).c_str());
  }
};

Entries EntriesOf(const Config& config) {
  Entries result;
  for (const auto& [key, value] : config) result[key.c_str_utf8()] = value.c_str_utf8();
  return result;
}

TEST_F(ConfigTest, ReadsFilesLineByLine) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    Entries entries;
  } cases[] = {
      {"skipped and stored lines",
       "a=1\n b = 2 # two\nc='x y'\nd=''\n#e=5\nf#\n\n  \t\n",
       0,
       {{"a", "1"}, {"b", "2"}, {"c", "x y"}, {"d", ""}}},
      {"bare key before an end of line", "a=1\nf\n", -1, {}},
      {"bare key on a last line without end of line", "a=1\nf", 0, {{"a", "1"}}},
      {"bare key then blanks", "f  \n", -1, {}},
      {"key then comment after a blank", "f #c\n", -1, {}},
      {"no value", "a=1\ng=\n", -1, {}},
      {"blank value", "g=   \n", -1, {}},
      {"no value at the end of the file", "g=", -1, {}},
      {"inner blank", "h=1 2\n", -1, {}},
      {"dot in the key", "i.j=1\n", -1, {}},
      {"no equals sign", "k 1\n", -1, {}},
      {"unterminated quote", "l='unterminated\n", -1, {}},
      {"hash inside and after values", "m=v#1\nn='a'#c\no=\"z\"  # c\n", 0,
       {{"m", "v#1"}, {"n", "a"}, {"o", "z"}}},
      {"empty key", "=5\n", 0, {{"", "5"}}},
      {"later value wins", "p=1\np=2\n", 0, {{"p", "2"}}},
      {"other quote inside a quoted value", "q=\"it's\"\nr='say \"hi\"'\n", 0,
       {{"q", "it's"}, {"r", "say \"hi\""}}},
      {"UTF-8 and printable bytes", "s=\xC3\xA9t\xC3\xA9~!\n", 0, {{"s", "\xC3\xA9t\xC3\xA9~!"}}},
      {"0x7F in a value", "t=a\x7F\n", -1, {}},
      {"tab ends an unquoted value", "u=a\tb\n", -1, {}},
      {"tab inside a quoted value", "v='a\tb'\n", -1, {}},
      {"text after a closing quote", "w='a'b\n", -1, {}},
      {"quote mixed kinds", "x='a\"\n", -1, {}},
      {"NUL byte in a value", std::string("y=a\0b\n", 6), -1, {}},
      {"NUL byte in a comment", std::string("y=a #\0\n", 7), 0, {{"y", "a"}}},
      {"CRLF line ends", "a=1\r\nc='x y'\r\n# c\r\n\r\nd=2 # two\r\n", 0,
       {{"a", "1"}, {"c", "x y"}, {"d", "2"}}},
      {"bare key before CRLF", "f\r\n", -1, {}},
      {"byte-order mark", "\xEF\xBB\xBF" "a=1\n", -1, {}},
      {"empty file", "", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    EXPECT_EQ(c.result, ReadText(config, c.text));
    EXPECT_EQ(c.entries, EntriesOf(config));
  }
}

TEST_F(ConfigTest, BadLineEmptiesEntriesOfEarlierReads) {
  Config config;
  ASSERT_EQ(0, ReadText(config, "a=1\n", "good.conf"));
  EXPECT_EQ(-1, ReadText(config, "b=2\nbad line\nc=3\n", "bad.conf"));
  EXPECT_EQ(Entries{}, EntriesOf(config));
}

TEST_F(ConfigTest, ReadsAddToTheStore) {
  Config config;
  ASSERT_EQ(0, ReadText(config, "a=1\nb=2\n", "one.conf"));
  ASSERT_EQ(0, ReadText(config, "b=3\nc=4\n", "two.conf"));
  EXPECT_EQ((Entries{{"a", "1"}, {"b", "3"}, {"c", "4"}}), EntriesOf(config));
}

// A path that cannot be read is a failure that leaves the store alone. A
// folder opens for reading; only the first read fails (EISDIR).
TEST_F(ConfigTest, UnreadablePathFailsAndKeepsTheStore) {
  Config config;
  ASSERT_EQ(0, ReadText(config, "a=1\n"));
  for (std::string path : {std::string(), Path("missing.conf"), Path(), std::string("/proc/self/mem")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(-1, config.read(path.c_str()));
    EXPECT_EQ((Entries{{"a", "1"}}), EntriesOf(config));
  }
}

// fgets-sized pieces of a longer line used to be parsed as lines of their own,
// so the tail of a long value could store a key of its own.
TEST_F(ConfigTest, LineLongerThanTheLimitIsBad) {
  std::string longest = "a=" + std::string(Config::kMaxLine - 2, 'v');
  Config config;
  ASSERT_EQ(0, ReadText(config, longest + "\n"));
  EXPECT_EQ((Entries{{"a", std::string(Config::kMaxLine - 2, 'v')}}), EntriesOf(config));
  // The same at the end of the file, without an end of line.
  Config last;
  ASSERT_EQ(0, ReadText(last, "b=1\n" + longest));
  EXPECT_EQ(2u, EntriesOf(last).size());

  Config too_long;
  EXPECT_EQ(-1, ReadText(too_long, "k=" + std::string(Config::kMaxLine - 2, 'v') + "x=1\n"));
  EXPECT_EQ(Entries{}, EntriesOf(too_long));
  Config long_comment;
  EXPECT_EQ(-1, ReadText(long_comment, "#" + std::string(Config::kMaxLine, ' ') + "x=1\n"));
  EXPECT_EQ(Entries{}, EntriesOf(long_comment));
}

TEST_F(ConfigTest, GetIntReadsALeadingDecimalNumber) {
  Config config;
  ASSERT_EQ(0, ReadText(config,
                        "hex=0x10\nquoted=' 7'\nneg=-3\nplus=+5\ntrail=12ab\nword=abc\nempty=''\n"));
  struct Case {
    const char* key;
    int value;
  } cases[] = {{"hex", 0},   {"quoted", 7}, {"neg", -3}, {"plus", 5},
               {"trail", 12}, {"word", 0},   {"empty", 0}};
  for (const Case& c : cases) EXPECT_EQ(c.value, config.get_int(c.key)) << c.key;

  // A missing key gives 0 and is added with an empty value.
  EXPECT_EQ(0, config.get_int("missing"));
  EXPECT_EQ("", EntriesOf(config).at("missing"));
}

TEST(ConfigParseTest, ChangesKeyAndValueOnlyForAnEntry) {
  ustring key("old key");
  ustring value("old value");
  char comment[] = "  # just a comment\n";
  EXPECT_EQ(Config::EMPTY, Config::parse(comment, sizeof comment - 1, key, value));
  char bad[] = "key value\n";
  EXPECT_EQ(Config::INVALID, Config::parse(bad, sizeof bad - 1, key, value));
  EXPECT_STREQ("old key", key.c_str_utf8());
  EXPECT_STREQ("old value", value.c_str_utf8());
  // Only `len` bytes count: the rest of the buffer is not part of the line.
  char line[] = "key=v1 tail";
  EXPECT_EQ(Config::OK, Config::parse(line, 6, key, value));
  EXPECT_STREQ("key", key.c_str_utf8());
  EXPECT_STREQ("v1", value.c_str_utf8());
}

}  // namespace
