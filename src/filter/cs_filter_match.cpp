#include "filter/cs_filter_match.h"

#include "filter/rule_compare.h"

using rule_compare::AnyEquals;
using rule_compare::AnyFolderPrefix;
using rule_compare::AnyPrefix;
using rule_compare::ByteSet;

namespace {

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
int WalkFolders(const Filter* filter, std::string_view folders, const WholePathHits& hits,
                const ByteSet& common_chars) {
  const CommonSection& common = filter->Common;
  const DirectorySection& dir = filter->Directory;
  ByteSet dir_chars(dir.black_char.str);
  size_t pos = 0;
  for (;;) {
    while (pos < folders.size() && folders[pos] == '/') ++pos;
    if (pos == folders.size()) return 0;
    size_t end = folders.find('/', pos);
    if (end == std::string_view::npos) end = folders.size();
    std::string_view component = folders.substr(pos, end - pos);
    pos = end;

    if (common_chars.AnyIn(component)) return FILTER_CHAR;
    if (AnyPrefix(common.black_prefix, component)) return FILTER_PREFIX;
    if (hits.dir_prefix) return FILTER_DIR_PREFIX;
    if (AnyEquals(common.black_name, component)) return FILTER_NAME;
    if (common.max_length != 0 && component.size() > common.max_length) return FILTER_LENGTH;
    if (hits.selective_prefix) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    if (dir_chars.AnyIn(component)) return FILTER_CHAR;
    if (AnyEquals(dir.black_name, component)) return FILTER_NAME;
    if (AnyPrefix(dir.black_prefix, component)) return FILTER_PREFIX;
  }
}

int TestFile(const Filter* filter, std::string_view path) {
  if (path.empty() || path[0] != '/') return FILTER_ERROR;
  size_t slash = path.rfind('/');
  std::string_view folders = path.substr(0, slash + 1);
  std::string_view name = path.substr(slash + 1);
  if (folders.size() > kFilterMaxFolderPath || name.size() > kFilterMaxFileName) return FILTER_ERROR;
  std::string_view ext = rule_compare::Extension(name);

  const CommonSection& common = filter->Common;
  const FileSection& file = filter->File;
  ByteSet common_chars(common.black_char.str);
  WholePathHits hits = TestWholePath(filter, path);

  if (common.max_length != 0 && name.size() > common.max_length) return FILTER_LENGTH;
  if (common_chars.AnyIn(name)) return FILTER_CHAR;
  if (AnyPrefix(common.black_prefix, name)) return FILTER_PREFIX;
  if (hits.dir_prefix) return FILTER_DIR_PREFIX;
  if (AnyEquals(common.black_name, name)) return FILTER_NAME;
  if (hits.selective_prefix) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  if (ByteSet(file.black_char.str).AnyIn(name)) return FILTER_CHAR;
  if (AnyEquals(file.black_ext, ext)) return FILTER_EXT;
  if (AnyEquals(file.black_name, name)) return FILTER_NAME;
  if (AnyPrefix(file.black_prefix, name)) return FILTER_PREFIX;
  if (AnyEquals(file.black_name_selective_sync, name)) return FILTER_NAME_SELECTIVE_SYNC;
  if (AnyEquals(file.black_ext_selective_sync, ext)) return FILTER_EXT_SELECTIVE_SYNC;

  // Both whole-path rules were false (else a code was returned above).
  return WalkFolders(filter, folders, WholePathHits{false, false}, common_chars);
}

int TestFolder(const Filter* filter, std::string_view path) {
  if (path.size() > kFilterMaxFolderPath) return FILTER_ERROR;
  return WalkFolders(filter, path, TestWholePath(filter, path), ByteSet(filter->Common.black_char.str));
}

}  // namespace

int filter_test_path(const Filter* filter, int is_dir, std::string_view path) {
  return is_dir ? TestFolder(filter, path) : TestFile(filter, path);
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
