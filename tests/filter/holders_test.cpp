// The rule-list holders: reloads, failed reloads, copies and rule editing.
#include <gtest/gtest.h>

#include <string>

#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "foundation/logger.h"
#include "record_text.h"
#include "support/temp_dir.h"

namespace {

using filter_test::RecordText;

const char kRulesA[] = "[Common]\nblack_name = \"a\"\n[File]\nmax_size = 10\n";
const char kRulesB[] = "[Common]\nblack_name = \"b\"\n[File]\nmax_size = 20\n";
const char kBroken[] = "[Common]\nblack_name = \"b\"\nblack_prefix = \"\"\n";
const char kOldWithUnknownKey[] = "[Version]\nmajor = 1\nminor = 0\n[Common]\nblack_ext = \"b\"\n";

class HoldersTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    // Undecorated log lines on stderr, so the test can read them exactly.
    ASSERT_EQ(0, Logger::Initialize(Logger::SYSLOG_LOGGER, "", "", 50));
  }
  void TearDown() override { Logger::ResetForTest(); }

  // Runs `load` and returns what it wrote to stdout and stderr, with the
  // source line numbers of log tags replaced by N.
  template <typename F>
  std::string Output(F load) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    load();
    std::string out = testing::internal::GetCapturedStdout();
    out += testing::internal::GetCapturedStderr();
    return WithoutLineNumbers(out);
  }

  // "tag(123): " becomes "tag(N): ".
  static std::string WithoutLineNumbers(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      size_t j = i + 1;
      while (s[i] == '(' && j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
      if (j > i + 1 && s.compare(j, 3, "): ") == 0) {
        out += "(N";
        i = j - 1;
      } else {
        out += s[i];
      }
    }
    return out;
  }
};

// A reload that fails keeps the rules in force: one mistyped file must not
// switch off a running session's exclusions.
TEST_F(HoldersTest, BlackListFailedLoadKeepsThePreviousRules) {
  WriteFile("a.filter", kRulesA);
  WriteFile("broken.filter", kBroken);
  WriteFile("old.filter", kOldWithUnknownKey);
  BlackList2 list;
  ASSERT_EQ(0, list.Load(Path("a.filter")));
  ASSERT_EQ(FILTER_NAME, list.TestFilePath("/x/a"));

  const std::string broken = Path("broken.filter");
  EXPECT_EQ("parser: VALUE_STRING_EMPTY at line 3\n"
            "[ERROR] black_list2(N): rule file '" + broken +
                "': VALUE_STRING_EMPTY at line 3; the previous rules stay in force\n",
            Output([&] { EXPECT_EQ(-1, list.Load(broken)); }));

  const std::string missing = Path("missing.filter");
  EXPECT_EQ("[ERROR] black_list2(N): cannot open rule file '" + missing +
                "' (No such file or directory); the previous rules stay in force\n",
            Output([&] { EXPECT_EQ(-1, list.Load(missing)); }));

  const std::string old = Path("old.filter");
  EXPECT_EQ("warning: unknown key (black_ext)\n"
            "[ERROR] black_list2(N): rule file '" + old +
                "' has unknown keys and is not version 1.1 or later; the previous rules stay in force\n",
            Output([&] { EXPECT_EQ(-1, list.Load(old)); }));

  EXPECT_EQ(FILTER_NAME, list.TestFilePath("/x/a"));
  EXPECT_EQ(FILTER_NAME, list.TestDirectoryPath("/a"));
  EXPECT_EQ(0, list.TestFilePath("/x/b"));
  EXPECT_EQ(FILTER_FILE_SIZE, list.TestFileSize(11));
}

TEST_F(HoldersTest, BlackListLoadSwitchesBetweenGoodFiles) {
  WriteFile("a.filter", kRulesA);
  WriteFile("b.filter", kRulesB);
  BlackList2 list;
  EXPECT_EQ(0, list.TestFilePath("/a"));  // empty until loaded
  ASSERT_EQ(0, list.Load(Path("a.filter")));
  ASSERT_EQ(0, list.Load(Path("b.filter")));
  EXPECT_EQ(0, list.TestFilePath("/a"));
  EXPECT_EQ(FILTER_NAME, list.TestFilePath("/b"));
  EXPECT_EQ(0, list.TestFileSize(20));
  EXPECT_EQ(FILTER_FILE_SIZE, list.TestFileSize(21));
}

TEST_F(HoldersTest, BlackListFirstLoadFailingLeavesItEmpty) {
  BlackList2 list;
  Output([&] { EXPECT_EQ(-1, list.Load(Path("missing.filter"))); });
  EXPECT_EQ(0, list.TestFilePath("/anything"));
  EXPECT_EQ(FILTER_ERROR, list.TestFilePath("relative"));
  EXPECT_EQ(0, list.TestFileSize(UINT64_MAX));
  EXPECT_EQ(0, list.TestFullPathSize(UINT64_MAX));
}

