// Fixture of the pending-event tree tests: a tree, and the log in a file of
// the test's temporary folder with every message of the tree switched on
// (so each format runs under the sanitizers).
#ifndef TESTS_SESSION_EVENT_LIST2_FIXTURE_H_
#define TESTS_SESSION_EVENT_LIST2_FIXTURE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_list2_view.h"
#include "foundation/logger.h"
#include "session/event_list2.h"
#include "support/temp_dir.h"

namespace event_list2_test {

using Lines = std::vector<std::string>;

class TreeTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf", "event_list_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(),
                                    Path("levels.conf").c_str(), 50));
  }
  void TearDown() override { Logger::ResetForTest(); }

  // The path of the next event handed out, "-" when there is none.
  std::string PopPath() {
    Event e;
    if (list.Pop(e) != 0) return "-";
    return e.m_path.c_str_utf8();
  }

  // Pops until nothing is handed out; the paths in order.
  Lines PopAll() {
    Lines out;
    for (std::string p = PopPath(); p != "-"; p = PopPath()) out.push_back(p);
    return out;
  }

  // Pops and finishes everything; the paths in order.
  Lines Drain() {
    Lines out;
    Event e;
    while (list.Pop(e) == 0) {
      out.push_back(e.m_path.c_str_utf8());
      EXPECT_EQ(0, list.DoneEvent(e)) << e.toString();
    }
    return out;
  }

  Lines Shape() { return EventList2Inspector::Shape(list); }

  // The node of `path` of the kind; fails the test when missing.
  EventList2Inspector::Node NodeAt(const std::string& path, bool is_dir) {
    for (auto& n : EventList2Inspector::Nodes(list)) {
      if (n.path == path && n.is_dir == is_dir) return n;
    }
    ADD_FAILURE() << "no node " << path;
    return {};
  }

  void ExpectCounts(int local, int server) {
    EXPECT_EQ(local, list.GetLocalEventCount());
    EXPECT_EQ(server, list.GetServerEventCount());
  }

  std::string Log() { return ReadFile("test.log"); }

  EventList2 list;
};

}  // namespace event_list2_test

#endif  // TESTS_SESSION_EVENT_LIST2_FIXTURE_H_
