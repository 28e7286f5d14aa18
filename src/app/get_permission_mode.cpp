#include "app/get_permission_mode.h"

PermissionMode GetPermissionMode(const ustring& mode) {
  (void)mode;
  return PERM_SYNC_EXEC_BIT_ONLY;
}
