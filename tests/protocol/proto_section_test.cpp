// Section ids, their attribute table and the typed section writers and
// readers, byte for byte.
#include "protocol/proto_section.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "protocol_test_util.h"
#include "section_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::Hex;

namespace {

TEST(ProtoSectionTest, AttributeTableFollowsTheShapes) {
  EXPECT_EQ(nullptr, ProtoGetSecAttr(0));
  EXPECT_EQ(nullptr, ProtoGetSecAttr(54));
  EXPECT_EQ(nullptr, ProtoGetSecAttr(255));
  int by_width[9] = {};
  int variable = 0;
  for (int id = 1; id <= 53; ++id) {
    const SYNC_SECTION_ATTR* a = ProtoGetSecAttr(static_cast<unsigned char>(id));
    ASSERT_NE(nullptr, a) << id;
    EXPECT_EQ(id, a->id);
    ASSERT_NE(nullptr, a->name);
    EXPECT_EQ(0, std::string(a->name).rfind("SPROTO_ID_", 0)) << a->name;
    if (a->hasLen) {
      EXPECT_EQ(3, a->headLen) << a->name;
      EXPECT_EQ(0, a->len) << a->name;
      ++variable;
    } else {
      EXPECT_EQ(1, a->headLen) << a->name;
      ASSERT_TRUE(a->len == 1 || a->len == 2 || a->len == 4 || a->len == 8) << a->name;
      ++by_width[a->len];
    }
  }
  EXPECT_EQ(10, by_width[1]);
  EXPECT_EQ(2, by_width[2]);
  EXPECT_EQ(16, by_width[4]);
  EXPECT_EQ(8, by_width[8]);
  EXPECT_EQ(17, variable);

  struct {
    unsigned char id;
    const char* name;
    bool hasLen;
    int len;
  } rows[] = {
      {SPROTO_ID_RES, "SPROTO_ID_RES", false, 1},
      {SPROTO_ID_PKG_MINOR_VERSION, "SPROTO_ID_PKG_MINOR_VERSION", false, 2},
      {SPROTO_ID_FOLDER_COUNT, "SPROTO_ID_FOLDER_COUNT", false, 4},
      {SPROTO_ID_FILE_OFFSET, "SPROTO_ID_FILE_OFFSET", false, 8},
      {SPROTO_ID_PATCH_TOKEN, "SPROTO_ID_PATCH_TOKEN", true, 0},
      {SPROTO_ID_DELTADATA, "SPROTO_ID_DELTADATA", true, 0},
  };
  for (const auto& r : rows) {
    const SYNC_SECTION_ATTR* a = ProtoGetSecAttr(r.id);
    ASSERT_NE(nullptr, a);
    EXPECT_STREQ(r.name, a->name);
    EXPECT_EQ(r.hasLen, a->hasLen) << r.name;
    EXPECT_EQ(r.len, a->len) << r.name;
  }
}

// What each writer puts on the wire, and what a refused write leaves there:
// nothing.
TEST(ProtoSectionTest, WritersByteForByte) {
  const std::string max_data(65535, 'x');
  const std::string over_data(65536, 'x');
  struct {
    const char* what;
    std::function<ErrorCode(Channel&)> write;
    ErrorCode rc;
    std::string bytes;
  } cases[] = {
      {"RES 0x07", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_RES, static_cast<unsigned char>(7)); },
       ERR_OK, B({0x01, 0x07})},
      {"uint16",
       [](Channel& ch) {
         return ProtoWriteSection(ch, SPROTO_ID_PKG_MAJOR_VERSION, static_cast<unsigned short>(0x0102));
       },
       ERR_OK, B({47, 0x01, 0x02})},
      {"uint32", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_SEQID, 0x01020304u); }, ERR_OK,
       B({12, 0x01, 0x02, 0x03, 0x04})},
      {"uint64", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_SID, 0x0102030405060708ull); }, ERR_OK,
       B({9, 1, 2, 3, 4, 5, 6, 7, 8})},
      {"variable", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_PATH, "abc", 3u); }, ERR_OK,
       B({7, 0x00, 0x03}) + "abc"},
      {"variable, empty", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_PATH, "", 0u); }, ERR_OK,
       B({7, 0x00, 0x00})},
      {"var data alone", [](Channel& ch) { return ProtoWriteVarData(ch, "hi", 2); }, ERR_OK, B({0x00, 0x02}) + "hi"},
      {"4 bytes into an 8-byte row", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_SID, 5u); }, ERR_PROTO,
       ""},
      {"8 bytes into a 1-byte row", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_RES, 5ull); }, ERR_PROTO,
       ""},
      {"fixed into a variable row",
       [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_PATH, static_cast<unsigned char>(1)); }, ERR_PROTO, ""},
      {"variable into a fixed row", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_RES, "a", 1u); },
       ERR_PROTO, ""},
      {"id 0", [](Channel& ch) { return ProtoWriteSection(ch, 0, static_cast<unsigned char>(1)); }, ERR_PROTO, ""},
      {"id 54", [](Channel& ch) { return ProtoWriteSection(ch, 54, "a", 1u); }, ERR_PROTO, ""},
      {"null data", [](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_PATH, nullptr, 0u); }, ERR_INVAL, ""},
      {"var data, null", [](Channel& ch) { return ProtoWriteVarData(ch, nullptr, 1); }, ERR_INVAL, ""},
      {"var data, negative", [](Channel& ch) { return ProtoWriteVarData(ch, "a", -1); }, ERR_INVAL, ""},
      {"65,536 bytes of var data",
       [&](Channel& ch) { return ProtoWriteVarData(ch, over_data.data(), static_cast<int>(over_data.size())); },
       ERR_INVAL, ""},
      {"65,536 bytes in a section",
       [&](Channel& ch) {
         return ProtoWriteSection(ch, SPROTO_ID_DELTADATA, over_data.data(), static_cast<unsigned>(over_data.size()));
       },
       ERR_INVAL, ""},
      {"65,535 bytes in a section",
       [&](Channel& ch) {
         return ProtoWriteSection(ch, SPROTO_ID_DELTADATA, max_data.data(), static_cast<unsigned>(max_data.size()));
       },
       ERR_OK, B({22, 0xff, 0xff}) + max_data},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    stest::Written w = stest::WriteThrough(c.write);
    EXPECT_EQ(c.rc, w.rc);
    EXPECT_EQ(c.bytes.size(), w.bytes.size());
    if (c.bytes.size() < 64) {
      EXPECT_EQ(Hex(c.bytes), Hex(w.bytes));
    } else {
      EXPECT_TRUE(c.bytes == w.bytes);
    }
  }
}

