// EventManager: hand-out order, done and redo, hand-over of newer events,
// aborts, expands and rescans, counts, and what it writes to the
// file-status database and the user interface.
#include "session/event_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "event_manager_view.h"
#include "event_queue_fixture.h"
#include "support/recording_task.h"

namespace {

// Event tokens of the scenarios: [<sess>.]<origin><type><kind>:<path>[@<sync id>]
//   origin L local, S server; type + create, ~ modify, - remove, 0 empty;
//   kind f file, d folder, x expand (folder), r rescan (folder),
//   X expand without F_DIR. Session 1 when not given.
Event ParseEvent(const std::string& token) {
  Event ev;
  std::string t = token;
  ev.m_sess_id = 1;
  size_t dot = t.find('.');
  size_t colon = t.find(':');
  if (dot != std::string::npos && dot < colon) {
    ev.m_sess_id = std::stoull(t.substr(0, dot));
    t = t.substr(dot + 1);
    colon = t.find(':');
  }
  if (colon != 3) throw std::invalid_argument("bad event token " + token);
  if (t[0] == 'S') ev.m_mode |= Event::F_SERVER;
  switch (t[1]) {
    case '+': ev.m_type = Event::EV_CREATE; break;
    case '~': ev.m_type = Event::EV_MODIFY; break;
    case '-': ev.m_type = Event::EV_REMOVE; break;
    case '0': ev.m_type = Event::EV_EMPTY; break;
    default: throw std::invalid_argument("bad type in " + token);
  }
  switch (t[2]) {
    case 'f': break;
    case 'd': ev.m_mode |= Event::F_DIR; break;
    case 'x': ev.m_mode |= Event::F_DIR | Event::F_EXPAND; break;
    case 'r': ev.m_mode |= Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN; break;
    case 'X': ev.m_mode |= Event::F_EXPAND; break;
    default: throw std::invalid_argument("bad kind in " + token);
  }
  std::string path = t.substr(4);
  size_t at = path.find('@');
  if (at != std::string::npos) {
    ev.m_sync_id = std::stoull(path.substr(at + 1));
    path = path.substr(0, at);
  }
  ev.m_path = path.c_str();
  return ev;
}

// The token of an event, for comparison with the expected one.
std::string Token(const Event& ev) {
  std::string t = ev.m_sess_id == 1 ? "" : std::to_string(ev.m_sess_id) + ".";
  t += ev.isServerEvent() ? 'S' : 'L';
  const char types[] = {'0', '+', '-', '~', 'R'};
  t += (ev.m_type >= 0 && ev.m_type <= 4) ? types[ev.m_type] : '?';
  if (ev.isRescan()) {
    t += 'r';
  } else if (ev.isExpand()) {
    t += ev.isDir() ? 'x' : 'X';
  } else {
    t += ev.isDir() ? 'd' : 'f';
  }
  t += ':';
  t += ev.m_path.c_str_utf8();
  return t;
}

// The expected token without a sync id (hand-outs are compared without it).
std::string Strip(const std::string& token) { return token.substr(0, token.find('@')); }

// Runs one scenario against a fresh EventManager. Steps:
//   push <event>              PushLocalEvent / PushServerEvent by origin
//   expand <path>             IssueExpand (session 1)
//   rescan <path>             IssueRescan without merge (session 1)
//   continue <task> <path> <after>  ContinueRescan from the task of a
//                             rescan of <path> (session 1) resuming after <after>
//   pull <task> <event|->     PullEvent gives that event, or -1
//   done <task> <event|0>     DoneEvent hands over that event (-1), or 0
//   redo <task> <0|-1>        RedoEvent of the task's event in hand
//   redo-as <task> <event> <0|-1>  RedoEvent of another event
//   aborts <task> <n>         SetAbort(true) calls on the task so far
//   queue <n> / held <n>      ready-queue entries / tasks with an event
//   count <sess> <all> <server>   the two count queries
//   expands <path>...         the session 1 expand list, oldest first
//   rows <n>                  file-status rows
//   empty                     every tree has no node left
class Scenario {
 public:
  Scenario(EventManager& em, std::function<size_t()> rows) : em_(em), rows_(std::move(rows)) {}

