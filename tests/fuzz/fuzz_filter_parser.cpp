// Rule files on disk are untrusted input. The first byte picks the schema,
// the rest is the file. After the parse, the tests run on a path taken from
// the input (its last line), a complete black-list parse must survive a
// write and re-parse unchanged, and the record is destroyed so that
// LeakSanitizer sees any value lost on an error path.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "filter/cs_filter.h"
#include "filter/cs_filter_match.h"
#include "filter/cs_filter_writer.h"
#include "filter/force_hash_check_list.h"
#include "filter/parser.h"
#include "filter/white_list.h"

namespace {

parse_result ParseBytes(const std::string& bytes, const schema_parser* schema, void* record) {
  if (bytes.empty()) return PARSE_DONE;  // fmemopen refuses an empty buffer
  std::string copy = bytes;
  FILE* fp = fmemopen(copy.data(), copy.size(), "r");
  if (fp == nullptr) abort();
  parse_result result = parse_stream(fp, schema, record);
  fclose(fp);
  return result;
}

std::string Print(const Filter* filter) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buf, &size);
  if (fp == nullptr) abort();
  if (filter_print(filter, fp) != 0) abort();
  fclose(fp);
  std::string text(buf, size);
  free(buf);
  return text;
}

void CheckRoundTrip(const Filter* filter) {
  std::string first = Print(filter);
  Filter again;
  filter_init(&again);
  if (ParseBytes(first, &cs_filter_schema, &again) != PARSE_DONE) abort();
  if (Print(&again) != first) abort();
  filter_destroy(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t last_lf = file.rfind('\n');
  const std::string_view path =
      last_lf == std::string::npos ? std::string_view(file) : std::string_view(file).substr(last_lf + 1);
  uint64_t number = 0;
  memcpy(&number, file.data(), file.size() < sizeof number ? file.size() : sizeof number);

  switch (data[0] % 3) {
    case 0: {
      Filter filter;
      filter_init(&filter);
      parse_result result = ParseBytes(file, &cs_filter_schema, &filter);
      (void)filter_test_path(&filter, 0, path);
      (void)filter_test_path(&filter, 1, path);
      (void)filter_test_file_size(&filter, number);
      (void)filter_test_full_path_size(&filter, number);
      (void)filter_test_ea(&filter, path);
      if (result == PARSE_DONE) CheckRoundTrip(&filter);
      filter_destroy(&filter);
      break;
    }
    case 1: {
      WhiteList list;
      white_list_init(&list);
      (void)ParseBytes(file, &white_list_schema, &list);
      (void)white_list_test(&list, path);
      white_list_destroy(&list);
      break;
    }
    default: {
      ForceHashCheckList list;
      force_hash_check_list_init(&list);
      (void)ParseBytes(file, &force_hash_check_list_schema, &list);
      (void)force_hash_extension_test(&list, path);
      force_hash_check_list_destroy(&list);
      break;
    }
  }
  return 0;
}
