#include "filter/force_hash_check_list.h"

#include <cstddef>
#include <iterator>
#include <cstring>

#include "filter/parser.h"
#include "filter/rule_compare.h"

namespace {

const schema_key kVersionKeys[] = {
    {"major", integer32_type, offsetof(ForceHashCheckListVersionSection, major)},
    {"minor", integer32_type, offsetof(ForceHashCheckListVersionSection, minor)},
};

const schema_key kFileKeys[] = {
    {"force_hash_ext", string_set_type, offsetof(ForceHashCheckListFileSection, force_hash_ext)},
};

const schema_section kSections[] = {
    {"Version", offsetof(ForceHashCheckList, Version), std::size(kVersionKeys), kVersionKeys},
    {"File", offsetof(ForceHashCheckList, File), std::size(kFileKeys), kFileKeys},
};

}  // namespace

const schema_parser force_hash_check_list_schema = {1, 0, std::size(kSections), kSections};

int force_hash_check_list_init(ForceHashCheckList* list) {
  list->Version.major = 0;
  list->Version.minor = 0;
  return vt_string_set_init(&list->File.force_hash_ext, 4);
}

int force_hash_check_list_read(ForceHashCheckList* list, const char* fname, parse_report* report) {
  parse_result result = parse(fname, &force_hash_check_list_schema, list, report);
  if (parse_accepted(result, list->Version.major, list->Version.minor)) return 0;
  force_hash_check_list_destroy(list);
  return -1;
}

void force_hash_check_list_destroy(ForceHashCheckList* list) {
  schema_record_destroy(&force_hash_check_list_schema, list);
}

int force_hash_extension_test(const ForceHashCheckList* list, std::string_view name) {
  if (name.empty()) return -1;
  std::string_view ext = rule_compare::Extension(name);
  const value_type_string_set& set = list->File.force_hash_ext;
  for (size_t i = 0; i < set.used; ++i) {
    if (strcmp(set.set[i], "*") == 0 || rule_compare::Equals(ext, set.set[i])) return 1;
  }
  return 0;
}
