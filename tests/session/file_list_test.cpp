#include "session/file_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "event_db_fixture.h"
#include "session/string_buffer.h"

namespace {

using event_db_test::Lines;
using event_db_test::Walk;

FileList::Attribute Attr(uint32_t mtime, uint64_t size = 0, const char* acl = "") {
  FileList::Attribute a;
  a.mtime = mtime;
  a.size = size;
  a.acl_hash = acl;
  return a;
}

// ---- StringBuffer ----

TEST(StringBufferTest, NewBufferHasOneChunkOf512Bytes) {
  StringBuffer b;
  EXPECT_EQ(1, b.used);
  EXPECT_EQ(512u, b.chunk[0].capacity);
  EXPECT_EQ(0u, b.chunk[0].offset);
  EXPECT_TRUE(b.dic.empty());
  for (int i = 1; i < StringBuffer::kMaxChunks; ++i) EXPECT_EQ(nullptr, b.chunk[i].data) << i;
}

TEST(StringBufferTest, EqualNamesShareOneCopy) {
  StringBuffer b;
  StringBuffer::String x, y, z;
  ASSERT_TRUE(b.insert("name", x));
  ASSERT_TRUE(b.insert(std::string("name"), y));
  ASSERT_TRUE(b.insert("other", z));
  EXPECT_EQ(x.c_str(), y.c_str());
  EXPECT_NE(x.c_str(), z.c_str());
  EXPECT_EQ(2u, b.dic.size());
  EXPECT_EQ(11u, b.chunk[0].offset);  // "name\0" and "other\0"
}

// A name goes to the first chunk with room; a new chunk is twice the last
// one, or twice the name when the last one is smaller than the name.
TEST(StringBufferTest, ChunkGrowth) {
  struct Step {
    size_t len;           // name length without the NUL
    int used;             // chunks in use afterwards
    int chunk;            // the chunk the name went to
    size_t new_capacity;  // that chunk's capacity
  };
  const Step steps[] = {
      {600, 2, 1, 1202},   // 601 > 512: a chunk of 2n
      {100, 2, 0, 512},    // fits in chunk 0 again
      {1100, 3, 2, 2404},  // no room in 0 (411) or 1 (601); 1202 >= 1101: twice the last
      {400, 3, 0, 512},    // 410 free in chunk 0
      {590, 3, 1, 1202},   // 601 free in chunk 1
      {5000, 4, 3, 10002},
  };
  StringBuffer b;
  int n = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(n);
    std::string name(s.len, static_cast<char>('a' + n++));
    StringBuffer::String out;
    ASSERT_TRUE(b.insert(name, out));
    EXPECT_EQ(s.used, b.used);
    const StringBuffer::Chunk& c = b.chunk[s.chunk];
    EXPECT_EQ(s.new_capacity, c.capacity);
    EXPECT_TRUE(out.c_str() >= c.data && out.c_str() < c.data + c.capacity);
    EXPECT_EQ(name, out.c_str());
  }
}

// Fills every chunk slot with a one-byte chunk that has no room left.
void MakeFull(StringBuffer& b) {
  b.chunk[0].offset = b.chunk[0].capacity;
  for (int i = b.used; i < StringBuffer::kMaxChunks; ++i) {
    b.chunk[i].data = new char[1];
    b.chunk[i].capacity = 1;
    b.chunk[i].offset = 1;
  }
  b.used = StringBuffer::kMaxChunks;
}

TEST(StringBufferTest, FullBufferRefusesNewNamesAndKeepsOldOnes) {
  StringBuffer b;
  StringBuffer::String old;
  ASSERT_TRUE(b.insert("old", old));
  MakeFull(b);
  StringBuffer::String out;
  EXPECT_FALSE(b.insert("new", out));
  EXPECT_STREQ("", out.c_str());
  ASSERT_TRUE(b.insert("old", out));
  EXPECT_EQ(old.c_str(), out.c_str());

  // The listing's root falls back to the empty name; adds give -1.
  FileList list(b);
  EXPECT_STREQ("", list.root->name.c_str());
  EXPECT_EQ(-1, list.AddFile(0, "new", Attr(1)));
  EXPECT_EQ(-1, list.AddDirectory("new/x", Attr(1)));
  EXPECT_EQ(0, list.AddFile(0, "old", Attr(1)));
}

