// The registry under readers (Find, FindNext, GetAll) and a writer (Set,
// Clear) with real event databases: every copy a reader takes stays usable
// after the writer removes its session, and a database closes with the
// last copy, on whichever thread lets it go.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "event_db_fixture.h"
#include "session/registry.h"

namespace {

using event_db_test::Exists;

constexpr uint64_t kSessions = 40;

class RegistryConcurrencyTest : public event_db_test::EventDBTest {
 protected:
  std::string SessionDB(uint64_t id) const { return Path("s" + std::to_string(id) + "/event-db.sqlite"); }
};

// A usable copy: its database answers with the sync id it was given (the
// session id) and takes a write.
bool Usable(Registry::Entry& e) {
  if (!e.event_db) return false;
  uint64_t id = 0;
  if (e.event_db->getSyncId(id) != 0 || id != e.sess_id) return false;
  DBFileInfo rec = event_db_test::FileRecord("/seen");
  return e.event_db->setEventInfo(rec) == 0;
}

TEST_F(RegistryConcurrencyTest, ReadersAgainstWriterWithDatabases) {
  for (uint64_t id = 1; id <= kSessions; ++id) {
    ASSERT_EQ(0, mkdir(Path("s" + std::to_string(id)).c_str(), 0700));
  }
  Registry registry;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<int> seen{0};

  std::thread writer([&] {
    for (uint64_t id = 1; id <= kSessions; ++id) {
      Registry::Entry e;
      e.sess_id = id;
      e.event_db = new FileEventDB;
      e.black_list = new BlackList2;
      if (e.event_db->initialize(SessionDB(id).c_str()) != 0 || e.event_db->setSyncId(id) != 0) ++failures;
      registry.Set(e);
      Registry::Entry changed = e;
      changed.pause = true;
      registry.Set(changed);
      if (id > 3) registry.Clear(id - 3);  // at most three live sessions
    }
    registry.Clear();
  });

  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      Registry::Entry kept;  // held across rounds: outlives its session
      uint64_t cursor = 0;
      while (!done) {
        Registry::Entry e;
        if (r == 0) {
          if (registry.FindNext(cursor, e) == 1) {
            cursor = e.sess_id;
            if (!Usable(e)) ++failures;
            ++seen;
            kept = e;
          } else {
            cursor = 0;
          }
        } else if (r == 1) {
          for (uint64_t id = 1; id <= kSessions && !done; ++id) {
            if (registry.Find(id, e) == 1) {
              if (e.sess_id != id || !Usable(e)) ++failures;
              ++seen;
            }
          }
          kept = e;
        } else {
          std::vector<Registry::Entry> all;
          registry.GetAll(all);
          for (size_t i = 0; i < all.size(); ++i) {
            if (!Usable(all[i]) || (i > 0 && all[i - 1].sess_id >= all[i].sess_id)) ++failures;
            ++seen;
          }
          if (!all.empty()) kept = all.back();
        }
        if (kept.event_db && !Usable(kept)) ++failures;
      }
    });
  }
  writer.join();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(0u, registry.Size());
  // Every copy is gone: every database is closed.
  for (uint64_t id = 1; id <= kSessions; ++id) EXPECT_FALSE(Exists(SessionDB(id) + "-wal")) << id;
}

// A task records a recycle time while another thread flips the session's
// flags: with in-place setters no recycle time is lost, as it was when the
// flags were changed on a copy and written back with Set.
TEST(RegistryFlagsConcurrencyTest, SettersNeverUndoARecycleTime) {
  Registry registry;
  Registry::Entry e;
  e.sess_id = 7;
  registry.Set(e);
  constexpr uint32_t kRounds = 20000;
  std::atomic<bool> done{false};
  std::thread flipper([&] {
    for (uint32_t i = 0; !done; ++i) {
      registry.SetPause(7, i % 2 == 0);
      registry.SetReadOnly(7, i % 3 == 0);
      registry.SetRecursive(7, i % 5 == 0);
    }
  });
  int lost = 0;
  for (uint32_t t = kRounds; t > 0; --t) {
    registry.InitRecycleTime(e, t);
    Registry::Entry out;
    ASSERT_EQ(1, registry.Find(7, out));
    if (out.recycle_time != t) ++lost;
  }
  done = true;
  flipper.join();
  EXPECT_EQ(0, lost);
}

}  // namespace
