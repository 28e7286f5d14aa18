#include "filter/filter_reconcile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "sqlite_shell.h"
#include "support/temp_dir.h"

namespace {

using filter_test::ReadAll;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kSess = 1;
constexpr uint64_t kSyncNow = 50;

// A black-list file with the selective-sync keys; each argument is the
// value text as a user writes it ("" leaves the key out).
std::string Black(const std::string& prefixes, const std::string& names = "", const std::string& exts = "",
                  const std::string& size = "") {
  std::string text = "[Version]\nmajor = 1\nminor = 0\n[Common]\n";
  if (!prefixes.empty()) text += "black_path_prefix_selective_sync = " + prefixes + "\n";
  text += "[File]\n";
  if (!names.empty()) text += "black_name_selective_sync = " + names + "\n";
  if (!exts.empty()) text += "black_ext_selective_sync = " + exts + "\n";
  if (!size.empty()) text += "max_size_selective_sync = " + size + "\n";
  return text;
}

std::string White(const std::string& exts) {
  std::string text = "[Version]\nmajor = 1\nminor = 0\n[File]\n";
  if (!exts.empty()) text += "white_ext = " + exts + "\n";
  return text;
}

class ReconcileTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    log_ = filter_test::StartLog(Path());
    ProgressCache::getInstance()->clear();
    Open("filter.db");
  }
  void TearDown() override {
    FilterDB::getInstance()->destroy();
    ProgressCache::getInstance()->clear();
    Logger::ResetForTest();
  }

  void Open(const std::string& name) {
    FilterDB::getInstance()->destroy();
    ProgressCache::getInstance()->clear();
    db_path_ = Path(name);
    ASSERT_EQ(0, FilterDB::getInstance()->initialize(db_path_.c_str()));
  }

  // What the application does on a reload: read both files, convert both
  // sides, then compare prefixes, names, extensions and the size limit,
  // stopping at the first failure.
  int Reload(const std::string& black, const std::string& white, uint64_t sync_id = kSyncNow) {
    WriteFile("blacklist.filter", black);
    WriteFile("whitelist.filter", white);
    Filter filter;
    WhiteList list;
    filter_init(&filter);
    white_list_init(&list);
    int rc = -1;
    if (filter_read(&filter, Path("blacklist.filter").c_str()) == 0 &&
        white_list_read(&list, Path("whitelist.filter").c_str()) == 0) {
      rc = Compare(filter, list, sync_id);
    } else {
      ADD_FAILURE() << "rule files not read";
    }
    filter_destroy(&filter);
    white_list_destroy(&list);
    return rc;
  }

  int Compare(const Filter& filter, const WhiteList& list, uint64_t sync_id) {
    SelectiveSyncInfo fresh;
    SelectiveSyncInfo stored;
    ConvertFilterFileToSelectiveSyncInfo(kSess, sync_id, filter, fresh);
    ConvertWhiteFilterFileToSelectiveSyncInfo(kSess, sync_id, list, fresh);
    FilterDB* db = FilterDB::getInstance();
    if (db->ConvertFilterDBToSelectiveSyncInfo(kSess, stored) != 0) return -1;
    if (db->ConvertWhiteFilterDBToSelectiveSyncInfo(kSess, stored) != 0) return -1;
    const ustring folder(Path().c_str());
    if (CompareFilterList(kSess, FILTER_PATH_PREFIX_SELECTIVE_SYNC, stored.black_prefix, fresh.black_prefix,
                          folder) != 0) {
      return -1;
    }
    if (CompareFilterList(kSess, FILTER_NAME_SELECTIVE_SYNC, stored.black_name, fresh.black_name, folder) !=
        0) {
      return -1;
    }
    if (CompareExtensionFilterList(kSess, stored, fresh, folder) != 0) return -1;
    return CompareSizeFilter(kSess, stored.black_size, fresh.black_size);
  }

  std::string Sql(const std::string& sql) const { return filter_test::Shell(db_path_, sql); }

  // Stored rules, one "table|type|text|sync_id" line each.
  std::string Rules() const {
    return Sql(
        "SELECT 'B', filter_type, filter_desc, sync_id FROM filter_table UNION ALL "
        "SELECT 'S', filter_type, filter_desc, sync_id FROM filter_range_table UNION ALL "
        "SELECT 'W', filter_type, filter_desc, sync_id FROM white_list_table ORDER BY 1, 2, 3;");
  }
  std::string Conditions() const {
    return Sql("SELECT sync_id, filter_type, filter_desc FROM filter_resume_table ORDER BY id;");
  }
  // The cache must hold exactly the stored conditions, in the same order.
  void ExpectCacheMatchesConditions(const std::string& label) const {
    std::string cached;
    ProgressCache* cache = ProgressCache::getInstance();
    ProgressCache::Entry e;
    while (cache->getProgressEntry(e) == 1) {
      cached += std::to_string(e.row_id) + "|" + std::to_string(e.condition.sess_id) + "|" +
                std::to_string(e.condition.sync_id) + "|" + std::to_string(e.condition.filter_type) + "|" +
                e.condition.filter_desc.c_str_utf8() + "\n";
      ASSERT_EQ(0, cache->rmProgressEntry(e.row_id));
    }
    EXPECT_EQ(
        Sql("SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table ORDER BY id;"),
        cached)
        << label;
  }

  std::string Log() const { return ReadAll(log_); }

  std::string db_path_;
  std::string log_;
};

