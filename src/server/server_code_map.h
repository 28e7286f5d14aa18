// The one mapping from the server's error codes ("error"."code" of a reply,
// SPROTO_ERR_* of protocol/proto_common.h) to the daemon's ERR_* codes.
// Each requester's private ProtoResp2ErrorCode calls it with its rules.
#ifndef SERVER_SERVER_CODE_MAP_H_
#define SERVER_SERVER_CODE_MAP_H_

#include <array>
#include <cstdint>

#include "transport/error_code.h"

class RoadLog;

// Where requesters differ.
struct ServerCodeRules {
  // Number of classes a table holds (0x0 to 0xA).
  static constexpr int kClasses = 11;
  // A class table entry that means "no mapping": the code is unhandled.
  static constexpr ErrorCode kUnhandled = ERR_OK;

  // CRIT "Server error(invalid path in view)" for SPROTO_ERR_VIEW_INVALID_PATH.
  bool log_view_invalid_path;
  // ERR_* per class, kUnhandled for none.
  std::array<ErrorCode, kClasses> class_table;
  // The result for class 7 and for a code without a mapping. The syncers
  // keep 0 ("no code for it"); the worker gives ERR_INT, since its callers
  // would take a 0 for a transfer done. SPROTO_ERR_OK (1) is no failure and
  // always gives 0.
  ErrorCode unmapped = ERR_OK;
};

// The syncers' table: classes 1 and 2 ERR_AUTH, 3 ERR_VIEW, 5 ERR_VERSION,
// every other class unhandled.
extern const std::array<ErrorCode, ServerCodeRules::kClasses> kSyncerClassTable;
// The worker's table: the syncers' plus ERR_INT for classes 0x8 to 0xA
// (download, upload, remove).
extern const std::array<ErrorCode, ServerCodeRules::kClasses> kWorkerClassTable;

// In this order: SPROTO_ERR_ACCESS_DENY -> ERR_PERMISS, SPROTO_ERR_QUOTA ->
// ERR_QUOTA, SPROTO_ERR_DISKFULL -> ERR_DISKFULL, SPROTO_ERR_VIEW_INVALID_PATH
// -> ERR_VIEW_PATH (after the CRIT line when the rules ask), SPROTO_ERR_READ_ONLY
// -> ERR_PERMISS_READ_ONLY; class 7 -> 0 after log.ServerError; else the
// class table; a class without a mapping, beyond the table, or -1 (a value
// above 16 bits, SProtoErrClass) -> rules.unmapped after log.UnhandledCode
// (SPROTO_ERR_OK: 0). With the syncers' 0, 0 means "the server failed in a
// way the daemon has no code for", never success. Any thread.
ErrorCode MapServerCode(uint32_t code, const ServerCodeRules& rules, const RoadLog& log);

#endif  // SERVER_SERVER_CODE_MAP_H_
