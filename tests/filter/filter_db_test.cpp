#include "filter/filter_db.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filter/filter_codes.h"
#include "filter/progress_cache.h"
#include "sqlite_shell.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace {

using filter_test::ReadAll;
using filter_test::Shell;
using ::testing::HasSubstr;
using ::testing::Not;

class FilterDBTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    log_ = filter_test::StartLog(Path());
    db_path_ = Path("filter.db");
    ASSERT_EQ(0, db_.initialize(db_path_.c_str()));
  }
  void TearDown() override {
    db_.destroy();
    Logger::ResetForTest();
  }

  std::string Log() const { return ReadAll(log_); }
  std::string Sql(const std::string& sql) const { return Shell(db_path_, sql); }

  // Every held-back event of every session as "sess:path" lines.
  std::string EventRows() const {
    return Sql("SELECT sess_id || ':' || path FROM filtered_local_event_table ORDER BY sess_id, path;");
  }

  FilterLocalEvent Event(uint64_t sess, const char* path) {
    FilterLocalEvent e;
    e.sess_id = sess;
    e.path = path;
    e.file_checksum = "md4";
    e.is_exist = 1;
    e.filtered_type = FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    return e;
  }

  FilterDB db_;
  std::string db_path_;
  std::string log_;
};

TEST_F(FilterDBTest, CreatesWalSchemaWithVersionTwo) {
  EXPECT_EQ("wal\n2\n", Sql("PRAGMA journal_mode; SELECT value FROM config_table WHERE key = 'version';"));
  EXPECT_EQ(
      "filter_range_table\nfilter_resume_table\nfilter_table\nfiltered_local_event_table\n"
      "white_list_table\n",
      Sql("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name != "
          "'config_table' ORDER BY name;"));
  EXPECT_EQ("15\n", Sql("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE '%_idx';"));
  EXPECT_THAT(Log(), HasSubstr("FilterDB has been initialized with location '" + db_path_ + "'\n"));
}

TEST(FilterDBFileTest, ExistingFileKeepsItsRowsAndVersion) {
  testsupport::TempDir dir;
  std::string path = dir.path() + "/filter.db";
  filter_test::Shell(path,
                     "CREATE TABLE config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR "
                     "NOT NULL);"
                     "INSERT INTO config_table VALUES ('version', 7);"
                     "CREATE TABLE filter_table (sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
                     "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, PRIMARY KEY (sess_id, "
                     "filter_type, filter_desc) ON CONFLICT IGNORE);"
                     "INSERT INTO filter_table VALUES (3, 9, -14, 'core');");
  FilterDB db;
  ASSERT_EQ(0, db.initialize(path.c_str()));
  SelectiveSyncInfo info;
  ASSERT_EQ(0, db.ConvertFilterDBToSelectiveSyncInfo(3, info));
  ASSERT_EQ(1u, info.black_name.size());
  EXPECT_EQ("core", info.black_name.begin()->filter_desc);
  EXPECT_EQ(9u, info.black_name.begin()->sync_id);
  db.destroy();
  EXPECT_EQ("7\n0\n", filter_test::Shell(path,
                                         "SELECT value FROM config_table WHERE key = 'version';"
                                         "SELECT count(*) FROM filtered_local_event_table;"));
}