TEST_F(HoldersTest, BlackListDestroyAndClearEmptyTheListAndLoadStillWorks) {
  WriteFile("a.filter", "[Common]\nblack_name = \"a\"\nmax_path = 5\n");
  BlackList2 list;
  ASSERT_EQ(0, list.Load(Path("a.filter")));
  EXPECT_EQ(FILTER_PATH_SIZE, list.TestFullPathSize(6));
  list.Destroy();
  EXPECT_EQ(0, list.TestFilePath("/a"));
  EXPECT_EQ(0, list.TestFullPathSize(6));
  ASSERT_EQ(0, list.Load(Path("a.filter")));
  EXPECT_EQ(FILTER_NAME, list.TestFilePath("/a"));
  list.Clear();
  EXPECT_EQ(0, list.TestFilePath("/a"));
  EXPECT_EQ(0, list.GetMajorVersion());
}

TEST_F(HoldersTest, BlackListCopiesAreDeepAndSelfAssignmentIsHarmless) {
  WriteFile("a.filter", "[Version]\nmajor = 1\nminor = 3\n[Common]\nblack_name = \"a\"\n");
  WriteFile("b.filter", kRulesB);
  BlackList2 a;
  ASSERT_EQ(0, a.Load(Path("a.filter")));
  BlackList2 copy(a);
  BlackList2 assigned;
  assigned = a;
  BlackList2& self = a;
  a = self;  // used to deadlock on its own mutex
  ASSERT_EQ(0, a.Load(Path("b.filter")));
  for (const BlackList2* list : {&copy, &assigned}) {
    EXPECT_EQ(FILTER_NAME, list->TestFilePath("/a"));
    EXPECT_EQ(0, list->TestFilePath("/b"));
    EXPECT_EQ(1, list->GetMajorVersion());
    EXPECT_EQ(3, list->GetMinorVersion());
  }
  EXPECT_EQ(FILTER_NAME, a.TestFilePath("/b"));
}

TEST_F(HoldersTest, BlackListWriteReadsBack) {
  WriteFile("a.filter", kRulesA);
  BlackList2 list;
  ASSERT_EQ(0, list.Load(Path("a.filter")));
  ASSERT_EQ(0, list.Write(Path("out.filter")));
  BlackList2 again;
  ASSERT_EQ(0, again.Load(Path("out.filter")));
  Filter* x = list.GetFilter();
  Filter* y = again.GetFilter();
  EXPECT_EQ(RecordText(cs_filter_schema, x), RecordText(cs_filter_schema, y));
  again.ReturnFilter();
  list.ReturnFilter();
  EXPECT_EQ(-1, list.Write(Path("no/folder/out.filter")));
}

// The holder keeps derived tables of its rules; edits through GetFilter must
// be seen by the next test.
TEST_F(HoldersTest, BlackListSeesRulesEditedThroughGetFilter) {
  BlackList2 list;
  Filter* f = list.GetFilter();
  ASSERT_EQ(0, BlackList2::InsertFilter(&f->Common, FILTER_NAME, ustring("Secret")));
  ASSERT_EQ(0, BlackList2::InsertFilter(&f->Common, FILTER_CHAR, ustring("!")));
  list.ReturnFilter();
  EXPECT_EQ(FILTER_NAME, list.TestFilePath("/a/secret"));
  EXPECT_EQ(FILTER_CHAR, list.TestDirectoryPath("/a!"));
}

TEST_F(HoldersTest, GetInstanceIsOneObject) {
  EXPECT_NE(nullptr, BlackList2::getInstance());
  EXPECT_EQ(BlackList2::getInstance(), BlackList2::getInstance());
}

