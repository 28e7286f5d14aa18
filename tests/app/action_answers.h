// The answer of every control action sent without keys, for the tests that
// drive the application in process and the daemon as a process.
#ifndef TESTS_APP_ACTION_ANSWERS_H_
#define TESTS_APP_ACTION_ANSWERS_H_

namespace apptest {

struct ActionAnswer {
  const char* action;
  const char* error;  // "" for none
};

// In table order, "link" first so the others meet a linked daemon until
// "unlink". "get_status" answers with its three null lists besides.
inline constexpr ActionAnswer kAnswersWithoutKeys[] = {
    {"link", ""},
    {"pause", ""},
    {"resume", ""},
    {"link_connection", "Invalid parameters"},
    {"reload_connection", "Invalid parameters"},
    {"unlink_connection", ""},
    {"reload_session", "Invalid parameter"},
    {"add_session", "Invalid parameters."},
    {"remove_session", ""},
    {"get_status", ""},
    {"add_event", ""},
    {"unlink", ""},
};

}  // namespace apptest

#endif  // TESTS_APP_ACTION_ANSWERS_H_
