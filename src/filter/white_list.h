// The white-list record ("whitelist.filter"): extensions that selective sync
// lets through. Standard-layout like every schema-described record.
#ifndef FILTER_WHITE_LIST_H_
#define FILTER_WHITE_LIST_H_

#include <string_view>

#include "filter/schema.h"
#include "filter/value_type.h"

struct parse_report;

struct WhiteListVersionSection {
  int major;
  int minor;
};

struct WhiteListFileSection {
  value_type_string_set white_ext;  // extensions without their dot; "*" = all
};

struct WhiteList {
  WhiteListVersionSection Version;
  WhiteListFileSection File;
};

extern const schema_parser white_list_schema;

// Empty set of capacity 4, version 0.0. Returns 0, or -1 when the allocation
// fails (the set is then empty with capacity 0, which still works).
int white_list_init(WhiteList* list);
// As filter_read, for a white list.
int white_list_read(WhiteList* list, const char* fname, parse_report* report = nullptr);
// Frees the set and zeroes the version.
void white_list_destroy(WhiteList* list);

// 0 when the extension of `name` (after its last ".", a leading "." not
// counting) equals an entry without regard to ASCII case, or an entry is
// "*"; -1 otherwise, also for an empty name or an empty list. Allocates
// nothing, takes no lock.
int white_list_test(const WhiteList* list, std::string_view name);

#endif  // FILTER_WHITE_LIST_H_