// A variable section wider than the channel's ring goes out in pieces.
TEST(ProtoSectionTest, VariableDataLargerThanTheChannelRing) {
  const std::string data = ptest::Pattern(5000);
  stest::Written w = stest::WriteThrough(
      [&](Channel& ch) { return ProtoWriteSection(ch, SPROTO_ID_DELTADATA, data.data(), 5000u); }, 1024);
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_TRUE(B({22, 0x13, 0x88}) + data == w.bytes);
}

class ProtoSectionReadTest : public testsupport::TempDirTest {};

TEST_F(ProtoSectionReadTest, FixedReaders) {
  ptest::LogCapture log(Path(), "proto_common_debug=7\n");
  struct {
    const char* what;
    std::string input;
    std::function<int(Channel&, unsigned long long&)> read;
    int rc;
    unsigned long long value;
    const char* line;  // a piece of the log, or null
  } cases[] = {
      {"uint8", B({1, 7}),
       [](Channel& ch, unsigned long long& v) {
         unsigned char x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_RES, x);
         v = x;
         return rc;
       },
       2, 7, "ReadSection: SPROTO_ID_RES, uint8_t, 7"},
      {"uint16", B({48, 0xab, 0xcd}),
       [](Channel& ch, unsigned long long& v) {
         unsigned short x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_PKG_MINOR_VERSION, x);
         v = x;
         return rc;
       },
       3, 0xabcd, nullptr},
      {"uint32", B({30, 0xde, 0xad, 0xbe, 0xef}),
       [](Channel& ch, unsigned long long& v) {
         unsigned int x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_ALIVE, x);
         v = x;
         return rc;
       },
       5, 0xdeadbeef, nullptr},
      {"uint64", B({52, 0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88}),
       [](Channel& ch, unsigned long long& v) { return ProtoReadSection(ch, SPROTO_ID_FILE_OFFSET, v); }, 9,
       0xffeeddccbbaa9988ull, "ReadSection: SPROTO_ID_FILE_OFFSET, uint64_t, 18441921395520346504"},
      {"id 0", B({0, 7}),
       [](Channel& ch, unsigned long long& v) {
         unsigned char x = 0;
         int rc = ProtoReadSection(ch, 0, x);
         v = x;
         return rc;
       },
       ErrorNumber(ERR_PROTO), 0, "ReadSection: bad attribute [sec = 0]"},
      {"id 54", B({54, 7}),
       [](Channel& ch, unsigned long long& v) {
         unsigned char x = 0;
         int rc = ProtoReadSection(ch, 54, x);
         v = x;
         return rc;
       },
       ErrorNumber(ERR_PROTO), 0, "ReadSection: bad attribute [sec = 54]"},
      {"id 255", B({255, 7}),
       [](Channel& ch, unsigned long long& v) {
         char buf[4];
         unsigned n = 0;
         int rc = ProtoReadSection(ch, 255, buf, sizeof buf, n);
         v = n;
         return rc;
       },
       ErrorNumber(ERR_PROTO), 0, "ReadSection: bad attribute [sec = 255]"},
      {"4 bytes from an 8-byte row", B({9, 0, 0, 0, 1}),
       [](Channel& ch, unsigned long long& v) {
         unsigned int x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_SID, x);
         v = x;
         return rc;
       },
       ErrorNumber(ERR_PROTO), 0, "ReadSection: bad attribute [sec = 9]"},
      {"another id", B({2, 7}),
       [](Channel& ch, unsigned long long& v) {
         unsigned char x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_RES, x);
         v = x;
         return rc;
       },
       ErrorNumber(ERR_PROTO), 0, "Expect section id #1 but get section #2"},
      {"value cut short", B({30, 0xde, 0xad}),
       [](Channel& ch, unsigned long long& v) {
         unsigned int x = 0;
         int rc = ProtoReadSection(ch, SPROTO_ID_ALIVE, x);
         v = x;
         return rc;
       },
       ErrorNumber(ERR_IO), 0, "ReadSection: Failed to read section data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto pair = stest::Feed(c.input);
    ASSERT_TRUE(pair);
    unsigned long long v = 0;
    EXPECT_EQ(c.rc, c.read(pair->ch, v));
    EXPECT_EQ(c.value, v);
    if (c.line != nullptr) {
      EXPECT_TRUE(log.Has(c.line)) << log.Text();
    }
  }
}