// Every statement operation, called once with harmless arguments.
std::vector<std::pair<const char*, std::function<int(FilterDB&)>>> AllStatements() {
  return {
      {"setConfigItem", [](FilterDB& d) { return d.setConfigItem("k", "v"); }},
      {"setWhiteListFilter", [](FilterDB& d) { return d.setWhiteListFilter(1, 1, -12, "doc"); }},
      {"setFilter", [](FilterDB& d) { return d.setFilter(1, 1, -14, "x"); }},
      {"setSizeFilter", [](FilterDB& d) { return d.setSizeFilter(1, 1, 100); }},
      {"rmWhiteListFilter", [](FilterDB& d) { return d.rmWhiteListFilter(1, -12, "doc"); }},
      {"rmFilter", [](FilterDB& d) { return d.rmFilter(1, -14, "x"); }},
      {"rmSizeFilter", [](FilterDB& d) { return d.rmSizeFilter(1, 100); }},
      {"getSizeFilter",
       [](FilterDB& d) {
         FilterInfo f;
         return d.getSizeFilter(1, f);
       }},
      {"updateSizeFilter", [](FilterDB& d) { return d.updateSizeFilter(1, 100, 200); }},
      {"setResumeCondition",
       [](FilterDB& d) {
         uint64_t id = 0;
         return d.setResumeCondition(ResumeCondition{1, 1, -13, "/a"}, id);
       }},
      {"getResumeCondition",
       [](FilterDB& d) {
         uint64_t id = 0;
         ResumeCondition c;
         return d.getResumeCondition(id, c);
       }},
      {"getResumeConditionsBySession",
       [](FilterDB& d) {
         std::list<std::pair<uint64_t, ResumeCondition>> l;
         return d.getResumeConditionsBySession(1, l);
       }},
      {"rmResumeCondition", [](FilterDB& d) { return d.rmResumeCondition(1); }},
      {"updateResumeSyncId", [](FilterDB& d) { return d.updateResumeSyncId(1, 2); }},
      {"setLocalFilteredEvent", [](FilterDB& d) { return d.setLocalFilteredEvent(FilterLocalEvent{}); }},
      {"dumpLocalFilteredEvent",
       [](FilterDB& d) {
         std::set<FilterLocalEvent> s;
         return d.dumpLocalFilteredEvent(1, s);
       }},
      {"getLocalFilteredEventByPath",
       [](FilterDB& d) {
         FilterLocalEvent e;
         return d.getLocalFilteredEventByPath(1, "/a", e);
       }},
      {"rmLocalFilteredEventByPath", [](FilterDB& d) { return d.rmLocalFilteredEventByPath(1, "/a"); }},
      {"cleanLocalFilteredEventBySession", [](FilterDB& d) { return d.cleanLocalFilteredEventBySession(1); }},
      {"ConvertWhiteFilterDBToSelectiveSyncInfo",
       [](FilterDB& d) {
         SelectiveSyncInfo i;
         return d.ConvertWhiteFilterDBToSelectiveSyncInfo(1, i);
       }},
      {"ConvertFilterDBToSelectiveSyncInfo",
       [](FilterDB& d) {
         SelectiveSyncInfo i;
         return d.ConvertFilterDBToSelectiveSyncInfo(1, i);
       }},
      {"checkEventOverflow",
       [](FilterDB& d) {
         int stat = 0;
         return d.checkEventOverflow(stat);
       }},
  };
}

TEST_F(FilterDBTest, EveryStatementFailsAtOnceWhileClosed) {
  FilterDB never_opened;
  for (auto& [name, op] : AllStatements()) {
    EXPECT_EQ(-1, op(never_opened)) << name;
    EXPECT_LE(0, op(db_)) << name;
  }
  db_.destroy();
  for (auto& [name, op] : AllStatements()) EXPECT_EQ(-1, op(db_)) << name;
  // "out of memory" is what SQLite itself says for a null handle.
  EXPECT_THAT(Log(), Not(HasSubstr("out of memory")));
}

TEST_F(FilterDBTest, InitializeAndDestroyTwiceAreNoOps) {
  EXPECT_EQ(0, db_.initialize(Path("other.db").c_str()));
  EXPECT_THAT(Log(), HasSubstr("FilterDB has been initialized (no-op)\n"));
  struct stat st;
  EXPECT_NE(0, stat(Path("other.db").c_str(), &st));
  db_.destroy();
  db_.destroy();
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("] filter-db("));
  EXPECT_THAT(log, HasSubstr("FilterDB has been deinitialzed\n"));
  EXPECT_THAT(log, HasSubstr("FilterDB has been deinitialzed (no-op)\n"));
}

TEST_F(FilterDBTest, FailedOpenLeavesTheObjectClosed) {
  db_.destroy();
  ASSERT_EQ(0, mkdir(Path("folder.db").c_str(), 0700));
  // A missing folder fails the open; a folder in place of the file fails
  // the open or the schema script, depending on how far SQLite gets.
  for (const std::string& path : {Path("missing/filter.db"), Path("folder.db")}) {
    EXPECT_EQ(-1, db_.initialize(path.c_str())) << path;
    EXPECT_THAT(Log(), HasSubstr(" database at '" + path + "'. [")) << path;
    EXPECT_EQ(-1, db_.setFilter(1, 1, -14, "x")) << path;
  }
  EXPECT_THAT(Log(), HasSubstr("FilterDB: Failed to open database at '" + Path("missing/filter.db")));
  // After failures the object opens normally.
  EXPECT_EQ(0, db_.initialize(db_path_.c_str()));
  EXPECT_EQ(0, db_.setFilter(1, 1, -14, "x"));
}

