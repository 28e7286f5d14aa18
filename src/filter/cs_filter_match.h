// The black-list tests: whether a session-relative path, a size or an
// extended-attribute name passes the rules of a Filter. All comparisons
// ignore ASCII case and compare every other byte as it stands.
//
// The functions take no lock, keep no state and allocate nothing: they look
// at the caller's text through a string_view. The caller keeps `filter`
// unchanged while a test runs (BlackList2 holds its mutex).
#ifndef FILTER_CS_FILTER_MATCH_H_
#define FILTER_CS_FILTER_MATCH_H_

#include <cstdint>
#include <string_view>

#include "filter/cs_filter.h"
#include "filter/filter_codes.h"
#include "filter/rule_compare.h"

// Folder part (up to and including the last "/") of a file path, and a whole
// folder path, longer than this give FILTER_ERROR.
constexpr size_t kFilterMaxFolderPath = 4095;
// A file name longer than this gives FILTER_ERROR.
constexpr size_t kFilterMaxFileName = 511;

// Tests `path` (UTF-8, relative to the session root, beginning with "/") as
// a file (`is_dir` 0) or a folder. Returns 0 or the first FILTER_* code that
// blocks it, in this order:
//  - a file: FILTER_ERROR without a leading "/", for a folder part over
//    kFilterMaxFolderPath or a name over kFilterMaxFileName bytes; then its
//    name against Common.max_length, black_char, black_prefix, the whole path
//    against black_dir_prefix, the name against black_name, the whole path
//    against black_path_prefix_selective_sync, then File.black_char,
//    black_ext, black_name, black_prefix, black_name_selective_sync,
//    black_ext_selective_sync; then every folder above it as below.
//  - a folder: FILTER_ERROR for a path over kFilterMaxFolderPath; each
//    component (runs of "/" are one separator; no component passes) against
//    Common.black_char, black_prefix, the whole path against
//    black_dir_prefix, black_name, max_length, the whole path against
//    black_path_prefix_selective_sync, then Directory.black_char,
//    black_name, black_prefix.
int filter_test_path(const Filter* filter, int is_dir, std::string_view path);

// What the path tests derive from a Filter's rules: the black_char byte
// tables and the first bytes of every name, prefix and extension set. A
// holder that tests one Filter many times builds it once per change of the
// rules; it is valid until the Filter changes.
struct FilterMatchIndex {
  rule_compare::ByteSet common_chars;
  rule_compare::ByteSet file_chars;
  rule_compare::ByteSet dir_chars;
  rule_compare::FirstBytes common_prefix;
  rule_compare::FirstBytes common_name;
  rule_compare::FirstBytes file_ext;
  rule_compare::FirstBytes file_name;
  rule_compare::FirstBytes file_prefix;
  rule_compare::FirstBytes file_name_selective;
  rule_compare::FirstBytes file_ext_selective;
  rule_compare::FirstBytes dir_name;
  rule_compare::FirstBytes dir_prefix;
};

// Builds `index` from the current rules of `filter`. Allocates nothing.
void filter_match_index_build(const Filter* filter, FilterMatchIndex* index);

// filter_test_path with an index built from `filter` and not outdated since.
int filter_test_path(const Filter* filter, const FilterMatchIndex& index, int is_dir, std::string_view path);

// FILTER_FILE_SIZE above File.max_size, else FILTER_FILE_SIZE_SELECTIVE_SYNC
// above File.max_size_selective_sync, else 0; a limit of 0 is no limit.
int filter_test_file_size(const Filter* filter, uint64_t size);

// FILTER_PATH_SIZE when Common.max_path is nonzero and `length` is greater,
// else 0. The caller chooses the unit (the worker passes UTF-16 code units).
int filter_test_full_path_size(const Filter* filter, uint64_t length);

// FILTER_EA_NAME when `name` equals an EA.black_ea_name entry, else 0.
int filter_test_ea(const Filter* filter, std::string_view name);

#endif  // FILTER_CS_FILTER_MATCH_H_
