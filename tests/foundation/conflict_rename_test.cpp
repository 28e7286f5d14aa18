#include "foundation/conflict_rename.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "platform/local_time.h"
#include "support/temp_dir.h"

namespace {

// Oracle: LC_ALL=C TZ=UTC date -d @1362665100 '+%b-%d-%H%M-%Y'
const std::string kTime = "Mar-07-1405-2013";
time_t FixedClock() { return 1362665100; }

class ConflictRenameTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClockForTest(&FixedClock);
    WriteFile("levels", "conflict_rename_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("log").c_str(),
                                    Path("levels").c_str(), 50));
    MakeDir("s");
  }
  void TearDown() override {
    platform::SetClockForTest(nullptr);
    Logger::ResetForTest();
  }

  void MakeDir(const std::string& rel) const { ASSERT_EQ(0, mkdir(Path(rel).c_str(), 0777)) << rel; }
  bool Exists(const std::string& rel) const {
    struct stat st;
    return lstat(Path(rel).c_str(), &st) == 0;
  }
  // The names in folder `rel`, "." and ".." left out.
  std::set<std::string> List(const std::string& rel) const {
    std::set<std::string> names;
    DIR* dir = opendir(Path(rel).c_str());
    EXPECT_NE(nullptr, dir) << rel;
    if (dir == nullptr) return names;
    while (struct dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
    return names;
  }
  std::string Log() const { return ReadFile("log"); }
};

TEST_F(ConflictRenameTest, EachNewConflictTakesTheNextFreeNameAndKeepsTheOthers) {
  const std::string names[] = {
      "report_PC1_" + kTime + "_Conflict.txt",
      "report_PC1_" + kTime + "_Conflict_1.txt",
      "report_PC1_" + kTime + "_Conflict_2.txt",
  };
  for (int k = 0; k < 3; ++k) {
    WriteFile("s/report.txt", "version " + std::to_string(k));
    ASSERT_EQ(0, ConflictRename(Path("s/report.txt").c_str(), "PC1", "Conflict")) << k;
    EXPECT_NE(std::string::npos,
              Log().find("): ConflictRename from [" + Path("s/report.txt") + "] to [" +
                         Path("s/" + names[k]) + "], reason = [Conflict].\n"))
        << Log();
  }
  EXPECT_EQ(std::set<std::string>(std::begin(names), std::end(names)), List("s"));
  for (int k = 0; k < 3; ++k) EXPECT_EQ("version " + std::to_string(k), ReadFile("s/" + names[k]));
}

TEST_F(ConflictRenameTest, WhereTheSuffixGoes) {
  const std::string sfx = "_PC1_" + kTime + "_Conflict";
  struct Case {
    const char* what;
    std::string name;                // file, or folder when it ends in "/"
    std::vector<std::string> taken;  // files, or empty folders when ending in "/"
    std::string want;
  };
  const Case cases[] = {
      {"no extension", "readme", {}, "readme" + sfx},
      {"dot only in the folder name", "s.d/readme", {}, "s.d/readme" + sfx},
      {"last dot wins", "archive.tar.gz", {}, "archive.tar" + sfx + ".gz"},
      {"trailing dot, first try", "a.", {}, "a." + sfx},
      {"trailing dot, counter goes before it", "a.", {"a." + sfx}, "a" + sfx + "_1."},
      {"leading dot only", ".profile", {}, sfx + ".profile"},
      {"backslash is part of the name", "x.y\\z", {}, "x" + sfx + ".y\\z"},
      {"folder with a dot", "photos.2012/", {}, "photos" + sfx + ".2012"},
      {"empty folder on the first name is not replaced", "docs/", {"docs" + sfx + "/"},
       "docs" + sfx + "_1"},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = "c" + std::to_string(i++) + "/";
    MakeDir(dir);
    const size_t inner = c.name.find('/');
    if (inner != std::string::npos && inner + 1 < c.name.size()) MakeDir(dir + c.name.substr(0, inner));
    for (const std::string& t : c.taken) {
      if (t.back() == '/') {
        MakeDir(dir + t);
      } else {
        WriteFile(dir + t, "taken");
      }
    }
    std::string from = c.name;
    if (from.back() == '/') {
      from.pop_back();
      MakeDir(dir + from);
      WriteFile(dir + from + "/inside", "payload");
    } else {
      WriteFile(dir + from, "payload");
    }
    ASSERT_EQ(0, ConflictRename(Path(dir + from).c_str(), "PC1", "Conflict"));
    EXPECT_FALSE(Exists(dir + from));
    if (c.name.back() == '/') {
      EXPECT_EQ("payload", ReadFile(dir + c.want + "/inside"));
    } else {
      EXPECT_EQ("payload", ReadFile(dir + c.want));
    }
    for (const std::string& t : c.taken) {
      if (t.back() == '/') {
        EXPECT_TRUE(List(dir + t).empty()) << t;
      } else {
        EXPECT_EQ("taken", ReadFile(dir + t));
      }
    }
  }
}