// ---- Building ----

class FileListTest : public ::testing::Test {
 protected:
  StringBuffer buf;
  FileList list{buf};
};

// The order example: forward /a, /a/c, /a/x, /a-b, /b.
TEST_F(FileListTest, ReverseWalkOrder) {
  ASSERT_EQ(0, list.AddFile("/b", Attr(1)));
  ASSERT_EQ(0, list.AddFile("/a/x", Attr(2)));
  ASSERT_EQ(0, list.AddFile("/a/c", Attr(3)));
  ASSERT_EQ(1, list.AddDirectory("/a-b", Attr(4)));
  EXPECT_EQ((Lines{"f /b", "d /a-b", "f /a/x", "f /a/c", "d /a"}), Walk(list));
}

TEST_F(FileListTest, EmptyListingWalksNothing) {
  EXPECT_TRUE(list.rbegin() == list.rend());
  auto it = list.rend();
  ++it;  // at the end nothing happens
  EXPECT_TRUE(it == list.rend());
}

TEST_F(FileListTest, EntriesCarryFlagAndAttribute) {
  ASSERT_EQ(1, list.AddDirectory("/d", Attr(7, 99, "dacl")));
  ASSERT_EQ(0, list.AddFile("/d/f", Attr(8, 1234, "facl")));
  auto it = list.rbegin();
  EXPECT_TRUE(it->is_file());
  EXPECT_EQ(ustring("/d/f"), it->path);
  EXPECT_EQ(Attr(8, 1234, "facl"), it->attr);
  ++it;
  EXPECT_TRUE(it->is_dir());
  EXPECT_EQ(ustring("/d"), it->path);
  EXPECT_EQ(Attr(7, 0, "dacl"), it->attr);  // a folder's size is always 0
  ++it;
  EXPECT_TRUE(it == list.rend());
}

TEST_F(FileListTest, NameClashesAreRefused) {
  ASSERT_EQ(0, list.AddFile("/a", Attr(1)));
  EXPECT_EQ(-1, list.AddFile("/a/b", Attr(2)));        // /a is a file
  EXPECT_EQ(-1, list.AddDirectory("/a", Attr(2)));     // a file of that name
  EXPECT_EQ(-1, list.AddDirectory("/a/b", Attr(2)));
  EXPECT_EQ(-1, list.AddDirectory(0, "a", Attr(2)));
  EXPECT_EQ(-1, list.AddFile("/a", Attr(9, 9)));       // twice: the first stays
  ASSERT_EQ(1, list.AddDirectory(0, "d", Attr(3)));
  EXPECT_EQ(-1, list.AddFile(0, "d", Attr(4)));        // a folder of that name
  EXPECT_EQ(-1, list.AddDirectory(0, "d", Attr(4)));
  EXPECT_EQ((Lines{"d /d", "f /a"}), Walk(list));
  EXPECT_EQ(Attr(1), std::prev(list.root->file.end())->attr);
  EXPECT_EQ(2u, list.node.size());
}

TEST_F(FileListTest, IndexForms) {
  EXPECT_EQ(1, list.AddDirectory(0, "a", Attr(1)));
  EXPECT_EQ(2, list.AddDirectory(0, "b", Attr(1)));
  EXPECT_EQ(3, list.AddDirectory(1, "c", Attr(1)));
  EXPECT_EQ(0, list.AddFile(3, "f", Attr(1, 5)));
  EXPECT_EQ(-1, list.AddFile(-1, "g", Attr(1)));
  EXPECT_EQ(-1, list.AddDirectory(-1, "g", Attr(1)));
  for (int past : {4, 100}) {
    try {
      list.AddFile(past, "g", Attr(1));
      ADD_FAILURE() << "no exception for index " << past;
    } catch (const std::out_of_range& e) {
      EXPECT_EQ(0, std::strncmp(e.what(), "vector::_M_range_check", 22)) << e.what();
    }
    EXPECT_THROW(list.AddDirectory(past, "g", Attr(1)), std::out_of_range);
  }
  EXPECT_EQ((Lines{"d /b", "f /a/c/f", "d /a/c", "d /a"}), Walk(list));
}

