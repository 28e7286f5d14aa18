#include "filter/parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "filter/cs_filter.h"
#include "filter/white_list.h"
#include "record_text.h"
#include "support/temp_dir.h"

namespace {

using filter_test::RecordText;

struct ParseCase {
  const char* what;
  std::string text;
  parse_result result;
  const char* error;   // parser error name; "NO_ERROR" for none
  int line;            // line of the error; 0 for none
  std::string values;  // RecordText of the record afterwards
  std::string out;     // expected standard output
};

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

const std::string kMax64 = "18446744073709551615";

std::vector<ParseCase> Cases() {
  const std::string c = "[Common]\n";
  const std::string f = "[File]\n";
  return {
      // Empty and comment-only files leave the record as initialised.
      {"empty file", "", PARSE_DONE, "NO_ERROR", 0, "", ""},
      {"comments and blanks", "# a\n\n \t\v\f\r\n   # b\n", PARSE_DONE, "NO_ERROR", 0, "", ""},
      {"header only", c, PARSE_DONE, "NO_ERROR", 0, "", ""},

      // Line kinds.
      {"key before the first header", "max_size = 1\n", PARSE_ERROR, "LINE_NOT_EXPECTED", 1, "", ""},
      {"byte-order mark", "\xEF\xBB\xBF[Common]\n", PARSE_ERROR, "LINE_NOT_EXPECTED", 1, "", ""},
      {"text after header", "# x\n[Common] x\n", PARSE_ERROR, "LINE_NOT_ENDED", 2, "", ""},
      {"comment after header", "[Common]  # x\n", PARSE_DONE, "NO_ERROR", 0, "", ""},
      {"header case matters", "[common]\n", PARSE_ERROR, "SECTION_UNDEFINED_SECTION", 1, "", ""},
      {"blank in header", "[Com mon]\n", PARSE_ERROR, "SECTION_ILLEGAL_CHARACTER", 1, "", ""},
      {"header of 33 characters", "[" + std::string(33, 'a') + "]\n", PARSE_ERROR, "SECTION_TOO_LONG", 1,
       "", ""},
      {"header of 32 characters", "[" + std::string(32, 'a') + "]\n", PARSE_ERROR,
       "SECTION_UNDEFINED_SECTION", 1, "", ""},
      {"header without ]", "[Common\n", PARSE_ERROR, "SECTION_MISSING_RIGHT_BRACKET", 1, "", ""},
      {"[ alone", "[\n", PARSE_ERROR, "SECTION_MISSING_RIGHT_BRACKET", 1, "", ""},
      {"# before ]", "[Common#]\n", PARSE_ERROR, "SECTION_MISSING_RIGHT_BRACKET", 1, "", ""},
      {"empty header", "[]\n", PARSE_ERROR, "SECTION_MISSING_SECTION", 1, "", ""},
      {"key of 33 characters", c + std::string(33, 'k') + " = 1\n", PARSE_ERROR, "KEY_TOO_LONG", 2, "", ""},
      {"no key", c + "= \"a\"\n", PARSE_ERROR, "KEY_MISSING_KEY", 2, "", ""},
      {"key without =", c + "black_name \"a\"\n", PARSE_ERROR, "KEY_ILLEGAL_CHARACTER", 2, "", ""},

      // Numbers.
      {"zero is no limit", f + "max_size = 0\n", PARSE_DONE, "NO_ERROR", 0, "", ""},
      {"fraction dropped", f + "max_size = 1.5\n", PARSE_DONE, "NO_ERROR", 0, "File.max_size=1", ""},
      {"plus sign and comment", f + "max_size = +7 # seven\n", PARSE_DONE, "NO_ERROR", 0, "File.max_size=7",
       ""},
      {"leading zero", f + "max_size = 012\n", PARSE_ERROR, "VALUE_NUMERIC_ILLEGAL_SYNTAX", 2, "", ""},
      {"unit after digits", f + "max_size = 1MB\n", PARSE_ERROR, "VALUE_NUMERIC_ILLEGAL_SYNTAX", 2, "", ""},
      {"minus one is the largest value", f + "max_size = -1\n", PARSE_DONE, "NO_ERROR", 0,
       "File.max_size=" + kMax64, ""},
      {"largest value written out", f + "max_size = " + kMax64 + "\n", PARSE_DONE, "NO_ERROR", 0,
       "File.max_size=" + kMax64, ""},
      {"overflow saturates", f + "max_size = 99999999999999999999999\n", PARSE_DONE, "NO_ERROR", 0,
       "File.max_size=" + kMax64, ""},
      {"negative overflow saturates at INT64_MIN", f + "max_size = -99999999999999999999\n", PARSE_DONE,
       "NO_ERROR", 0, "File.max_size=9223372036854775808", ""},
      {"integer32 saturates", "[Version]\nmajor = 99999999999\nminor = -99999999999\n", PARSE_DONE,
       "NO_ERROR", 0, "Version.major=2147483647; Version.minor=-2147483648", ""},
      {"number missing", f + "max_size =\n", PARSE_ERROR, "VALUE_NUMERIC_MISSING_VALUE", 2, "", ""},
      {"word for a number", f + "max_size = big\n", PARSE_ERROR, "VALUE_NUMERIC_MISSING_VALUE", 2, "", ""},
      {"sign alone", f + "max_size = -\n", PARSE_ERROR, "VALUE_NUMERIC_MISSING_INTEGER_PART", 2, "", ""},
      {"fraction alone", f + "max_size = .5\n", PARSE_ERROR, "VALUE_NUMERIC_MISSING_INTEGER_PART", 2, "", ""},
      {"dot without digits", f + "max_size = 1.\n", PARSE_ERROR, "VALUE_NUMERIC_MISSING_FRACTIONAL_PART", 2,
       "", ""},
      {"second number", f + "max_size = 1 2\n", PARSE_ERROR, "LINE_NOT_ENDED", 2, "", ""},
      {"number of 511 characters", f + "max_size = " + std::string(511, '9') + "\n", PARSE_DONE, "NO_ERROR",
       0, "File.max_size=" + kMax64, ""},
      {"number of 512 characters", f + "max_size = " + std::string(512, '9') + "\n", PARSE_ERROR,
       "VALUE_TOO_LONG", 2, "", ""},

      // Quoted texts and escapes.
      {"hex and octal escapes", c + "black_char = \"\\x41\\101\\x7e\\x7E\"\n", PARSE_DONE, "NO_ERROR", 0,
       "Common.black_char=\"AA~~\"", ""},
      {"named escapes", c + "black_char = \"\\a\\b\\f\\n\\r\\t\\v\\'\\\"\\\\\\?\"\n", PARSE_DONE, "NO_ERROR",
       0, "Common.black_char=\"\\x07\\x08\\x0C\\x0A\\x0D\\x09\\x0B'\\x22\\x5C?\"", ""},
      {"octal above 0377", c + "black_char = \"\\400\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2,
       "", ""},
      {"bad hex digit", c + "black_char = \"\\x4g\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2, "",
       ""},
      {"unknown escape", c + "black_char = \"\\q\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2, "",
       ""},
      {"backslash at end of line", c + "black_char = \"a\\\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER",
       2, "", ""},
      {"tab inside quotes", c + "black_char = \"a\tb\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2,
       "", ""},
      {"DEL inside quotes", c + "black_char = \"a\x7F\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2,
       "", ""},
      {"UTF-8 and # inside quotes", c + "black_char = \"\xC3\xA9#\"\n", PARSE_DONE, "NO_ERROR", 0,
       "Common.black_char=\"\\xC3\\xA9#\"", ""},
      {"empty text", c + "black_prefix = \"\"\n", PARSE_ERROR, "VALUE_STRING_EMPTY", 2, "", ""},
      {"string key without value", c + "black_char =\n", PARSE_ERROR, "VALUE_STRING_MISSING_LEFT_QUOTE", 2, "",
       ""},
      {"set key without value", c + "black_name = \n", PARSE_ERROR, "VALUE_STRING_MISSING_LEFT_QUOTE", 2, "",
       ""},
      {"unquoted text", c + "black_name = a\n", PARSE_ERROR, "VALUE_STRING_MISSING_LEFT_QUOTE", 2, "", ""},
      {"text of 512 bytes", c + "black_char = \"" + std::string(512, 'x') + "\"\n", PARSE_DONE, "NO_ERROR", 0,
       "Common.black_char=\"" + std::string(512, 'x') + "\"", ""},
      {"text of 512 bytes from escapes", c + "black_char = \"" + Repeat("\\x41", 512) + "\"\n", PARSE_DONE,
       "NO_ERROR", 0, "Common.black_char=\"" + std::string(512, 'A') + "\"", ""},
      {"text of 513 bytes", c + "black_char = \"" + std::string(513, 'x') + "\"\n", PARSE_ERROR,
       "VALUE_TOO_LONG", 2, "", ""},
      {"string replaced", c + "black_char = \"a\"\nblack_char = \"b\"\n", PARSE_DONE, "NO_ERROR", 0,
       "Common.black_char=\"b\"", ""},
      {"text after string", c + "black_char = \"a\", \"b\"\n", PARSE_ERROR, "LINE_NOT_ENDED", 2, "", ""},

      // NUL bytes: an escape giving 0 would leave an empty entry that blocks
      // every path; a raw NUL never ends a line.
      {"hex escape of NUL", c + "black_prefix = \"\\x00\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2,
       "", ""},
      {"octal escape of NUL", c + "black_dir_prefix = \"\\000\"\n", PARSE_ERROR,
       "VALUE_STRING_ILLEGAL_CHARACTER", 2, "", ""},
      {"raw NUL inside quotes", c + "black_prefix = \"a" + std::string(1, '\0') + "b\"\n", PARSE_ERROR,
       "VALUE_STRING_ILLEGAL_CHARACTER", 2, "", ""},
      {"raw NUL after a value", c + "black_name = \"a\"" + std::string(1, '\0') + ", \"b\"\n", PARSE_ERROR,
       "VALUE_SET_MISSING_SEPARATER", 2, "Common.black_name=[\"a\"]", ""},
      {"raw NUL before a key", c + std::string(1, '\0') + "max_length = 1\n", PARSE_ERROR, "KEY_MISSING_KEY", 2,
       "", ""},
      {"raw NUL in a comment", c + "# a" + std::string(1, '\0') + "\nmax_length = 3\n", PARSE_DONE, "NO_ERROR",
       0, "Common.max_length=3", ""},

      // Sets.
      {"set over three lines", c + "black_name = \"a\", \"b\",\n\n  # between\n\"c\",  # more\n \"d\"\n",
       PARSE_DONE, "NO_ERROR", 0, "Common.black_name=[\"a\",\"b\",\"c\",\"d\"]", ""},
      {"repeated set key adds", c + "black_name = \"a\"\nblack_name = \"a\", \"b\"\n", PARSE_DONE, "NO_ERROR",
       0, "Common.black_name=[\"a\",\"a\",\"b\"]", ""},
      {"trailing comma then header", c + "black_name = \"a\",\n[File]\n", PARSE_ERROR, "LINE_NOT_EXPECTED", 3,
       "Common.black_name=[\"a\"]", ""},
      {"trailing comma then key", c + "black_name = \"a\",\nmax_length = 1\n", PARSE_ERROR,
       "LINE_NOT_EXPECTED", 3, "Common.black_name=[\"a\"]", ""},
      {"trailing comma at end of file", c + "black_name = \"a\",", PARSE_DONE, "NO_ERROR", 0,
       "Common.black_name=[\"a\"]", ""},
      {"values before an error stay", c + "black_name = \"a\", \"b\" x\n", PARSE_ERROR,
       "VALUE_SET_MISSING_SEPARATER", 2, "Common.black_name=[\"a\",\"b\"]", ""},
      {"comma then garbage", c + "black_name = \"a\", b\n", PARSE_ERROR, "VALUE_STRING_MISSING_LEFT_QUOTE", 2,
       "Common.black_name=[\"a\"]", ""},
      {"continuation outside a set", c + "black_name = \"a\"\n\"b\"\n", PARSE_ERROR, "KEY_MISSING_KEY", 3,
       "Common.black_name=[\"a\"]", ""},

      // Unknown keys: a warning, the rest of the line skipped, no set left open.
      {"unknown key", c + "black_ext = \"tmp\"\nmax_length = 9\n", PARSE_PARTIAL, "NO_ERROR", 0,
       "Common.max_length=9", "warning: unknown key (black_ext)\n"},
      {"unknown key needs =", c + "colour blue\n", PARSE_ERROR, "KEY_ILLEGAL_CHARACTER", 2, "",
       "warning: unknown key (colour)\n"},
      {"unknown set key leaves no set open", c + "colour = \"a\",\n\"b\"\n", PARSE_ERROR, "KEY_MISSING_KEY", 3,
       "", "warning: unknown key (colour)\n"},

      // Line endings and lengths.
      {"CRLF lines", "[Common]\r\nblack_name = \"a\",\r\n  \"b\"\r\nmax_length = 4\r\n", PARSE_DONE,
       "NO_ERROR", 0, "Common.black_name=[\"a\",\"b\"]; Common.max_length=4", ""},
      {"CRLF unterminated quote", "[Common]\r\nblack_name = \"a\r\n", PARSE_ERROR,
       "VALUE_STRING_MISSING_RIGHT_QUOTE", 2, "", ""},
      {"lone CR inside quotes", c + "black_name = \"a\rb\"\n", PARSE_ERROR, "VALUE_STRING_ILLEGAL_CHARACTER", 2,
       "", ""},
      {"no final newline", c + "black_name = \"a\"", PARSE_DONE, "NO_ERROR", 0, "Common.black_name=[\"a\"]",
       ""},
      {"unterminated quote at end of file", c + "black_name = \"abc", PARSE_ERROR,
       "VALUE_STRING_MISSING_RIGHT_QUOTE", 2, "", ""},
      {"line feed inside quotes", c + "black_name = \"ab\ncd\"\n", PARSE_ERROR, "VALUE_STRING_MISSING_RIGHT_QUOTE",
       2, "", ""},
      // A long comment used to be split into 1024-byte reads, the rest of it
      // parsed as a line of its own.
      {"long comment is one line", f + "#" + std::string(1023, 'x') + "max_size = 1\n", PARSE_DONE, "NO_ERROR",
       0, "", ""},
      {"line numbers count physical lines", f + "#" + std::string(3000, 'x') + "\n\"x\"\n", PARSE_ERROR,
       "KEY_MISSING_KEY", 3, "", ""},
      {"long set line", c + "black_name = " + Repeat("\"abcdefghij\", ", 199) + "\"z\"\n", PARSE_DONE,
       "NO_ERROR", 0, "Common.black_name=[" + Repeat("\"abcdefghij\",", 199) + "\"z\"]", ""},
      {"line of 64 KiB", f + "#" + std::string(65535, 'x') + "\nmax_size = 2\n", PARSE_DONE, "NO_ERROR", 0,
       "File.max_size=2", ""},
      {"CRLF line of 64 KiB", f + "#" + std::string(65535, 'x') + "\r\nmax_size = 2\n", PARSE_DONE, "NO_ERROR",
       0, "File.max_size=2", ""},
      {"line over 64 KiB", f + "#" + std::string(65536, 'x') + "\nmax_size = 2\n", PARSE_ERROR,
       "VALUE_TOO_LONG", 2, "", ""},
      {"last line over 64 KiB", f + "#" + std::string(65536, 'x'), PARSE_ERROR, "VALUE_TOO_LONG", 2, "", ""},

      // A whole file.
      {"every section",
       "[Version]\nmajor = 1\nminor = 0\n\n[Common]\nblack_char = \"\\\\/:*?\\\"<>|\"\n"
       "black_prefix = \"~$\"\nblack_dir_prefix = \"/tmp\"\nblack_name = \"Thumbs.db\"\n"
       "black_path_prefix_selective_sync = \"/big\"\nmax_length = 255\nmax_path = 260\n\n"
       "[File]\nblack_char = \"%\"\nblack_ext = \"tmp\", \"part\"\nblack_name = \"desktop.ini\"\n"
       "black_prefix = \".~\"\nblack_ext_selective_sync = \"iso\"\nblack_name_selective_sync = \"core\"\n"
       "max_size = 100\nmax_size_selective_sync = 50\n\n"
       "[Directory]\nblack_char = \"!\"\nblack_name = \"$RECYCLE.BIN\"\nblack_prefix = \"@\"\n\n"
       "[EA]\nblack_ea_name = \"com.apple.quarantine\"\n",
       PARSE_DONE, "NO_ERROR", 0,
       "Version.major=1; Common.black_char=\"\\x5C/:*?\\x22<>|\"; Common.black_prefix=[\"~$\"]; "
       "Common.black_dir_prefix=[\"/tmp\"]; Common.black_name=[\"Thumbs.db\"]; "
       "Common.black_path_prefix_selective_sync=[\"/big\"]; Common.max_length=255; Common.max_path=260; "
       "File.black_char=\"%\"; File.black_ext=[\"tmp\",\"part\"]; File.black_name=[\"desktop.ini\"]; "
       "File.black_prefix=[\".~\"]; File.black_ext_selective_sync=[\"iso\"]; "
       "File.black_name_selective_sync=[\"core\"]; File.max_size=100; File.max_size_selective_sync=50; "
       "Directory.black_char=\"!\"; Directory.black_name=[\"$RECYCLE.BIN\"]; Directory.black_prefix=[\"@\"]; "
       "EA.black_ea_name=[\"com.apple.quarantine\"]",
       ""},
  };
}

class ParserTest : public testsupport::TempDirTest {};

TEST_F(ParserTest, Table) {
  for (const ParseCase& tc : Cases()) {
    SCOPED_TRACE(tc.what);
    WriteFile("rules.filter", tc.text);
    Filter filter;
    filter_init(&filter);
    parse_report report{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parse_result result = parse(Path("rules.filter").c_str(), &cs_filter_schema, &filter, &report);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(tc.result, result);
    EXPECT_EQ(tc.result, report.result);
    EXPECT_STREQ(tc.error, get_parser_error_string(report.error));
    EXPECT_EQ(tc.line, report.line);
    EXPECT_EQ(0, report.open_errno);
    EXPECT_EQ(tc.values, RecordText(cs_filter_schema, &filter));
    EXPECT_EQ(tc.out, out);
    std::string expected_err =
        tc.line == 0 ? "" : "parser: " + std::string(tc.error) + " at line " + std::to_string(tc.line) + "\n";
    EXPECT_EQ(expected_err, err);
    filter_destroy(&filter);
  }
}

TEST_F(ParserTest, OtherSchemaKnowsOnlyItsOwnSections) {
  WriteFile("w.filter", "[File]\nwhite_ext = \"jpg\", \"png\"\n[Common]\n");
  WhiteList list;
  white_list_init(&list);
  parse_report report{};
  testing::internal::CaptureStderr();
  EXPECT_EQ(PARSE_ERROR, parse(Path("w.filter").c_str(), &white_list_schema, &list, &report));
  EXPECT_EQ("parser: SECTION_UNDEFINED_SECTION at line 3\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ("File.white_ext=[\"jpg\",\"png\"]", RecordText(white_list_schema, &list));
  white_list_destroy(&list);
}

// Only regular files are read; anything else fails like a missing file,
// silently, without blocking (a FIFO with no writer would block an open).
TEST_F(ParserTest, UnreadablePathsFailWithoutMessage) {
  ASSERT_EQ(0, mkdir(Path("folder").c_str(), 0700));
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  struct Case {
    std::string path;
    int open_errno;
  } cases[] = {
      {Path("missing.filter"), ENOENT},
      {Path("folder"), EISDIR},
      {Path("fifo"), EINVAL},
      {"/dev/zero", EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Filter filter;
    filter_init(&filter);
    parse_report report{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(PARSE_ERROR, parse(c.path.c_str(), &cs_filter_schema, &filter, &report));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(NO_ERROR, report.error);
    EXPECT_EQ(0, report.line);
    EXPECT_EQ(c.open_errno, report.open_errno);
    filter_destroy(&filter);
  }
}

TEST(ParserErrorString, NamesAndUnknownCodes) {
  EXPECT_STREQ("NO_ERROR", get_parser_error_string(NO_ERROR));
  EXPECT_STREQ("VALUE_SET_MISSING_SEPARATER", get_parser_error_string(VALUE_SET_MISSING_SEPARATER));
  EXPECT_STREQ("INTERNAL_ERROR", get_parser_error_string(INTERNAL_ERROR));
  EXPECT_STREQ("Unknown error", get_parser_error_string(MAX_ERROR_CODE));
  EXPECT_STREQ("Unknown error", get_parser_error_string(-1));
}

// A stream that fails mid-file must not pass as a complete parse.
TEST(ParserStream, ReadErrorIsAnError) {
  // A write-only stream: every read fails and sets the error indicator.
  FILE* fp = tmpfile();
  ASSERT_NE(nullptr, fp);
  FILE* wfp = fdopen(dup(fileno(fp)), "w");
  ASSERT_NE(nullptr, wfp);
  fclose(fp);
  Filter filter;
  filter_init(&filter);
  parse_report report{};
  testing::internal::CaptureStderr();
  EXPECT_EQ(PARSE_ERROR, parse_stream(wfp, &cs_filter_schema, &filter, &report));
  EXPECT_EQ("parser: INTERNAL_ERROR at line 1\n", testing::internal::GetCapturedStderr());
  fclose(wfp);
  filter_destroy(&filter);
}

}  // namespace