TEST_F(ProtoSectionReadTest, VariableReaders) {
  ptest::LogCapture log(Path(), "proto_common_debug=7\n");
  struct {
    const char* what;
    std::string input;
    unsigned max;
    int rc;
    std::string data;
    const char* line;
  } cases[] = {
      {"three bytes", B({7, 0, 3}) + "abc", 16, 6, "abc",
       "ReadSection: SPROTO_ID_PATH, variable-length data, data length = 3"},
      {"empty", B({7, 0, 0}), 16, 3, "", nullptr},
      {"exactly the buffer", B({7, 0, 4}) + "abcd", 4, 7, "abcd", nullptr},
      {"longer than the buffer", B({7, 0, 5}) + "abcde", 4, ErrorNumber(ERR_PROTO), "",
       "Expect only 4 bytes but 5 bytes coming in"},
      {"count larger than what arrives", B({7, 0, 9}) + "abc", 16, ErrorNumber(ERR_IO), "",
       "Expected 9 bytes but read only 3 bytes"},
      {"another id", B({3, 0, 1}) + "a", 16, ErrorNumber(ERR_PROTO), "", "Expect section id #7 but get section #3"},
      {"no buffer room", B({7, 0, 1}) + "a", 0, ErrorNumber(ERR_INVAL), "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto pair = stest::Feed(c.input);
    ASSERT_TRUE(pair);
    // One byte of guard behind the buffer: a reader must stay within `max`.
    std::string buf(c.max + 1, '#');
    unsigned n = 12345;
    int rc = ProtoReadSection(pair->ch, SPROTO_ID_PATH, buf.data(), c.max, n);
    EXPECT_EQ(c.rc, rc);
    if (rc >= 0) {
      EXPECT_EQ(c.data.size(), n);
      EXPECT_EQ(c.data, buf.substr(0, n));
    } else {
      EXPECT_EQ(12345u, n);
    }
    EXPECT_EQ('#', buf[c.max]);
    if (c.line != nullptr) {
      EXPECT_TRUE(log.Has(c.line)) << log.Text();
    }
  }

  auto pair = stest::Feed(B({0, 2}) + "hi");
  ASSERT_TRUE(pair);
  EXPECT_EQ(ErrorNumber(ERR_INVAL), ProtoReadVarData(pair->ch, nullptr, 4));
  char two[2];
  EXPECT_EQ(2, ProtoReadVarData(pair->ch, two, 2));
  EXPECT_EQ("hi", std::string(two, 2));
}

// Sections written by one side come back through the readers unchanged.
TEST(ProtoSectionTest, WrittenSectionsReadBack) {
  stest::Written w = stest::WriteThrough([](Channel& ch) {
    ErrorCode rc = ProtoWriteSection(ch, SPROTO_ID_TYPE, static_cast<unsigned char>(0xfe));
    if (rc == ERR_OK) rc = ProtoWriteSection(ch, SPROTO_ID_PKG_MAJOR_VERSION, static_cast<unsigned short>(0xfffe));
    if (rc == ERR_OK) rc = ProtoWriteSection(ch, SPROTO_ID_DELTAID, 0xfffffffeu);
    if (rc == ERR_OK) rc = ProtoWriteSection(ch, SPROTO_ID_EVTID, 0xfffffffffffffffeull);
    if (rc == ERR_OK) rc = ProtoWriteSection(ch, SPROTO_ID_JOB_TOKEN, "tok\0en", 6u);
    return rc;
  });
  ASSERT_EQ(ERR_OK, w.rc);
  auto pair = stest::Feed(w.bytes);
  ASSERT_TRUE(pair);
  unsigned char u8 = 0;
  unsigned short u16 = 0;
  unsigned int u32 = 0;
  unsigned long long u64 = 0;
  char buf[16];
  unsigned n = 0;
  EXPECT_EQ(2, ProtoReadSection(pair->ch, SPROTO_ID_TYPE, u8));
  EXPECT_EQ(3, ProtoReadSection(pair->ch, SPROTO_ID_PKG_MAJOR_VERSION, u16));
  EXPECT_EQ(5, ProtoReadSection(pair->ch, SPROTO_ID_DELTAID, u32));
  EXPECT_EQ(9, ProtoReadSection(pair->ch, SPROTO_ID_EVTID, u64));
  EXPECT_EQ(9, ProtoReadSection(pair->ch, SPROTO_ID_JOB_TOKEN, buf, sizeof buf, n));
  EXPECT_EQ(0xfe, u8);
  EXPECT_EQ(0xfffe, u16);
  EXPECT_EQ(0xfffffffeu, u32);
  EXPECT_EQ(0xfffffffffffffffeull, u64);
  EXPECT_EQ(std::string("tok\0en", 6), std::string(buf, n));
}

}  // namespace