TEST_F(FilterDBTest, DroppedTablesFailWithSqliteMessage) {
  Sql("DROP TABLE filter_table; DROP TABLE filtered_local_event_table;");
  EXPECT_EQ(-1, db_.setFilter(1, 1, -14, "x"));
  std::set<FilterLocalEvent> events;
  EXPECT_EQ(-1, db_.dumpLocalFilteredEvent(1, events));
  SelectiveSyncInfo info;
  EXPECT_EQ(-1, db_.ConvertFilterDBToSelectiveSyncInfo(1, info));
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("FilterDB setFilter fail: no such table: filter_table (1).\n"));
  EXPECT_THAT(log,
              HasSubstr("getLocalFilteredEvent failed : no such table: filtered_local_event_table (1).\n"));
  EXPECT_THAT(log,
              HasSubstr("ConvertFilterDBToSelectiveSyncInfo failed1 : no such table: filter_table (1).\n"));
  // Tables that are still there keep working.
  EXPECT_EQ(0, db_.setWhiteListFilter(1, 1, -12, "doc"));
}

TEST_F(FilterDBTest, DuplicateRuleKeepsTheFirstSyncId) {
  EXPECT_EQ(0, db_.setFilter(1, 5, -14, "it's"));
  EXPECT_EQ(0, db_.setFilter(1, 9, -14, "it's"));
  EXPECT_EQ(0, db_.setWhiteListFilter(1, 5, -12, "doc"));
  EXPECT_EQ(0, db_.setWhiteListFilter(1, 9, -12, "doc"));
  EXPECT_EQ("1|5|-14|it's\n", Sql("SELECT * FROM filter_table;"));
  EXPECT_EQ("1|5|-12|doc\n", Sql("SELECT * FROM white_list_table;"));
  EXPECT_EQ(0, db_.rmFilter(1, -14, "it's"));
  EXPECT_EQ("", Sql("SELECT * FROM filter_table;"));
  EXPECT_THAT(Log(), HasSubstr("setFilter sql : INSERT INTO filter_table  (sess_id, sync_id, filter_type, "
                               "filter_desc) VALUES (1, 5, -14, 'it''s')\n"));
}

// The limit is text: 2^64-1 must not turn into a REAL approximation.
TEST_F(FilterDBTest, SizeLimitIsStoredAsExactText) {
  constexpr uint64_t kMax = UINT64_MAX;
  ASSERT_EQ(0, db_.setSizeFilter(1, 7, kMax));
  EXPECT_EQ("wal\ntext|18446744073709551615\n",
            Sql("PRAGMA journal_mode; SELECT typeof(filter_desc), filter_desc FROM filter_range_table;"));
  FilterInfo info;
  ASSERT_EQ(0, db_.getSizeFilter(1, info));
  EXPECT_EQ("18446744073709551615", info.filter_desc);
  EXPECT_EQ(7u, info.sync_id);

  ASSERT_EQ(0, db_.updateSizeFilter(1, kMax, 100));
  EXPECT_EQ("1|7|-15|100\n", Sql("SELECT * FROM filter_range_table;"));
  // From 100 to 200 changes the row whose text is 100; from 555 changes nothing.
  ASSERT_EQ(0, db_.updateSizeFilter(1, 100, 200));
  ASSERT_EQ(0, db_.updateSizeFilter(1, 555, 300));
  EXPECT_EQ("1|7|-15|200\n", Sql("SELECT * FROM filter_range_table;"));
  ASSERT_EQ(0, db_.rmSizeFilter(1, 200));
  EXPECT_EQ("", Sql("SELECT * FROM filter_range_table;"));

  FilterInfo untouched{42, "keep"};
  ASSERT_EQ(0, db_.getSizeFilter(1, untouched));
  EXPECT_EQ(42u, untouched.sync_id);
  EXPECT_EQ("keep", untouched.filter_desc);
}

