// The server request header, the request members and the protocol tables.
#include "protocol/proto_common.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::ChannelPair;
using ptest::Hex;

namespace {

// The header waits in the write buffer: nothing reaches the peer before the
// request's own flush.
TEST(ProtoCommonTest, HeaderIsBufferedUntilTheFlush) {
  ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(ERR_OK, ProtoWriteHeader(pair.ch, 0, SCMD_EVT_PULL));
  EXPECT_FALSE(pair.PeerReadable(200));
  ASSERT_EQ(ERR_OK, pair.ch.FlushWrite(0));
  EXPECT_EQ(Hex(B({0x7c, 0x4e, 0x9a, 0x13, 0x46, 0x06, 0x00, 0x00})), Hex(pair.CloseAndCollect()));
}

TEST(ProtoCommonTest, HeaderThenRequestGoOutTogether) {
  ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  PObject request;
  InitRequest(request, "connect");
  ASSERT_EQ(ERR_OK, ProtoWriteHeader(pair.ch, 0x0102, SCMD_REQUEST_CONNECT));
  PStream stream;
  ASSERT_EQ(PStream::Code::kOk, stream.Send(pair.ch, request));
  std::string bytes = pair.CloseAndCollect();
  EXPECT_EQ(Hex(B({0x7c, 0x4e, 0x9a, 0x13, 70, 14, 0x01, 0x02, 0x42})), Hex(bytes.substr(0, 9)));
}

TEST(ProtoCommonTest, HeaderOnAClosedChannelFails) {
  Channel ch(81920);
  EXPECT_NE(ERR_OK, ProtoWriteHeader(ch, 0, SCMD_EVT_PULL));
}

TEST(ProtoCommonTest, ProtoInitChangesTheVersionByte) {
  ProtoInit(71);
  ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(ERR_OK, ProtoWriteHeader(pair.ch, 0, SCMD_EVT_SEND_2));
  ProtoInit(70);
  EXPECT_EQ(Hex(B({0x7c, 0x4e, 0x9a, 0x13, 71, 24, 0x00, 0x00})), Hex(pair.CloseAndCollect()));
}

TEST(ProtoCommonTest, ReadHeader) {
  struct {
    std::string bytes;
    ErrorCode rc;
    unsigned short len;
    unsigned char cmd, version;
  } cases[] = {
      {B({0x7c, 0x4e, 0x9a, 0x13, 0x46, 0x16, 0x12, 0x34}), ERR_OK, 0x1234, 22, 70},
      {B({0x7c, 0x4e, 0x9a, 0x14, 0x46, 0x16, 0x00, 0x00}), ERR_PROTO, 0, 0, 0},
      {B({0x7c, 0x4e, 0x9a, 0x13, 0x46}), ERR_IO, 0, 0, 0},
      {B({0x7c}), ERR_IO, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.bytes));
    ChannelPair pair;
    ASSERT_TRUE(pair.PeerSend(c.bytes));
    unsigned short len = 0;
    unsigned char cmd = 0, version = 0;
    ErrorCode rc = ProtoReadHeader(pair.ch, len, cmd, version);
    if (c.rc == ERR_IO) {
      EXPECT_NE(ERR_OK, rc);
      continue;
    }
    EXPECT_EQ(c.rc, rc);
    if (rc == ERR_OK) {
      EXPECT_EQ(c.len, len);
      EXPECT_EQ(c.cmd, cmd);
      EXPECT_EQ(c.version, version);
    }
  }
}

// InitRequest keeps what the request holds and turns a non-map into a map.
TEST(ProtoCommonTest, InitRequestMembers) {
  PObject request;
  request["view_id"] = 9;
  InitRequest(request, "download");
  EXPECT_EQ(
      "{\"_action\": \"download\", \"_agent\": {\"platform\": \"Windows\", \"version\": {\"build\": 3005, "
      "\"major\": 3, \"minor\": 0}}, \"view_id\": 9}",
      std::string(request.toString().c_str_utf8()));
  PObject text("not a map");
  InitRequest(text, "remove");
  EXPECT_STREQ("remove", text["_action"].asString().c_str_utf8());
}

