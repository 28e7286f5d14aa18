// The selective-sync rules of a session in comparable form, and the resume
// condition that a loosened rule turns into. Shared by the filter database,
// the reconciliation and the progress cache.
#ifndef FILTER_SELECTIVE_SYNC_INFO_H_
#define FILTER_SELECTIVE_SYNC_INFO_H_

#include <cstdint>
#include <set>

#include "foundation/ustring.h"

// One rule: its text and the server change number at which it was recorded.
// The text is a path prefix, a name, an extension without its dot, "*", or a
// size limit in decimal.
struct FilterInfo {
  uint64_t sync_id = 0;
  ustring filter_desc;
};

// Sets of FilterInfo are keyed by the text alone (byte order), so a set holds
// each text once and two sets are walked in the same order.
inline bool operator<(const FilterInfo& a, const FilterInfo& b) { return a.filter_desc < b.filter_desc; }

// A loosened rule whose newly admitted files still have to be pulled from
// the server from `sync_id` on.
struct ResumeCondition {
  uint64_t sess_id = 0;
  uint64_t sync_id = 0;
  int filter_type = 0;  // FILTER_EXT/PATH_PREFIX/NAME/FILE_SIZE_SELECTIVE_SYNC
  ustring filter_desc;  // the rule; for a size, "from=<old>,to=<new>"
};

struct SelectiveSyncInfo {
  std::set<FilterInfo> black_prefix;
  std::set<FilterInfo> black_name;
  std::set<FilterInfo> black_ext;
  std::set<FilterInfo> white_ext;
  FilterInfo black_size;  // decimal text; "0" or empty: no limit
};

#endif  // FILTER_SELECTIVE_SYNC_INFO_H_
