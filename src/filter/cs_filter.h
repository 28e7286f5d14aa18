// The black-list record ("blacklist.filter" of a session and the system
// filter) with its schema and lifecycle. The record is standard-layout with
// owned C strings so that the schema's offsetof values stay valid; it has no
// lock (see BlackList2 for the shared, thread-safe holder).
#ifndef FILTER_CS_FILTER_H_
#define FILTER_CS_FILTER_H_

#include <cstdint>

#include "filter/schema.h"
#include "filter/value_type.h"

struct parse_report;

struct VersionSection {
  int major;
  int minor;
};

struct CommonSection {
  value_type_string black_char;  // bytes no file or folder name may hold
  value_type_string_set black_prefix;
  value_type_string_set black_dir_prefix;  // session-relative folder paths
  value_type_string_set black_name;
  value_type_string_set black_path_prefix_selective_sync;
  uint64_t max_length;  // longest name in bytes, 0 = no limit
  uint64_t max_path;    // longest full path, 0 = no limit
};

struct FileSection {
  value_type_string black_char;
  value_type_string_set black_ext;  // extensions without their dot
  value_type_string_set black_name;
  value_type_string_set black_prefix;
  value_type_string_set black_ext_selective_sync;
  value_type_string_set black_name_selective_sync;
  uint64_t max_size;  // bytes, 0 = no limit
  uint64_t max_size_selective_sync;
};

struct DirectorySection {
  value_type_string black_char;
  value_type_string_set black_name;
  value_type_string_set black_prefix;
};

struct EASection {
  value_type_string_set black_ea_name;
};

struct Filter {
  VersionSection Version;
  CommonSection Common;
  FileSection File;
  DirectorySection Directory;
  EASection EA;
};

extern const schema_parser cs_filter_schema;

// Version 0.0, black_char strings null, empty sets (capacity 4 for Common
// and File, 2 for Directory and EA), limits 0. Returns 0; a set whose array
// cannot be allocated is left empty with capacity 0, which still works.
int filter_init(Filter* filter);

// Parses the rule file at the UTF-8 path `fname` into the initialised
// `filter`. Returns 0 for a complete parse (whatever version the file
// declares), and for a parse that skipped unknown keys when the file says
// version 1.x with x > 0. Otherwise -1 with the record emptied
// (filter_destroy). `report`, when not null, receives the parser's outcome.
int filter_read(Filter* filter, const char* fname, parse_report* report = nullptr);

// Frees every string and set and zeroes the version and the limits.
void filter_destroy(Filter* filter);

// Deep copy of every field into the initialised record `to`. Returns 0, or
// -1 at the first string or set that cannot be copied; `to` is then emptied.
int filter_copy(Filter* to, const Filter* from);

#endif  // FILTER_CS_FILTER_H_