  void Run(const std::vector<std::string>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + steps[i]);
      Step(steps[i]);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

 private:
  testsupport::RecordingTask& TaskOf(int n) {
    auto& t = tasks_[n];
    if (!t) t = std::make_unique<testsupport::RecordingTask>();
    return *t;
  }

  void Step(const std::string& line) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "push") {
      std::string tok;
      in >> tok;
      Event ev = ParseEvent(tok);
      if (ev.isServerEvent()) {
        em_.PushServerEvent(ev);
      } else {
        em_.PushLocalEvent(ev);
      }
    } else if (op == "expand" || op == "rescan") {
      std::string path;
      in >> path;
      if (op == "expand") {
        em_.IssueExpand(1, path.c_str());
      } else {
        em_.IssueRescan(1, path.c_str(), false);
      }
    } else if (op == "continue") {
      int n;
      std::string path, after;
      in >> n >> path >> after;
      Event ev = ParseEvent("L+r:" + path);
      ev.m_opt = after.c_str();
      em_.ContinueRescan(&TaskOf(n), ev);
    } else if (op == "pull") {
      int n;
      std::string want;
      in >> n >> want;
      Event out;
      int rc = em_.PullEvent(&TaskOf(n), out);
      if (want == "-") {
        EXPECT_EQ(rc, -1) << Token(out);
      } else {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(Token(out), Strip(want));
        held_[n] = out;
      }
    } else if (op == "done") {
      int n;
      std::string want;
      in >> n >> want;
      Event out;
      int rc = em_.DoneEvent(&TaskOf(n), out);
      if (want == "0") {
        EXPECT_EQ(rc, 0) << Token(out);
      } else {
        ASSERT_EQ(rc, -1);
        EXPECT_EQ(Token(out), Strip(want));
        held_[n] = out;
      }
    } else if (op == "redo") {
      int n, want;
      in >> n >> want;
      EXPECT_EQ(em_.RedoEvent(&TaskOf(n), held_[n]), want);
    } else if (op == "redo-as") {
      int n, want;
      std::string tok;
      in >> n >> tok >> want;
      EXPECT_EQ(em_.RedoEvent(&TaskOf(n), ParseEvent(tok)), want);
    } else if (op == "aborts") {
      int n, want;
      in >> n >> want;
      EXPECT_EQ(TaskOf(n).abort_calls.load(), want);
    } else if (op == "queue") {
      size_t want;
      in >> want;
      EXPECT_EQ(EventManagerInspector::QueueLength(em_), want);
    } else if (op == "held") {
      size_t want;
      in >> want;
      EXPECT_EQ(EventManagerInspector::Held(em_), want);
    } else if (op == "count") {
      uint64_t sess;
      size_t all, server;
      in >> sess >> all >> server;
      EXPECT_EQ(em_.GetAllPendingEventCount(sess), all);
      EXPECT_EQ(em_.GetPendingServerEvent(sess), server);
    } else if (op == "expands") {
      std::vector<std::string> want;
      for (std::string p; in >> p;) want.push_back(p);
      EXPECT_EQ(EventManagerInspector::Expands(em_, 1), want);
    } else if (op == "rows") {
      size_t want;
      in >> want;
      EXPECT_EQ(rows_(), want);
    } else if (op == "empty") {
      EXPECT_EQ(EventManagerInspector::TreeLeftovers(em_), std::vector<std::string>{});
    } else {
      FAIL() << "unknown step " << op;
    }
  }

  EventManager& em_;
  std::function<size_t()> rows_;
  std::map<int, std::unique_ptr<testsupport::RecordingTask>> tasks_;
  std::map<int, Event> held_;
};

struct ScenarioCase {
  const char* name;
  std::vector<std::string> steps;
};

void PrintTo(const ScenarioCase& c, std::ostream* os) { *os << c.name; }

