#include "filter/cs_filter_match.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/filter_codes.h"
#include "rules_fixture.h"

namespace {

using filter_test::Rules;

constexpr int kFile = 0;
constexpr int kDir = 1;

struct PathCase {
  int is_dir;
  std::string path;
  int expected;
};

void ExpectPaths(const std::string& rules_text, const std::vector<PathCase>& cases) {
  Rules rules(rules_text);
  for (const PathCase& c : cases) {
    EXPECT_EQ(c.expected, filter_test_path(&rules.filter, c.is_dir, c.path))
        << (c.is_dir ? "folder " : "file ") << c.path.substr(0, 80) << " (" << c.path.size() << " bytes)";
  }
}

TEST(FilterTestPath, EmptyFilterPassesEveryRootedPath) {
  ExpectPaths("", {
                      {kFile, "/a/b.txt", 0},
                      {kFile, "/", 0},  // empty name
                      {kFile, "a.txt", FILTER_ERROR},
                      {kFile, "", FILTER_ERROR},
                      {kDir, "/", 0},
                      {kDir, "", 0},
                      {kDir, "a/b", 0},  // folders are not checked for the leading "/"
                  });
}

TEST(FilterTestPath, LengthLimitsOfTheTestedText) {
  const std::string folders = "/" + std::string(4093, 'd') + "/";  // 4095 bytes
  ExpectPaths("", {
                      {kFile, "/" + std::string(511, 'n'), 0},
                      {kFile, "/" + std::string(512, 'n'), FILTER_ERROR},
                      {kFile, folders + "x", 0},
                      {kFile, "/d" + folders + "x", FILTER_ERROR},
                      {kDir, folders, 0},
                      {kDir, folders + "x", FILTER_ERROR},
                  });
}

TEST(FilterTestPath, FolderPrefixCoversTheFolderAndBelowOnly) {
  ExpectPaths("[Common]\nblack_dir_prefix = \"/a\", \"/x/y/\"\n",
              {
                  {kDir, "/a", FILTER_DIR_PREFIX},
                  {kDir, "/a/b/c", FILTER_DIR_PREFIX},
                  {kFile, "/a/f", FILTER_DIR_PREFIX},
                  {kFile, "/A/f", FILTER_DIR_PREFIX},  // ASCII case ignored
                  {kFile, "/a", FILTER_DIR_PREFIX},    // a file at the excluded path
                  {kDir, "/ab", 0},                    // a sibling that merely begins the same
                  {kFile, "/ab/f", 0},
                  {kFile, "/b/a", 0},
                  // An entry ending in "/" matches only that very path.
                  {kDir, "/x/y/", FILTER_DIR_PREFIX},
                  {kDir, "/x/y", 0},
                  {kFile, "/x/y/f", 0},
              });
}

TEST(FilterTestPath, SelectivePathPrefix) {
  ExpectPaths("[Common]\nblack_path_prefix_selective_sync = \"/big\"\n",
              {
                  {kDir, "/big", FILTER_PATH_PREFIX_SELECTIVE_SYNC},
                  {kFile, "/big/sub/f.iso", FILTER_PATH_PREFIX_SELECTIVE_SYNC},
                  {kDir, "/bigger", 0},
                  {kDir, "/small/big", 0},
              });
}

TEST(FilterTestPath, Extensions) {
  ExpectPaths("[File]\nblack_ext = \"tmp\"\nblack_ext_selective_sync = \"iso\"\n",
              {
                  {kFile, "/x.TMP", FILTER_EXT},
                  {kFile, "/d/a.tar.tmp", FILTER_EXT},
                  {kFile, "/a.tmp.tar", 0},
                  {kFile, "/.tmp", 0},  // a leading dot is no extension separator
                  {kFile, "/tmp", 0},
                  {kFile, "/a.", 0},
                  {kDir, "/d.tmp", 0},    // extension rules are for files
                  {kFile, "/d.tmp/x", 0},
                  {kFile, "/disk.Iso", FILTER_EXT_SELECTIVE_SYNC},
              });
}

TEST(FilterTestPath, NamesAndPrefixesBySection) {
  ExpectPaths(
      "[Common]\nblack_name = \"Thumbs.db\"\nblack_prefix = \"~$\"\n"
      "[File]\nblack_name = \"desktop.ini\"\nblack_prefix = \".~lock\"\nblack_name_selective_sync = \"core\"\n"
      "[Directory]\nblack_name = \"cache\"\nblack_prefix = \"@eaDir\"\n",
      {
          {kFile, "/x/THUMBS.DB", FILTER_NAME},
          {kDir, "/thumbs.db/x", FILTER_NAME},
          {kFile, "/~$report.doc", FILTER_PREFIX},
          {kDir, "/a/~$tmp", FILTER_PREFIX},
          {kFile, "/desktop.ini", FILTER_NAME},
          {kDir, "/desktop.ini", 0},  // File rules apply to files only
          {kFile, "/.~lock.a#", FILTER_PREFIX},
          {kFile, "/a/core", FILTER_NAME_SELECTIVE_SYNC},
          {kDir, "/core", 0},
          // Directory rules apply to folders only: to every folder above a
          // file, never to the file's own name.
          {kFile, "/cache/x", FILTER_NAME},
          {kFile, "/a/Cache/b/x", FILTER_NAME},
          {kFile, "/cache", 0},
          {kDir, "/cache", FILTER_NAME},
          {kDir, "//a///cache//", FILTER_NAME},  // runs of "/" are one separator
          {kFile, "/@eaDir2/x", FILTER_PREFIX},
          {kFile, "/@eaDir", 0},
      });
}

TEST(FilterTestPath, Characters) {
  // "é" is C3 A9: each of its bytes counts by itself, so "è" (C3 A8) is hit too.
  ExpectPaths("[Common]\nblack_char = \":\xC3\xA9\"\n[File]\nblack_char = \"%\"\n[Directory]\nblack_char = \"!\"\n",
              {
                  {kFile, "/a:b", FILTER_CHAR},
                  {kFile, "/caf\xC3\xA8", FILTER_CHAR},
                  {kDir, "/x/a:b", FILTER_CHAR},
                  {kFile, "/50%", FILTER_CHAR},
                  {kDir, "/50%", 0},
                  {kFile, "/50%/x", 0},
                  {kDir, "/wow!", FILTER_CHAR},
                  {kFile, "/wow!/x", FILTER_CHAR},
                  {kFile, "/wow!", 0},
                  {kFile, "/plain", 0},
              });
}

// The first rule in the order of the tests decides.
TEST(FilterTestPath, OrderOfTheTests) {
  ExpectPaths(
      "[Common]\nblack_prefix = \"~\"\nblack_char = \"#\"\nmax_length = 8\nblack_name = \"same\"\n"
      "black_dir_prefix = \"/~d\", \"/same\", \"/seld\"\nblack_path_prefix_selective_sync = \"/sel\", \"/seld\"\n"
      "[File]\nblack_ext = \"tmp\"\nblack_name = \"n.tmp\"\n"
      "[Directory]\nblack_name = \"dd\"\n",
      {
          // A name hitting Common.black_prefix and File.black_ext.
          {kFile, "/~x.tmp", FILTER_PREFIX},
          // A file name: length before characters; a folder: characters,
          // prefix and name before length.
          {kFile, "/#23456789", FILTER_LENGTH},
          {kDir, "/#23456789", FILTER_CHAR},
          {kDir, "/~23456789", FILTER_PREFIX},
          // Common.black_prefix before the folder-prefix rule.
          {kDir, "/~d", FILTER_PREFIX},
          // The folder-prefix rule before Common.black_name.
          {kDir, "/same", FILTER_DIR_PREFIX},
          // Black folder prefix before the selective one.
          {kFile, "/seld/x", FILTER_DIR_PREFIX},
          // File.black_ext before File.black_name.
          {kFile, "/n.tmp", FILTER_EXT},
          // The file's own name is tested before the folders above it.
          {kFile, "/dd/x.tmp", FILTER_EXT},
          {kFile, "/dd/x", FILTER_NAME},
          // Selective prefix of the whole path before Directory rules.
          {kDir, "/sel/dd", FILTER_PATH_PREFIX_SELECTIVE_SYNC},
      });
}

// A component longer than 511 bytes used to be tested in 511-byte pieces: a
// later piece could hit a prefix or name rule, and no piece exceeded a
// max_length of 511 or more.
TEST(FilterTestPath, LongComponentIsTestedWhole) {
  const std::string head(511, 'x');
  const std::string tail = "~tail";
  const std::string component = head + tail + std::string(84, 'y');  // 600 bytes
  ExpectPaths("[Common]\nblack_prefix = \"~tail\"\nblack_name = \"" + tail + std::string(84, 'y') + "\"\n",
              {
                  {kDir, "/" + component, 0},
                  {kFile, "/" + component + "/f", 0},
              });
  ExpectPaths("[Common]\nmax_length = 511\n",
              {
                  {kDir, "/" + component, FILTER_LENGTH},
                  {kFile, "/" + component + "/f", FILTER_LENGTH},
                  {kDir, "/" + head, 0},
              });
}

// The parser refuses empty entries, but a record edited directly may hold
// one; the tests must still treat it as the rule says.
TEST(FilterTestPath, EmptyEntryEditedInDirectly) {
  Rules prefix("[Common]\nblack_prefix = \"zz\"\n");
  ASSERT_EQ(0, vt_string_set_insert(&prefix.filter.Common.black_prefix, ""));
  EXPECT_EQ(FILTER_PREFIX, filter_test_path(&prefix.filter, kDir, "/any"));
  EXPECT_EQ(FILTER_PREFIX, filter_test_path(&prefix.filter, kFile, "/any"));
  Rules ext("[File]\nblack_ext = \"tmp\"\n");
  ASSERT_EQ(0, vt_string_set_insert(&ext.filter.File.black_ext, ""));
  EXPECT_EQ(FILTER_EXT, filter_test_path(&ext.filter, kFile, "/no-extension"));
  EXPECT_EQ(0, filter_test_path(&ext.filter, kFile, "/a.txt"));
}

TEST(FilterTestFileSize, LimitsAndTheirOrder) {
  struct Case {
    const char* rules;
    uint64_t size;
    int expected;
  } cases[] = {
      {"", UINT64_MAX, 0},
      {"[File]\nmax_size = 100\n", 100, 0},
      {"[File]\nmax_size = 100\n", 101, FILTER_FILE_SIZE},
      {"[File]\nmax_size = 100\nmax_size_selective_sync = 10\n", 101, FILTER_FILE_SIZE},
      {"[File]\nmax_size = 100\nmax_size_selective_sync = 10\n", 11, FILTER_FILE_SIZE_SELECTIVE_SYNC},
      {"[File]\nmax_size_selective_sync = 10\n", 10, 0},
      {"[File]\nmax_size = -1\n", UINT64_MAX, 0},
  };
  for (const Case& c : cases) {
    Rules rules(c.rules);
    EXPECT_EQ(c.expected, filter_test_file_size(&rules.filter, c.size)) << c.rules << c.size;
  }
}

TEST(FilterTestFullPathSize, Limit) {
  Rules none("");
  EXPECT_EQ(0, filter_test_full_path_size(&none.filter, 100000));
  Rules rules("[Common]\nmax_path = 260\n");
  EXPECT_EQ(0, filter_test_full_path_size(&rules.filter, 260));
  EXPECT_EQ(FILTER_PATH_SIZE, filter_test_full_path_size(&rules.filter, 261));
}

TEST(FilterTestEa, Names) {
  Rules rules("[EA]\nblack_ea_name = \"com.apple.quarantine\"\n");
  EXPECT_EQ(FILTER_EA_NAME, filter_test_ea(&rules.filter, "COM.apple.Quarantine"));
  EXPECT_EQ(0, filter_test_ea(&rules.filter, "com.apple.quarantine2"));
  EXPECT_EQ(0, filter_test_ea(&rules.filter, ""));
}

}  // namespace
