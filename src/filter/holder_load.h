// The reload step shared by the three rule-list holders: parse into a fresh
// record outside the lock, swap it in under the lock only on success, and
// free the old record after unlocking. A failed reload keeps the rules in
// force: one mistyped file must not switch off a running session's
// exclusions (selective sync included).
#ifndef FILTER_HOLDER_LOAD_H_
#define FILTER_HOLDER_LOAD_H_

#include "filter/parser.h"
#include "foundation/ustring.h"

namespace holder_load {

// Logs the one L_ERR line of a failed load on "default_component": the
// file, why (cannot open, the parser's error name and line, or unknown keys
// in a file older than 1.1) and that the previous rules stay in force.
// `source` and `line` name the caller for the log tag.
void LogFailure(const char* source, int line, const ustring& path, const parse_report& report);

template <typename Record>
struct RecordOps {
  int (*init)(Record*);
  int (*read)(Record*, const char*, parse_report*);
  void (*destroy)(Record*);
};

// Parses the file at `path` into a fresh record. On success calls
// `swap_in(fresh)`, which takes the holder's lock and exchanges `fresh` with
// the held record, then frees what `fresh` holds afterwards (the old rules)
// outside the lock; returns 0. On failure logs and returns -1 without
// calling `swap_in`.
template <typename Record, typename SwapIn>
int Load(const ustring& path, const RecordOps<Record>& ops, const char* source, int line, SwapIn swap_in) {
  Record fresh;
  // A failed allocation leaves empty sets that still grow: nothing to check.
  (void)ops.init(&fresh);
  parse_report report{};
  if (ops.read(&fresh, path.c_str_utf8(), &report) != 0) {
    // The reader has already emptied `fresh`.
    LogFailure(source, line, path, report);
    return -1;
  }
  swap_in(fresh);
  ops.destroy(&fresh);
  return 0;
}

}  // namespace holder_load

#endif  // FILTER_HOLDER_LOAD_H_
