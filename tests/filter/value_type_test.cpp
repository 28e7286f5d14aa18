#include "filter/value_type.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/cs_filter.h"

namespace {

std::vector<std::string> Texts(const value_type_string_set& set) {
  return std::vector<std::string>(set.set, set.set + set.used);
}

// A set with capacity 0 (destroyed, or its first allocation failed) used to
// "double" to 0 and write past its array.
TEST(StringSet, GrowsFromEveryCapacity) {
  for (size_t start : {0, 1, 2, 3, 4, 7}) {
    SCOPED_TRACE(start);
    value_type_string_set set;
    ASSERT_EQ(0, vt_string_set_init(&set, start));
    vt_string_set_destroy(&set);  // capacity 0, null array
    ASSERT_EQ(0u, set.capacity);
    ASSERT_EQ(nullptr, set.set);
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
      expected.push_back("v" + std::to_string(i));
      ASSERT_EQ(0, vt_string_set_insert(&set, expected.back().c_str()));
      ASSERT_LE(set.used, set.capacity);
    }
    EXPECT_EQ(expected, Texts(set));
    vt_string_set_destroy(&set);
  }
}

TEST(StringSet, InitCapacityZeroMeansFour) {
  value_type_string_set set;
  ASSERT_EQ(0, vt_string_set_init(&set, 0));
  EXPECT_EQ(4u, set.capacity);
  EXPECT_EQ(0u, set.used);
  vt_string_set_destroy(&set);
}

TEST(StringSet, InsertAfterFilterDestroyWorks) {
  Filter filter;
  filter_init(&filter);
  filter_destroy(&filter);
  EXPECT_EQ(0, vt_string_set_insert(&filter.Directory.black_name, "x"));
  EXPECT_EQ(std::vector<std::string>{"x"}, Texts(filter.Directory.black_name));
  filter_destroy(&filter);
}

TEST(StringSet, RemoveFirstExactMatchMovingTheLast) {
  value_type_string_set set;
  ASSERT_EQ(0, vt_string_set_init(&set, 0));
  for (const char* s : {"a", "B", "c", "b", "d"}) ASSERT_EQ(0, vt_string_set_insert(&set, s));
  EXPECT_EQ(0, vt_string_set_remove(&set, "b"));  // byte for byte: "B" stays
  EXPECT_EQ((std::vector<std::string>{"a", "B", "c", "d"}), Texts(set));
  EXPECT_EQ(0, vt_string_set_remove(&set, "a"));
  EXPECT_EQ((std::vector<std::string>{"d", "B", "c"}), Texts(set));
  EXPECT_EQ(0, vt_string_set_remove(&set, "missing"));
  EXPECT_EQ(3u, set.used);
  vt_string_set_destroy(&set);
}

TEST(StringSet, CopyKeepsOrderAndDuplicates) {
  value_type_string_set from, to;
  ASSERT_EQ(0, vt_string_set_init(&from, 2));
  ASSERT_EQ(0, vt_string_set_init(&to, 0));
  ASSERT_EQ(0, vt_string_set_insert(&to, "old"));
  for (const char* s : {"x", "y", "x"}) ASSERT_EQ(0, vt_string_set_insert(&from, s));
  ASSERT_EQ(0, vt_string_set_copy(&to, &from));
  EXPECT_EQ((std::vector<std::string>{"x", "y", "x"}), Texts(to));
  EXPECT_NE(from.set[0], to.set[0]);  // deep copy
  vt_string_set_destroy(&from);
  vt_string_set_destroy(&to);
}

TEST(String, AssignReplacesAndCopyHandlesNull) {
  value_type_string a, b;
  vt_string_init(&a);
  vt_string_init(&b);
  ASSERT_EQ(0, vt_string_assign(&a, "one"));
  ASSERT_EQ(0, vt_string_assign(&a, "two"));
  EXPECT_STREQ("two", a.str);
  ASSERT_EQ(0, vt_string_copy(&b, &a));
  EXPECT_STREQ("two", b.str);
  EXPECT_NE(a.str, b.str);
  vt_string_destroy(&a);
  EXPECT_EQ(nullptr, a.str);
  ASSERT_EQ(0, vt_string_copy(&b, &a));
  EXPECT_EQ(nullptr, b.str);
}

}  // namespace