TEST(ProtoCommonTest, CommandNames) {
  struct {
    unsigned char cmd;
    const char* name;
  } cases[] = {
      {0, "Unknown command"},          {1, "SCMD_REQUEST"},
      {6, "SCMD_EVT_PULL"},            {14, "SCMD_REQUEST_CONNECT"},
      {22, "SCMD_REQUEST_SSL_2"},      {23, "SCMD_PKG_VER_QUERY"},
      {24, "SCMD_GET_FOLDER_LIST"},    {25, "Unknown command"},
      {27, "Unknown command"},         {255, "Unknown command"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.name, ProtoCmd2String(c.cmd)) << int(c.cmd);
}

// The header log line names the command by that table.
TEST(ProtoCommonLogTest, HeaderLogLine) {
  testsupport::TempDir dir;
  ptest::LogCapture log(dir.path(), "proto_common_debug=7\n");
  ChannelPair pair;
  ASSERT_EQ(ERR_OK, ProtoWriteHeader(pair.ch, 0, SCMD_EVT_RECV_4));
  ASSERT_EQ(ERR_OK, ProtoWriteHeader(pair.ch, 5, SCMD_RESUME_TRANSFER));
  EXPECT_TRUE(log.Has("[DEBUG] proto-common(")) << log.Text();
  EXPECT_TRUE(log.Has("): WriteHeader: SCMD_PKG_VER_QUERY, pkt_len = 0\n")) << log.Text();
  EXPECT_TRUE(log.Has("): WriteHeader: Unknown command, pkt_len = 5\n")) << log.Text();
}

TEST(ProtoCommonTest, VersionCheck) {
  struct {
    int peer;
    int result;
  } cases[] = {
      {70, PV_MATCH_SUPPORT},        {71, PV_UNMATCH_SUPPORT},      {75, PV_UNMATCH_SUPPORT},
      {79, PV_UNMATCH_SUPPORT},      {69, PV_UNSUPPORT_OLD_SERVER}, {0, PV_UNSUPPORT_OLD_SERVER},
      {-1, PV_UNSUPPORT_OLD_SERVER}, {80, PV_UNSUPPORT_OLD_CLIENT}, {85, PV_UNSUPPORT_OLD_CLIENT},
      {700, PV_UNSUPPORT_OLD_CLIENT},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result, ProtoCheck(c.peer)) << c.peer;
}

TEST(ProtoCommonTest, ServerErrorClass) {
  struct {
    uint64_t code;
    int cls;
  } cases[] = {
      {SPROTO_ERR_OK, 0},        {SPROTO_ERR_UPGRADE, 0},         {SPROTO_ERR_USER_PASSWD, 1},
      {SPROTO_ERR_INTERNAL, 7},  {SPROTO_ERR_UPLOAD_NOBASE, 9},   {SPROTO_ERR_RESUME_NOTOKEN, 0xB},
      {0xFFFF, 0xF},             {0x10000, -1},                   {0xFFFFFFFFFFFFFFFFull, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.cls, SProtoErrClass(c.code)) << std::hex << c.code;
  static_assert(SProtoErrClass(SPROTO_ERR_CONFLICT_MAC_ATTR) == SProtoErrClass(SPROTO_ERR_CONFLICT));
}

TEST(ProtoCommonTest, TextTables) {
  EXPECT_STREQ("QXV disabled", GetErrorString(-14));
  EXPECT_STREQ("QXV disabled", GetErrorString(14));
  EXPECT_STREQ("Unknown error", GetErrorString(-26));
  EXPECT_STREQ("Protocol finished successfully", ProtoGetErroString(0));
  EXPECT_STREQ("Protocol aborted due to invalid argument", ProtoGetErroString(4));
  EXPECT_STREQ("Unknown protocol error", ProtoGetErroString(5));
  EXPECT_STREQ("Unknown protocol error", ProtoGetErroString(-1));
}

TEST(ProtoCommonTest, ConnectAndDisconnect) {
  int port = 0;
  int l = ptest::ListenAnyPort(&port);
  ASSERT_GE(l, 0);
  Channel ch(81920);
  EXPECT_EQ(0, ProtoConnect(ch, "127.0.0.1", port));
  EXPECT_EQ(0, ProtoDisconnect(ch));
  EXPECT_TRUE(ch.IsClosed());
  close(l);
  EXPECT_EQ(-1, ProtoConnect(ch, "127.0.0.1", port));
  EXPECT_EQ(-1, ProtoConnect(ch, "not an address", port));
}

}  // namespace
