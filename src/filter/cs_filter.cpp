#include "filter/cs_filter.h"

#include <cstddef>
#include <iterator>

#include "filter/parser.h"

namespace {

const schema_key kVersionKeys[] = {
    {"major", integer32_type, offsetof(VersionSection, major)},
    {"minor", integer32_type, offsetof(VersionSection, minor)},
};

const schema_key kCommonKeys[] = {
    {"black_char", string_type, offsetof(CommonSection, black_char)},
    {"black_prefix", string_set_type, offsetof(CommonSection, black_prefix)},
    {"black_dir_prefix", string_set_type, offsetof(CommonSection, black_dir_prefix)},
    {"black_name", string_set_type, offsetof(CommonSection, black_name)},
    {"black_path_prefix_selective_sync", string_set_type,
     offsetof(CommonSection, black_path_prefix_selective_sync)},
    {"max_length", integer64_type, offsetof(CommonSection, max_length)},
    {"max_path", integer64_type, offsetof(CommonSection, max_path)},
};

const schema_key kFileKeys[] = {
    {"black_char", string_type, offsetof(FileSection, black_char)},
    {"black_ext", string_set_type, offsetof(FileSection, black_ext)},
    {"black_name", string_set_type, offsetof(FileSection, black_name)},
    {"black_prefix", string_set_type, offsetof(FileSection, black_prefix)},
    {"black_ext_selective_sync", string_set_type, offsetof(FileSection, black_ext_selective_sync)},
    {"black_name_selective_sync", string_set_type, offsetof(FileSection, black_name_selective_sync)},
    {"max_size", integer64_type, offsetof(FileSection, max_size)},
    {"max_size_selective_sync", integer64_type, offsetof(FileSection, max_size_selective_sync)},
};

const schema_key kDirectoryKeys[] = {
    {"black_char", string_type, offsetof(DirectorySection, black_char)},
    {"black_name", string_set_type, offsetof(DirectorySection, black_name)},
    {"black_prefix", string_set_type, offsetof(DirectorySection, black_prefix)},
};

const schema_key kEAKeys[] = {
    {"black_ea_name", string_set_type, offsetof(EASection, black_ea_name)},
};

template <size_t N>
constexpr schema_section Section(const char* name, size_t offset, const schema_key (&keys)[N]) {
  static_assert(N <= kSchemaMaxKeys);
  return schema_section{name, offset, N, keys};
}

const schema_section kSections[] = {
    Section("Version", offsetof(Filter, Version), kVersionKeys),
    Section("Common", offsetof(Filter, Common), kCommonKeys),
    Section("File", offsetof(Filter, File), kFileKeys),
    Section("Directory", offsetof(Filter, Directory), kDirectoryKeys),
    Section("EA", offsetof(Filter, EA), kEAKeys),
};

}  // namespace

const schema_parser cs_filter_schema = {1, 0, std::size(kSections), kSections};

int filter_init(Filter* filter) {
  filter->Version.major = 0;
  filter->Version.minor = 0;

  // A failed allocation leaves a set empty with capacity 0, which inserts
  // still grow; the record is usable either way, so the result is 0.
  (void)vt_string_init(&filter->Common.black_char);
  (void)vt_string_set_init(&filter->Common.black_prefix, 4);
  (void)vt_string_set_init(&filter->Common.black_dir_prefix, 4);
  (void)vt_string_set_init(&filter->Common.black_name, 4);
  (void)vt_string_set_init(&filter->Common.black_path_prefix_selective_sync, 4);
  filter->Common.max_length = 0;
  filter->Common.max_path = 0;

  (void)vt_string_init(&filter->File.black_char);
  (void)vt_string_set_init(&filter->File.black_ext, 4);
  (void)vt_string_set_init(&filter->File.black_name, 4);
  (void)vt_string_set_init(&filter->File.black_prefix, 4);
  (void)vt_string_set_init(&filter->File.black_ext_selective_sync, 4);
  (void)vt_string_set_init(&filter->File.black_name_selective_sync, 4);
  filter->File.max_size = 0;
  filter->File.max_size_selective_sync = 0;

  (void)vt_string_init(&filter->Directory.black_char);
  (void)vt_string_set_init(&filter->Directory.black_name, 2);
  (void)vt_string_set_init(&filter->Directory.black_prefix, 2);

  (void)vt_string_set_init(&filter->EA.black_ea_name, 2);
  return 0;
}

int filter_read(Filter* filter, const char* fname, parse_report* report) {
  parse_result result = parse(fname, &cs_filter_schema, filter, report);
  if (parse_accepted(result, filter->Version.major, filter->Version.minor)) return 0;
  filter_destroy(filter);
  return -1;
}

void filter_destroy(Filter* filter) { schema_record_destroy(&cs_filter_schema, filter); }

int filter_copy(Filter* to, const Filter* from) {
  if (to == from) return 0;
  if (schema_record_copy(&cs_filter_schema, to, from) == 0) return 0;
  filter_destroy(to);
  return -1;
}