// A subtree removal takes the path and what lies below it: nothing else,
// whatever bytes the path holds, and nothing of another session.
TEST_F(FilterDBTest, SubtreeRemovalTakesExactlyThePathAndBelow) {
  const std::vector<std::pair<uint64_t, const char*>> rows = {
      {1, "/"},    {1, "//x"},  {1, "/a"},   {1, "/a/"},   {1, "/a/x/y"}, {1, "/ab"},   {1, "/a0"},
      {1, "/a!"},  {1, "/A/x"}, {1, "/a?"},  {1, "/a?/z"}, {1, "/az"},    {1, "/[ab]"}, {1, "/[ab]/x"},
      {1, "/b/y"}, {1, "/*"},   {1, "/*/x"}, {1, "/x/y"},  {1, "/a.b/c"}, {2, "/a/x"},  {2, "/[ab]"},
  };
  struct Case {
    const char* path;
    std::set<std::string> removed;
  };
  const Case cases[] = {
      {"/a", {"1:/a", "1:/a/", "1:/a/x/y"}},
      {"/[ab]", {"1:/[ab]", "1:/[ab]/x"}},
      {"/*", {"1:/*", "1:/*/x"}},
      {"/a?", {"1:/a?", "1:/a?/z"}},
      {"/", {"1:/", "1://x"}},
      {"/nothing", {}},
  };
  for (const Case& c : cases) {
    Sql("DELETE FROM filtered_local_event_table;");
    for (auto& [sess, path] : rows) {
      ASSERT_EQ(0, db_.setLocalFilteredEvent(Event(sess, path)));
    }
    std::string before = EventRows();
    ASSERT_EQ(0, db_.rmLocalFilteredEventByPath(1, c.path)) << c.path;
    std::string expected;
    std::istringstream lines(before);
    for (std::string line; std::getline(lines, line);) {
      if (c.removed.count(line) == 0) expected += line + "\n";
    }
    EXPECT_EQ(expected, EventRows()) << "removing " << c.path;
  }
}

TEST_F(FilterDBTest, HeldBackEventRoundTrip) {
  FilterLocalEvent e = Event(4, "/dir/file.bin");
  e.base_name = "file.bin";
  e.win_hash = "w";
  e.zarq_hash = "z'q";
  e.sync_id = 123;
  e.file_size = (uint64_t{5} << 32) + 7;
  e.file_mod_time = 0xFFFFFFFFu;
  e.inode = (uint64_t{1} << 40) + 3;
  e.file_type = 0;
  e.filtered_type = FILTER_FILE_SIZE_SELECTIVE_SYNC;
  e.is_exist = 0;
  e.event_type = 3;
  ASSERT_EQ(0, db_.setLocalFilteredEvent(e));
  EXPECT_EQ("4294967295|21474836487|1099511627779\n",
            Sql("SELECT file_mod_time, file_size, inode FROM filtered_local_event_table;"));

  FilterLocalEvent got;
  got.event_type = 9;
  ASSERT_EQ(1, db_.getLocalFilteredEventByPath(4, "/dir/file.bin", got));
  std::set<FilterLocalEvent> dumped;
  ASSERT_EQ(0, db_.dumpLocalFilteredEvent(4, dumped));
  ASSERT_EQ(1u, dumped.size());
  for (const FilterLocalEvent* r : {static_cast<const FilterLocalEvent*>(&got), &*dumped.begin()}) {
    EXPECT_EQ("/dir/file.bin", r->path);
    EXPECT_EQ("md4", r->file_checksum);
    EXPECT_EQ("file.bin", r->base_name);
    EXPECT_EQ("w", r->win_hash);
    EXPECT_EQ("", r->mac_hash);
    EXPECT_EQ("", r->linux_hash);
    EXPECT_EQ("z'q", r->zarq_hash);
    EXPECT_EQ(4u, r->sess_id);
    EXPECT_EQ(123u, r->sync_id);
    EXPECT_EQ(e.file_size, r->file_size);
    EXPECT_EQ(0xFFFFFFFFu, r->file_mod_time);
    EXPECT_EQ(e.inode, r->inode);
    EXPECT_EQ(0, r->file_type);
    EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, r->filtered_type);
    EXPECT_EQ(0, r->is_exist);
  }
  EXPECT_EQ(9u, got.event_type);  // not stored: left as it was
  EXPECT_EQ(0u, dumped.begin()->event_type);

  // A newer event of the same path replaces the row.
  e.file_size = 1;
  ASSERT_EQ(0, db_.setLocalFilteredEvent(e));
  EXPECT_EQ("1\n", Sql("SELECT file_size FROM filtered_local_event_table;"));
}

