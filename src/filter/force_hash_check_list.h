// The force-hash-check record ("force-hash-check-list.filter"): extensions
// whose content is always compared by hash.
#ifndef FILTER_FORCE_HASH_CHECK_LIST_H_
#define FILTER_FORCE_HASH_CHECK_LIST_H_

#include <string_view>

#include "filter/schema.h"
#include "filter/value_type.h"

struct parse_report;

struct ForceHashCheckListVersionSection {
  int major;
  int minor;
};

struct ForceHashCheckListFileSection {
  value_type_string_set force_hash_ext;  // extensions without their dot; "*" = all
};

struct ForceHashCheckList {
  ForceHashCheckListVersionSection Version;
  ForceHashCheckListFileSection File;
};

extern const schema_parser force_hash_check_list_schema;

// Empty set of capacity 4, version 0.0. Returns 0, or -1 when the allocation
// fails (the set is then empty with capacity 0, which still works).
int force_hash_check_list_init(ForceHashCheckList* list);
// As filter_read, for a force-hash-check list.
int force_hash_check_list_read(ForceHashCheckList* list, const char* fname,
                               parse_report* report = nullptr);
// Frees the set and zeroes the version.
void force_hash_check_list_destroy(ForceHashCheckList* list);

// 1 when the extension of `name` (as for white_list_test) equals an entry
// without regard to ASCII case, or an entry is "*"; 0 when not or when the
// list is empty; -1 for an empty name. Allocates nothing, takes no lock.
int force_hash_extension_test(const ForceHashCheckList* list, std::string_view name);

#endif  // FILTER_FORCE_HASH_CHECK_LIST_H_
