#include "server/server_code_map.h"

#include "protocol/proto_common.h"
#include "server/road_log.h"

namespace {
constexpr ErrorCode U = ServerCodeRules::kUnhandled;
}  // namespace

const std::array<ErrorCode, ServerCodeRules::kClasses> kSyncerClassTable = {
    U, ERR_AUTH, ERR_AUTH, ERR_VIEW, U, ERR_VERSION, U, U, U, U, U};

const std::array<ErrorCode, ServerCodeRules::kClasses> kWorkerClassTable = {
    U, ERR_AUTH, ERR_AUTH, ERR_VIEW, U, ERR_VERSION, U, U, ERR_INT, ERR_INT, ERR_INT};

ErrorCode MapServerCode(uint32_t code, const ServerCodeRules& rules, const RoadLog& log) {
  switch (code) {
    case SPROTO_ERR_ACCESS_DENY:
      return ERR_PERMISS;
    case SPROTO_ERR_QUOTA:
      return ERR_QUOTA;
    case SPROTO_ERR_DISKFULL:
      return ERR_DISKFULL;
    case SPROTO_ERR_VIEW_INVALID_PATH:
      if (rules.log_view_invalid_path) log.ViewInvalidPath(code);
      return ERR_VIEW_PATH;
    case SPROTO_ERR_READ_ONLY:
      return ERR_PERMISS_READ_ONLY;
    default:
      break;
  }
  const int cls = SProtoErrClass(code);
  if (cls == SProtoErrClass(SPROTO_ERR_INTERNAL)) {
    log.ServerError(code);
    return rules.unmapped;
  }
  if (cls >= 0 && cls < ServerCodeRules::kClasses && rules.class_table[cls] != ServerCodeRules::kUnhandled) {
    return rules.class_table[cls];
  }
  log.UnhandledCode(code);
  return code == SPROTO_ERR_OK ? ERR_OK : rules.unmapped;
}