TEST_F(FilterDBTest, NullTextColumnsReadAsEmpty) {
  Sql("INSERT INTO filtered_local_event_table (sess_id, file_type, is_exist, path, sync_id, file_size, "
      "file_mod_time, file_checksum, base_name, filtered_type) VALUES (1, 1, 1, '/d', 0, 0, 0, '', '', "
      "-13);");
  FilterLocalEvent e;
  e.win_hash = "stale";
  ASSERT_EQ(1, db_.getLocalFilteredEventByPath(1, "/d", e));
  EXPECT_EQ("", e.win_hash);
  EXPECT_EQ(0u, e.inode);
  EXPECT_EQ(1, e.file_type);
  std::set<FilterLocalEvent> dumped;
  ASSERT_EQ(0, db_.dumpLocalFilteredEvent(1, dumped));
  ASSERT_EQ(1u, dumped.size());
  EXPECT_EQ("", dumped.begin()->zarq_hash);
  EXPECT_EQ("/d", dumped.begin()->path);
}

TEST_F(FilterDBTest, MissingHeldBackEventLeavesTheRecord) {
  FilterLocalEvent e = Event(1, "/kept");
  e.file_size = 77;
  EXPECT_EQ(0, db_.getLocalFilteredEventByPath(1, "/absent", e));
  EXPECT_EQ("/kept", e.path);
  EXPECT_EQ(77u, e.file_size);
}

TEST_F(FilterDBTest, CleanSessionRemovesOnlyThatSession) {
  ASSERT_EQ(0, db_.setLocalFilteredEvent(Event(1, "/a")));
  ASSERT_EQ(0, db_.setLocalFilteredEvent(Event(2, "/a")));
  ASSERT_EQ(0, db_.cleanLocalFilteredEventBySession(1));
  EXPECT_EQ("2:/a\n", EventRows());
}

TEST_F(FilterDBTest, ResumeConditionsComeOldestFirst) {
  uint64_t ids[4] = {};
  ASSERT_EQ(0, db_.setResumeCondition(ResumeCondition{1, 10, -13, "/a"}, ids[0]));
  ASSERT_EQ(0, db_.setResumeCondition(ResumeCondition{2, 20, -14, "n"}, ids[1]));
  ASSERT_EQ(0, db_.setResumeCondition(ResumeCondition{1, 30, -15, "from=1,to=2"}, ids[2]));
  EXPECT_LT(ids[0], ids[1]);
  EXPECT_LT(ids[1], ids[2]);
  ASSERT_EQ(0, db_.rmResumeCondition(ids[0]));
  ASSERT_EQ(0, db_.setResumeCondition(ResumeCondition{1, 40, -12, "doc"}, ids[3]));
  ASSERT_EQ(0, db_.updateResumeSyncId(ids[2], 33));

  std::list<std::pair<uint64_t, ResumeCondition>> list;
  ASSERT_EQ(0, db_.getResumeConditionsBySession(1, list));
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ(ids[2], list.front().first);
  EXPECT_EQ(1u, list.front().second.sess_id);
  EXPECT_EQ(33u, list.front().second.sync_id);
  EXPECT_EQ(-15, list.front().second.filter_type);
  EXPECT_EQ("from=1,to=2", list.front().second.filter_desc);
  EXPECT_EQ(ids[3], list.back().first);

  uint64_t row = 0;
  ResumeCondition c;
  ASSERT_EQ(1, db_.getResumeCondition(row, c));
  EXPECT_EQ(ids[1], row);
  EXPECT_EQ(2u, c.sess_id);
  EXPECT_EQ("n", c.filter_desc);
  Sql("DELETE FROM filter_resume_table;");
  EXPECT_EQ(0, db_.getResumeCondition(row, c));
  EXPECT_THAT(Log(), HasSubstr("getResumeConditionBySession sql : SELECT id"));
}