TEST(BlackListEditing, InsertRemoveAndExist) {
  Filter f;
  filter_init(&f);
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Version, 1, 2));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_PATH_SIZE, 260ull));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_LENGTH, 255ull));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.Common, FILTER_FILE_SIZE, 1ull));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.File, FILTER_FILE_SIZE, 9ull));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.File, FILTER_FILE_SIZE_SELECTIVE_SYNC, 8ull));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.File, FILTER_PATH_SIZE, 1ull));

  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_DIR_PREFIX, ustring("/Tmp")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_DIR_PREFIX, ustring("/tmp")));  // present
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, ustring("/big")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_NAME, ustring("n")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_PREFIX, ustring("~")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_CHAR, ustring(":")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Common, FILTER_CHAR, ustring("|")));  // replaces
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.Common, FILTER_EXT, ustring("x")));
  // An empty entry would block every path of the session.
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.Common, FILTER_PREFIX, ustring("")));
  ustring with_nul("ab");
  with_nul[1] = '\0';
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.Common, FILTER_DIR_PREFIX, with_nul));

  for (int code : {FILTER_NAME_SELECTIVE_SYNC, FILTER_EXT_SELECTIVE_SYNC, FILTER_EXT, FILTER_NAME,
                   FILTER_PREFIX}) {
    EXPECT_EQ(0, BlackList2::InsertFilter(&f.File, code, ustring("v")));
  }
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.File, FILTER_DIR_PREFIX, ustring("v")));
  EXPECT_EQ(0, BlackList2::InsertFilter(&f.Directory, FILTER_NAME, ustring("d")));
  EXPECT_EQ(-1, BlackList2::InsertFilter(&f.Directory, FILTER_PREFIX, ustring("d")));

  EXPECT_EQ(
      "Version.major=1; Version.minor=2; Common.black_char=\"|\"; Common.black_prefix=[\"~\"]; "
      "Common.black_dir_prefix=[\"/Tmp\"]; Common.black_name=[\"n\"]; "
      "Common.black_path_prefix_selective_sync=[\"/big\"]; Common.max_length=255; Common.max_path=260; "
      "File.black_ext=[\"v\"]; File.black_name=[\"v\"]; File.black_prefix=[\"v\"]; "
      "File.black_ext_selective_sync=[\"v\"]; File.black_name_selective_sync=[\"v\"]; File.max_size=9; "
      "File.max_size_selective_sync=8; Directory.black_name=[\"d\"]",
      RecordText(cs_filter_schema, &f));

  EXPECT_TRUE(BlackList2::StringSetValueExist(&f.Common.black_dir_prefix, "/TMP"));
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f.Common, FILTER_DIR_PREFIX, ustring("/tmp")));  // byte for byte
  EXPECT_TRUE(BlackList2::StringSetValueExist(&f.Common.black_dir_prefix, "/tmp"));
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f.Common, FILTER_DIR_PREFIX, ustring("/Tmp")));
  EXPECT_FALSE(BlackList2::StringSetValueExist(&f.Common.black_dir_prefix, "/tmp"));
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f.Common, FILTER_PREFIX, ustring("~")));
  EXPECT_EQ(-1, BlackList2::RemoveFilter(&f.Common, FILTER_NAME, ustring("n")));
  EXPECT_EQ(0, BlackList2::RemoveFilter(&f.File, FILTER_EXT_SELECTIVE_SYNC, ustring("v")));
  EXPECT_EQ(-1, BlackList2::RemoveFilter(&f.File, FILTER_EXT, ustring("v")));
  EXPECT_EQ(0u, f.Common.black_prefix.used);
  EXPECT_EQ(0u, f.File.black_ext_selective_sync.used);
  filter_destroy(&f);
}

TEST_F(HoldersTest, WhiteListFailedLoadKeepsThePreviousList) {
  WriteFile("w.filter", "[File]\nwhite_ext = \"jpg\"\n");
  WriteFile("w2.filter", "[File]\nwhite_ext = \"png\"\n");
  WriteFile("broken.filter", "[File]\nwhite_ext = \"png\", x\n");
  WhiteListCpp list;
  EXPECT_EQ(-1, list.Test("a.jpg"));  // empty: nothing let through
  ASSERT_EQ(0, list.Load(Path("w.filter")));
  EXPECT_EQ(0, list.Test("a.JPG"));
  const std::string broken = Path("broken.filter");
  EXPECT_EQ("parser: VALUE_STRING_MISSING_LEFT_QUOTE at line 2\n"
            "[ERROR] white_list_cpp(N): rule file '" + broken +
                "': VALUE_STRING_MISSING_LEFT_QUOTE at line 2; the previous rules stay in force\n",
            Output([&] { EXPECT_EQ(-1, list.Load(broken)); }));
  Output([&] { EXPECT_EQ(-1, list.Load(Path("missing"))); });
  EXPECT_EQ(0, list.Test("a.jpg"));
  EXPECT_EQ(-1, list.Test("a.png"));
  ASSERT_EQ(0, list.Load(Path("w2.filter")));
  EXPECT_EQ(-1, list.Test("a.jpg"));
  EXPECT_EQ(0, list.Test("a.png"));
  EXPECT_EQ(-1, list.Test(""));
  list.Clear();
  EXPECT_EQ(-1, list.Test("a.png"));
}

TEST_F(HoldersTest, ForceHashListFailedLoadKeepsThePreviousList) {
  WriteFile("f.filter", "[File]\nforce_hash_ext = \"doc\"\n");
  WriteFile("broken.filter", "[File]\nforce_hash_ext = \"xls\"\n[Other]\n");
  ForceHashCheckListCpp list;
  EXPECT_EQ(0, list.Test("a.doc"));  // empty: forces nothing
  ASSERT_EQ(0, list.Load(Path("f.filter")));
  EXPECT_EQ(1, list.Test("a.doc"));
  const std::string broken = Path("broken.filter");
  EXPECT_EQ("parser: SECTION_UNDEFINED_SECTION at line 3\n"
            "[ERROR] force_hash_check_list_cpp(N): rule file '" + broken +
                "': SECTION_UNDEFINED_SECTION at line 3; the previous rules stay in force\n",
            Output([&] { EXPECT_EQ(-1, list.Load(broken)); }));
  EXPECT_EQ(1, list.Test("a.doc"));
  EXPECT_EQ(0, list.Test("a.xls"));
  EXPECT_EQ(-1, list.Test(""));
  list.Clear();
  EXPECT_EQ(0, list.Test("a.doc"));
}

}  // namespace
