// The reload step shared by the three rule-list holders: parse into a fresh
// record outside the lock, and only on success swap it in under the lock
// (the holder's Install), freeing the old record after unlocking. A failed reload keeps the rules in
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

// Parses the file at `path` into the initialised record `fresh`. 0; or -1,
// logged, with `fresh` emptied by the reader (it may be destroyed again).
template <typename Record>
int Read(const ustring& path, const RecordOps<Record>& ops, const char* source, int line, Record& fresh) {
  parse_report report{};
  if (ops.read(&fresh, path.c_str_utf8(), &report) != 0) {
    LogFailure(source, line, path, report);
    return -1;
  }
  return 0;
}

// Parses the file at `path` into a fresh record. On success calls
// `install(fresh)`, which puts the fresh rules in force and leaves `fresh`
// destroyed; returns 0. On failure logs and returns -1 without calling
// `install`.
template <typename Record, typename Install>
int Load(const ustring& path, const RecordOps<Record>& ops, const char* source, int line, Install install) {
  Record fresh;
  // A failed allocation leaves empty sets that still grow: nothing to check.
  (void)ops.init(&fresh);
  if (Read(path, ops, source, line, fresh) != 0) return -1;
  install(fresh);
  return 0;
}

}  // namespace holder_load

#endif  // FILTER_HOLDER_LOAD_H_
