// The ProgressSyncer's steps driven from the test thread against the
// stand-in: the "condition" of each filter type, a condition worked off and
// removed, unusable replies, and the choice of the condition to work on.
#include <algorithm>

#include "filter/filter_codes.h"
#include "server/progress_syncer_road_profile.h"
#include "server/syncer_error.h"
#include "syncer_fixture.h"
#include "transport/error_code.h"

namespace {

using json = nlohmann::json;
using syncer_error::Action;

class ProgressSyncerTest : public syncer_test::SyncerTest {
 protected:
  // Stores a condition in the filter database and the cache, as the
  // filter reconciliation does; its row id.
  uint64_t AddCondition(uint64_t sess, uint64_t sync_id, int type, const std::string& desc) {
    const ResumeCondition c{sess, sync_id, type, desc.c_str()};
    uint64_t row = 0;
    EXPECT_EQ(0, FilterDB::getInstance()->setResumeCondition(c, row));
    ProgressCache::getInstance()->addProgressEntry(row, c);
    return row;
  }

  std::string RowSyncId(uint64_t row) {
    return Query(Path("filter.db"), "SELECT sync_id FROM filter_resume_table WHERE id=" + std::to_string(row));
  }

  size_t CacheSize() {
    std::vector<ProgressCache::Entry> all;
    ProgressCache::getInstance()->getProgressEntries(all);
    return all.size();
  }
};

// The request differs from the Syncer's only in "sync_id" (the
// condition's) and "condition"; an unknown type or an undecodable size
// range sends none.
TEST_F(ProgressSyncerTest, ConditionMemberByFilterType) {
  AddSession(1);
  struct Case {
    int type;
    const char* desc;
    const char* condition;  // JSON text, "" for none
    const char* line;       // expected log line, "" for none
  } cases[] = {
      {FILTER_EXT_SELECTIVE_SYNC, "*", R"({"extension":"*"})", ""},
      {FILTER_EXT_SELECTIVE_SYNC, "txt", R"({"extension":"txt"})", ""},
      {FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/docs", R"({"prefix":"/docs"})", ""},
      {FILTER_NAME_SELECTIVE_SYNC, "a.bin", R"({"name":"a.bin"})", ""},
      {FILTER_FILE_SIZE_SELECTIVE_SYNC, "from=100,to=200", R"({"max_size":200,"min_size":100})", ""},
      {FILTER_FILE_SIZE, "from=100,to=200", "", "Unknow filter type '-8'."},
      {FILTER_FILE_SIZE_SELECTIVE_SYNC, "from=x", "", "Failed to decode resume size filter 'from=x'"},
  };
  auto ps = MakeProgressSyncer();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.desc) + " " + std::to_string(c.type));
    ProgressCache::getInstance()->clear();
    ProgressCache::getInstance()->addProgressEntry(1, ResumeCondition{1, 7, c.type, c.desc});
    ASSERT_EQ(0, ps->UpdateContext());
    PObject request;
    ps->PrepareRequest(request);
    EXPECT_EQ("pull_event", request["_action"].asString());
    EXPECT_EQ(7u, request["sync_id"].asUInt64());
    EXPECT_EQ("/r1", request["path"].asString());
    EXPECT_EQ("test-token", request["session"].asString());
    EXPECT_EQ(1u, request["recursive"].asUInt64());
    if (*c.condition == '\0') {
      EXPECT_FALSE(request.hasMember("condition"));
    } else {
      const PObject& cond = request["condition"];
      json got = json::object();
      for (const auto& [key, value] : cond.asMap()) {
        if (value.isString()) {
          got[key.c_str_utf8()] = value.asString().c_str_utf8();
        } else {
          got[key.c_str_utf8()] = value.asUInt64();
        }
      }
      EXPECT_EQ(json::parse(c.condition), got);
    }
    if (*c.line != '\0') {
      EXPECT_TRUE(Logged(c.line));
    }
  }
}

