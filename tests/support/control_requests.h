// The control requests a user interface sends to bring a daemon up, as
// PObject maps: for programs that drive real daemons (sync-demo, the
// end-to-end benchmark). Header-only: only executables that link the
// protocol library include it.
#ifndef TESTS_SUPPORT_CONTROL_REQUESTS_H_
#define TESTS_SUPPORT_CONTROL_REQUESTS_H_

#include <cstdint>
#include <string>

#include "protocol/pobject.h"

namespace testsupport {

inline PObject ControlRequest(const char* action) {
  PObject req;
  req["action"] = action;
  return req;
}

// "link_connection" to a server on 127.0.0.1; with TLS, verified against
// the certificate "server.test" of the test PKI.
inline PObject LinkConnectionRequest(uint64_t connection_id, int port, const std::string& token,
                                     const std::string& computer_name, bool use_ssl) {
  PObject req = ControlRequest("link_connection");
  req["connection_id"] = static_cast<unsigned long long>(connection_id);
  req["server_ip"] = "127.0.0.1";
  req["server_port"] = port;
  req["session"] = token.c_str();
  req["computer_name"] = computer_name.c_str();
  req["use_ssl"] = use_ssl ? 1 : 0;
  req["ssl_allow_untrust"] = 0;
  req["ssl_server_hostname"] = "server.test";
  return req;
}

// "add_session" of `sync_folder` onto the root of view `view_id`, with its
// configuration in `config_path` (whose conf/ holds the three rule files).
inline PObject AddSessionRequest(uint64_t connection_id, uint64_t session_id, uint64_t view_id,
                                 const std::string& config_path, const std::string& sync_folder) {
  PObject req = ControlRequest("add_session");
  req["connection_id"] = static_cast<unsigned long long>(connection_id);
  req["session_id"] = static_cast<unsigned long long>(session_id);
  req["view_id"] = static_cast<unsigned long long>(view_id);
  req["config_path"] = config_path.c_str();
  req["sync_folder"] = sync_folder.c_str();
  return req;
}

// The session's white list that lets every file through: an empty one lets
// none pass (the selective-sync extension filter).
inline constexpr char kWhiteListEveryFile[] = "[File]\nwhite_ext = \"*\"\n";

inline PObject SessionRequest(const char* action, uint64_t session_id) {
  PObject req = ControlRequest(action);
  req["session_id"] = static_cast<unsigned long long>(session_id);
  return req;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_CONTROL_REQUESTS_H_
