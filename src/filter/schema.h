// Schema tables that drive the rule-file parser, the writer and the generic
// record operations. A schema names the sections of a record and, for each
// section, the keys with their value type and their offsetof position, so
// every record the tables describe must be standard-layout.
#ifndef FILTER_SCHEMA_H_
#define FILTER_SCHEMA_H_

#include <cstddef>

constexpr size_t kSchemaMaxKeys = 64;      // keys per section
constexpr size_t kSchemaMaxSections = 32;  // sections per schema
constexpr size_t kSchemaMaxNameLength = 32;  // bytes of a section or key name

struct schema_key {
  const char* name;  // the file's vocabulary, compared case-sensitively
  int value_type;    // a value_type
  size_t offset;     // position of the value inside its section record
};

struct schema_section {
  const char* name;
  size_t offset;  // position of the section record inside the result record
  size_t key_count;
  const schema_key* key_schema;  // key_count entries, at most kSchemaMaxKeys
};

struct schema_parser {
  int major;  // version of the table; nothing compares it
  int minor;
  size_t section_count;
  const schema_section* section_schema;  // at most kSchemaMaxSections
};

// Frees every string and set of a record that `schema` describes and zeroes
// its numbers; the record is then empty, with no set storage.
void schema_record_destroy(const schema_parser* schema, void* record);

// Deep-copies every value of `from` into the initialised record `to`.
// Returns 0, or -1 at the first string or set that cannot be copied (`to`
// then holds a mix of both records and must be destroyed by the caller).
int schema_record_copy(const schema_parser* schema, void* to, const void* from);

#endif  // FILTER_SCHEMA_H_
