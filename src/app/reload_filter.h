// Reconciliation of a session's selective-sync rules with the filter
// database. Internal to the application library; VelkoraApp's member of the
// same name hides it, so members call it as ::reload_filter.
#ifndef APP_RELOAD_FILTER_H_
#define APP_RELOAD_FILTER_H_

#include <cstdint>

#include "filter/cs_filter.h"
#include "filter/white_list.h"
#include "foundation/ustring.h"

// Reads the black and white rule files into scratch records, tags their
// rules with `sync_id`, and compares them with the stored rules of the
// session: new rules are stored, dropped or loosened ones become resume
// conditions. 0, or -1 after an ERROR line.
int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& black_list_path,
                  const ustring& white_list_path, const ustring& sync_folder);

// The same with rule files already parsed (by SessionRuleFiles), so that
// the rules reconciled are exactly the ones put in force.
int reload_filter(uint64_t sess_id, uint64_t sync_id, const Filter& black_list, const WhiteList& white_list,
                  const ustring& sync_folder);

#endif  // APP_RELOAD_FILTER_H_