// A condition pull (the stand-in filters) drains the matching files and
// advances the row's sync id; the next pull answers with that id, which
// removes row and cache entry, and the Syncer may pull the session again.
TEST_F(ProgressSyncerTest, ConditionIsWorkedOffThenRemoved) {
  AddSession(1);
  server_.Put("/r1/a.txt", "a");
  server_.Put("/r1/b.doc", "b");
  server_.Put("/r1/sub/c.txt", "c");
  const uint64_t head = server_.Head();
  const uint64_t row = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  Drainer();
  auto ps = MakeProgressSyncer();
  ps->SetState(Task::RUN);
  auto syncer = MakeSyncer();
  ASSERT_EQ(0, syncer->UpdateContext());
  EXPECT_FALSE(syncer->IsSessionReady());

  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(row, ps->context().row_id);
  ASSERT_TRUE(ps->IsSessionReady());
  EXPECT_EQ(ERR_OK, ps->PullEvent());
  std::vector<std::string> paths = TakenPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ((std::vector<std::string>{"/a.txt", "/sub/c.txt"}), paths);
  EXPECT_EQ(std::to_string(head), RowSyncId(row));
  ProgressCache::Entry cached;
  ASSERT_EQ(1, ProgressCache::getInstance()->getProgressEntry(cached));
  EXPECT_EQ(head, cached.condition.sync_id);
  EXPECT_TRUE(Logged("Find an resume_condition (" + std::to_string(row) + "): sess_id (1), sync_id (0), type (-12), "
                     "desc [txt]."));

  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(ERR_OK, ps->PullEvent());
  EXPECT_TRUE(Logged("already uptodate for current event pull condition."));
  EXPECT_EQ("", RowSyncId(row));
  EXPECT_EQ(0u, CacheSize());
  EXPECT_TRUE(syncer->IsSessionReady());

  const std::vector<json> pulls = Pulls();
  ASSERT_EQ(2u, pulls.size());
  EXPECT_EQ(0u, pulls[0]["request"]["sync_id"].get<uint64_t>());
  EXPECT_EQ(head, pulls[1]["request"]["sync_id"].get<uint64_t>());
  EXPECT_EQ(json({{"extension", "txt"}}), pulls[1]["request"]["condition"]);
  // Nothing else was pulled: the syncer's stored id is untouched.
  EXPECT_EQ("0", StoredSyncId(1));
  ASSERT_EQ(-1, ps->UpdateContext());  // the cache is empty
}

// A condition's reply of more changes than a slice is carried out whole,
// at most a slice queued at a time, and its new sync id is recorded only
// after the last slice.
TEST_F(ProgressSyncerTest, ReplyLargerThanASliceIsCarriedOutWholeThenStored) {
  AddSession(1);
  std::vector<std::string> want;
  for (int i = 0; i < 7; ++i) {
    server_.Put("/r1/f" + std::to_string(i) + ".txt", "x");
    want.push_back("/f" + std::to_string(i) + ".txt");
  }
  server_.Put("/r1/other.doc", "x");
  const uint64_t head = server_.Head();
  const uint64_t row = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  SeenAtTake seen;
  RecordingDrainer(1, seen, [this, row] { return RowSyncId(row); });
  auto ps = MakeProgressSyncer();
  ps->set_pull_slice(3);
  ps->SetState(Task::RUN);

  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(ERR_OK, ps->PullEvent());
  drainer_->Stop();
  std::vector<std::string> paths = TakenPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(want, paths);
  EXPECT_EQ(std::to_string(head), RowSyncId(row));
  ProgressCache::Entry cached;
  ASSERT_EQ(1, ProgressCache::getInstance()->getProgressEntry(cached));
  EXPECT_EQ(head, cached.condition.sync_id);
  EXPECT_EQ(1u, Pulls().size());
  ASSERT_EQ(want.size(), seen.pending.size());
  for (size_t i = 0; i < seen.pending.size(); ++i) {
    EXPECT_LE(seen.pending[i], 3u) << "change " << i;
    EXPECT_EQ("0", seen.stored[i]) << "change " << i;
  }
}

// Two conditions of one session are worked off one after the other,
// oldest first; the second starts from its own sync id.
TEST_F(ProgressSyncerTest, ConditionsOfOneSessionGoOldestFirst) {
  AddSession(1);
  server_.Put("/r1/a.txt", "a");
  const uint64_t mid = server_.Head();
  server_.Put("/r1/b.doc", "b");
  server_.Put("/r1/c.txt", "c");
  const uint64_t row1 = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  const uint64_t row2 = AddCondition(1, mid, FILTER_NAME_SELECTIVE_SYNC, "b.doc");
  Drainer();
  auto ps = MakeProgressSyncer();
  ps->SetState(Task::RUN);
  std::vector<uint64_t> rows;
  for (int i = 0; i < 6 && ps->UpdateContext() == 0; ++i) {
    rows.push_back(ps->context().row_id);
    ASSERT_EQ(ERR_OK, ps->PullEvent());
  }
  EXPECT_EQ((std::vector<uint64_t>{row1, row1, row2, row2}), rows);
  const std::vector<json> pulls = Pulls();
  ASSERT_EQ(4u, pulls.size());
  EXPECT_EQ(json({{"extension", "txt"}}), pulls[0]["request"]["condition"]);
  EXPECT_EQ(json({{"name", "b.doc"}}), pulls[2]["request"]["condition"]);
  EXPECT_EQ(mid, pulls[2]["request"]["sync_id"].get<uint64_t>());
  std::vector<std::string> paths = TakenPaths();
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ((std::vector<std::string>{"/a.txt", "/b.doc", "/c.txt"}), paths);
  EXPECT_EQ(0u, CacheSize());
}

