// The event generator: server change records into events (echo drops,
// optional members, unsafe paths), forced downloads, uploads, removes and
// released held-back events, seen through the event queue.
#include "session/event_generator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "event_queue_fixture.h"
#include "session/event_manager.h"
#include "support/recording_task.h"

namespace {

class EventGeneratorTest : public EventQueueTest {
 protected:
  void SetUp() override {
    EventQueueTest::SetUp();
    ASSERT_EQ(mkdir(Path("s1").c_str(), 0700), 0);
    entry_ = AddSession(1, Path("s1"), true);
  }

  // Writes the database record of `path`.
  void Record(const char* path, uint64_t sync_id, bool is_dir = false) {
    DBFileInfo info;
    info.path = path;
    info.syncID = sync_id;
    info.fileType = is_dir ? 1 : 0;
    info.fileSize = 1234;
    info.fileCheckSum = "hash-of-record";
    info.fileModTime = 1700000000;
    info.execBit = 1;
    info.macHash = "mac-of-record";
    ASSERT_EQ(entry_.event_db->setEventInfo(info), 0);
  }

  // Every event queued so far, in hand-out order (each one finished).
  std::vector<Event> Queued() {
    std::vector<Event> out;
    testsupport::RecordingTask task;
    Event ev;
    while (EventManager::getInstance()->PullEvent(&task, ev) == 0) {
      out.push_back(ev);
      Event next;
      EXPECT_EQ(EventManager::getInstance()->DoneEvent(&task, next), 0);
    }
    return out;
  }

  static PObject Change(const char* path, uint64_t sync_id, bool is_dir = false, bool removed = false) {
    PObject c;
    c["path"] = path;
    c["sync_id"] = static_cast<unsigned long long>(sync_id);
    c["max_id"] = static_cast<unsigned long long>(sync_id + 10);
    c["is_dir"] = is_dir;
    c["is_removed"] = removed;
    return c;
  }

  Registry::Entry entry_;
};

TEST_F(EventGeneratorTest, EchoTable) {
  Record("/same", 7);
  Record("/gone", 7);
  Record("/older", 9);
  Record("/dir", 7, true);
  WriteFile("s1/same", "x");
  WriteFile("s1/older", "x");
  ASSERT_EQ(mkdir(Path("s1/dir").c_str(), 0700), 0);
  struct Case {
    PObject change;
    int result;
  } cases[] = {
      {Change("/same", 7), 0},                      // equal sync id, file present: echo
      {Change("/same", 6), 0},                      // older change: echo
      {Change("/older", 9, false, true), 0},        // an old removal of a present file
      {Change("/dir", 7, true), 0},
      {Change("/gone", 7), 1},                      // local file missing: queued
      {Change("/same", 8), 1},                      // newer: queued
      {Change("/unknown", 3, false, true), 0},      // removal the database does not know
      {Change("/new", 3), 1},                       // creation the database does not know
      {Change("/new-dir", 3, true), 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.change.toString().c_str_utf8());
    EXPECT_EQ(PushEvent(entry_, c.change), c.result);
  }
  std::vector<std::string> queued;
  for (const Event& ev : Queued()) queued.push_back(ev.m_path.c_str_utf8());
  EXPECT_EQ(queued, (std::vector<std::string>{"/gone", "/same", "/new", "/new-dir"}));
  EXPECT_TRUE(Logged("): File [/same] is already up-to-date (server echo).\n"));
  EXPECT_TRUE(Logged("): Server delete event [/unknown] and cannot find db record (server echo).\n"));
}

TEST_F(EventGeneratorTest, ChangeFieldsAndDefaults) {
  PObject full = Change("/f", 42);
  full["file"]["hash"] = "abc";
  full["file"]["size"] = 5000000000ULL;
  full["mtime"]["mtime"] = 1600000000u;
  full["mac_attribute"]["hash"] = "mac";
  full["mac_attribute"]["size"] = 12u;
  full["exec_bit"]["exec_bit"] = 1u;
  Event ev;
  ASSERT_TRUE(ServerChangeToEvent(9, full, ev));
  EXPECT_EQ(ev.m_type, Event::EV_CREATE);
  EXPECT_EQ(ev.m_mode, Event::F_SERVER);
  EXPECT_EQ(ev.m_path, "/f");
  EXPECT_EQ(ev.m_sync_id, 42u);
  EXPECT_EQ(ev.m_max_id, 52u);
  EXPECT_EQ(ev.m_sess_id, 9u);
  EXPECT_EQ(ev.m_data_hash, "abc");
  EXPECT_EQ(ev.m_data_size, 5000000000ULL);
  EXPECT_EQ(ev.m_time, 1600000000u);
  EXPECT_EQ(ev.m_mac_attr_hash, "mac");
  EXPECT_EQ(ev.m_mac_attr_size, 12u);
  EXPECT_EQ(ev.m_exec_bit, 1u);

  // No optional member, and optional members of the wrong kind: all empty.
  PObject bare = Change("/d", 3, true, true);
  PObject odd = Change("/d", 3, true, true);
  odd["file"] = "not a map";
  odd["mtime"] = 77u;
  for (const PObject* c : {&bare, &odd}) {
    ASSERT_TRUE(ServerChangeToEvent(1, *c, ev));
    EXPECT_EQ(ev.m_type, Event::EV_REMOVE);
    EXPECT_EQ(ev.m_mode, Event::F_SERVER | Event::F_DIR);
    EXPECT_EQ(ev.m_data_size, 0u);
    EXPECT_EQ(ev.m_time, 0u);
    EXPECT_EQ(ev.m_data_hash, "");
    EXPECT_EQ(ev.m_mac_attr_hash, "");
    EXPECT_EQ(ev.m_exec_bit, 0u);
  }

  // An empty record reads as a file creation of "", which is unsafe.
  EXPECT_FALSE(ServerChangeToEvent(1, PObject(), ev));
  EXPECT_FALSE(ServerChangeToEvent(1, PObject("a string"), ev));

  // A change without optional members reaches the queue with empty fields.
  EXPECT_EQ(PushEvent(entry_, Change("/bare", 3)), 1);
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].m_data_size, 0u);
  EXPECT_EQ(queued[0].m_data_hash, "");
}

