// The shared objects of a registry entry, opened as a session's creation
// opens them: the three rule lists from the session's conf/ folder and its
// event database. For fixtures that register a session by hand.
#ifndef TESTS_SUPPORT_SESSION_OBJECTS_H_
#define TESTS_SUPPORT_SESSION_OBJECTS_H_

#include <gtest/gtest.h>

#include <string>

#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "session/file_event_db.h"
#include "session/registry.h"

namespace testsupport {

// Loads blacklist.filter, whitelist.filter and force-hash-check-list.filter
// of `conf` and opens `event_db` into `entry`; each failure fails the test.
inline void OpenSessionObjects(Registry::Entry& entry, const std::string& conf, const std::string& event_db) {
  auto* black = new BlackList2;
  entry.black_list = black;
  EXPECT_EQ(0, black->Load((conf + "/blacklist.filter").c_str()));
  auto* white = new WhiteListCpp;
  entry.white_list = white;
  EXPECT_EQ(0, white->Load((conf + "/whitelist.filter").c_str()));
  auto* force = new ForceHashCheckListCpp;
  entry.force_hash_check_list = force;
  EXPECT_EQ(0, force->Load((conf + "/force-hash-check-list.filter").c_str()));
  auto* db = new FileEventDB;
  entry.event_db = db;
  EXPECT_EQ(0, db->initialize(event_db.c_str()));
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SESSION_OBJECTS_H_
