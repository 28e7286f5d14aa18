#include "filter/schema.h"

#include <cstdint>
#include <cstring>

#include "filter/value_type.h"

namespace {

char* ValueAt(void* record, const schema_section& section, const schema_key& key) {
  return static_cast<char*>(record) + section.offset + key.offset;
}

const char* ValueAt(const void* record, const schema_section& section, const schema_key& key) {
  return static_cast<const char*>(record) + section.offset + key.offset;
}

}  // namespace

void schema_record_destroy(const schema_parser* schema, void* record) {
  for (size_t s = 0; s < schema->section_count; ++s) {
    const schema_section& section = schema->section_schema[s];
    for (size_t k = 0; k < section.key_count; ++k) {
      const schema_key& key = section.key_schema[k];
      char* value = ValueAt(record, section, key);
      switch (key.value_type) {
        case integer32_type:
          *reinterpret_cast<int*>(value) = 0;
          break;
        case integer64_type:
          *reinterpret_cast<uint64_t*>(value) = 0;
          break;
        case string_type:
          vt_string_destroy(reinterpret_cast<value_type_string*>(value));
          break;
        case string_set_type:
          vt_string_set_destroy(reinterpret_cast<value_type_string_set*>(value));
          break;
        default:
          break;
      }
    }
  }
}

int schema_record_copy(const schema_parser* schema, void* to, const void* from) {
  for (size_t s = 0; s < schema->section_count; ++s) {
    const schema_section& section = schema->section_schema[s];
    for (size_t k = 0; k < section.key_count; ++k) {
      const schema_key& key = section.key_schema[k];
      char* dst = ValueAt(to, section, key);
      const char* src = ValueAt(from, section, key);
      switch (key.value_type) {
        case integer32_type:
          memcpy(dst, src, sizeof(int));
          break;
        case integer64_type:
          memcpy(dst, src, sizeof(uint64_t));
          break;
        case string_type:
          if (vt_string_copy(reinterpret_cast<value_type_string*>(dst),
                             reinterpret_cast<const value_type_string*>(src)) != 0) {
            return -1;
          }
          break;
        case string_set_type:
          if (vt_string_set_copy(reinterpret_cast<value_type_string_set*>(dst),
                                 reinterpret_cast<const value_type_string_set*>(src)) != 0) {
            return -1;
          }
          break;
        default:
          return -1;
      }
    }
  }
  return 0;
}