struct ReloadCase {
  const char* name;
  const char* stored;  // rows before, written with the shell
  std::string black;
  std::string white;
  const char* rules_after;
  const char* conditions;
  const char* logged;  // a line part the reload logs
};

TEST_F(ReconcileTest, ReloadTable) {
  const ReloadCase cases[] = {
      {"identical files and rows change nothing",
       "INSERT INTO filter_table VALUES (1, 0, -13, '/docs'), (1, 7, -14, 'tmp.txt'), (1, 7, -12, 'iso');"
       "INSERT INTO white_list_table VALUES (1, 7, -12, 'doc');"
       "INSERT INTO filter_range_table VALUES (1, 7, -15, '100');",
       Black("\"/docs\"", "\"tmp.txt\"", "\"iso\"", "100"), White("\"doc\""),
       "B|-14|tmp.txt|7\nB|-13|/docs|0\nB|-12|iso|7\nS|-15|100|7\nW|-12|doc|7\n", "",
       "size filter (1)[100] didn't change, skipping..."},
      {"a newly excluded folder is stored from sync id 0", "", Black("\"/docs\""), White(""),
       "B|-13|/docs|0\n", "", "NEW filter: (1)[/docs]."},
      {"a folder let in again is pulled from sync id 0",
       "INSERT INTO filter_table VALUES (1, 0, -13, '/docs');", Black(""), White(""), "", "0|-13|/docs\n",
       "RESUME filter: (1)[/docs]."},
      {"a new name rule keeps the current sync id", "", Black("", "\"core\""), White(""), "B|-14|core|50\n",
       "", "NEW filter: (1)[core]."},
      {"a removed name rule resumes from its stored sync id",
       "INSERT INTO filter_table VALUES (1, 7, -14, 'tmp.txt'), (1, 7, -14, 'keep');", Black("", "\"keep\""),
       White(""), "B|-14|keep|7\n", "7|-14|tmp.txt\n", "RESUME filter: (1)[tmp.txt]."},
      {"a removed black extension resumes", "INSERT INTO filter_table VALUES (1, 8, -12, 'iso');", Black(""),
       White(""), "", "8|-12|iso\n", "RESUME filter: (1)[iso]."},
      {"a new white extension resumes from sync id 0", "", Black(""), White("\"doc\""), "W|-12|doc|50\n",
       "0|-12|doc\n", ""},
      {"a removed white extension only goes", "INSERT INTO white_list_table VALUES (1, 7, -12, 'doc');",
       Black(""), White(""), "", "", "remove white list filter: (1)[doc]."},
      {"white list from * to doc records nothing", "INSERT INTO white_list_table VALUES (1, 0, -12, '*');",
       Black(""), White("\"doc\""), "W|-12|doc|50\n", "", "NEW filter: (1)[doc]."},
      {"white list from doc, pdf to * resumes once for *",
       "INSERT INTO white_list_table VALUES (1, 7, -12, 'doc'), (1, 7, -12, 'pdf');", Black(""),
       White("\"*\""), "W|-12|*|0\n", "0|-12|*\n", "remove white list filter: (1)[pdf]."},
      {"a raised size limit resumes the range", "INSERT INTO filter_range_table VALUES (1, 7, -15, '100');",
       Black("", "", "", "200"), White(""), "S|-15|200|7\n", "7|-15|from=100,to=200\n",
       "size filter is more loosely, update DB and resume (1)[from=100,to=200]."},
      {"a lowered size limit is only stored", "INSERT INTO filter_range_table VALUES (1, 7, -15, '200');",
       Black("", "", "", "100"), White(""), "S|-15|100|7\n", "",
       "size filter is more stringent, just update DB (1)from 200 to 100. \n"},
      {"a removed size limit is stored as 10 GiB",
       "INSERT INTO filter_range_table VALUES (1, 7, -15, '100');", Black(""), White(""),
       "S|-15|10737418240|7\n", "7|-15|from=100,to=10737418240\n", ""},
      {"no limit again after a removed one changes nothing",
       "INSERT INTO filter_range_table VALUES (1, 7, -15, '10737418240');", Black(""), White(""),
       "S|-15|10737418240|7\n", "", "size filter (1)[10737418240] didn't change, skipping..."},
      {"a removed limit above 10 GiB resumes up to it",
       "INSERT INTO filter_range_table VALUES (1, 7, -15, '21474836480');", Black(""), White(""),
       "S|-15|10737418240|7\n", "7|-15|from=10737418240,to=21474836480\n", ""},
      {"no size row and no limit stores nothing", "", Black(""), White(""), "", "", "NEW filter (1)[0]\n"},
      {"a first size limit is stored", "", Black("", "", "", "4096"), White(""), "S|-15|4096|50\n", "",
       "NEW filter (1)[4096]\n"},
  };
  int n = 0;
  for (const ReloadCase& c : cases) {
    Open("case" + std::to_string(n++) + ".db");
    if (*c.stored != '\0') Sql(c.stored);
    ASSERT_EQ(0, Reload(c.black, c.white)) << c.name;
    EXPECT_EQ(c.rules_after, Rules()) << c.name;
    EXPECT_EQ(c.conditions, Conditions()) << c.name;
    ExpectCacheMatchesConditions(c.name);
    EXPECT_THAT(Log(), HasSubstr(c.logged)) << c.name;
  }
}

