// ForceHashCheckListCpp: a session's thread-safe, reloadable list of
// extensions whose content is always compared by hash
// ("force-hash-check-list.filter"). An empty list forces nothing: Test
// gives 1 when the extension of the name is listed or the list holds "*",
// 0 when not, -1 for an empty name.
#ifndef FILTER_FORCE_HASH_CHECK_LIST_CPP_H_
#define FILTER_FORCE_HASH_CHECK_LIST_CPP_H_

#include "filter/force_hash_check_list.h"
#include "filter/reloadable_list.h"

inline constexpr char kForceHashCheckListCppTag[] = "force_hash_check_list_cpp";

class ForceHashCheckListCpp
    : public ReloadableList<ForceHashCheckList, force_hash_check_list_init, force_hash_check_list_read,
                            force_hash_check_list_destroy, force_hash_extension_test, kForceHashCheckListCppTag> {};

#endif  // FILTER_FORCE_HASH_CHECK_LIST_CPP_H_
