#include "session/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "event_db_fixture.h"

namespace {

using event_db_test::Exists;

Registry::Entry Session(uint64_t id) {
  Registry::Entry e;
  e.sess_id = id;
  e.conn_id = id * 10;
  e.local_path = ("/local/" + std::to_string(id)).c_str();
  return e;
}

TEST(RegistryTest, FindNextCyclesThroughSessions) {
  Registry r;
  Registry::Entry out = Session(42);
  EXPECT_EQ(0, r.FindNext(0, out));
  EXPECT_EQ(42u, out.sess_id);  // untouched
  for (uint64_t id : {9, 3, 7}) r.Set(Session(id));
  const struct {
    uint64_t from, next;
  } cases[] = {{3, 7}, {7, 9}, {9, 3}, {5, 3}, {0, 3}, {100, 3}};
  for (const auto& c : cases) {
    ASSERT_EQ(1, r.FindNext(c.from, out)) << c.from;
    EXPECT_EQ(c.next, out.sess_id) << c.from;
    EXPECT_EQ(c.next * 10, out.conn_id);
  }
  Registry one;
  one.Set(Session(5));
  for (uint64_t from : {0, 5, 6}) {
    ASSERT_EQ(1, one.FindNext(from, out));
    EXPECT_EQ(5u, out.sess_id);
  }
}

TEST(RegistryTest, SetFindClear) {
  Registry r;
  r.Set(Session(1));
  r.Set(Session(2));
  Registry::Entry changed = Session(1);
  changed.pause = true;
  changed.remote_path = "/remote";
  r.Set(changed);
  EXPECT_EQ(2u, r.Size());
  Registry::Entry out;
  ASSERT_EQ(1, r.Find(1, out));
  EXPECT_TRUE(out.pause);
  EXPECT_EQ(ustring("/remote"), out.remote_path);

  Registry::Entry kept = Session(77);
  EXPECT_EQ(0, r.Find(3, kept));
  EXPECT_EQ(77u, kept.sess_id);
  EXPECT_EQ(ustring("/local/77"), kept.local_path);

  r.Clear(1);
  r.Clear(1);  // not stored: nothing
  EXPECT_EQ(0, r.Find(1, out));
  EXPECT_EQ(1u, r.Size());
  r.Remove(2);
  EXPECT_EQ(0u, r.Size());
  r.Set(Session(4));
  r.Set(Session(5));
  r.Clear();
  EXPECT_EQ(0u, r.Size());
  r.lock();
  r.unlock();
}

TEST(RegistryTest, GetAllReplacesTheListInIdOrder) {
  Registry r;
  for (uint64_t id : {8, 2, 5}) r.Set(Session(id));
  std::vector<Registry::Entry> list{Session(100), Session(101), Session(102), Session(103)};
  r.GetAll(list);
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ(2u, list[0].sess_id);
  EXPECT_EQ(5u, list[1].sess_id);
  EXPECT_EQ(8u, list[2].sess_id);
  Registry empty;
  empty.GetAll(list);
  EXPECT_TRUE(list.empty());
}

TEST(RegistryTest, RecycleTimes) {
  Registry r;
  r.Set(Session(1));
  Registry::Entry key = Session(1);
  key.recycle_time = 999;  // only sess_id of the argument counts
  Registry::Entry out;
  const struct {
    bool init;
    uint32_t time, expected;
  } steps[] = {{true, 100, 100}, {true, 50, 50}, {true, 80, 50}, {false, 0, 0}, {true, 70, 70}, {false, 300, 300}};
  for (const auto& s : steps) {
    if (s.init) {
      r.InitRecycleTime(key, s.time);
    } else {
      r.UpdateRecycleTime(key, s.time);
    }
    ASSERT_EQ(1, r.Find(1, out));
    EXPECT_EQ(s.expected, out.recycle_time) << s.time;
  }
  r.InitRecycleTime(Session(2), 5);  // not stored: nothing
  r.UpdateRecycleTime(Session(2), 5);
  EXPECT_EQ(1u, r.Size());
}

// Each setter changes its one flag of the stored entry, leaves every other
// field (the recycle time a task set meanwhile included) and reports an
// unknown id without storing anything.
TEST(RegistryTest, FlagSettersChangeOneFieldInPlace) {
  using Setter = int (Registry::*)(uint64_t, bool);
  const struct {
    const char* name;
    Setter set;
    bool Registry::Entry::*field;
  } setters[] = {
      {"SetReadOnly", &Registry::SetReadOnly, &Registry::Entry::read_only},
      {"SetRecursive", &Registry::SetRecursive, &Registry::Entry::recursive},
      {"SetPause", &Registry::SetPause, &Registry::Entry::pause},
  };
  for (const auto& s : setters) {
    Registry r;
    Registry::Entry e = Session(1);
    e.read_only = e.recursive = e.pause = false;
    r.Set(e);
    r.Set(Session(2));
    r.InitRecycleTime(e, 500);
    for (bool value : {true, true, false}) {
      ASSERT_EQ(1, (r.*s.set)(1, value)) << s.name;
      Registry::Entry out;
      ASSERT_EQ(1, r.Find(1, out));
      EXPECT_EQ(value, out.*s.field) << s.name;
      EXPECT_EQ(500u, out.recycle_time) << s.name;
      EXPECT_EQ(10u, out.conn_id) << s.name;
      int others = int(out.read_only) + int(out.recursive) + int(out.pause) - int(out.*s.field);
      EXPECT_EQ(0, others) << s.name;
    }
    Registry::Entry two;
    ASSERT_EQ(1, r.Find(2, two));
    EXPECT_FALSE(two.read_only || two.recursive || two.pause) << s.name;
    EXPECT_EQ(0, (r.*s.set)(3, true)) << s.name;
    EXPECT_EQ(2u, r.Size()) << s.name;
  }
}

TEST(RegistryTest, FreshEntryAndClear) {
  Registry::Entry e;
  EXPECT_EQ(PERM_SYNC_ALL, e.perm_mode);
  EXPECT_FALSE(e.pause);
  EXPECT_FALSE(e.recursive);
  EXPECT_FALSE(e.read_only);
  EXPECT_FALSE(e.isMSDOS);
  EXPECT_EQ(0u, e.sess_id);
  EXPECT_EQ(0u, e.recycle_time);
  EXPECT_FALSE(e.black_list);
  EXPECT_FALSE(e.white_list);
  EXPECT_FALSE(e.force_hash_check_list);
  EXPECT_FALSE(e.event_db);

  e = Session(3);
  e.view_id = e.node_id = 4;
  e.recycle_time = 5;
  e.recursive = e.pause = e.read_only = e.isMSDOS = true;
  e.perm_mode = PERM_SYNC_EXEC_BIT_ONLY;
  e.remote_path = e.config_path = "/x";
  e.black_list = new BlackList2;
  e.white_list = new WhiteListCpp;
  e.force_hash_check_list = new ForceHashCheckListCpp;
  Registry::Entry other(e);
  e.clear();
  EXPECT_EQ(0u, e.conn_id + e.sess_id + e.view_id + e.node_id + e.recycle_time);
  EXPECT_FALSE(e.recursive || e.pause || e.read_only || e.isMSDOS);
  EXPECT_EQ(PERM_SYNC_ALL, e.perm_mode);
  EXPECT_TRUE(e.local_path.empty() && e.remote_path.empty() && e.config_path.empty());
  EXPECT_FALSE(e.black_list || e.white_list || e.force_hash_check_list);
  // The copy keeps the objects.
  EXPECT_TRUE(other.black_list && other.white_list && other.force_hash_check_list);
  EXPECT_EQ(-1, other.white_list->Test("a.txt"));  // usable: an empty list lets nothing through
}

// A session with a real database in its own configuration folder.
class RegistryDBTest : public event_db_test::EventDBTest {
 protected:
  Registry::Entry WithDB(uint64_t id) {
    Registry::Entry e = Session(id);
    FileEventDB* db = new FileEventDB;
    e.event_db = db;
    EXPECT_EQ(0, db->initialize(DBPath().c_str()));
    return e;
  }
};

// Removing a session does not close its database while a task still holds
// a copy of the entry; the last copy closes it.
TEST_F(RegistryDBTest, CopyKeepsTheDatabaseAfterClear) {
  Registry r;
  {
    Registry::Entry e = WithDB(1);
    r.Set(e);
  }
  Registry::Entry task;
  ASSERT_EQ(1, r.Find(1, task));
  r.Clear(1);
  ASSERT_TRUE(task.event_db);
  ASSERT_EQ(0, task.event_db->setSyncId(5));
  uint64_t id = 0;
  ASSERT_EQ(0, task.event_db->getSyncId(id));
  EXPECT_EQ(5u, id);
  EXPECT_TRUE(Exists(DBPath() + "-wal"));

  Registry::Entry second(task);
  task.clear();  // drops only this copy's share
  EXPECT_TRUE(Exists(DBPath() + "-wal"));
  EXPECT_EQ(0, second.event_db->getSyncId(id));
  second = Session(2);  // assignment drops the last share: closed
  EXPECT_FALSE(Exists(DBPath() + "-wal"));
  EXPECT_EQ("5\n", Shell("SELECT value FROM config_table WHERE key = 'sync_id';"));
}

TEST_F(RegistryDBTest, ReplacingAndClearingAllCloseTheDatabase) {
  Registry r;
  r.Set(WithDB(1));
  EXPECT_TRUE(Exists(DBPath() + "-wal"));
  r.Set(Session(1));  // the replaced entry held the last share
  EXPECT_FALSE(Exists(DBPath() + "-wal"));
  r.Set(WithDB(2));
  EXPECT_TRUE(Exists(DBPath() + "-wal"));
  r.Clear();
  EXPECT_FALSE(Exists(DBPath() + "-wal"));
}

TEST(RegistryInstanceTest, OneProcessWideRegistry) {
  Registry& a = Registry::getInstance();
  const size_t before = a.Size();
  a.Set(Session(6));
  EXPECT_EQ(&a, &Registry::getInstance());
  EXPECT_EQ(before + 1, Registry::getInstance().Size());
  Registry::Entry out;
  EXPECT_EQ(1, Registry::getInstance().Find(6, out));
  // Process-wide: a session left here would be found by the tests after
  // this one in the same process.
  a.Clear(6);
}

}  // namespace
