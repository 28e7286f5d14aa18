#include "app/prepare_connection_info.h"

void prepare_connection_info(const PObject& req, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel) {
  (void)req;
  (void)info;
  (void)proxy;
  (void)tunnel;
}
