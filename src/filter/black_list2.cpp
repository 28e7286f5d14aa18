#include "filter/black_list2.h"

#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "filter/cs_filter_writer.h"
#include "filter/holder_load.h"
#include "filter/rule_compare.h"

namespace {

std::string_view View(const ustring& s) { return std::string_view(s.c_str_utf8(), s.length()); }

const holder_load::RecordOps<Filter> kFilterOps = {filter_init, filter_read, filter_destroy};

// Adds `value` unless an entry equal to it (ASCII case ignored) is present.
int InsertUnique(value_type_string_set* set, const ustring& value) {
  // An empty entry would match every name as a prefix; a NUL would cut the
  // entry short.
  if (value.empty() || strlen(value.c_str_utf8()) != value.length()) return -1;
  if (BlackList2::StringSetValueExist(set, value.c_str_utf8())) return 0;
  return vt_string_set_insert(set, value.c_str_utf8());
}

int ReplaceText(value_type_string* text, const ustring& value) {
  if (value.empty() || strlen(value.c_str_utf8()) != value.length()) return -1;
  return vt_string_assign(text, value.c_str_utf8());
}

}  // namespace

using SharedLock = std::shared_lock<std::shared_mutex>;
using ExclusiveLock = std::unique_lock<std::shared_mutex>;

BlackList2::BlackList2() {
  (void)filter_init(&m_filter);
  filter_match_index_build(&m_filter, &m_index);
}

BlackList2::~BlackList2() { filter_destroy(&m_filter); }

BlackList2::BlackList2(const BlackList2& other) {
  (void)filter_init(&m_filter);
  // Nobody else sees this object yet: only the source needs its lock.
  SharedLock guard(other.m_mutex);
  // On failure filter_copy leaves the record empty, which is documented.
  (void)filter_copy(&m_filter, &other.m_filter);
  filter_match_index_build(&m_filter, &m_index);
}

BlackList2& BlackList2::operator=(const BlackList2& other) {
  if (this == &other) return *this;
  Filter copy;
  (void)filter_init(&copy);
  {
    std::scoped_lock both(m_mutex, other.m_mutex);
    if (filter_copy(&copy, &other.m_filter) == 0) {
      std::swap(m_filter, copy);
      m_index = other.m_index;
    }
  }
  filter_destroy(&copy);
  return *this;
}

BlackList2* BlackList2::getInstance() {
  static BlackList2 instance;
  return &instance;
}

int BlackList2::Load(const ustring& path) {
  return holder_load::Load(path, kFilterOps, "black_list2", __LINE__, [this](Filter& fresh) { Install(fresh); });
}

void BlackList2::Install(Filter& parsed) {
  FilterMatchIndex index;
  filter_match_index_build(&parsed, &index);
  {
    ExclusiveLock guard(m_mutex);
    std::swap(m_filter, parsed);
    m_index = index;
  }
  filter_destroy(&parsed);
}

int BlackList2::TestFilePath(const ustring& path) const {
  SharedLock guard(m_mutex);
  return filter_test_path(&m_filter, m_index, 0, View(path));
}

int BlackList2::TestDirectoryPath(const ustring& path) const {
  SharedLock guard(m_mutex);
  return filter_test_path(&m_filter, m_index, 1, View(path));
}

int BlackList2::TestFileSize(uint64_t size) const {
  SharedLock guard(m_mutex);
  return filter_test_file_size(&m_filter, size);
}

int BlackList2::TestFullPathSize(uint64_t length) const {
  SharedLock guard(m_mutex);
  return filter_test_full_path_size(&m_filter, length);
}

void BlackList2::Destroy() {
  // Zero-initialised is the destroyed state: no strings, no set storage.
  Filter old{};
  FilterMatchIndex index;
  filter_match_index_build(&old, &index);
  {
    ExclusiveLock guard(m_mutex);
    std::swap(m_filter, old);
    m_index = index;
  }
  filter_destroy(&old);
}

