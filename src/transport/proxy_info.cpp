#include "transport/proxy_info.h"

ProxyInfo::ProxyInfo() { clear(); }

void ProxyInfo::clear() {
  use_proxy = false;
  use_sys_proxy = false;
  proxy_ip.clear();
  proxy_port = 0;
  user_name.clear();
  password.clear();
  domain.clear();
  host.clear();
}