TEST_F(ConflictRenameTest, AllCandidatesTakenMovesNothing) {
  const std::string stem = "s/report_PC1_" + kTime + "_Conflict";
  WriteFile(stem + ".txt", "plain");
  for (int n = 1; n <= 99; ++n) WriteFile(stem + "_" + std::to_string(n) + ".txt", std::to_string(n));
  WriteFile("s/report.txt", "mine");

  EXPECT_EQ(-1, ConflictRename(Path("s/report.txt").c_str(), "PC1", "Conflict"));

  EXPECT_EQ(101u, List("s").size());
  EXPECT_EQ("mine", ReadFile("s/report.txt"));
  EXPECT_EQ("plain", ReadFile(stem + ".txt"));
  for (int n = 1; n <= 99; ++n) {
    EXPECT_EQ(std::to_string(n), ReadFile(stem + "_" + std::to_string(n) + ".txt"));
  }
  EXPECT_NE(std::string::npos, Log().find("[ERROR] conflict-rename("));
  EXPECT_NE(std::string::npos,
            Log().find("): ConflictRename failed. From:[" + Path("s/report.txt") + "] To:[" +
                       Path(stem + "_99.txt") + "] err = [-1]\n"))
      << Log();
}

TEST_F(ConflictRenameTest, SlashInClientNameStaysInTheFolder) {
  WriteFile("s/report.txt", "mine");
  MakeDir("s/report_a");  // where "a/b" would have led
  ASSERT_EQ(0, ConflictRename(Path("s/report.txt").c_str(), "a/b", "Conflict"));
  EXPECT_EQ("mine", ReadFile("s/report_a_b_" + kTime + "_Conflict.txt"));
  EXPECT_TRUE(List("s/report_a").empty());
}

TEST_F(ConflictRenameTest, FailuresAreReportedAndLeaveTheFileWhereItIs) {
  // Missing source.
  EXPECT_EQ(-1, ConflictRename(Path("s/gone.txt").c_str(), "PC1", "Conflict"));
  EXPECT_TRUE(List("s").empty());
  EXPECT_NE(std::string::npos, Log().find("): ConflictRename failed. From:[" + Path("s/gone.txt")));

  // A conflict name over the 255-byte limit of one component.
  const std::string longname = std::string(240, 'n') + ".txt";
  WriteFile("s/" + longname, "mine");
  EXPECT_EQ(-100, ConflictRename(Path("s/" + longname).c_str(), "PC1", "Conflict"));
  EXPECT_EQ("mine", ReadFile("s/" + longname));
  EXPECT_EQ(1u, List("s").size());
}

