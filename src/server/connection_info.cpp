#include "server/connection_info.h"

void ConnectionInfo::clear() {
  const VersionInfo kept = version_info;
  *this = ConnectionInfo();
  version_info = kept;
}
