#include "app/get_permission_mode.h"

PermissionMode GetPermissionMode(const ustring& mode) {
  if (mode == "sync-all") return PERM_SYNC_ALL;
  if (mode == "domain-only") return PERM_SYNC_DOMAIN_ONLY;
  return PERM_SYNC_EXEC_BIT_ONLY;
}
