// What "link_connection" and "reload_connection" share besides
// prepare_connection_info. Internal to the application library.
#ifndef APP_CONNECTION_COMMON_H_
#define APP_CONNECTION_COMMON_H_

#include "protocol/pobject.h"
#include "server/connection_info.h"
#include "transport/proxy_info.h"

// Whether the request holds "connection_id", "server_ip", "server_port" and
// "session" (any value), and its id is not 0: 0 is the id that selects
// every connection, so no connection may have it. When not, logs ERROR
// "invalid parameters." and writes the reply's "error".
bool HasConnectionKeys(const PObject& req, PObject& rsp);

// The "server" and "ssl" lines, then "proxy" and "tunnel" for those that are
// not null, at INFO under "client_debug".
void LogConnectionSettings(const ConnectionInfo& info, const ProxyInfo* proxy, const TunnelInfo* tunnel);

#endif  // APP_CONNECTION_COMMON_H_
