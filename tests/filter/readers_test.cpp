// The record readers: which parses they accept, and that a refused parse
// leaves the record empty.
#include <gtest/gtest.h>

#include <string>

#include "filter/cs_filter.h"
#include "filter/force_hash_check_list.h"
#include "filter/parser.h"
#include "filter/white_list.h"
#include "record_text.h"
#include "support/temp_dir.h"

namespace {

using filter_test::RecordText;

class ReadersTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  }
};

TEST_F(ReadersTest, FilterReadAcceptsCompleteOrNewerPartialFiles) {
  const std::string body = "[Common]\nblack_ext = \"tmp\"\nblack_name = \"x\"\n";
  struct Case {
    const char* what;
    std::string text;
    int result;
    std::string values;
  } cases[] = {
      {"complete, no version", "[Common]\nblack_name = \"x\"\n", 0, "Common.black_name=[\"x\"]"},
      {"complete, version 7.3", "[Version]\nmajor = 7\nminor = 3\n", 0, "Version.major=7; Version.minor=3"},
      {"unknown key in 1.0", "[Version]\nmajor = 1\nminor = 0\n" + body, -1, ""},
      {"unknown key in 1.1", "[Version]\nmajor = 1\nminor = 1\n" + body, 0,
       "Version.major=1; Version.minor=1; Common.black_name=[\"x\"]"},
      {"unknown key in 2.1", "[Version]\nmajor = 2\nminor = 1\n" + body, -1, ""},
      {"unknown key, no version", body, -1, ""},
      {"syntax error after values", "[Common]\nblack_name = \"x\"\nmax_length = x\n", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile("b.filter", c.text);
    Filter filter;
    filter_init(&filter);
    EXPECT_EQ(c.result, filter_read(&filter, Path("b.filter").c_str()));
    EXPECT_EQ(c.values, RecordText(cs_filter_schema, &filter));
    if (c.result != 0) {
      // Emptied: no set storage left.
      EXPECT_EQ(nullptr, filter.Common.black_name.set);
      EXPECT_EQ(0u, filter.Common.black_name.capacity);
    }
    filter_destroy(&filter);
  }
}

TEST_F(ReadersTest, MissingFileFailsAndReportsErrno) {
  Filter filter;
  filter_init(&filter);
  parse_report report{};
  EXPECT_EQ(-1, filter_read(&filter, Path("none").c_str(), &report));
  EXPECT_EQ(PARSE_ERROR, report.result);
  EXPECT_EQ(ENOENT, report.open_errno);
  filter_destroy(&filter);
}

TEST_F(ReadersTest, WhiteAndForceHashListsFollowTheSameRule) {
  WriteFile("w.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"jpg\"\n");
  WhiteList white;
  white_list_init(&white);
  EXPECT_EQ(0, white_list_read(&white, Path("w.filter").c_str()));
  EXPECT_EQ("Version.major=1; File.white_ext=[\"jpg\"]", RecordText(white_list_schema, &white));
  white_list_destroy(&white);

  WriteFile("f.filter", "[File]\nforce_hash_ext = \"doc\"\ncolour = \"red\"\n");
  ForceHashCheckList force;
  force_hash_check_list_init(&force);
  parse_report report{};
  EXPECT_EQ(-1, force_hash_check_list_read(&force, Path("f.filter").c_str(), &report));
  EXPECT_EQ(PARSE_PARTIAL, report.result);
  EXPECT_EQ("", RecordText(force_hash_check_list_schema, &force));
  force_hash_check_list_destroy(&force);
}

TEST(FilterCopy, DeepCopiesEveryField) {
  Filter from, to;
  filter_init(&from);
  filter_init(&to);
  from.Version = {1, 2};
  vt_string_assign(&from.Common.black_char, ":");
  vt_string_set_insert(&from.Common.black_path_prefix_selective_sync, "/a");
  vt_string_set_insert(&from.File.black_name_selective_sync, "n");
  vt_string_set_insert(&from.EA.black_ea_name, "ea");
  from.File.max_size_selective_sync = 5;
  from.Common.max_path = 6;
  vt_string_set_insert(&to.Directory.black_name, "replaced");
  ASSERT_EQ(0, filter_copy(&to, &from));
  EXPECT_EQ(RecordText(cs_filter_schema, &from), RecordText(cs_filter_schema, &to));
  EXPECT_NE(from.Common.black_char.str, to.Common.black_char.str);
  filter_destroy(&from);
  filter_destroy(&to);
}

}  // namespace