void BlackList2::Clear() {
  Filter old;
  (void)filter_init(&old);
  FilterMatchIndex index;
  filter_match_index_build(&old, &index);
  {
    ExclusiveLock guard(m_mutex);
    std::swap(m_filter, old);
    m_index = index;
  }
  filter_destroy(&old);
}

int BlackList2::Write(const ustring& path) const {
  SharedLock guard(m_mutex);
  return filter_write(&m_filter, path.c_str_utf8());
}

Filter* BlackList2::GetFilter() {
  // Deliberately left locked: ReturnFilter() unlocks.
  m_mutex.lock();
  return &m_filter;
}

void BlackList2::ReturnFilter() {
  // The caller may have edited the rules.
  filter_match_index_build(&m_filter, &m_index);
  m_mutex.unlock();
}

int BlackList2::GetMajorVersion() const {
  SharedLock guard(m_mutex);
  return m_filter.Version.major;
}

int BlackList2::GetMinorVersion() const {
  SharedLock guard(m_mutex);
  return m_filter.Version.minor;
}

int BlackList2::InsertFilter(VersionSection* section, int major, int minor) {
  section->major = major;
  section->minor = minor;
  return 0;
}

int BlackList2::InsertFilter(CommonSection* section, int code, unsigned long long value) {
  switch (code) {
    case FILTER_PATH_SIZE: section->max_path = value; return 0;
    case FILTER_LENGTH: section->max_length = value; return 0;
    default: return -1;
  }
}

int BlackList2::InsertFilter(FileSection* section, int code, unsigned long long value) {
  switch (code) {
    case FILTER_FILE_SIZE_SELECTIVE_SYNC: section->max_size_selective_sync = value; return 0;
    case FILTER_FILE_SIZE: section->max_size = value; return 0;
    default: return -1;
  }
}

int BlackList2::InsertFilter(CommonSection* section, int code, const ustring& value) {
  switch (code) {
    case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
      return InsertUnique(&section->black_path_prefix_selective_sync, value);
    case FILTER_DIR_PREFIX: return InsertUnique(&section->black_dir_prefix, value);
    case FILTER_NAME: return InsertUnique(&section->black_name, value);
    case FILTER_PREFIX: return InsertUnique(&section->black_prefix, value);
    case FILTER_CHAR: return ReplaceText(&section->black_char, value);
    default: return -1;
  }
}

int BlackList2::InsertFilter(FileSection* section, int code, const ustring& value) {
  switch (code) {
    case FILTER_NAME_SELECTIVE_SYNC: return InsertUnique(&section->black_name_selective_sync, value);
    case FILTER_EXT_SELECTIVE_SYNC: return InsertUnique(&section->black_ext_selective_sync, value);
    case FILTER_EXT: return InsertUnique(&section->black_ext, value);
    case FILTER_NAME: return InsertUnique(&section->black_name, value);
    case FILTER_PREFIX: return InsertUnique(&section->black_prefix, value);
    default: return -1;
  }
}

int BlackList2::InsertFilter(DirectorySection* section, int code, const ustring& value) {
  if (code != FILTER_NAME) return -1;
  return InsertUnique(&section->black_name, value);
}

int BlackList2::RemoveFilter(CommonSection* section, int code, const ustring& value) {
  switch (code) {
    case FILTER_DIR_PREFIX: return vt_string_set_remove(&section->black_dir_prefix, value.c_str_utf8());
    case FILTER_PREFIX: return vt_string_set_remove(&section->black_prefix, value.c_str_utf8());
    default: return -1;
  }
}

int BlackList2::RemoveFilter(FileSection* section, int code, const ustring& value) {
  if (code != FILTER_EXT_SELECTIVE_SYNC) return -1;
  return vt_string_set_remove(&section->black_ext_selective_sync, value.c_str_utf8());
}

bool BlackList2::StringSetValueExist(const value_type_string_set* set, const char* value) {
  return rule_compare::AnyEquals(*set, value);
}