TEST_F(EventGeneratorTest, UnsafeServerPathsAreDropped) {
  struct Case {
    const char* path;
    bool is_dir;
    bool removed;
    int result;
  } cases[] = {
      {"/../x", false, false, 0},
      {"/a/../../x", false, false, 0},
      {"a", false, false, 0},
      {"", true, false, 0},
      {"/a//b", false, false, 0},
      {"/a/", true, false, 0},
      {"/./a", false, false, 0},
      {"/.zarqelonworkingdirectory/x", false, false, 0},
      {"/", true, true, 0},    // removing the root would move the sync folder aside
      {"/", false, true, 0},
      {"/", false, false, 0},  // the root is no file
      {"/caf\xe9", false, false, 0},  // not UTF-8
      {"/a\\b", false, false, 1},
      {"/\xc3\xa9", false, false, 1},
      {"/", true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(PushEvent(entry_, Change(c.path, 100, c.is_dir, c.removed)), c.result);
  }
  std::vector<std::string> queued;
  for (const Event& ev : Queued()) queued.push_back(ev.m_path.c_str_utf8());
  EXPECT_EQ(queued, (std::vector<std::string>{"/", "/a\\b", "/\xc3\xa9"}));
  EXPECT_TRUE(Logged("): Server change with unsafe path [/../x] in session 1, drop it.\n"));
}

TEST_F(EventGeneratorTest, ForcedDownloadTakesTheRecordsFacts) {
  Record("/known", 4);
  EXPECT_EQ(PushDownloadEvent(entry_, "/known", false), 1);
  EXPECT_EQ(PushDownloadEvent(entry_, "/unknown", true), 1);
  EXPECT_TRUE(Logged("): force download event (/unknown) missing required info\n"));
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  const Event& known = queued[0];
  EXPECT_EQ(known.m_type, Event::EV_MODIFY);
  EXPECT_EQ(known.m_mode, Event::F_SERVER);
  EXPECT_EQ(known.m_sync_id, MAX_SYNC_ID);
  EXPECT_EQ(known.m_max_id, MAX_SYNC_ID);
  EXPECT_EQ(known.m_data_size, 1234u);
  EXPECT_EQ(known.m_time, 1700000000u);
  EXPECT_EQ(known.m_data_hash, "hash-of-record");
  EXPECT_EQ(known.m_mac_attr_hash, "mac-of-record");
  EXPECT_EQ(known.m_exec_bit, 1u);
  const Event& unknown = queued[1];
  EXPECT_EQ(unknown.m_path, "/unknown");
  EXPECT_EQ(unknown.m_mode, Event::F_SERVER | Event::F_DIR);
  EXPECT_EQ(unknown.m_data_size, 0u);
  EXPECT_EQ(unknown.m_data_hash, "");
}

TEST_F(EventGeneratorTest, LocalAndServerPushes) {
  EXPECT_EQ(PushUploadEvent(entry_, "/up", true), 1);
  EXPECT_EQ(PushLocalRemoveEvent(entry_, "/gone", false), 1);
  EXPECT_EQ(PushServerRemoveEvent(entry_, "/srv", false, 11, 12), 1);
  // The root may be uploaded as a folder, never removed.
  EXPECT_EQ(PushLocalRemoveEvent(entry_, "/", true), 0);
  EXPECT_EQ(PushServerRemoveEvent(entry_, "/", true, 1, 1), 0);
  EXPECT_EQ(PushUploadEvent(entry_, "/../up", false), 0);
  EXPECT_EQ(PushDownloadEvent(entry_, "/x/", false), 0);
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 3u);
  EXPECT_EQ(queued[0].m_path, "/gone");
  EXPECT_EQ(queued[0].m_type, Event::EV_REMOVE);
  EXPECT_EQ(queued[0].m_mode, 0u);
  EXPECT_EQ(queued[1].m_path, "/srv");
  EXPECT_EQ(queued[1].m_type, Event::EV_REMOVE);
  EXPECT_EQ(queued[1].m_mode, Event::F_SERVER);
  EXPECT_EQ(queued[1].m_sync_id, 11u);
  EXPECT_EQ(queued[1].m_max_id, 12u);
  EXPECT_EQ(queued[2].m_path, "/up");
  EXPECT_EQ(queued[2].m_type, Event::EV_MODIFY);
  EXPECT_EQ(queued[2].m_mode, Event::F_DIR);
  EXPECT_EQ(queued[2].m_sess_id, 1u);
}