const ScenarioCase kScenarios[] = {
    {"two sessions alternate, one event per pull",
     {"push L+f:/a", "push L+f:/b", "push 2.L+f:/c", "push 2.L+f:/d", "pull 1 L+f:/a", "pull 2 2.L+f:/c",
      "pull 3 L+f:/b", "pull 4 2.L+f:/d", "pull 5 -"}},
    {"a pool whose only event is in progress keeps its turn until done",
     {"push L+f:/a", "pull 1 L+f:/a", "queue 1", "pull 2 -", "queue 1", "done 1 0", "queue 1", "pull 2 -",
      "queue 0", "push L+f:/b", "queue 1", "pull 2 L+f:/b"}},
    {"a local modify during an upload is handed over by DoneEvent",
     {"push L+f:/a", "pull 1 L+f:/a", "push L~f:/a", "aborts 1 0", "pull 2 -", "done 1 L~f:/a", "done 1 0",
      "count 1 0 0", "empty"}},
    {"a local remove during an upload aborts it and is handed over",
     {"push L~f:/a", "pull 1 L~f:/a", "push L-f:/a", "aborts 1 1", "done 1 L-f:/a", "done 1 0", "empty"}},
    {"a local remove during a local create aborts it",
     {"push L+f:/a", "pull 1 L+f:/a", "push L-f:/a", "aborts 1 1", "done 1 L-f:/a"}},
    {"a server remove during an upload does not abort it",
     {"push L~f:/a", "pull 1 L~f:/a", "push S-f:/a@3", "aborts 1 0", "done 1 L~f:/a", "done 1 0", "empty"}},
    {"a local remove during a download does not abort it",
     {"push S+f:/a@3", "pull 1 S+f:/a", "push L-f:/a", "aborts 1 0"}},
    {"a remove of a folder leaves the upload of a file of that name alone",
     {"push L+f:/a", "pull 1 L+f:/a", "push L-d:/a", "aborts 1 0", "done 1 0", "pull 1 L-d:/a", "done 1 0",
      "empty"}},
    {"a second expand with the same mode aborts the running one and is queued",
     {"expand /a", "pull 1 L+x:/a", "expand /a", "aborts 1 1", "pull 2 L+x:/a", "done 1 0", "done 2 0"}},
    {"an expand with another mode does not abort",
     {"expand /a", "pull 1 L+x:/a", "rescan /a", "aborts 1 0", "pull 2 L+r:/a"}},
    {"a local remove of a folder aborts its expander",
     {"expand /a", "pull 1 L+x:/a", "push L-d:/a", "aborts 1 1", "done 1 0", "pull 1 L-d:/a"}},
    {"a rescan of / empties the expand list and queues the root modify first",
     {"expand /a", "expand /b", "expands /a /b", "rescan /", "expands /", "pull 1 L~d:/", "pull 2 L+r:/",
      "pull 3 -", "done 1 0", "done 2 0", "empty"}},
    // A rescan carried out in part queues its rest behind the tree's events
    // and in front of nothing: what it would replace may lie in the part
    // already decided.
    {"a rescan's continuation goes behind the tree's events and replaces no expand",
     {"rescan /", "pull 1 L~d:/", "pull 2 L+r:/", "push L+f:/x", "expand /a", "continue 2 / /b/f", "aborts 2 0",
      "expands /a />/b/f", "done 2 0", "done 1 0", "pull 2 L+f:/x", "pull 3 L+x:/a", "pull 4 L+r:/", "done 4 0",
      "done 3 0", "done 2 0", "empty"}},
    {"a continuation is dropped while a new rescan of its folder waits",
     {"rescan /a", "pull 1 L+r:/a", "rescan /a", "aborts 1 1", "continue 1 /a /a/f", "expands /a", "done 1 0",
      "pull 1 L+r:/a", "pull 2 -"}},
    {"a continuation is dropped while another task rescans its folder, and aborts it not",
     {"push L+f:/x", "rescan /a", "pull 1 L+f:/x", "pull 2 L+r:/a", "continue 3 /a /a/f", "aborts 2 0",
      "expands", "done 2 0", "continue 3 /a /a/f", "expands /a>/a/f"}},
    {"a new rescan of / replaces a waiting continuation",
     {"push L+f:/x", "continue 1 / /b", "expands />/b", "rescan /", "expands /"}},
    {"an expand without F_DIR and an empty event are never queued",
     {"push L+X:/a", "push L0f:/b", "push S+X:/c", "queue 0", "rows 0", "pull 1 -", "count 1 0 0"}},
    {"the counts leave out expands; an unknown session counts 0",
     {"expand /a", "push L+f:/b", "push S+f:/c@4", "count 1 2 1", "count 9 0 0", "pull 1 L+f:/b",
      "count 1 2 1", "done 1 0", "count 1 1 1"}},
    {"an event of a session not in the registry is dropped",
     {"push 9.L+f:/a", "queue 0", "rows 0", "count 9 0 0"}},
    {"unsafe paths are dropped",
     {"push L+f:/a/../b", "push L+f:a", "push L+d:/a/", "push L+f:/a//b", "push S+f:/./a@1",
      "push L+f:/.ZarqelonWorkingDirectory/x", "queue 0", "rows 0"}},
    {"a redo gives the event back for any task",
     {"push L+f:/a", "pull 1 L+f:/a", "redo 1 0", "held 0", "pull 2 L+f:/a", "done 2 0", "empty"}},
    {"a redo of an event the task does not hold is refused",
     {"push L+f:/a", "pull 1 L+f:/a", "redo-as 2 L+f:/a -1", "redo-as 1 L+d:/a -1", "pull 3 -", "done 1 0",
      "empty"}},
    // mkdir a; mv a b: one task creates /a, another expands it, and both
    // see the remove. The expander lets go; the creator takes the remove.
    {"the remove of a folder being created and expanded goes to one task",
     {"push L+d:/a", "expand /a", "pull 1 L+d:/a", "pull 2 L+x:/a", "push L-d:/a", "aborts 1 1", "aborts 2 1",
      "done 2 0", "held 1", "pull 3 -", "done 1 L-d:/a", "pull 3 -", "done 1 0", "count 1 0 0", "empty"}},
    {"a redo of an expand is refused without touching the folder's node",
     {"push L+d:/a", "expand /a", "pull 1 L+d:/a", "pull 2 L+x:/a", "redo 2 -1", "held 1", "pull 3 -",
      "done 2 0", "done 1 0", "empty"}},
    {"a file and a folder of one name: hand-over follows the kind",
     {"push L+f:/x", "pull 1 L+f:/x", "push L+d:/x", "pull 2 L+d:/x", "push L~f:/x", "done 2 0",
      "done 1 L~f:/x", "redo 1 0", "pull 2 L~f:/x", "done 2 0", "count 1 0 0", "empty"}},
    {"a file and a folder of one name: redo follows the kind",
     {"push L+f:/x", "pull 1 L+f:/x", "push L+d:/x", "pull 2 L+d:/x", "push L~f:/x", "redo 2 0",
      "pull 3 L+d:/x", "done 1 L~f:/x", "done 1 0", "done 3 0", "count 1 0 0", "empty"}},
};