// Names that would make an entry path name another path, and malformed
// paths, are refused and leave the listing as it was.
TEST_F(FileListTest, RefusedNamesAndPaths) {
  for (const char* name : {"", ".", "..", "a/b", "/"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(-1, list.AddFile(0, name, Attr(1)));
    EXPECT_EQ(-1, list.AddDirectory(0, name, Attr(1)));
  }
  for (const char* path : {"", "/", "/a/", "/a/./b", "/a/../b", "/..", "/a/b/."}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(-1, list.AddFile(path, Attr(1)));
  }
  for (const char* path : {"/a/./b", "/a/../b", "/..", "."}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(-1, list.AddDirectory(path, Attr(1)));
  }
  // Names that only look special are ordinary.
  EXPECT_EQ(0, list.AddFile(0, "...", Attr(1)));
  EXPECT_EQ(0, list.AddFile(0, ".a", Attr(1)));
  EXPECT_EQ(0, list.AddFile(0, "a\\b", Attr(1)));
  // The path forms keep the folders they made before a refused component.
  EXPECT_EQ((Lines{"f /a\\b", "d /a/b", "d /a", "f /.a", "f /..."}), Walk(list));
}

TEST_F(FileListTest, PathFormsSkipRepeatedSlashesAndCountFoldersMade) {
  EXPECT_EQ(3, list.AddDirectory("//a///b/c/", Attr(5, 77, "c")));
  EXPECT_EQ(0, list.AddDirectory("/a/b", Attr(6)));
  EXPECT_EQ(1, list.AddDirectory("a/d", Attr(7)));  // no leading "/": from the root
  EXPECT_EQ(0, list.AddFile("a//b/f", Attr(8, 3)));
  EXPECT_EQ(0, list.AddFile("top", Attr(9, 4)));
  EXPECT_EQ(0, list.AddDirectory("/", Attr(10, 1, "root")));  // the root's own attribute
  EXPECT_EQ(0, list.AddDirectory("", Attr(11)));
  EXPECT_EQ(Attr(11), list.root->attr);
  Lines walk;
  std::vector<FileList::Attribute> attrs;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    walk.push_back(std::string(it->is_dir() ? "d " : "f ") + it->path.c_str_utf8());
    attrs.push_back(it->attr);
  }
  EXPECT_EQ((Lines{"f /top", "d /a/d", "f /a/b/f", "d /a/b/c", "d /a/b", "d /a"}), walk);
  ASSERT_EQ(6u, attrs.size());
  EXPECT_EQ(Attr(8, 3), attrs[2]);
  EXPECT_EQ(Attr(5, 0, "c"), attrs[3]);
  EXPECT_EQ(Attr(6), attrs[4]);
  EXPECT_EQ(Attr(0), attrs[5]);  // made on the way: zero until its own AddDirectory
}

// Long paths and names are kept whole: a cut path would be another path,
// which a comparison with the disk turns into a remove event.
TEST_F(FileListTest, LongPathsAreKeptWhole) {
  const std::string comp(2000, 'c');
  const std::string name(1500, 'n');
  const std::string path = "/" + comp + "/" + comp + "/" + comp + "/" + name;  // 7,504 bytes
  ASSERT_EQ(0, list.AddFile(path.c_str(), Attr(1)));
  ASSERT_EQ(0, list.AddFile(path.substr(0, 4096).c_str(), Attr(2)));  // the cut path is another file
  Lines walk = Walk(list);
  ASSERT_EQ(5u, walk.size());
  EXPECT_EQ("f " + path, walk[0]);
  EXPECT_EQ("f " + path.substr(0, 4096), walk[2]);
}

TEST(FileListSharingTest, ListingsOverOneBufferShareNames) {
  StringBuffer buf;
  FileList disk(buf), db(buf);
  ASSERT_EQ(0, disk.AddFile("/dir/name", Attr(1)));
  ASSERT_EQ(0, db.AddFile("/dir/name", Attr(2)));
  ASSERT_EQ(0, db.AddFile("/name", Attr(2)));
  const char* d1 = disk.root->dir.begin()->first.c_str();
  const char* d2 = db.root->dir.begin()->first.c_str();
  EXPECT_EQ(d1, d2);
  const char* f1 = disk.node[1]->file.begin()->name.c_str();
  EXPECT_EQ(f1, db.node[1]->file.begin()->name.c_str());
  EXPECT_EQ(f1, db.root->file.begin()->name.c_str());
  EXPECT_EQ(disk.root->name.c_str(), db.root->name.c_str());
  EXPECT_EQ(3u, buf.dic.size());  // "/", "dir", "name"
}

