// The connection records of a "link_connection" or "reload_connection"
// request. Internal to the application library.
#ifndef APP_PREPARE_CONNECTION_INFO_H_
#define APP_PREPARE_CONNECTION_INFO_H_

#include "protocol/pobject.h"
#include "server/connection_info.h"
#include "transport/proxy_info.h"

// Overwrites every field that a request key names, absent keys included
// (empty text, 0, false): "use_ssl" absent means no TLS. Fields no key names
// keep their values.
void prepare_connection_info(const PObject& req, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel);

#endif  // APP_PREPARE_CONNECTION_INFO_H_
