// ConnectionInfo and VersionInfo: the parameters of one server connection as
// the user interface configured it ("add_connection", "reload_connection").
#ifndef SERVER_CONNECTION_INFO_H_
#define SERVER_CONNECTION_INFO_H_

#include <cstdint>

#include "foundation/ustring.h"

// The user interface's package version. "package_major", "package_minor",
// "package_version" fill the three fields in order.
struct VersionInfo {
  int major = 0;
  int minor = 0;
  int32_t build_number = 0;
};

// Plain values, copied freely. Of these fields the server road reads
// server_name (host name checked against the server certificate), server_ip
// and server_port (where to connect), session (sent in "connect" and in the
// requests), use_ssl and ssl_allow_untrust; conn_id keys the
// ConnectionManager. Fields without a control key are only defaulted,
// copied and cleared.
struct ConnectionInfo {
  // Every field to its default (use_ssl true), version_info included.
  ConnectionInfo() = default;

  // Every field but version_info back to its default; version_info keeps
  // its value (Connection::clear relies on this).
  void clear();

  int c_mode = 0;           // "connection_mode"; read nowhere
  ustring server_name;      // "ssl_server_hostname"
  ustring server_ip;        // "server_ip": dotted IPv4 address
  int server_port = 0;      // "server_port"
  ustring pexaro_mode;
  ustring username;         // "username"; read nowhere
  ustring password;
  ustring tormhall_id;
  ustring session;          // "session": the server session token
  int protocol_version = 0;
  uint64_t conn_id = 0;     // "connection_id"
  ustring computer_name;    // "computer_name": the worker's conflict names
  int linked = 0;
  bool use_ssl = true;              // "use_ssl": TLS upgrade in the handshake
  bool ssl_allow_untrust = false;   // "ssl_allow_untrust": accept any certificate
  VersionInfo version_info;
  int status = 0;
  int error = 0;
};

#endif  // SERVER_CONNECTION_INFO_H_
