#include "filter/white_list.h"

#include <cstddef>
#include <iterator>
#include <cstring>

#include "filter/parser.h"
#include "filter/rule_compare.h"

namespace {

const schema_key kVersionKeys[] = {
    {"major", integer32_type, offsetof(WhiteListVersionSection, major)},
    {"minor", integer32_type, offsetof(WhiteListVersionSection, minor)},
};

const schema_key kFileKeys[] = {
    {"white_ext", string_set_type, offsetof(WhiteListFileSection, white_ext)},
};

const schema_section kSections[] = {
    {"Version", offsetof(WhiteList, Version), std::size(kVersionKeys), kVersionKeys},
    {"File", offsetof(WhiteList, File), std::size(kFileKeys), kFileKeys},
};

}  // namespace

const schema_parser white_list_schema = {1, 0, std::size(kSections), kSections};

int white_list_init(WhiteList* list) {
  list->Version.major = 0;
  list->Version.minor = 0;
  return vt_string_set_init(&list->File.white_ext, 4);
}

int white_list_read(WhiteList* list, const char* fname, parse_report* report) {
  parse_result result = parse(fname, &white_list_schema, list, report);
  if (parse_accepted(result, list->Version.major, list->Version.minor)) return 0;
  white_list_destroy(list);
  return -1;
}

void white_list_destroy(WhiteList* list) { schema_record_destroy(&white_list_schema, list); }

int white_list_test(const WhiteList* list, std::string_view name) {
  if (name.empty()) return -1;
  std::string_view ext = rule_compare::Extension(name);
  const value_type_string_set& set = list->File.white_ext;
  for (size_t i = 0; i < set.used; ++i) {
    // "*" lets every name through, also one without an extension.
    if (strcmp(set.set[i], "*") == 0 || rule_compare::Equals(ext, set.set[i])) return 0;
  }
  return -1;
}
