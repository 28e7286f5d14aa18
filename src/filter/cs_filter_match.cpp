#include "filter/cs_filter_match.h"

using rule_compare::AnyEquals;
using rule_compare::AnyFolderPrefix;
using rule_compare::AnyPrefix;
using rule_compare::ByteSet;
using rule_compare::FirstBytes;

namespace {

bool EqualsAny(const FirstBytes& first, const value_type_string_set& set, std::string_view text) {
  return first.MayMatch(text) && AnyEquals(set, text);
}

bool PrefixAny(const FirstBytes& first, const value_type_string_set& set, std::string_view text) {
  return first.MayMatch(text) && AnyPrefix(set, text);
}

// The two whole-path rules answer the same for every component, so they are
// evaluated once per call; each code is still returned where the order of
// the tests places it.
struct WholePathHits {
  bool dir_prefix;
  bool selective_prefix;
};

WholePathHits TestWholePath(const Filter* filter, std::string_view path) {
  return {AnyFolderPrefix(filter->Common.black_dir_prefix, path),
          AnyFolderPrefix(filter->Common.black_path_prefix_selective_sync, path)};
}

// Walks the components of `folders`, each tested whole (a name from the
// server may be longer than any buffer; testing it in pieces would both
// block and pass wrongly).
int WalkFolders(const Filter* filter, const FilterMatchIndex& index, std::string_view folders,
                const WholePathHits& hits) {
  const CommonSection& common = filter->Common;
  const DirectorySection& dir = filter->Directory;
  size_t pos = 0;
  for (;;) {
    while (pos < folders.size() && folders[pos] == '/') ++pos;
    if (pos == folders.size()) return 0;
    size_t end = folders.find('/', pos);
    if (end == std::string_view::npos) end = folders.size();
    std::string_view component = folders.substr(pos, end - pos);
    pos = end;

    if (index.common_chars.AnyIn(component)) return FILTER_CHAR;
    if (PrefixAny(index.common_prefix, common.black_prefix, component)) return FILTER_PREFIX;
    if (hits.dir_prefix) return FILTER_DIR_PREFIX;
    if (EqualsAny(index.common_name, common.black_name, component)) return FILTER_NAME;
    if (common.max_length != 0 && component.size() > common.max_length) return FILTER_LENGTH;
    if (hits.selective_prefix) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    if (index.dir_chars.AnyIn(component)) return FILTER_CHAR;
    if (EqualsAny(index.dir_name, dir.black_name, component)) return FILTER_NAME;
    if (PrefixAny(index.dir_prefix, dir.black_prefix, component)) return FILTER_PREFIX;
  }
}

int TestFile(const Filter* filter, const FilterMatchIndex& index, std::string_view path) {
  if (path.empty() || path[0] != '/') return FILTER_ERROR;
  size_t slash = path.rfind('/');
  std::string_view folders = path.substr(0, slash + 1);
  std::string_view name = path.substr(slash + 1);
  if (folders.size() > kFilterMaxFolderPath || name.size() > kFilterMaxFileName) return FILTER_ERROR;
  std::string_view ext = rule_compare::Extension(name);

  const CommonSection& common = filter->Common;
  const FileSection& file = filter->File;
  WholePathHits hits = TestWholePath(filter, path);

  if (common.max_length != 0 && name.size() > common.max_length) return FILTER_LENGTH;
  if (index.common_chars.AnyIn(name)) return FILTER_CHAR;
  if (PrefixAny(index.common_prefix, common.black_prefix, name)) return FILTER_PREFIX;
  if (hits.dir_prefix) return FILTER_DIR_PREFIX;
  if (EqualsAny(index.common_name, common.black_name, name)) return FILTER_NAME;
  if (hits.selective_prefix) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  if (index.file_chars.AnyIn(name)) return FILTER_CHAR;
  if (EqualsAny(index.file_ext, file.black_ext, ext)) return FILTER_EXT;
  if (EqualsAny(index.file_name, file.black_name, name)) return FILTER_NAME;
  if (PrefixAny(index.file_prefix, file.black_prefix, name)) return FILTER_PREFIX;
  if (EqualsAny(index.file_name_selective, file.black_name_selective_sync, name)) return FILTER_NAME_SELECTIVE_SYNC;
  if (EqualsAny(index.file_ext_selective, file.black_ext_selective_sync, ext)) return FILTER_EXT_SELECTIVE_SYNC;

  // Both whole-path rules were false (else a code was returned above).
  return WalkFolders(filter, index, folders, WholePathHits{false, false});
}

int TestFolder(const Filter* filter, const FilterMatchIndex& index, std::string_view path) {
  if (path.size() > kFilterMaxFolderPath) return FILTER_ERROR;
  return WalkFolders(filter, index, path, TestWholePath(filter, path));
}

}  // namespace

void filter_match_index_build(const Filter* filter, FilterMatchIndex* index) {
  index->common_chars = ByteSet(filter->Common.black_char.str);
  index->file_chars = ByteSet(filter->File.black_char.str);
  index->dir_chars = ByteSet(filter->Directory.black_char.str);
  index->common_prefix = FirstBytes(filter->Common.black_prefix);
  index->common_name = FirstBytes(filter->Common.black_name);
  index->file_ext = FirstBytes(filter->File.black_ext);
  index->file_name = FirstBytes(filter->File.black_name);
  index->file_prefix = FirstBytes(filter->File.black_prefix);
  index->file_name_selective = FirstBytes(filter->File.black_name_selective_sync);
  index->file_ext_selective = FirstBytes(filter->File.black_ext_selective_sync);
  index->dir_name = FirstBytes(filter->Directory.black_name);
  index->dir_prefix = FirstBytes(filter->Directory.black_prefix);
}

int filter_test_path(const Filter* filter, const FilterMatchIndex& index, int is_dir, std::string_view path) {
  return is_dir ? TestFolder(filter, index, path) : TestFile(filter, index, path);
}

int filter_test_path(const Filter* filter, int is_dir, std::string_view path) {
  FilterMatchIndex index;
  filter_match_index_build(filter, &index);
  return filter_test_path(filter, index, is_dir, path);
}

int filter_test_file_size(const Filter* filter, uint64_t size) {
  if (filter->File.max_size != 0 && size > filter->File.max_size) return FILTER_FILE_SIZE;
  if (filter->File.max_size_selective_sync != 0 && size > filter->File.max_size_selective_sync) {
    return FILTER_FILE_SIZE_SELECTIVE_SYNC;
  }
  return 0;
}

int filter_test_full_path_size(const Filter* filter, uint64_t length) {
  if (filter->Common.max_path != 0 && length > filter->Common.max_path) return FILTER_PATH_SIZE;
  return 0;
}

int filter_test_ea(const Filter* filter, std::string_view name) {
  return AnyEquals(filter->EA.black_ea_name, name) ? FILTER_EA_NAME : 0;
}
