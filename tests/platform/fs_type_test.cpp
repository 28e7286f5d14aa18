#include "platform/fs_type.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/temp_dir.h"

namespace {

using platform::CaseRule;

TEST(FsTypeTest, ClassifiesFileSystemsForTheCaseCheck) {
  struct Case {
    unsigned long magic;
    bool casefold;
    CaseRule rule;
    bool fat;
    const char* name;
  } cases[] = {
      {0x4d44, false, CaseRule::kInsensitive, true, "vfat"},
      {0x2011BAB0, false, CaseRule::kInsensitive, true, "exfat"},
      {0x7366746e, false, CaseRule::kInsensitive, false, "ntfs3"},
      {0xFF534D42, false, CaseRule::kInsensitive, false, "cifs"},
      {0xFE534D42, false, CaseRule::kInsensitive, false, "smb2"},
      {0xEF53, false, CaseRule::kSensitive, false, "ext4"},
      {0xEF53, true, CaseRule::kPerFolder, false, "ext4"},
      {0xF2F52010, false, CaseRule::kSensitive, false, "f2fs"},
      {0xF2F52010, true, CaseRule::kPerFolder, false, "f2fs"},
      {0x01021994, true, CaseRule::kSensitive, false, "tmpfs"},
      {0x58465342, false, CaseRule::kSensitive, false, "xfs"},
      {0x12345678, false, CaseRule::kSensitive, false, "0x12345678"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.rule, platform::CaseRuleOfType(c.magic, c.casefold));
    EXPECT_EQ(c.fat, platform::IsFatType(c.magic));
    // Only vfat caps a file below 4 GiB; exFAT holds larger ones.
    EXPECT_EQ(c.magic == 0x4d44, platform::IsVfatType(c.magic));
    EXPECT_EQ(c.name, platform::FsTypeName(c.magic));
  }
}

TEST(FsTypeTest, ReadsTypeOfPathOrReportsErrno) {
  testsupport::TempDir tmp;
  unsigned long type = 0;
  ASSERT_EQ(0, platform::FsTypeOfPath(tmp.path().c_str(), &type));
  EXPECT_NE(0ul, type);
  EXPECT_FALSE(platform::IsFatType(type));
  EXPECT_EQ(ENOENT, platform::FsTypeOfPath((tmp.path() + "/missing").c_str(), &type));
}

TEST(FsTypeTest, TestAnswerStandsInForEveryPathUntilCleared) {
  testsupport::TempDir tmp;
  const unsigned long vfat = 0x4d44;
  platform::SetFsTypeForTest(&vfat);
  unsigned long type = 0;
  EXPECT_EQ(0, platform::FsTypeOfPath((tmp.path() + "/missing").c_str(), &type));
  EXPECT_EQ(vfat, type);
  platform::SetFsTypeForTest(nullptr);
  EXPECT_EQ(ENOENT, platform::FsTypeOfPath((tmp.path() + "/missing").c_str(), &type));
  ASSERT_EQ(0, platform::FsTypeOfPath(tmp.path().c_str(), &type));
  EXPECT_NE(vfat, type);
}

}  // namespace