TEST_F(ConflictRenameTest, WhiteSpaceNameIsTrimmedWhenFreeElseGetsAConflictName) {
  const std::string sfx = "_PC1_" + kTime + "_WhiteSpaceConflict";
  const std::string expected[] = {"a.txt", "a" + sfx + ".txt", "a" + sfx + "_0.txt",
                                  "a" + sfx + "_1.txt"};
  for (int k = 0; k < 4; ++k) {
    WriteFile("s/ a.txt ", "version " + std::to_string(k));
    ASSERT_EQ(0, WhiteSpaceConflictRename(Path("s/ a.txt ").c_str(), " a.txt ", "PC1")) << k;
    EXPECT_NE(std::string::npos,
              Log().find("): WhiteSpaceConflictRename from [" + Path("s/ a.txt ") + "] to [" +
                         Path("s/" + expected[k]) + "].\n"))
        << Log();
  }
  EXPECT_EQ(std::set<std::string>(std::begin(expected), std::end(expected)), List("s"));
  for (int k = 0; k < 4; ++k) EXPECT_EQ("version " + std::to_string(k), ReadFile("s/" + expected[k]));
}

TEST_F(ConflictRenameTest, WhiteSpaceEdgeNames) {
  const std::string sfx = "_PC1_" + kTime + "_WhiteSpaceConflict";
  // Nothing left after trimming: the conflict name is the suffix alone.
  WriteFile("s/   ", "blanks");
  ASSERT_EQ(0, WhiteSpaceConflictRename(Path("s/   ").c_str(), "   ", "PC1"));
  EXPECT_EQ("blanks", ReadFile("s/" + sfx));

  // A folder whose trimmed name is an empty folder: not merged into it.
  MakeDir("s/docs");
  MakeDir("s/ docs");
  WriteFile("s/ docs/inside", "payload");
  ASSERT_EQ(0, WhiteSpaceConflictRename(Path("s/ docs").c_str(), " docs", "a/b"));
  EXPECT_TRUE(List("s/docs").empty());
  EXPECT_EQ("payload", ReadFile("s/docs_a_b_" + kTime + "_WhiteSpaceConflict/inside"));
}

// A path without "/" is a name in the current folder; its trimmed sibling is
// there too (not "<name>/<trimmed>", a path below the file itself).
TEST_F(ConflictRenameTest, WhiteSpaceBareNameStaysInTheCurrentFolder) {
  WriteFile("s/ b", "mine");
  ASSERT_EQ(0, chdir(Path("s").c_str()));  // the fixture puts the working folder back
  EXPECT_EQ(0, WhiteSpaceConflictRename(" b", " b", "PC1"));
  EXPECT_EQ("mine", ReadFile("s/b"));
}

TEST_F(ConflictRenameTest, WhiteSpaceAllTakenMovesNothing) {
  const std::string stem = "s/a_PC1_" + kTime + "_WhiteSpaceConflict";
  WriteFile("s/a.txt", "trimmed");
  WriteFile(stem + ".txt", "plain");
  for (int n = 0; n <= 99; ++n) WriteFile(stem + "_" + std::to_string(n) + ".txt", std::to_string(n));
  WriteFile("s/a.txt ", "mine");

  EXPECT_EQ(-1, WhiteSpaceConflictRename(Path("s/a.txt ").c_str(), "a.txt ", "PC1"));

  EXPECT_EQ(103u, List("s").size());
  EXPECT_EQ("mine", ReadFile("s/a.txt "));
  EXPECT_EQ("trimmed", ReadFile("s/a.txt"));
  EXPECT_EQ("plain", ReadFile(stem + ".txt"));
  for (int n = 0; n <= 99; ++n) {
    EXPECT_EQ(std::to_string(n), ReadFile(stem + "_" + std::to_string(n) + ".txt"));
  }
  EXPECT_NE(std::string::npos,
            Log().find("[ERROR] conflict-rename("))
      << Log();
  EXPECT_NE(std::string::npos,
            Log().find("): WhiteSpaceConflictRename failed. From:[" + Path("s/a.txt ") + "] To:[" +
                       Path(stem + "_99.txt") + "] err=[-1]\n"))
      << Log();
}

}  // namespace