// ---- Random trees against a recursive model ----

struct ModelNode {
  bool is_dir = true;
  uint32_t mtime = 0;
  std::map<std::string, ModelNode> kids;  // std::string orders bytes as strcmp does
};

// The forward order below `node`: each entry, then a folder's contents.
void Forward(const ModelNode& node, const std::string& path, Lines& out) {
  for (const auto& [name, kid] : node.kids) {
    std::string p = path + "/" + name;
    out.push_back(std::string(kid.is_dir ? "d " : "f ") + p + " " + std::to_string(kid.mtime));
    if (kid.is_dir) Forward(kid, p, out);
  }
}

// Each add goes through the index form or the path form at random; the
// path form of a folder that exists only sets its attribute.
TEST(FileListModelTest, RandomTreesWalkInReverseForwardOrder) {
  const char* const names[] = {"a", "b", "a-b", "a.b", "B", "z", "\xc3\xa9", "\xff", "0", "a b", "aa"};
  struct Folder {
    ModelNode* node;
    int index;
    std::string path;
  };
  for (unsigned seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    StringBuffer buf;
    FileList list(buf);
    ModelNode model;
    std::vector<Folder> folders{{&model, 0, ""}};
    int adds = std::uniform_int_distribution<int>(0, 60)(rng);
    for (int i = 0; i < adds; ++i) {
      Folder folder = folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(rng)];
      std::string name = names[std::uniform_int_distribution<size_t>(0, std::size(names) - 1)(rng)];
      std::string path = folder.path + "/" + name;
      bool by_path = rng() % 2 == 0;
      bool dir = rng() % 3 == 0;
      uint32_t mtime = rng() % 1000;
      auto old = folder.node->kids.find(name);
      bool taken = old != folder.node->kids.end();
      if (dir) {
        int got = by_path ? list.AddDirectory(path.c_str(), Attr(mtime))
                          : list.AddDirectory(folder.index, name.c_str(), Attr(mtime));
        if (taken) {
          bool updates = by_path && old->second.is_dir;
          EXPECT_EQ(updates ? 0 : -1, got);
          if (updates) old->second.mtime = mtime;
          continue;
        }
        ASSERT_EQ(by_path ? 1 : static_cast<int>(list.node.size()) - 1, got);
        ModelNode& kid = folder.node->kids[name];
        kid.mtime = mtime;
        folders.push_back({&kid, static_cast<int>(list.node.size()) - 1, path});
      } else {
        int got = by_path ? list.AddFile(path.c_str(), Attr(mtime, mtime))
                          : list.AddFile(folder.index, name.c_str(), Attr(mtime, mtime));
        if (taken) {
          EXPECT_EQ(-1, got);
          continue;
        }
        ASSERT_EQ(0, got);
        ModelNode& kid = folder.node->kids[name];
        kid.is_dir = false;
        kid.mtime = mtime;
      }
    }
    Lines expected;
    Forward(model, "", expected);
    std::reverse(expected.begin(), expected.end());
    Lines walked;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      walked.push_back(std::string(it->is_dir() ? "d " : "f ") + it->path.c_str_utf8() + " " +
                       std::to_string(it->attr.mtime));
      EXPECT_EQ(it->is_dir() ? 0u : it->attr.mtime, it->attr.size);
    }
    ASSERT_EQ(expected, walked);
  }
}

TEST(FileListAttributeTest, ClearCompareAndText) {
  FileList::Attribute a = Attr(5, 6, "h");
  FileList::Attribute b = a;
  EXPECT_TRUE(a == b);
  b.acl_hash = "g";
  EXPECT_TRUE(a != b);
  EXPECT_STREQ("mtime=5, size=6, acl_hash=h", a.toString().c_str_utf8());
  a.clear();
  EXPECT_EQ(Attr(0), a);
}

}  // namespace
