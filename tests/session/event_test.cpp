#include "session/event.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every field set to a value that differs from the empty event.
Event Filled() {
  Event e;
  e.m_type = Event::EV_MODIFY;
  e.m_mode = Event::F_SERVER | Event::F_CONFLICT;
  e.m_sync_id = 7;
  e.m_max_id = 9;
  e.m_data_size = 12;
  e.m_time = 1700000000u;
  e.m_data_hash = "h1";
  e.m_path = "/a/b.txt";
  e.m_opt = "/c";
  e.m_mac_attr_hash = "m1";
  e.m_mac_attr_size = 3;
  e.m_sess_id = 42;
  e.m_exec_bit = 1;
  return e;
}

void ExpectEmpty(const Event& e) {
  EXPECT_EQ(Event::EV_EMPTY, e.m_type);
  EXPECT_EQ(0u, e.m_mode);
  EXPECT_EQ(0u, e.m_sync_id);
  EXPECT_EQ(0u, e.m_max_id);
  EXPECT_EQ(0u, e.m_data_size);
  EXPECT_EQ(0u, e.m_time);
  EXPECT_EQ("", e.m_data_hash);
  EXPECT_EQ("", e.m_path);
  EXPECT_EQ("", e.m_opt);
  EXPECT_EQ("", e.m_mac_attr_hash);
  EXPECT_EQ(0u, e.m_mac_attr_size);
  EXPECT_EQ(0u, e.m_sess_id);
  EXPECT_EQ(0u, e.m_exec_bit);
}

TEST(EventTest, NewAndClearedEventsAreEmpty) {
  ExpectEmpty(Event());
  Event e = Filled();
  e.clear();
  ExpectEmpty(e);
}

TEST(EventTest, CopiesAreIndependentAndComplete) {
  Event src = Filled();
  Event copy(src);
  Event assigned;
  assigned = src;
  for (Event* e : {&copy, &assigned}) {
    EXPECT_EQ(src.toString(), e->toString());
    EXPECT_EQ(src.m_max_id, e->m_max_id);
    EXPECT_EQ(src.m_time, e->m_time);
    EXPECT_EQ(src.m_opt, e->m_opt);
    EXPECT_EQ(src.m_mac_attr_hash, e->m_mac_attr_hash);
    EXPECT_EQ(src.m_mac_attr_size, e->m_mac_attr_size);
    EXPECT_EQ(src.m_sess_id, e->m_sess_id);
    EXPECT_EQ(src.m_exec_bit, e->m_exec_bit);
    e->m_path += "x";
    e->m_data_hash = "changed";
    e->m_opt.clear();
  }
  EXPECT_EQ("/a/b.txt", src.m_path);
  EXPECT_EQ("h1", src.m_data_hash);
  EXPECT_EQ("/c", src.m_opt);
}

TEST(EventTest, SwapExchangesEveryField) {
  Event a = Filled();
  Event b;
  a.swap(b);
  ExpectEmpty(a);
  EXPECT_EQ(Filled().toString(), b.toString());
  EXPECT_EQ(42u, b.m_sess_id);
}

TEST(EventTest, FlagOperations) {
  Event e;
  EXPECT_FALSE(e.isValid());
  EXPECT_TRUE(e.isLocalEvent());
  EXPECT_TRUE(e.isFile());
  e.setServerEvent();
  e.setDir();
  e.setMerge();
  EXPECT_TRUE(e.isServerEvent());
  EXPECT_TRUE(e.isDir());
  EXPECT_TRUE(e.isMerge());
  e.setFile();
  EXPECT_TRUE(e.isFile());
  EXPECT_TRUE(e.isServerEvent());  // setFile clears F_DIR only

  // Each of the four sub-folder bits alone makes a sub-folder rescan.
  for (uint32_t bit : {64u, 128u, 256u, 512u}) {
    Event s;
    s.m_mode = bit;
    EXPECT_TRUE(s.isSubDirRescan()) << bit;
  }
  Event s;
  s.m_mode = Event::F_CONFLICT | Event::F_EXPAND | Event::F_RESCAN;
  EXPECT_FALSE(s.isSubDirRescan());
  EXPECT_TRUE(s.isExpand());
  EXPECT_TRUE(s.isRescan());
  EXPECT_TRUE(s.isConflict());
  s.m_mode = Event::F_LOCAL_SUBDIR_RESCAN_STAT;
  EXPECT_TRUE(s.isLocalSubDirRescanWithStat());
  EXPECT_FALSE(s.isLocalSubDirRescan());
}

TEST(EventTest, ToStringTable) {
  struct Case {
    int type;
    uint32_t mode;
    uint64_t sync_id;
    const char* path;
    const char* opt;
    uint64_t size;
    const char* hash;
    const char* expected;
  } cases[] = {
      {Event::EV_CREATE, 0, 0, "/a/b.txt", "", 12, "abc",
       "Event<EV_ADD>: [0] /a/b.txt (local,file) size = 12, hash = abc"},
      // The root rescan as the event queue issues it.
      {Event::EV_CREATE, Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN, 0, "/", "", 0, "",
       "Event<EV_ADD>: [0] / (local,dir,expand)"},
      {Event::EV_REMOVE, Event::F_SERVER | Event::F_DIR, 18446744073709551615ull, "/d", "", 5, "h",
       "Event<EV_REMOVE>: [18446744073709551615] /d (server,dir)"},
      {Event::EV_MODIFY, Event::F_SERVER, MAX_SYNC_ID, "/f", "", 0, "",
       "Event<EV_MODIFY>: [9223372036854775807] /f (server,file) size = 0, hash = "},
      {Event::EV_EMPTY, 0, 0, "", "", 0, "", "Event<EV_EMPTY>: [0]  (local,file) size = 0, hash = "},
      // A file rename: no tag, the size and hash part after the quote.
      {Event::EV_RENAME, Event::F_SERVER, 3, "/old", "/new", 9, "hh",
       "Event<EV_RENAME>: from '/old', to '/new' size = 9, hash = hh"},
      {Event::EV_RENAME, Event::F_DIR, 3, "/old", "/new", 9, "hh",
       "Event<EV_RENAME>: from '/old', to '/new'"},
      // A corrupt type prints its number.
      {5, 0, 1, "/x", "", 1, "q", "Event<5>: [1] /x (local,file) size = 1, hash = q"},
      {-3, Event::F_DIR, 1, "/x", "", 1, "q", "Event<-3>: [1] /x (local,dir)"},
      // UTF-8 bytes are written as they are.
      {Event::EV_CREATE, Event::F_DIR, 0, "/\xC3\xA9t\xC3\xA9", "", 0, "",
       "Event<EV_ADD>: [0] /\xC3\xA9t\xC3\xA9 (local,dir)"},
  };
  for (const Case& c : cases) {
    Event e;
    e.m_type = static_cast<Event::Type>(c.type);
    e.m_mode = c.mode;
    e.m_sync_id = c.sync_id;
    e.m_path = c.path;
    e.m_opt = c.opt;
    e.m_data_size = c.size;
    e.m_data_hash = c.hash;
    EXPECT_EQ(std::string(c.expected), e.toString().c_str_utf8());
  }
}

}  // namespace
