// Test helper: a record parsed from rule-file text held in memory, so a test
// states its rules the way a user writes them.
#ifndef TESTS_FILTER_RULES_FIXTURE_H_
#define TESTS_FILTER_RULES_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "filter/cs_filter.h"
#include "filter/force_hash_check_list.h"
#include "filter/parser.h"
#include "filter/white_list.h"

namespace filter_test {

// Parses `text` with `schema` into the initialised `record`; fails the test
// unless the parse is complete.
inline void ParseText(const std::string& text, const schema_parser* schema, void* record) {
  // fmemopen refuses an empty buffer: a lone newline parses the same.
  std::string bytes = text.empty() ? "\n" : text;
  FILE* fp = fmemopen(bytes.data(), bytes.size(), "r");
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(PARSE_DONE, parse_stream(fp, schema, record)) << text;
  fclose(fp);
}

struct Rules {
  explicit Rules(const std::string& text) {
    filter_init(&filter);
    ParseText(text, &cs_filter_schema, &filter);
  }
  ~Rules() { filter_destroy(&filter); }
  Rules(const Rules&) = delete;
  Rules& operator=(const Rules&) = delete;
  Filter filter;
};

struct WhiteRules {
  explicit WhiteRules(const std::string& text) {
    white_list_init(&list);
    ParseText(text, &white_list_schema, &list);
  }
  ~WhiteRules() { white_list_destroy(&list); }
  WhiteRules(const WhiteRules&) = delete;
  WhiteRules& operator=(const WhiteRules&) = delete;
  WhiteList list;
};

struct ForceHashRules {
  explicit ForceHashRules(const std::string& text) {
    force_hash_check_list_init(&list);
    ParseText(text, &force_hash_check_list_schema, &list);
  }
  ~ForceHashRules() { force_hash_check_list_destroy(&list); }
  ForceHashRules(const ForceHashRules&) = delete;
  ForceHashRules& operator=(const ForceHashRules&) = delete;
  ForceHashCheckList list;
};

}  // namespace filter_test

#endif  // TESTS_FILTER_RULES_FIXTURE_H_
