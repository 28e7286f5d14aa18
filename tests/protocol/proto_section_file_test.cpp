// Block-wise file transfer: what the sender puts on the wire, resuming into
// a partial file, and hostile input to the receiver. Transfers larger than
// the socket buffers are in proto_section_file_concurrency_test.cpp.
#include "protocol/proto_section_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "protocol/proto_section.h"
#include "protocol_test_util.h"
#include "section_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::Hex;
using ptest::Pattern;

namespace {

std::string U32(uint32_t v) { return B({int(v >> 24), int((v >> 16) & 255), int((v >> 8) & 255), int(v & 255)}); }
std::string U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)) + U32(static_cast<uint32_t>(v)); }
std::string Type(int t) { return B({SPROTO_ID_DELTATYPE, t}); }
std::string Len(uint64_t n) { return B({SPROTO_ID_DELTALEN}) + U64(n); }
std::string Block(uint32_t id, const std::string& data) {
  return B({SPROTO_ID_DELTAID}) + U32(id) + B({SPROTO_ID_DELTADATA, int(data.size() >> 8), int(data.size() & 255)}) +
         data;
}

class ProtoSectionFileTest : public testsupport::TempDirTest {};

// The sender's bytes: type, the whole size, then numbered blocks of 8192
// (or 57344 when resuming) from the offset on.
TEST_F(ProtoSectionFileTest, SenderWireFormat) {
  const std::string data = Pattern(8193);
  WriteFile("src", data);
  stest::Written w =
      stest::WriteThrough([&](Channel& ch) { return ProtoWriteFile(ch, 5, ustring(Path("src").c_str())); });
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_TRUE(Type(5) + Len(8193) + Block(0, data.substr(0, 8192)) + Block(1, data.substr(8192)) == w.bytes)
      << Hex(w.bytes.substr(0, 32));

  const std::string big = Pattern(60000);
  WriteFile("big", big);
  w = stest::WriteThrough([&](Channel& ch) { return ProtoWriteFile2(ch, 1, ustring(Path("big").c_str()), 100); });
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_TRUE(Type(1) + Len(60000) + Block(0, big.substr(100, 57344)) + Block(1, big.substr(57444)) == w.bytes);

  WriteFile("empty", "");
  w = stest::WriteThrough([&](Channel& ch) { return ProtoWriteFile(ch, 0, ustring(Path("empty").c_str())); });
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_EQ(Hex(Type(0) + Len(0)), Hex(w.bytes));

  // The FILE* form sends the whole file whatever the stream's position.
  FILE* fp = fopen(Path("src").c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  ASSERT_EQ(0, fseek(fp, 100, SEEK_SET));
  w = stest::WriteThrough([&](Channel& ch) { return ProtoWriteFile(ch, 5, fp); });
  fclose(fp);
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_TRUE(Type(5) + Len(8193) + Block(0, data.substr(0, 8192)) + Block(1, data.substr(8192)) == w.bytes);
}

TEST_F(ProtoSectionFileTest, SenderRefusals) {
  WriteFile("src", "0123456789");
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  struct {
    const char* what;
    std::function<ErrorCode(Channel&)> send;
    ErrorCode rc;
  } cases[] = {
      {"offset beyond the size", [&](Channel& ch) { return ProtoWriteFile2(ch, 0, ustring(Path("src").c_str()), 11); },
       ERR_INVAL},
      {"null stream", [](Channel& ch) { return ProtoWriteFile(ch, 0, static_cast<FILE*>(nullptr)); }, ERR_INVAL},
      {"missing file", [&](Channel& ch) { return ProtoWriteFile(ch, 0, ustring(Path("none").c_str())); }, ERR_SYS},
      // A FIFO would block the open and never end.
      {"FIFO", [&](Channel& ch) { return ProtoWriteFile(ch, 0, ustring(Path("fifo").c_str())); }, ERR_SYS},
      {"folder", [&](Channel& ch) { return ProtoWriteFile2(ch, 0, ustring(Path().c_str()), 0); }, ERR_SYS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    stest::Written w = stest::WriteThrough(c.send);
    EXPECT_EQ(c.rc, w.rc);
    EXPECT_EQ("", Hex(w.bytes));
  }
  // The whole file as offset: nothing left but the announcement.
  stest::Written w =
      stest::WriteThrough([&](Channel& ch) { return ProtoWriteFile2(ch, 0, ustring(Path("src").c_str()), 10); });
  EXPECT_EQ(ERR_OK, w.rc);
  EXPECT_EQ(Hex(Type(0) + Len(10)), Hex(w.bytes));
}

// Resuming into a partial file at an offset below its size: the new bytes
// replace the old tail instead of following it.
TEST_F(ProtoSectionFileTest, ResumeIntoAPartialFile) {
  const std::string source = Pattern(150000);
  WriteFile("src", source);
  const std::string partial = source.substr(0, 90000);
  struct {
    unsigned long long offset;
    ErrorCode rc;
    std::string result;
  } cases[] = {
      {0, ERR_OK, source},
      {40000, ERR_OK, source},       // below the partial file's size
      {90000, ERR_OK, source},       // exactly its size
      {150000, ERR_INVAL, partial},  // beyond it: refused, file untouched
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    WriteFile("dst", partial);
    stest::ChannelLink link;
    ASSERT_TRUE(link.ok());
    ASSERT_EQ(ERR_OK, ProtoWriteFile2(link.a, 9, ustring(Path("src").c_str()), c.offset));
    unsigned char type = 0;
    EXPECT_EQ(c.rc, ProtoReadFile2(link.b, type, ustring(Path("dst").c_str()), c.offset));
    EXPECT_EQ(c.rc == ERR_OK ? 9 : 0, type);
    std::string got = ReadFile("dst");
    EXPECT_EQ(c.result.size(), got.size());
    EXPECT_TRUE(c.result == got);
  }
}

// A resume with no partial file at all is refused, and nothing is created.
TEST_F(ProtoSectionFileTest, ResumeNeedsThePartialFile) {
  auto pair = stest::Feed(Type(0) + Len(4) + Block(0, "abcd"));
  ASSERT_TRUE(pair);
  unsigned char type = 0;
  EXPECT_EQ(ERR_SYS, ProtoReadFile2(pair->ch, type, ustring(Path("dst").c_str()), 2));
  EXPECT_NE(0, access(Path("dst").c_str(), F_OK));
}

// What a hostile or broken sender can do to the receiver. Nothing past the
// announced length is ever written.
TEST_F(ProtoSectionFileTest, ReceiverAgainstHostileInput) {
  ptest::LogCapture log(Path(), "proto_common_debug=3\n");
  const std::string max_block(65535, 'm');
  struct {
    const char* what;
    std::string input;
    unsigned long long offset;
    ErrorCode rc;
    std::string result;
  } cases[] = {
      {"one block passes the length", Type(1) + Len(10) + Block(0, "0123456789AB"), 0, ERR_PROTO, ""},
      {"second block passes the length", Type(1) + Len(10) + Block(0, "012345") + Block(1, "6789AB"), 0, ERR_PROTO,
       "012345"},
      {"exact blocks", Type(1) + Len(10) + Block(0, "012345") + Block(1, "6789"), 0, ERR_OK, "0123456789"},
      {"empty blocks are no harm", Type(1) + Len(2) + Block(0, "") + Block(1, "ab"), 0, ERR_OK, "ab"},
      {"nothing past the end is read", Type(1) + Len(2) + Block(0, "ab") + Block(1, "cd"), 0, ERR_OK, "ab"},
      {"largest block", Type(1) + Len(65535) + Block(0, max_block), 0, ERR_OK, max_block},
      {"length below the offset", Type(1) + Len(3) + Block(0, "x"), 5, ERR_PROTO, "KEEP!"},
      {"resume at 3", Type(1) + Len(7) + Block(0, "defg"), 3, ERR_OK, "KEEdefg"},
      {"missing block id", Type(1) + Len(4) + B({SPROTO_ID_DELTADATA, 0, 4}) + "abcd", 0, ERR_PROTO, ""},
      {"wrong type section", B({SPROTO_ID_RES, 1}) + Len(4), 0, ERR_PROTO, ""},
      {"sender stops halfway", Type(1) + Len(10) + Block(0, "01234"), 0, ERR_IO, "01234"},
      {"block cut short", Type(1) + Len(10) + B({SPROTO_ID_DELTAID}) + U32(0) + B({SPROTO_ID_DELTADATA, 0, 9}) + "abc",
       0, ERR_IO, ""},
      {"huge length, little data", Type(1) + Len(~0ull) + Block(0, "abc"), 0, ERR_IO, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile("dst", "KEEP!");
    auto pair = stest::Feed(c.input);
    ASSERT_TRUE(pair);
    unsigned char type = 0;
    ErrorCode rc = c.offset == 0 ? ProtoReadFile(pair->ch, type, ustring(Path("dst").c_str()))
                                 : ProtoReadFile2(pair->ch, type, ustring(Path("dst").c_str()), c.offset);
    EXPECT_EQ(c.rc, rc);
    std::string got = ReadFile("dst");
    EXPECT_EQ(c.result.size(), got.size());
    EXPECT_TRUE(c.result == got) << got.substr(0, 40);
  }
  EXPECT_TRUE(log.Has("passes the length 10 at 6")) << log.Text();
}

TEST_F(ProtoSectionFileTest, ReceiverWritesOnlyRegularFiles) {
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  for (const std::string& target : {Path("fifo"), Path(), Path("no/such/folder/file")}) {
    SCOPED_TRACE(target);
    auto pair = stest::Feed(Type(1) + Len(1) + Block(0, "x"));
    ASSERT_TRUE(pair);
    unsigned char type = 0;
    EXPECT_EQ(ERR_SYS, ProtoReadFile(pair->ch, type, ustring(target.c_str())));
  }
}

}  // namespace