// A reply whose next_sync_id equals the condition's removes it without
// pushing anything, even with a non-empty list.
TEST_F(ProgressSyncerTest, EqualNextSyncIdRemovesTheConditionWithoutPushing) {
  AddSession(1);
  server_.Put("/r1/a.txt", "a");
  const uint64_t row = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  ASSERT_NE(0u, server_.Fault({{"action", "pull_event"}, {"set", {{"next_sync_id", 0}}}}));
  Drainer();
  auto ps = MakeProgressSyncer();
  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(ERR_OK, ps->PullEvent());
  EXPECT_EQ("", RowSyncId(row));
  EXPECT_EQ(0u, CacheSize());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(0u, drainer_->Count());
}

// Replies without usable changes information leave the condition as it
// was: an "error" the daemon has no code for is ERR_SERVER (a 3-s wait, not
// an immediate re-pull), a missing next_sync_id ERR_PROTO (read as 0 it
// could have removed the condition without pulling anything).
TEST_F(ProgressSyncerTest, UnusableRepliesLeaveTheCondition) {
  AddSession(1);
  server_.Put("/r1/a.txt", "a");
  const uint64_t row = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  struct Case {
    const char* name;
    json rule;
    ErrorCode code;
    Action action;
  } cases[] = {
      {"0x7000", {{"error", 0x7000}}, ERR_SERVER, Action::kRetry},
      {"class 15", {{"error", 0xF000}}, ERR_SERVER, Action::kRetry},
      {"no next_sync_id", {{"omit", {"next_sync_id"}}}, ERR_PROTO, Action::kGiveUp},
      {"next_sync_id 2^63", {{"set", {{"next_sync_id", 9223372036854775808ull}}}}, ERR_PROTO, Action::kGiveUp},
      {"0x3003", {{"error", 0x3003}}, ERR_VIEW_PATH, Action::kRetry},
  };
  auto ps = MakeProgressSyncer();
  ps->SetState(Task::RUN);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json rule = c.rule;
    rule["action"] = "pull_event";
    ASSERT_NE(0u, server_.Fault(rule));
    ASSERT_EQ(0, ps->UpdateContext());
    EXPECT_EQ(c.code, ps->PullEvent());
    EXPECT_EQ(c.action, ps->HandleError(c.code));
    EXPECT_EQ("0", RowSyncId(row));
    EXPECT_EQ(1u, CacheSize());
    EXPECT_EQ(0u, EventManager::getInstance()->GetAllPendingEventCount(1));
    server_.ClearFaults();
  }
  EXPECT_TRUE(Logged("Progress syncer: HandleError: -7."));
  EXPECT_TRUE(Logged("Progress syncer: unexpected error code [-5]."));
  // No CRIT line for 0x3003 in the progress syncer's mapping.
  EXPECT_FALSE(Logged("invalid path in view"));
}

// The oldest condition belongs to a paused session (or one whose connection
// is gone): the next one of another session is worked meanwhile.
TEST_F(ProgressSyncerTest, ConditionOfAnUnworkableSessionHoldsNoOtherBack) {
  AddSession(1);
  AddSession(2);
  AddSession(3, /*conn_id=*/9);
  const uint64_t row3 = AddCondition(3, 0, FILTER_NAME_SELECTIVE_SYNC, "x");
  const uint64_t row1 = AddCondition(1, 0, FILTER_NAME_SELECTIVE_SYNC, "a");
  const uint64_t row2a = AddCondition(2, 0, FILTER_NAME_SELECTIVE_SYNC, "b");
  AddCondition(2, 0, FILTER_NAME_SELECTIVE_SYNC, "c");
  SetPause(1, true);
  auto ps = MakeProgressSyncer();
  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(row2a, ps->context().row_id);  // session 2's oldest first
  EXPECT_TRUE(ps->IsSessionReady());

  // With no workable session left, the oldest of all is taken, as before,
  // and waits with its log line.
  SetPause(2, true);
  EXPECT_EQ(-1, ps->UpdateContext());
  EXPECT_TRUE(Logged("ProgressSyncer: connection (with id = 9) is gone"));
  ProgressCache::getInstance()->rmProgressEntry(row3);
  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_EQ(row1, ps->context().row_id);
  EXPECT_FALSE(ps->IsSessionReady());
  EXPECT_TRUE(Logged("session (1) is under pause status."));
}

