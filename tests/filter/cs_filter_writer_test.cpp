#include "filter/cs_filter_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "filter/parser.h"
#include "record_text.h"
#include "support/temp_dir.h"

namespace {

using filter_test::RecordText;

class WriterTest : public testsupport::TempDirTest {};

TEST_F(WriterTest, PrintsSectionsInSchemaOrder) {
  Filter filter;
  filter_init(&filter);
  filter.Version = {1, 2};
  vt_string_assign(&filter.Common.black_char, "a\"\\\t\n\v\f\r$@`~\x7F\xC3\xA9");
  for (const char* s : {"1", "2", "3", "4", "5", "6"}) vt_string_set_insert(&filter.File.black_ext, s);
  filter.File.max_size = UINT64_MAX;

  char* buf = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&buf, &size);
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(0, filter_print(&filter, fp));
  fclose(fp);
  EXPECT_EQ(
      "[Version]\nmajor = 1\nminor = 2\n\n"
      "[Common]\nblack_char = \"a\\\"\\\\\\t\\n\\v\\f\\x0d\\x24\\x40\\x60~\\x7f\\xc3\\xa9\"\n"
      "max_length = 0\nmax_path = 0\n\n"
      "[File]\nblack_ext = \"1\", \"2\", \"3\", \"4\", \"5\",\n\"6\"\n"
      "max_size = 18446744073709551615\nmax_size_selective_sync = 0\n\n"
      "[Directory]\n\n"
      "[EA]\n\n",
      std::string(buf, size));
  free(buf);
  filter_destroy(&filter);
}

std::string RandomText(std::mt19937& rng) {
  // Mostly short values, some up to the 512-byte limit.
  size_t len = std::uniform_int_distribution<int>(0, 3)(rng) == 0
                   ? std::uniform_int_distribution<size_t>(1, 512)(rng)
                   : std::uniform_int_distribution<size_t>(1, 12)(rng);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string s;
  for (size_t i = 0; i < len; ++i) s += static_cast<char>(byte(rng));
  return s;
}

uint64_t RandomLimit(std::mt19937& rng) {
  switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
    case 0: return 0;
    case 1: return UINT64_MAX;
    case 2: return std::uniform_int_distribution<uint64_t>(1, 1000)(rng);
    default: return std::uniform_int_distribution<uint64_t>()(rng);
  }
}

void FillRandom(Filter* filter, std::mt19937& rng) {
  std::uniform_int_distribution<int> version(-5, 5);
  filter->Version = {version(rng), version(rng)};
  for (size_t s = 0; s < cs_filter_schema.section_count; ++s) {
    const schema_section& section = cs_filter_schema.section_schema[s];
    for (size_t k = 0; k < section.key_count; ++k) {
      const schema_key& key = section.key_schema[k];
      char* value = reinterpret_cast<char*>(filter) + section.offset + key.offset;
      if (key.value_type == integer64_type) {
        *reinterpret_cast<uint64_t*>(value) = RandomLimit(rng);
      } else if (key.value_type == string_type) {
        if (rng() % 4 != 0) {
          ASSERT_EQ(0, vt_string_assign(reinterpret_cast<value_type_string*>(value), RandomText(rng).c_str()));
        }
      } else if (key.value_type == string_set_type) {
        int count = std::uniform_int_distribution<int>(0, 13)(rng);
        for (int i = 0; i < count; ++i) {
          ASSERT_EQ(0, vt_string_set_insert(reinterpret_cast<value_type_string_set*>(value),
                                            RandomText(rng).c_str()));
        }
      }
    }
  }
}

// Escaped values longer than 1023 output characters used to be cut, losing
// their closing quote; every byte 0x01-0xFF must read back unchanged.
TEST_F(WriterTest, ParseOfWriteGivesTheSameRecord) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    Filter written;
    filter_init(&written);
    FillRandom(&written, rng);
    const std::string path = Path("round.filter");
    ASSERT_EQ(0, filter_write(&written, path.c_str()));

    Filter read;
    filter_init(&read);
    parse_report report{};
    EXPECT_EQ(0, filter_read(&read, path.c_str(), &report))
        << get_parser_error_string(report.error) << " at line " << report.line;
    EXPECT_EQ(RecordText(cs_filter_schema, &written), RecordText(cs_filter_schema, &read));
    filter_destroy(&written);
    filter_destroy(&read);
  }
}

TEST_F(WriterTest, UnwritablePathFails) {
  Filter filter;
  filter_init(&filter);
  EXPECT_EQ(-1, filter_write(&filter, Path("no/such/folder/x.filter").c_str()));
  // A full device: the error shows when the buffer is flushed.
  EXPECT_EQ(-1, filter_write(&filter, "/dev/full"));
  filter_destroy(&filter);
}

}  // namespace
