// Records of the section encoding, the keep-alive request and the SSL
// service requests against replies written by the test.
#include "protocol/proto_section_record.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/proto_common.h"
#include "protocol/proto_section_ssl.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "section_test_util.h"
#include "support/pobject_from_bytes.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::Hex;

namespace {

const std::string kHeaderPrefix = B({0x7c, 0x4e, 0x9a, 0x13, 70});

std::string Header(int cmd) { return kHeaderPrefix + B({cmd, 0, 0}); }

class ProtoSectionRecordTest : public testsupport::TempDirTest {};

TEST_F(ProtoSectionRecordTest, RecordsRoundTrip) {
  View view;
  view.view_id = 0x1122334455667788ull;
  view.name = "Team \xe2\x9c\x93";
  ObjectID oid;
  oid.sync_id = 99;
  oid.path = "/a/b c";
  ObjectMetadata meta;
  meta.mtime = 1700000000u;
  meta.size = 1ull << 40;
  meta.hash = "d41d8cd98f00b204e9800998ecf8427e";
  CommonAttributeBlock block;
  block.mtime = 0xfffffffeu;
  FilterVersion fv;
  fv.major = 1;
  fv.minor = 20;
  fv.build = 300;
  ProtocolVersion pv;
  pv.major = 4294967295u;
  pv.minor = 4294967295u;
  pv.build = 4294967295u;

  stest::Written w = stest::WriteThrough([&](Channel& ch) {
    ErrorCode rc = ProtoWriteView(ch, view);
    if (rc == ERR_OK) rc = ProtoWriteObjectId(ch, oid);
    if (rc == ERR_OK) rc = ProtoWriteObjectMetadata(ch, meta);
    if (rc == ERR_OK) rc = ProtoWriteCommonAttributeBlock(ch, block);
    if (rc == ERR_OK) rc = ProtoWriteFilterVersion(ch, fv);
    if (rc == ERR_OK) rc = ProtoWriteProtocolVersion(ch, pv);
    return rc;
  });
  ASSERT_EQ(ERR_OK, w.rc);
  // The versions are text; the largest one is exactly the readers' 32 bytes.
  const std::string tail = B({40, 0, 8}) + "1.20.300" + B({41, 0, 32}) + "4294967295.4294967295.4294967295";
  ASSERT_GE(w.bytes.size(), tail.size());
  EXPECT_EQ(Hex(tail), Hex(w.bytes.substr(w.bytes.size() - tail.size())));
  EXPECT_EQ(Hex(B({36, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 37, 0, 8}) + "Team \xe2\x9c\x93"),
            Hex(w.bytes.substr(0, 20)));

  auto pair = stest::Feed(w.bytes);
  ASSERT_TRUE(pair);
  View view2;
  ObjectID oid2;
  ObjectMetadata meta2;
  CommonAttributeBlock block2;
  FilterVersion fv2;
  ProtocolVersion pv2;
  EXPECT_EQ(ERR_OK, ProtoReadView(pair->ch, view2));
  EXPECT_EQ(ERR_OK, ProtoReadObjectId(pair->ch, oid2));
  EXPECT_EQ(ERR_OK, ProtoReadObjectMetadata(pair->ch, meta2));
  EXPECT_EQ(ERR_OK, ProtoReadCommonAttributeBlock(pair->ch, block2));
  EXPECT_EQ(ERR_OK, ProtoReadFilterVersion(pair->ch, fv2));
  EXPECT_EQ(ERR_OK, ProtoReadProtocolVersion(pair->ch, pv2));
  EXPECT_EQ(view.view_id, view2.view_id);
  EXPECT_STREQ(view.name.c_str_utf8(), view2.name.c_str_utf8());
  EXPECT_EQ(oid.sync_id, oid2.sync_id);
  EXPECT_STREQ(oid.path.c_str_utf8(), oid2.path.c_str_utf8());
  EXPECT_EQ(meta.mtime, meta2.mtime);
  EXPECT_EQ(meta.size, meta2.size);
  EXPECT_STREQ(meta.hash.c_str_utf8(), meta2.hash.c_str_utf8());
  EXPECT_EQ(block.mtime, block2.mtime);
  EXPECT_EQ(300u, fv2.build);
  EXPECT_EQ(20u, fv2.minor);
  EXPECT_EQ(1u, fv2.major);
  EXPECT_EQ(4294967295u, pv2.major);
  EXPECT_EQ(4294967295u, pv2.minor);
  EXPECT_EQ(4294967295u, pv2.build);
}

// A record that fails halfway is left as it was.
TEST_F(ProtoSectionRecordTest, FailedReadLeavesTheRecord) {
  ptest::LogCapture log(Path(), "proto_common_debug=3\n");
  auto pair = stest::Feed(B({18, 0, 0, 0, 0, 0, 0, 0, 5, 17, 0, 0, 0, 9, 7, 0, 1}) + "h");
  ASSERT_TRUE(pair);
  ObjectMetadata meta;
  meta.size = 1;
  meta.mtime = 2;
  meta.hash = "old";
  EXPECT_EQ(ERR_PROTO, ProtoReadObjectMetadata(pair->ch, meta));
  EXPECT_EQ(1u, meta.size);
  EXPECT_EQ(2u, meta.mtime);
  EXPECT_STREQ("old", meta.hash.c_str_utf8());
  EXPECT_TRUE(log.Has("ReadObjectMetadata: Failed to parse file hash. Protocal error")) << log.Text();
}

TEST_F(ProtoSectionRecordTest, VersionTexts) {
  ptest::LogCapture log(Path(), "proto_common_debug=3\n");
  struct {
    std::string text;
    ErrorCode rc;
    uint32_t major, minor, build;
  } cases[] = {
      {"4294967295.4294967295.4294967295", ERR_OK, 4294967295u, 4294967295u, 4294967295u},
      {"1.2.3-beta", ERR_OK, 1, 2, 3},
      {"0.0.0", ERR_OK, 0, 0, 0},
      {"4294967295.4294967295.42949672950", ERR_PROTO, 7, 7, 7},  // 33 bytes
      {"4294967296.0.0", ERR_PROTO, 7, 7, 7},
      {"-1.0.0", ERR_PROTO, 7, 7, 7},
      {"1.2", ERR_PROTO, 7, 7, 7},
      {"1..2", ERR_PROTO, 7, 7, 7},
      {" 1.2.3", ERR_PROTO, 7, 7, 7},
      {std::string("1.2\0.3", 6), ERR_PROTO, 7, 7, 7},
      {"", ERR_PROTO, 7, 7, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto pair = stest::Feed(B({41, 0, static_cast<int>(c.text.size())}) + c.text);
    ASSERT_TRUE(pair);
    ProtocolVersion v;
    v.major = v.minor = v.build = 7;
    EXPECT_EQ(c.rc, ProtoReadProtocolVersion(pair->ch, v));
    EXPECT_EQ(c.major, v.major);
    EXPECT_EQ(c.minor, v.minor);
    EXPECT_EQ(c.build, v.build);
  }
  EXPECT_TRUE(log.Has("ReadProtocolVersion: sscanf: ")) << log.Text();
  EXPECT_TRUE(log.Has("ReadProtocolVersion: fail to recv version. Protocal error.")) << log.Text();
}

// The whole request, flushed by the writer itself.
TEST(ProtoSectionKeepAliveTest, ExactBytes) {
  ptest::ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(ERR_OK, ProtoWriteKeepAliveControl(pair.ch, 60));
  EXPECT_TRUE(pair.PeerReadable(2000));
  EXPECT_EQ(Hex(Header(SCMD_KEEP_ALIVE) + B({42, 0, 0, 0, 0, 43, 0, 0, 0, KEEP_ALIVE_CONTROL, 30, 0, 0, 0, 60})),
            Hex(pair.CloseAndCollect()));
}

TEST(ProtoSectionSslTest, FirstRequestIsAFlushedHeader) {
  ptest::ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(ERR_OK, pair.ch.Write("x", 1));  // pending output goes first
  ASSERT_EQ(ERR_OK, ProtoWriteSSLServiceRequest(pair.ch));
  EXPECT_TRUE(pair.PeerReadable(2000));
  EXPECT_EQ(Hex("x" + Header(SCMD_REQUEST_SSL)), Hex(pair.CloseAndCollect()));
}

TEST(ProtoSectionSslTest, SectionRequestAgainstReplies) {
  const std::string reply = Header(SCMD_REQUEST_SSL_2);
  const std::string option = B({46, 0, 0, 0, 9});
  struct {
    const char* what;
    std::string reply;
    ErrorCode rc;
  } cases[] = {
      {"OK", reply + B({1, SPROTO_RES_OK}) + option, ERR_OK},
      {"ERR", reply + B({1, SPROTO_RES_ERR}) + option, ERR_SERVER},
      {"UPGRADE, no option follows", reply + B({1, SPROTO_RES_UPGRADE}), ERR_VERSION},
      {"another code", reply + B({1, SPROTO_RES_QUOTA}) + option, ERR_SYS},
      {"another command", Header(SCMD_REQUEST_SSL) + B({1, SPROTO_RES_OK}) + option, ERR_PROTO},
      {"bad magic", B({0x7c, 0x4e, 0x9a, 0x14, 70, 22, 0, 0}), ERR_PROTO},
      {"another section", reply + B({2, SPROTO_RES_OK}) + option, ERR_PROTO},
      {"option missing", reply + B({1, SPROTO_RES_OK}), ERR_IO},
      {"nothing", "", ERR_IO},
  };
  SSLServiceReq req;
  req.proto_ver.major = 1;
  req.proto_ver.minor = 2;
  req.proto_ver.build = 3;
  req.ssl_option = 0x01020304u;
  const std::string request = Header(SCMD_REQUEST_SSL_2) + B({41, 0, 5}) + "1.2.3" + B({45, 0x01, 0x02, 0x03, 0x04});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto pair = stest::Feed(c.reply);
    ASSERT_TRUE(pair);
    EXPECT_EQ(c.rc, ProtoWriteSSLServiceRequest2OLD(pair->ch, req));
    EXPECT_EQ(Hex(request), Hex(pair->CloseAndCollect()));
  }
}

// The PObject form against a peer that answers with and without "error".
TEST_F(ProtoSectionRecordTest, ObjectRequestAgainstReplies) {
  ptest::LogCapture log(Path(), "proto_common_debug=3\n");
  auto encode = [](const PObject& obj) {
    return stest::WriteThrough([&](Channel& ch) {
             PStream s;
             return s.Send(ch, obj) == PStream::Code::kOk ? ERR_OK : ERR_IO;
           })
        .bytes;
  };
  PObject ok;
  ok["result"] = "ok";
  PObject refused;
  refused["error"]["code"] = 0x1004;
  PObject with_binary;
  with_binary["data"].asBinary().length = 3;
  PObject huge;
  for (int i = 0; i < 2000; ++i) huge["list"].asArray().push_back(PObject(i));
  struct {
    const char* what;
    std::string reply;
    ErrorCode rc;
  } cases[] = {
      {"no error", encode(ok), ERR_OK},
      {"error", encode(refused), ERR_SERVER},
      {"garbage", B({0x99}), ERR_IO},
      {"binary with nowhere to go", encode(with_binary) + "abc", ERR_IO},
      {"more values than a reply needs", encode(huge), ERR_IO},
      {"nothing", "", ERR_IO},
  };
  SSLServiceReq req;
  req.proto_ver.major = 3;
  req.proto_ver.minor = 0;
  req.proto_ver.build = 3005;
  req.ssl_option = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto pair = stest::Feed(c.reply);
    ASSERT_TRUE(pair);
    EXPECT_EQ(c.rc, ProtoWriteSSLServiceRequest2(pair->ch, req));
    std::string sent = pair->CloseAndCollect();
    ASSERT_GT(sent.size(), 8u);
    EXPECT_EQ(Hex(Header(SCMD_REQUEST_SSL_2)), Hex(sent.substr(0, 8)));
    PStream stream;
    PObject got;
    ASSERT_EQ(
        0, testsupport::RecvFromBytes(reinterpret_cast<const uint8_t*>(sent.data()) + 8, sent.size() - 8, stream, got));
    EXPECT_STREQ("encrypt_channel", got["action"].asString().c_str_utf8());
    EXPECT_EQ(3u, got["proto_ver"]["major"].asUInt64());
    EXPECT_EQ(0u, got["proto_ver"]["minor"].asUInt64());
    EXPECT_EQ(3005u, got["proto_ver"]["build"].asUInt64());
    EXPECT_EQ(1u, got["ssl_option"].asUInt64());
    EXPECT_TRUE(got["agent"].isMap());
  }
  EXPECT_TRUE(log.Has("RunProtocol: error code 4100")) << log.Text();
  EXPECT_TRUE(log.Has("RunProtocol: stream: Error code -5")) << log.Text();
}

}  // namespace