class EventManagerScenario : public EventQueueTest, public ::testing::WithParamInterface<ScenarioCase> {};

TEST_P(EventManagerScenario, Runs) {
  AddSession(1, Path("s1"));
  AddSession(2, Path("s2"));
  EventManager em;
  Scenario scenario(em, [this] { return StatusRows().size(); });
  scenario.Run(GetParam().steps);
}

std::string CaseName(const ::testing::TestParamInfo<ScenarioCase>& info) {
  std::string name;
  for (const char* p = info.param.name; *p; ++p) {
    const bool alnum = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
    name += alnum ? *p : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, EventManagerScenario, ::testing::ValuesIn(kScenarios), CaseName);

using EventManagerTest = EventQueueTest;

Event FileEvent(uint64_t sess, Event::Type type, const char* path, uint32_t mode = 0) {
  Event ev;
  ev.m_sess_id = sess;
  ev.m_type = type;
  ev.m_mode = mode;
  ev.m_path = path;
  return ev;
}

TEST_F(EventManagerTest, PushWritesTheSyncingRowWithBackslashes) {
  AddSession(5, "/home/u/s");
  EventManager em;
  em.PushLocalEvent(FileEvent(5, Event::EV_CREATE, "/a"));
  em.PushServerEvent(FileEvent(5, Event::EV_CREATE, "/d\\e", Event::F_DIR));
  em.IssueRescan(5, "/", false);
  EXPECT_EQ(StatusRows(), (std::vector<StatusRow>{{"\\home\\u\\s", 2, 1},
                                                   {"\\home\\u\\s\\a", 2, 0},
                                                   {"\\home\\u\\s\\d\\e", 2, 1}}));
}

TEST_F(EventManagerTest, EveryAcceptedEventIsReportedAsSyncing) {
  AddSession(5, "/home/u/s");
  EventManager em;
  em.PushLocalEvent(FileEvent(5, Event::EV_CREATE, "/a", Event::F_DIR));
  em.IssueExpand(5, "/a");                                        // a local expand: no report
  em.PushServerEvent(FileEvent(5, Event::EV_MODIFY, "/b"));       // reported
  em.PushLocalEvent(FileEvent(6, Event::EV_MODIFY, "/unknown"));  // no session: no report
  em.PushLocalEvent(FileEvent(5, Event::EV_MODIFY, "/c"));
  // The stand-in reads connections in the order they came: once /c is in,
  // everything sent before it is too.
  ASSERT_TRUE(ui_->waitFor(
      [](const std::vector<PObject>& m) { return !m.empty() && m.back()["path"].asString() == "/c"; },
      std::chrono::seconds(10)));
  std::vector<std::string> got;
  for (const PObject& m : ui_->messages()) {
    EXPECT_EQ(m["notify"].asString(), "syncing_file");
    EXPECT_EQ(m["session_id"].asUInt64(), 5u);
    got.push_back(std::string(m["path"].asString().c_str_utf8()) + " " +
                  std::to_string(m["event_type"].asUInt64()) + " " + std::to_string(m["is_dir"].asUInt64()));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"/a 1 1", "/b 3 0", "/c 3 0"}));
  EXPECT_EQ(ui_->decodeFailures(), 0u);
}