TEST_F(ReconcileTest, UnchangedFilesLogOnlyNoChange) {
  const std::string black = Black("\"/docs\", \"/tmp\"", "\"core\"", "\"iso\"", "100");
  const std::string white = White("\"doc\"");
  ASSERT_EQ(0, Reload(black, white, 10));
  ProgressCache::getInstance()->clear();
  std::string rules = Rules();
  std::string conditions = Conditions();
  size_t log_size = Log().size();
  ASSERT_EQ(0, Reload(black, white, 90));
  EXPECT_EQ(rules, Rules());
  EXPECT_EQ(conditions, Conditions());
  std::string second = Log().substr(log_size);
  EXPECT_THAT(second, HasSubstr("filter: (1)[/tmp] didn't change, skipping..."));
  EXPECT_THAT(second, HasSubstr("white filter: (1)[doc] didn't change, skipping..."));
  EXPECT_THAT(second, Not(HasSubstr("NEW")));
  EXPECT_THAT(second, Not(HasSubstr("RESUME")));
  ProgressCache::Entry e;
  EXPECT_EQ(0, ProgressCache::getInstance()->getProgressEntry(e));
}

// "-1" is the largest limit. Stored unquoted it turned into a REAL text,
// read back as 1, and every reload recorded a pull.
TEST_F(ReconcileTest, LargestSizeLimitSurvivesTwoReloads) {
  const std::string black = Black("", "", "", "-1");
  ASSERT_EQ(0, Reload(black, White("")));
  EXPECT_EQ("text|18446744073709551615|50\n",
            Sql("SELECT typeof(filter_desc), filter_desc, sync_id FROM filter_range_table;"));
  ASSERT_EQ(0, Reload(black, White(""), 60));
  EXPECT_EQ("text|18446744073709551615|50\n",
            Sql("SELECT typeof(filter_desc), filter_desc, sync_id FROM filter_range_table;"));
  EXPECT_EQ("", Conditions());
  EXPECT_THAT(Log(), HasSubstr("size filter (1)[18446744073709551615] didn't change, skipping..."));
}

