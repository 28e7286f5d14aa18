// A session's three rule files parsed together and put in force together:
// one file that fails leaves all three lists as they were.
#include "filter/session_rule_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "foundation/logger.h"
#include "support/temp_dir.h"

namespace {

class SessionRuleFilesTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Logger::Initialize(Logger::SYSLOG_LOGGER, "", "", 50));
    // The rules in force before the reload.
    WriteFile("old-black", "[Common]\nblack_name = \"old\"\n");
    WriteFile("old-white", "[File]\nwhite_ext = \"old\"\n");
    WriteFile("old-force", "[File]\nforce_hash_ext = \"old\"\n");
    ASSERT_EQ(0, black.Load(Path("old-black")));
    ASSERT_EQ(0, white.Load(Path("old-white")));
    ASSERT_EQ(0, force.Load(Path("old-force")));
    WriteFile("black", "[Common]\nblack_name = \"new\"\n");
    WriteFile("white", "[File]\nwhite_ext = \"new\"\n");
    WriteFile("force", "[File]\nforce_hash_ext = \"new\"\n");
  }
  void TearDown() override { Logger::ResetForTest(); }

  // 1 when every list holds the old rules, 2 when every one the new, 0 for
  // a mix.
  int Generation() const {
    const bool old_rules = black.TestFilePath("/old") == FILTER_NAME && white.Test("a.old") == 0 &&
                           force.Test("a.old") == 1;
    const bool new_rules = black.TestFilePath("/new") == FILTER_NAME && white.Test("a.new") == 0 &&
                           force.Test("a.new") == 1;
    const bool old_gone = black.TestFilePath("/old") == 0 && white.Test("a.old") == -1 && force.Test("a.old") == 0;
    const bool new_absent =
        black.TestFilePath("/new") == 0 && white.Test("a.new") == -1 && force.Test("a.new") == 0;
    if (old_rules && new_absent) return 1;
    if (new_rules && old_gone) return 2;
    return 0;
  }

  BlackList2 black;
  WhiteListCpp white;
  ForceHashCheckListCpp force;
};

TEST_F(SessionRuleFilesTest, OneFileFailingNamesItAndInstallsNothing) {
  const struct {
    const char* file;
    const char* content;  // null: the file is missing
    SessionRuleFiles::RuleFile part;
  } cases[] = {
      {"black", "[Common]\nblack_prefix = \"\"\n", SessionRuleFiles::kBlackList},
      {"black", nullptr, SessionRuleFiles::kBlackList},
      {"white", "[File]\nwhite_ext = \"png\", x\n", SessionRuleFiles::kWhiteList},
      {"white", nullptr, SessionRuleFiles::kWhiteList},
      {"force", "[File]\nforce_hash_ext = \"x\"\n[Other]\n", SessionRuleFiles::kForceHashCheckList},
      {"force", nullptr, SessionRuleFiles::kForceHashCheckList},
  };
  for (const auto& c : cases) {
    const std::string good = ReadFile(c.file);
    if (c.content != nullptr) {
      WriteFile(c.file, c.content);
    } else {
      ASSERT_EQ(0, unlink(Path(c.file).c_str()));
    }
    SessionRuleFiles files;
    SessionRuleFiles::RuleFile failed = SessionRuleFiles::kBlackList;
    EXPECT_EQ(-1, files.Read(Path("black"), Path("white"), Path("force"), &failed)) << c.file;
    EXPECT_EQ(c.part, failed) << c.file;
    EXPECT_EQ(1, Generation()) << c.file;
    WriteFile(c.file, good);
  }
}

// The records put in force are the ones parsed: files removed after the
// read change nothing, and every holder switches at Install.
TEST_F(SessionRuleFilesTest, AllThreeParsedAreInstalledFromTheFirstRead) {
  SessionRuleFiles files;
  SessionRuleFiles::RuleFile failed = SessionRuleFiles::kWhiteList;
  ASSERT_EQ(0, files.Read(Path("black"), Path("white"), Path("force"), &failed));
  EXPECT_EQ(1u, files.black_list().Common.black_name.used);
  EXPECT_STREQ("new", files.white_list().File.white_ext.set[0]);
  for (const char* f : {"black", "white", "force"}) ASSERT_EQ(0, unlink(Path(f).c_str()));
  EXPECT_EQ(1, Generation());
  ASSERT_EQ(0, files.Install(black, white, force, &failed));
  EXPECT_EQ(2, Generation());
  // The records stay for the reconciliation.
  EXPECT_STREQ("new", files.black_list().Common.black_name.set[0]);
  EXPECT_STREQ("new", files.white_list().File.white_ext.set[0]);
}

// Install on one holder: the parsed record takes over and is left empty.
TEST_F(SessionRuleFilesTest, HolderInstallTakesTheParsedRecord) {
  Filter parsed;
  ASSERT_EQ(0, filter_init(&parsed));
  ASSERT_EQ(0, filter_read(&parsed, Path("black").c_str()));
  black.Install(parsed);
  EXPECT_EQ(0, black.TestFilePath("/old"));
  EXPECT_EQ(FILTER_NAME, black.TestDirectoryPath("/new"));
  EXPECT_EQ(0u, parsed.Common.black_name.used);
  filter_destroy(&parsed);

  WhiteList list;
  ASSERT_EQ(0, white_list_init(&list));
  ASSERT_EQ(0, white_list_read(&list, Path("white").c_str()));
  white.Install(list);
  EXPECT_EQ(-1, white.Test("a.old"));
  EXPECT_EQ(0, white.Test("a.NEW"));
  white_list_destroy(&list);
}

}  // namespace
