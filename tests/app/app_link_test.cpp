// "link" and "unlink": the environment, the task table and its threads.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app_fixture.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "server/progress_syncer.h"
#include "server/recycle_cleaner.h"
#include "server/syncer.h"

namespace {

using apptest::AppFixture;

// No stand-in: linking talks to no server.
class LinkTest : public AppFixture {
 protected:
  void Configure(Options& options) override { options.server = false; }

  // Whether every slot of the table is filled or none is.
  void ExpectTaskTable(size_t workers) {
    EXPECT_NE(app_.detector(), nullptr);
    EXPECT_NE(app_.recycle_cleaner(), nullptr);
    EXPECT_NE(app_.syncer(), nullptr);
    EXPECT_NE(app_.progress_syncer(), nullptr);
    EXPECT_EQ(app_.workers().size(), workers);
  }
  void ExpectNoTaskTable() {
    EXPECT_EQ(app_.detector(), nullptr);
    EXPECT_EQ(app_.recycle_cleaner(), nullptr);
    EXPECT_EQ(app_.syncer(), nullptr);
    EXPECT_EQ(app_.progress_syncer(), nullptr);
    EXPECT_TRUE(app_.workers().empty());
  }
};

// worker_count gives worker_count + 3 tasks: the four fixed ones and
// worker_count - 1 workers. 1, which would leave no worker, is refused and
// the default 3 kept.
struct TaskCount {
  uint32_t configured;
  size_t tasks;
};
void PrintTo(const TaskCount& c, std::ostream* os) { *os << "worker_count " << c.configured; }

class LinkTaskCountTest : public LinkTest, public ::testing::WithParamInterface<TaskCount> {
 protected:
  void Configure(Options& options) override {
    LinkTest::Configure(options);
    options.worker_count = GetParam().configured;
  }
};

TEST_P(LinkTaskCountTest, OneThreadPerTaskUntilUnlink) {
  const size_t tasks = GetParam().tasks;
  const size_t before = ThreadCount();
  ExpectNoTaskTable();
  Link();
  EXPECT_TRUE(Logged("totally " + std::to_string(tasks) + " tasks\n")) << Log();
  ExpectTaskTable(tasks - 4);
  EXPECT_EQ(ThreadCount(), before + tasks + 1);  // and the notification sender

  EXPECT_FALSE(Call("unlink").hasMember("error"));
  ExpectNoTaskTable();
  EXPECT_EQ(ThreadCount(), before);
}

INSTANTIATE_TEST_SUITE_P(WorkerCounts, LinkTaskCountTest,
                         ::testing::Values(TaskCount{1, 6}, TaskCount{2, 5}, TaskCount{3, 6}),
                         [](const ::testing::TestParamInfo<TaskCount>& info) {
                           return "WorkerCount" + std::to_string(info.param.configured);
                         });

TEST_F(LinkTest, AnEnvironmentThatCannotBePreparedStartsNoTask) {
  struct Case {
    const char* name;
    std::string settings;      // lines over the fixture's
    std::string system_rules;  // the system filter's content, when written
    bool write_filter;
    std::string logged;
  };
  const Case cases[] = {
      {"filter database in a missing folder", "filter_db_path=" + Path("missing/filter.db") + "\n", "", true,
       "Failed to init filter DB at [" + Path("missing/filter.db") + "]"},
      {"missing system filter", "system_filter_path=" + Path("absent.filter") + "\n", "", true,
       "Failed to load system filter from " + Path("absent.filter") + "."},
      {"broken system filter", "system_filter_path=" + Path("broken.filter") + "\n", "[File\nmax_size = \"x\n",
       true, "Failed to load system filter from " + Path("broken.filter") + "."},
  };
  const size_t before = ThreadCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("broken.filter", c.system_rules);
    WriteFile("case.conf", ReadFile("daemon.conf") + c.settings);
    ASSERT_EQ(0, Settings::getInstance()->loadConfigSettings(Path("case.conf").c_str()));
    PObject rsp = Call("link");
    EXPECT_EQ(rsp["error"].asString(), "Failed to initialize environment");
    EXPECT_TRUE(Logged("[ERROR] app(")) << Log();
    EXPECT_TRUE(Logged(c.logged)) << Log();
    EXPECT_TRUE(Logged("failed to initialize environment\n")) << Log();
    ExpectNoTaskTable();
    EXPECT_EQ(ThreadCount(), before);
    // What init_env opened before failing goes with the next unlink.
    (void)Call("unlink");
  }
}