// No transaction spans a reload: a failure stops it and leaves the rule in
// place, so the next reload records the condition again.
TEST_F(ReconcileTest, FailedConditionInsertKeepsTheRule) {
  Sql("INSERT INTO filter_table VALUES (1, 7, -14, 'tmp.txt');"
      "DROP TABLE filter_resume_table;");
  EXPECT_EQ(-1, Reload(Black(""), White("")));
  EXPECT_EQ("B|-14|tmp.txt|7\n", Rules());
  ProgressCache::Entry e;
  EXPECT_EQ(0, ProgressCache::getInstance()->getProgressEntry(e));
  EXPECT_THAT(Log(), HasSubstr("[ERROR] filter-utils("));
  EXPECT_THAT(Log(), HasSubstr("): Failed to setResumeCondition (1)[tmp.txt].\n"));
}

TEST_F(ReconcileTest, FailedRuleInsertStopsTheReload) {
  Sql("CREATE TRIGGER refuse BEFORE INSERT ON filter_table BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  EXPECT_EQ(-1, Reload(Black("\"/docs\"", "\"core\""), White("")));
  EXPECT_THAT(Log(), HasSubstr("FilterDB setFilter fail: refused (19).\n"));
  EXPECT_THAT(Log(), HasSubstr("): Failed to setFilter (1)[/docs].\n"));
  // Stopped at the first failure: the names were never compared.
  EXPECT_THAT(Log(), Not(HasSubstr("[core]")));
}

// A limit text counts only when it is all decimal digits within 64 bits;
// anything else reads as 0, the same as no limit.
TEST_F(ReconcileTest, SizeTextsAreReadStrictly) {
  struct Case {
    const char* stored;
    const char* conditions;  // after comparing with a new limit of 100
  };
  const Case cases[] = {
      {"100", ""},
      {"0100", ""},
      {"1e2", "7|-15|from=0,to=100\n"},
      {"100.0", "7|-15|from=0,to=100\n"},
      {" 100", "7|-15|from=0,to=100\n"},
      {"+100", "7|-15|from=0,to=100\n"},
      {"-1", "7|-15|from=0,to=100\n"},
      {"18446744073709551616", "7|-15|from=0,to=100\n"},
      {"1.84467440737096e+19", "7|-15|from=0,to=100\n"},
      {"18446744073709551615", ""},  // larger: only stored, nothing resumes
  };
  int n = 0;
  for (const Case& c : cases) {
    Open("size" + std::to_string(n++) + ".db");
    ASSERT_EQ(0, CompareSizeFilter(kSess, FilterInfo{7, c.stored}, FilterInfo{50, "100"})) << c.stored;
    EXPECT_EQ(c.conditions, Conditions()) << c.stored;
  }
}

TEST(ResumeSizeDescTest, EncodePutsTheSmallerFirst) {
  ustring out;
  EXPECT_EQ(0, EncodeResumeSizeFilterDesc(200, 100, out));
  EXPECT_EQ("from=100,to=200", out);
  EXPECT_EQ(0, EncodeResumeSizeFilterDesc(0, UINT64_MAX, out));
  EXPECT_EQ("from=0,to=18446744073709551615", out);
}

TEST(ResumeSizeDescTest, DecodeAcceptsExactlyTwoNumbers) {
  struct Case {
    const char* text;
    int rc;
    uint64_t from;
    uint64_t to;
  };
  const Case cases[] = {
      {"from=100,to=200", 0, 100, 200},
      {"from=0,to=18446744073709551615", 0, 0, UINT64_MAX},
      {"from=100", -1, 9, 9},
      {"", -1, 9, 9},
      {"from=,to=1", -1, 9, 9},
      {"from=1,to=", -1, 9, 9},
      {"from=+1,to=2", -1, 9, 9},
      {"from=1,to=2x", -1, 9, 9},
      {"from=1,to=2,to=3", -1, 9, 9},
      {" from=1,to=2", -1, 9, 9},
      {"from=1 ,to=2", -1, 9, 9},
      {"FROM=1,TO=2", -1, 9, 9},
      {"from=18446744073709551616,to=1", -1, 9, 9},
  };
  for (const Case& c : cases) {
    uint64_t from = 9;
    uint64_t to = 9;
    EXPECT_EQ(c.rc, DecodeResumeSizeFilterDesc(c.text, from, to)) << c.text;
    EXPECT_EQ(c.from, from) << c.text;
    EXPECT_EQ(c.to, to) << c.text;
  }
}

}  // namespace
