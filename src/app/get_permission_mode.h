// The permission mode named by a session request's "perm_mode". Internal to
// the application library.
#ifndef APP_GET_PERMISSION_MODE_H_
#define APP_GET_PERMISSION_MODE_H_

#include "foundation/ustring.h"
#include "session/registry.h"

// "sync-all": PERM_SYNC_ALL; "domain-only": PERM_SYNC_DOMAIN_ONLY; any other
// text, the empty one included: PERM_SYNC_EXEC_BIT_ONLY.
PermissionMode GetPermissionMode(const ustring& mode);

#endif  // APP_GET_PERMISSION_MODE_H_
