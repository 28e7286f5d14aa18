#include "filter/cs_filter_writer.h"

#include <cinttypes>
#include <cstdint>

namespace {

// Values per line of a set; a trailing "," carries the set to the next line.
constexpr size_t kValuesPerLine = 5;

void PrintQuoted(const char* text, FILE* fp) {
  static const char kHex[] = "0123456789abcdef";
  fputc('"', fp);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    unsigned char c = *p;
    switch (c) {
      case '\\': fputs("\\\\", fp); break;
      case '"': fputs("\\\"", fp); break;
      case '\t': fputs("\\t", fp); break;
      case '\n': fputs("\\n", fp); break;
      case '\v': fputs("\\v", fp); break;
      case '\f': fputs("\\f", fp); break;
      default:
        // Besides control and non-ASCII bytes, "$", "@" and "`" are written
        // hex-escaped, as the format has always written them.
        if (c < 0x20 || c > 0x7E || c == '$' || c == '@' || c == '`') {
          fputc('\\', fp);
          fputc('x', fp);
          fputc(kHex[c >> 4], fp);
          fputc(kHex[c & 15], fp);
        } else {
          fputc(c, fp);
        }
    }
  }
  fputc('"', fp);
}

void PrintValue(const schema_key& key, const char* value, FILE* fp) {
  switch (key.value_type) {
    case integer32_type:
      fprintf(fp, "%s = %d\n", key.name, *reinterpret_cast<const int*>(value));
      break;
    case integer64_type:
      fprintf(fp, "%s = %" PRIu64 "\n", key.name, *reinterpret_cast<const uint64_t*>(value));
      break;
    case string_type: {
      const value_type_string* s = reinterpret_cast<const value_type_string*>(value);
      if (s->str == nullptr || s->str[0] == '\0') break;
      fprintf(fp, "%s = ", key.name);
      PrintQuoted(s->str, fp);
      fputc('\n', fp);
      break;
    }
    case string_set_type: {
      const value_type_string_set* set = reinterpret_cast<const value_type_string_set*>(value);
      if (set->used == 0) break;
      fprintf(fp, "%s = ", key.name);
      for (size_t i = 0; i < set->used; ++i) {
        if (i > 0) fputs(i % kValuesPerLine == 0 ? ",\n" : ", ", fp);
        PrintQuoted(set->set[i], fp);
      }
      fputc('\n', fp);
      break;
    }
    default:
      break;
  }
}

}  // namespace

int filter_print(const Filter* filter, FILE* fp) {
  const schema_parser& schema = cs_filter_schema;
  for (size_t s = 0; s < schema.section_count; ++s) {
    const schema_section& section = schema.section_schema[s];
    fprintf(fp, "[%s]\n", section.name);
    const char* record = reinterpret_cast<const char*>(filter) + section.offset;
    for (size_t k = 0; k < section.key_count; ++k) {
      PrintValue(section.key_schema[k], record + section.key_schema[k].offset, fp);
    }
    fputc('\n', fp);
  }
  return ferror(fp) ? -1 : 0;
}

int filter_write(const Filter* filter, const char* fname) {
  FILE* fp = fopen(fname, "we");
  if (fp == nullptr) return -1;
  int result = filter_print(filter, fp);
  // A full disk may only show when the buffer is flushed at close.
  if (fclose(fp) != 0) result = -1;
  return result;
}