TEST_F(LinkTest, LinkEmptiesTheFileStatusDatabase) {
  ASSERT_EQ(0, FileStatusDB::initialize(Path("fstat.db").c_str()));
  for (const char* path : {"/a/x", "/a/y", "/b"}) {
    FileStatusInfo info;
    info.path = path;
    info.syncStatus = FSTAT_SYNCING;
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
  }
  FileStatusDB::destroy();
  ASSERT_EQ(Sqlite(Path("fstat.db"), "SELECT count(*) FROM fstatinfo"), "3\n");
  Link();
  EXPECT_EQ(Sqlite(Path("fstat.db"), "SELECT count(*) FROM fstatinfo"), "0\n");
}

TEST_F(LinkTest, ASecondLinkUnlinksFirstAndUnlinkTwiceIsHarmless) {
  const size_t before = ThreadCount();
  Link();
  const size_t linked = ThreadCount();
  Connect(4);
  MakeSessionFolders(5);
  (void)RegisterSession(5, 4);
  ASSERT_NE(app_.detector(), nullptr);
  // Task ids are never reused in a process: another id shows that the first
  // detector was stopped and a new one run (an address would not: the
  // allocator may hand the freed one back).
  const int first = app_.detector()->GetId();
  EXPECT_GE(first, 0);

  Link();
  EXPECT_TRUE(Logged("[WARNING] app(")) << Log();
  EXPECT_TRUE(Logged("already linked, unlinking first\n")) << Log();
  // The state of a first link: a new table, the same threads, nothing
  // registered.
  ASSERT_NE(app_.detector(), nullptr);
  EXPECT_GE(app_.detector()->GetId(), 0);
  EXPECT_NE(app_.detector()->GetId(), first);
  EXPECT_EQ(ThreadCount(), linked);
  const PObject status = Call("get_status");
  EXPECT_TRUE(status["session_list"].isNull()) << Text(status);
  EXPECT_TRUE(status["connection_list"].isNull()) << Text(status);
  EXPECT_TRUE(status["worker_list"].isNull()) << Text(status);

  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(Call("unlink").hasMember("error"));
    ExpectNoTaskTable();
    EXPECT_EQ(ThreadCount(), before);
  }
  EXPECT_EQ(CountInLog("unlink daemon\n"), 3u);
}

// The reconciliation caches the conditions it stores; loading the stored
// ones afterwards must not add them twice.
TEST_F(LinkTest, LoadResumeConditionHoldsEachStoredConditionOnceInRowOrder) {
  Link();
  ProgressCache* cache = ProgressCache::getInstance();
  std::vector<uint64_t> rows;
  for (const char* prefix : {"/b", "/a", "/c"}) {
    ResumeCondition c;
    c.sess_id = 5;
    c.sync_id = 40;
    c.filter_type = FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    c.filter_desc = prefix;
    uint64_t row = 0;
    ASSERT_EQ(0, FilterDB::getInstance()->setResumeCondition(c, row));
    rows.push_back(row);
    // As a comparison does: the condition goes to the cache as well.
    cache->addProgressEntry(row, c);
  }
  ResumeCondition other;
  other.sess_id = 6;
  other.filter_type = FILTER_NAME_SELECTIVE_SYNC;
  other.filter_desc = "x";
  cache->addProgressEntry(99, other);

  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, app_.load_resume_condition(5));
    std::vector<ProgressCache::Entry> entries;
    cache->getProgressEntries(entries);
    std::vector<uint64_t> cached;
    for (const ProgressCache::Entry& e : entries) {
      if (e.condition.sess_id == 5) cached.push_back(e.row_id);
    }
    EXPECT_EQ(cached, rows);
    EXPECT_EQ(entries.size(), 4u);  // the other session's entry stays
  }
  EXPECT_EQ(CountInLog("to progress_cache.\n"), 6u);

  // A session without stored conditions keeps no cached one.
  cache->addProgressEntry(77, [] {
    ResumeCondition c;
    c.sess_id = 8;
    return c;
  }());
  ASSERT_EQ(0, app_.load_resume_condition(8));
  EXPECT_FALSE(cache->isInProgrssCache(8));
}

}  // namespace