TEST_F(EventGeneratorTest, ReleasedHeldBackEvents) {
  FilterLocalEvent folder;
  folder.path = "/kept";
  folder.file_type = 1;
  folder.is_exist = 1;
  FilterLocalEvent vanished;
  vanished.path = "/vanished";
  vanished.file_type = 0;
  vanished.is_exist = 0;
  EXPECT_EQ(PushEvent(entry_, folder), 1);
  EXPECT_EQ(PushEvent(entry_, vanished), 1);
  auto queued = Queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].m_path, "/vanished");  // files before folders
  EXPECT_EQ(queued[0].m_type, Event::EV_MODIFY);
  EXPECT_EQ(queued[0].m_mode, Event::F_SERVER);
  EXPECT_EQ(queued[0].m_sync_id, MAX_SYNC_ID);
  EXPECT_EQ(queued[1].m_path, "/kept");
  EXPECT_EQ(queued[1].m_type, Event::EV_MODIFY);
  EXPECT_EQ(queued[1].m_mode, Event::F_DIR);
}

TEST_F(EventGeneratorTest, WithoutADatabaseNothingIsAnEcho) {
  Registry::Entry no_db;
  no_db.sess_id = 1;
  no_db.local_path = Path("s1").c_str();
  WriteFile("s1/a", "x");
  EXPECT_EQ(PushEvent(no_db, Change("/a", 1)), 1);
  EXPECT_EQ(PushEvent(no_db, Change("/b", 1, false, true)), 1);
  EXPECT_EQ(PushDownloadEvent(no_db, "/c", false), 1);
  EXPECT_EQ(Queued().size(), 3u);
}

}  // namespace