TEST_F(FilterDBTest, StoredRulesConvertByType) {
  SelectiveSyncInfo empty;
  ASSERT_EQ(0, db_.ConvertFilterDBToSelectiveSyncInfo(1, empty));
  ASSERT_EQ(0, db_.ConvertWhiteFilterDBToSelectiveSyncInfo(1, empty));
  EXPECT_TRUE(empty.black_prefix.empty() && empty.black_name.empty() && empty.black_ext.empty() &&
              empty.white_ext.empty());
  EXPECT_EQ("", empty.black_size.filter_desc);

  Sql("INSERT INTO filter_table VALUES (1, 0, -13, '/docs'), (1, 4, -14, 'core'), (1, 5, -12, 'iso'), "
      "(1, 6, -5, 'odd'), (2, 1, -14, 'other');"
      "INSERT INTO filter_range_table VALUES (1, 8, -15, '100');"
      "INSERT INTO white_list_table VALUES (1, 9, -12, 'doc'), (1, 9, -7, 'bad');");
  SelectiveSyncInfo info;
  ASSERT_EQ(0, db_.ConvertFilterDBToSelectiveSyncInfo(1, info));
  ASSERT_EQ(0, db_.ConvertWhiteFilterDBToSelectiveSyncInfo(1, info));
  ASSERT_EQ(1u, info.black_prefix.size());
  EXPECT_EQ("/docs", info.black_prefix.begin()->filter_desc);
  ASSERT_EQ(1u, info.black_name.size());
  EXPECT_EQ("core", info.black_name.begin()->filter_desc);
  EXPECT_EQ(4u, info.black_name.begin()->sync_id);
  ASSERT_EQ(1u, info.black_ext.size());
  EXPECT_EQ("iso", info.black_ext.begin()->filter_desc);
  EXPECT_EQ("100", info.black_size.filter_desc);
  EXPECT_EQ(8u, info.black_size.sync_id);
  ASSERT_EQ(1u, info.white_ext.size());
  EXPECT_EQ("doc", info.white_ext.begin()->filter_desc);
  std::string log = Log();
  EXPECT_THAT(log, HasSubstr("Unknow filter_type: 18446744073709551611\n"));  // -5
  EXPECT_THAT(log, HasSubstr("Unknow filter_type: 18446744073709551609\n"));  // -7
}

TEST_F(FilterDBTest, EventOverflowWithoutRowReadsOverflow) {
  int stat = -1;
  ASSERT_EQ(0, db_.checkEventOverflow(stat));
  EXPECT_EQ(E_OVERFLOW, stat);
  ASSERT_EQ(0, db_.setConfigItem("event_overflow", "0"));
  ASSERT_EQ(0, db_.checkEventOverflow(stat));
  EXPECT_EQ(E_NOT_OVERFLOW, stat);
}

// The singletons log from their destructors at process exit; the logger
// must still be there to write the lines. The case starts this binary again
// with only itself selected, so that no other case has made the singletons
// yet; there it logs into the folder the variable names and leaves through
// std::exit, which runs the static destructors.
TEST(FilterSingletonsTest, DestructorsLogAtExit) {
  if (const char* child_dir = std::getenv("FILTER_SINGLETONS_LOG_DIR")) {
    filter_test::StartLog(child_dir);
    FilterDB::getInstance();
    ProgressCache::getInstance();
    std::exit(0);
  }
  testsupport::TempDir dir;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  testsupport::CommandResult r =
      testsupport::RunCommand({exe, "--gtest_filter=FilterSingletonsTest.DestructorsLogAtExit"}, "",
                              {"FILTER_SINGLETONS_LOG_DIR=" + dir.path()});
  ASSERT_EQ(0, r.exit_code) << r.err << r.out;
  std::string text = ReadAll(dir.path() + "/test.log");
  EXPECT_THAT(text, HasSubstr("): FilterDB constructed\n"));
  EXPECT_THAT(text, HasSubstr("): FilterDB deconstructed\n"));
  EXPECT_THAT(text, HasSubstr("): ProgressCache constructed.\n"));
  EXPECT_THAT(text, HasSubstr("): ProgressCache deconstructed.\n"));
}

}  // namespace
