// Test helper: a canonical one-line text of a schema-described record, so a
// table can state the expected values and two records can be compared.
// Only values that differ from an initialised record appear:
//   Section.key=N, Section.key="text", Section.key=["a","b"]
// separated by "; ". Bytes outside 0x21-0x7E (and "\" and '"') are \xHH.
#ifndef TESTS_FILTER_RECORD_TEXT_H_
#define TESTS_FILTER_RECORD_TEXT_H_

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "filter/schema.h"
#include "filter/value_type.h"

namespace filter_test {

inline std::string QuoteForTest(const char* s) {
  std::string out = "\"";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p <= 0x20 || *p >= 0x7F || *p == '\\' || *p == '"') {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", *p);
      out += buf;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

inline std::string RecordText(const schema_parser& schema, const void* record) {
  std::string out;
  auto add = [&out](const std::string& item) {
    if (!out.empty()) out += "; ";
    out += item;
  };
  for (size_t s = 0; s < schema.section_count; ++s) {
    const schema_section& section = schema.section_schema[s];
    for (size_t k = 0; k < section.key_count; ++k) {
      const schema_key& key = section.key_schema[k];
      const char* value = static_cast<const char*>(record) + section.offset + key.offset;
      std::string name = std::string(section.name) + "." + key.name + "=";
      switch (key.value_type) {
        case integer32_type: {
          int v = *reinterpret_cast<const int*>(value);
          if (v != 0) add(name + std::to_string(v));
          break;
        }
        case integer64_type: {
          uint64_t v = *reinterpret_cast<const uint64_t*>(value);
          if (v != 0) add(name + std::to_string(v));
          break;
        }
        case string_type: {
          const value_type_string* v = reinterpret_cast<const value_type_string*>(value);
          if (v->str != nullptr) add(name + QuoteForTest(v->str));
          break;
        }
        case string_set_type: {
          const value_type_string_set* v = reinterpret_cast<const value_type_string_set*>(value);
          if (v->used == 0) break;
          std::string items;
          for (size_t i = 0; i < v->used; ++i) items += (i ? "," : "") + QuoteForTest(v->set[i]);
          add(name + "[" + items + "]");
          break;
        }
      }
    }
  }
  return out;
}

}  // namespace filter_test

#endif  // TESTS_FILTER_RECORD_TEXT_H_
