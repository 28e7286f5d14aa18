// The white-list and force-hash-check tests on base names.
#include <gtest/gtest.h>

#include <string>

#include "filter/force_hash_check_list.h"
#include "filter/white_list.h"
#include "rules_fixture.h"

namespace {

using filter_test::ForceHashRules;
using filter_test::WhiteRules;

TEST(WhiteListTest, ExtensionsLetThrough) {
  struct Case {
    const char* rules;
    const char* name;
    int expected;
  } cases[] = {
      {"[File]\nwhite_ext = \"jpg\"\n", "photo.JPG", 0},
      {"[File]\nwhite_ext = \"jpg\"\n", "a.b.jpg", 0},
      {"[File]\nwhite_ext = \"jpg\"\n", "notes.txt", -1},
      {"[File]\nwhite_ext = \"jpg\"\n", "jpg", -1},   // no dot: empty extension
      {"[File]\nwhite_ext = \"jpg\"\n", ".jpg", -1},  // a leading dot does not count
      {"[File]\nwhite_ext = \"jpg\"\n", "", -1},
      {"[File]\nwhite_ext = \"txt\", \"*\"\n", "photo.JPG", 0},
      {"[File]\nwhite_ext = \"*\"\n", "README", 0},
      {"[File]\nwhite_ext = \"*\"\n", "", -1},
      {"", "photo.jpg", -1},  // an empty list lets nothing through
  };
  for (const Case& c : cases) {
    WhiteRules rules(c.rules);
    EXPECT_EQ(c.expected, white_list_test(&rules.list, c.name)) << c.rules << c.name;
  }
}

TEST(ForceHashExtensionTest, ListedExtensions) {
  struct Case {
    const char* rules;
    const char* name;
    int expected;
  } cases[] = {
      {"[File]\nforce_hash_ext = \"doc\"\n", "a.DOC", 1},
      {"[File]\nforce_hash_ext = \"doc\"\n", "a.docx", 0},
      {"[File]\nforce_hash_ext = \"doc\"\n", "doc", 0},
      {"[File]\nforce_hash_ext = \"doc\"\n", "", -1},
      {"[File]\nforce_hash_ext = \"*\"\n", "Makefile", 1},
      {"", "a.doc", 0},  // an empty list forces nothing
      {"", "", -1},
  };
  for (const Case& c : cases) {
    ForceHashRules rules(c.rules);
    EXPECT_EQ(c.expected, force_hash_extension_test(&rules.list, c.name)) << c.rules << c.name;
  }
}

}  // namespace