TEST_F(EventManagerTest, ANameThatIsNotUtf8IsDropped) {
  AddSession(1, Path("s1"));
  EventManager em;
  em.PushLocalEvent(FileEvent(1, Event::EV_CREATE, "/caf\xe9"));  // Latin-1
  em.PushServerEvent(FileEvent(1, Event::EV_CREATE, "/\xc3\xa9t\xc3\xa9"));
  testsupport::RecordingTask task;
  Event out;
  ASSERT_EQ(em.PullEvent(&task, out), 0);
  EXPECT_EQ(out.m_path, "/\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(em.PullEvent(&task, out), -1);
  EXPECT_EQ(StatusRows().size(), 1u);
}

TEST_F(EventManagerTest, AFailedStatusWriteDoesNotStopThePush) {
  AddSession(1, Path("s1"));
  FileStatusDB::destroy();  // every write now fails
  EventManager em;
  em.PushLocalEvent(FileEvent(1, Event::EV_CREATE, "/a"));
  testsupport::RecordingTask task;
  Event out;
  EXPECT_EQ(em.PullEvent(&task, out), 0);
  EXPECT_EQ(em.SyncingEvent2FStatDB("/x/a", false), -1);
}

TEST_F(EventManagerTest, SyncedRowIsRemoved) {
  EventManager em;
  ASSERT_EQ(em.SyncingEvent2FStatDB("/x/a", false), 0);
  ASSERT_EQ(em.SyncingEvent2FStatDB("/x/b", true), 0);
  EXPECT_EQ(em.SyncedEvent2FStatDB("/x/a"), 0);
  EXPECT_EQ(StatusRows(), (std::vector<StatusRow>{{"\\x\\b", 2, 1}}));
}

TEST_F(EventManagerTest, ClearDropsEverything) {
  AddSession(1, Path("s1"));
  EventManager em;
  em.PushLocalEvent(FileEvent(1, Event::EV_CREATE, "/a"));
  em.PushLocalEvent(FileEvent(1, Event::EV_CREATE, "/b"));
  em.IssueExpand(1, "/c");
  testsupport::RecordingTask task;
  Event out;
  ASSERT_EQ(em.PullEvent(&task, out), 0);
  em.Clear();
  EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
  EXPECT_EQ(EventManagerInspector::QueueLength(em), 0u);
  EXPECT_EQ(EventManagerInspector::Held(em), 0u);
  EXPECT_EQ(em.DoneEvent(&task, out), 0);
  EXPECT_EQ(em.PullEvent(&task, out), -1);
  // The queue works again after a clear.
  em.PushLocalEvent(FileEvent(1, Event::EV_CREATE, "/a"));
  EXPECT_EQ(em.PullEvent(&task, out), 0);
}

// A deferred path is passed over, in its own session and for the others,
// until its pause has run; the pause doubles per deferral up to its bound,
// and the count starts again once the path's event is done.
TEST_F(EventManagerTest, DeferredEventWaitsOutAGrowingPauseWithoutHoldingOthers) {
  using std::chrono::milliseconds;
  using Clock = std::chrono::steady_clock;
  AddSession(1, Path("s1"));
  AddSession(2, Path("s2"));
  EventManager em;
  testsupport::RecordingTask task;
  Event out;
  em.PushServerEvent(FileEvent(1, Event::EV_MODIFY, "/stuck"));
  const milliseconds first(150);
  const milliseconds longest(400);
  struct Row {
    milliseconds pause;  // the pause this deferral starts
  } rows[] = {{milliseconds(150)}, {milliseconds(300)}, {milliseconds(400)}, {milliseconds(400)}};
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(++n);
    ASSERT_EQ(em.PullEvent(&task, out), 0);
    ASSERT_EQ(Token(out), "S~f:/stuck");
    const Clock::time_point deferred = Clock::now();
    EXPECT_EQ(em.DeferEvent(&task, out, first, longest), n);
    // Other work of both sessions goes on meanwhile.
    em.PushServerEvent(FileEvent(2, Event::EV_MODIFY, "/other"));
    em.PushServerEvent(FileEvent(1, Event::EV_MODIFY, "/sibling"));
    std::vector<std::string> others;
    bool back = false;
    while (!back && Clock::now() < deferred + std::chrono::seconds(5)) {
      if (em.PullEvent(&task, out) != 0) {
        std::this_thread::yield();
        continue;
      }
      back = Token(out) == "S~f:/stuck";
      if (!back) {
        others.push_back(Token(out));
        ASSERT_EQ(em.DoneEvent(&task, out), 0);
      }
    }
    ASSERT_TRUE(back) << "the deferred event never came back";
    // Handed out again only once its pause has run.
    EXPECT_GE(Clock::now() - deferred, row.pause) << "handed out early";
    std::sort(others.begin(), others.end());
    EXPECT_EQ(others, (std::vector<std::string>{"2.S~f:/other", "S~f:/sibling"}));
    // Given back for the next round.
    if (n < static_cast<int>(std::size(rows))) {
      ASSERT_EQ(em.RedoEvent(&task, out), 0);
    }
  }
  // Done: the next failure of the path starts a new spell.
  ASSERT_EQ(em.DoneEvent(&task, out), 0);
  em.PushServerEvent(FileEvent(1, Event::EV_MODIFY, "/stuck"));
  ASSERT_EQ(em.PullEvent(&task, out), 0);
  EXPECT_EQ(em.DeferEvent(&task, out, first, longest), 1);
  // A task that does not hold the event defers nothing.
  testsupport::RecordingTask other;
  EXPECT_EQ(em.DeferEvent(&other, out, first, longest), -1);
  EXPECT_EQ(em.GetPendingServerEvent(1), 1u);
}

TEST_F(EventManagerTest, GetInstanceIsOneObject) {
  EXPECT_NE(EventManager::getInstance(), nullptr);
  EXPECT_EQ(EventManager::getInstance(), EventManager::getInstance());
}

}  // namespace