// Sessions whose pulls fail (here a server whose certificate does not
// verify for the connection's host name) take their turns after the others:
// the oldest condition, failing, holds back no younger session's first sync,
// two failing sessions alternate, and their connection's user is told once.
TEST_F(ProgressSyncerTest, FailingSessionsTakeTheirTurnsAfterOthers) {
  ConnectionInfo info;
  info.conn_id = 2;
  info.server_ip = "127.0.0.1";
  info.server_port = server_.port();
  info.server_name = "other.test";  // the stand-in's certificate names server.test
  info.session = "test-token";
  info.use_ssl = true;
  ASSERT_EQ(0, manager_.add(info, nullptr, nullptr));
  AddSession(1, /*conn_id=*/2);
  AddSession(3, /*conn_id=*/2);
  AddSession(2);
  server_.Put("/r2/a.txt", "a");
  const uint64_t row1 = AddCondition(1, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  const uint64_t row3 = AddCondition(3, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  const uint64_t row2 = AddCondition(2, 0, FILTER_EXT_SELECTIVE_SYNC, "txt");
  Drainer();
  auto ps = MakeProgressSyncer();
  ps->SetState(Task::RUN);
  std::vector<uint64_t> rows;
  for (int i = 0; i < 8 && ps->UpdateContext() == 0; ++i) {
    rows.push_back(ps->context().row_id);
    ASSERT_TRUE(ps->IsSessionReady());
    const ErrorCode code = ps->PullEvent();
    EXPECT_EQ(ps->context().reg_entry.conn_id == 2 ? ERR_SSL_VERIFY_FAIL : ERR_OK, code);
    EXPECT_EQ(code == ERR_OK ? Action::kDone : Action::kRetry, ps->HandleError(code));
  }
  // Session 2 is worked off (a pull, then the one that finds it up to date)
  // right after each failing session has had one try.
  EXPECT_EQ((std::vector<uint64_t>{row1, row3, row2, row2, row1, row3, row1, row3}), rows);
  EXPECT_EQ((std::vector<std::string>{"/a.txt"}), TakenPaths());
  EXPECT_EQ(2u, CacheSize());
  // One report for connection 2, whichever session met the failure; a last
  // report of another kind marks the end (reports arrive in order).
  Connection marker;
  (void)syncer_error::HandleError(ERR_AUTH, ProgressSyncerRoadLog(), testsupport::ProcessUiReporter(), 7, 7, marker);
  ASSERT_TRUE(ui_->waitFor(
      [](const std::vector<PObject>& m) {
        return !m.empty() && testsupport::UiStandIn::ErrorType(m.back()) == ErrorNumber(ERR_AUTH);
      },
      std::chrono::seconds(10)));
  std::vector<PObject> got;
  for (const PObject& m : ui_->messages()) {
    if (m["notify"].asString() == "error") got.push_back(m);
  }
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(ErrorNumber(ERR_SSL_VERIFY_FAIL), testsupport::UiStandIn::ErrorType(got[0]));
  EXPECT_EQ(2u, got[0]["connection_id"].asUInt64());
}

TEST_F(ProgressSyncerTest, PendingServerEventsHoldTheSession) {
  AddSession(1);
  AddCondition(1, 0, FILTER_NAME_SELECTIVE_SYNC, "a");
  Event ev;
  ev.m_type = Event::EV_CREATE;
  ev.m_path = "/queued";
  ev.m_sess_id = 1;
  EventManager::getInstance()->PushServerEvent(ev);
  auto ps = MakeProgressSyncer();
  ASSERT_EQ(0, ps->UpdateContext());
  EXPECT_FALSE(ps->IsSessionReady());
  EXPECT_TRUE(Logged("session (1) still has '1' pending server events."));
}

TEST_F(ProgressSyncerTest, ConditionOfAnUnregisteredSessionWaits) {
  AddCondition(5, 0, FILTER_NAME_SELECTIVE_SYNC, "a");
  auto ps = MakeProgressSyncer();
  EXPECT_EQ(-1, ps->UpdateContext());
  EXPECT_TRUE(Logged("Cannot find corresponding registry entry for sess_id '5'."));
  EXPECT_EQ(1u, CacheSize());
}

}  // namespace
