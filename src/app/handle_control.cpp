#include "app/app.h"

#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "client_debug";

// One entry of the dispatch table. "stop" is not in it: it also ends the
// application thread.
struct Action {
  const char* name;
  int (*run)(VelkoraApp& app, const PObject& req, PObject& rsp);
};

const Action kActions[] = {
    {"link", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.do_link(q, r); }},
    {"unlink", [](VelkoraApp& a, const PObject&, PObject&) { return a.do_unlink(); }},
    {"pause", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.pause_session(q, r); }},
    {"resume", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.resume_session(q, r); }},
    {"link_connection", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.add_connection(q, r); }},
    {"reload_connection", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.reload_connection(q, r); }},
    {"unlink_connection", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.remove_connection(q, r); }},
    {"reload_session", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.reload_session(q, r); }},
    {"add_session", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.add_session(q, r); }},
    {"remove_session", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.remove_session(q, r); }},
    {"get_status", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.get_status(q, r); }},
    {"add_event", [](VelkoraApp& a, const PObject& q, PObject& r) { return a.add_event(q, r); }},
};

}  // namespace

void VelkoraApp::handle_control(const PObject& req, PObject& rsp) {
  // The text form of a large request costs more than the request itself.
  const bool debug = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
  if (debug) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): >>> %s\n", __LINE__,
                   req.toString().c_str_utf8());
  }
  // Not a map, or a map without "action": the reply is the bare "ack".
  if (!req.hasMember("action")) return;

  // An integer action reads as its decimal text and so matches nothing.
  const ustring action = req["action"].asString();
  if (action == "stop") {
    app_running.store(0);
    // Its result is always 0.
    (void)do_unlink();
    return;
  }
  bool found = false;
  for (const Action& a : kActions) {
    if (action == a.name) {
      // Handlers report failures in the reply's "error"; their results are
      // not looked at.
      (void)a.run(*this, req, rsp);
      found = true;
      break;
    }
  }
  if (!found) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): <<< Unknown IPC action: %s\n", __LINE__,
                   action.c_str_utf8());
  }
  if (debug) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): <<< %s\n", __LINE__,
                   rsp.toString().c_str_utf8());
  }
}
