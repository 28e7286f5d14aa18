// The wire bytes of PStream: golden encodings both ways, key underscores,
// merging into prepared targets, limits of strings and nesting, and the
// debug dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <vector>
#include <string>

#include "protocol/pobject.h"
#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::ChannelPair;
using ptest::Hex;

namespace {

std::string Text(const PObject& p) { return p.toString().c_str_utf8(); }

// The bytes the peer receives for one Send, and its result.
std::string Encode(const PObject& obj, PStream::Code* rc = nullptr) {
  ChannelPair pair;
  EXPECT_TRUE(pair.ok());
  PStream stream;
  const PStream::Code result = stream.Send(pair.ch, obj);
  if (rc != nullptr) *rc = result;
  return pair.CloseAndCollect();
}

// Receives `bytes` into `target`.
PStream::Code Decode(const std::string& bytes, PObject& target, PStream* stream = nullptr) {
  ChannelPair pair;
  EXPECT_TRUE(pair.ok());
  EXPECT_TRUE(pair.PeerSend(bytes));
  PStream own;
  return (stream ? *stream : own).Recv(pair.ch, target);
}

std::string Str(const std::string& s) {
  return B({0x10, static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}) + s;
}

struct GoldenCase {
  const char* name;
  std::function<PObject()> make;
  std::string bytes;
  const char* received;  // toString of what the bytes decode to
};

PObject AgentExample() {
  PObject p;
  p["_agent"]["platform"] = "Windows";
  p["count"] = 300;
  return p;
}

PObject PullEvent() {
  PObject r;
  InitRequest(r, "pull_event");
  r["sync_id"] = 7;
  return r;
}

// Each value's exact bytes, and what a receiver makes of them.
TEST(PStreamWireTest, GoldenBytes) {
  const GoldenCase cases[] = {
      {"empty map",
       [] {
         PObject p;
         p.asMap();
         return p;
       },
       B({0x42, 0x40}), "{}"},
      {"empty array",
       [] {
         PObject p;
         p.asArray();
         return p;
       },
       B({0x41, 0x40}), "[]"},
      {"empty string", [] { return PObject(""); }, B({0x10, 0x00, 0x00}), "\"\""},
      {"null", [] { return PObject(); }, B({0x00, 0x00}), "null"},
      {"0", [] { return PObject(0); }, B({0x01, 0x01, 0x00}), "0"},
      {"255", [] { return PObject(255); }, B({0x01, 0x01, 0xFF}), "255"},
      {"256", [] { return PObject(256); }, B({0x01, 0x02, 0x01, 0x00}), "256"},
      {"65536", [] { return PObject(65536); }, B({0x01, 0x04, 0x00, 0x01, 0x00, 0x00}), "65536"},
      {"2^32", [] { return PObject(4294967296ULL); },
       B({0x01, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}), "4294967296"},
      {"-1 as 64 bits",
       [] {
         PObject p;
         p = -1;
         return p;
       },
       B({0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "18446744073709551615"},
      {"agent example", AgentExample,
       B({0x42}) + Str("agent") + B({0x42}) + Str("platform") + Str("Windows") + B({0x40}) + Str("count") +
           B({0x01, 0x02, 0x01, 0x2C, 0x40}),
       "{\"agent\": {\"platform\": \"Windows\"}, \"count\": 300}"},
      {"one underscore stripped",
       [] {
         PObject p;
         p["__x"] = 1;
         return p;
       },
       B({0x42}) + Str("_x") + B({0x01, 0x01, 0x01, 0x40}), "{\"_x\": 1}"},
      {"array of mixed values",
       [] {
         PObject p;
         p.asArray().push_back(PObject("a"));
         p.asArray().push_back(PObject());
         p.asArray().push_back(PObject(2));
         return p;
       },
       B({0x41}) + Str("a") + B({0x00, 0x00, 0x01, 0x01, 0x02, 0x40}), "[\"a\", null, 2]"},
      // The request members come first, in key order, before any key that
      // begins with a lower-case letter.
      {"InitRequest", PullEvent,
       B({0x42}) + Str("action") + Str("pull_event") + Str("agent") + B({0x42}) + Str("platform") +
           Str("Windows") + Str("version") + B({0x42}) + Str("build") + B({0x01, 0x02, 0x0B, 0xBD}) +
           Str("major") + B({0x01, 0x01, 0x03}) + Str("minor") + B({0x01, 0x01, 0x00}) + B({0x40, 0x40}) +
           Str("sync_id") + B({0x01, 0x01, 0x07, 0x40}),
       "{\"action\": \"pull_event\", \"agent\": {\"platform\": \"Windows\", \"version\": {\"build\": 3005, "
       "\"major\": 3, \"minor\": 0}}, \"sync_id\": 7}"},
  };
  for (const GoldenCase& c : cases) {
    SCOPED_TRACE(c.name);
    PStream::Code rc = static_cast<PStream::Code>(-100);
    std::string bytes = Encode(c.make(), &rc);
    EXPECT_EQ(PStream::Code::kOk, rc);
    EXPECT_EQ(Hex(c.bytes), Hex(bytes));
    PObject back;
    EXPECT_EQ(PStream::Code::kOk, Decode(c.bytes, back));
    EXPECT_EQ(c.received, Text(back));
  }
}

// Widths the writer never uses are read all the same, and a string ends at
// its first NUL.
TEST(PStreamWireTest, ReaderAcceptsEveryWidthAndCutsAtNul) {
  struct {
    std::string bytes;
    const char* received;
  } cases[] = {
      {B({0x01, 0x00}), "0"},
      {B({0x01, 0x03, 0x01, 0x02, 0x03}), "66051"},
      {B({0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05}), "5"},
      {B({0x10, 0x00, 0x03, 'a', 0x00, 'b'}), "\"a\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.bytes));
    PObject p;
    EXPECT_EQ(PStream::Code::kOk, Decode(c.bytes, p));
    EXPECT_EQ(c.received, Text(p));
  }
}

// "_id" and "id" both go out as "id"; the receiver merges the second value
// into the first.
TEST(PStreamWireTest, KeysThatMeetAfterStrippingMerge) {
  PObject p;
  p["_id"]["a"] = 1;
  p["id"]["b"] = 2;
  std::string bytes = Encode(p);
  EXPECT_EQ(Hex(B({0x42}) + Str("id") + B({0x42}) + Str("a") + B({0x01, 0x01, 0x01, 0x40}) + Str("id") +
                B({0x42}) + Str("b") + B({0x01, 0x01, 0x02, 0x40, 0x40})),
            Hex(bytes));
  PObject back;
  ASSERT_EQ(PStream::Code::kOk, Decode(bytes, back));
  EXPECT_EQ("{\"id\": {\"a\": 1, \"b\": 2}}", Text(back));

  PObject scalars;
  scalars["_n"] = 1;
  scalars["n"] = 2;
  PObject merged;
  ASSERT_EQ(PStream::Code::kOk, Decode(Encode(scalars), merged));
  EXPECT_EQ("{\"n\": 2}", Text(merged));
}

struct MergeCase {
  const char* name;
  std::function<PObject()> target;
  std::function<PObject()> sent;
  const char* result;
};

PObject MapOf(const char* key, PObject value) {
  PObject p;
  p[key] = value;
  return p;
}

PObject ArrayOf(std::initializer_list<int> values) {
  PObject p;
  p.asArray();
  for (int v : values) p.asArray().push_back(PObject(v));
  return p;
}

// Receiving merges into the target the caller prepared.
TEST(PStreamWireTest, ReceiveMergesIntoPreparedTargets) {
  const MergeCase cases[] = {
      {"map into map", [] { return MapOf("b", 2); }, [] { return MapOf("a", 1); }, "{\"a\": 1, \"b\": 2}"},
      {"nested maps", [] { return MapOf("m", MapOf("x", 1)); }, [] { return MapOf("m", MapOf("y", 2)); },
       "{\"m\": {\"x\": 1, \"y\": 2}}"},
      {"member replaced", [] { return MapOf("a", PObject("old")); }, [] { return MapOf("a", 5); },
       "{\"a\": 5}"},
      {"array appends", [] { return ArrayOf({1, 2}); }, [] { return ArrayOf({3}); }, "[1, 2, 3]"},
      {"string replaces integer", [] { return PObject(5); }, [] { return PObject("s"); }, "\"s\""},
      {"integer replaces map", [] { return MapOf("x", 1); }, [] { return PObject(7); }, "7"},
      {"map replaces string", [] { return PObject("str"); }, [] { return MapOf("a", 1); }, "{\"a\": 1}"},
      {"array replaces map", [] { return MapOf("x", 1); }, [] { return ArrayOf({4}); }, "[4]"},
      {"null clears", [] { return MapOf("x", 1); }, [] { return PObject(); }, "null"},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    PObject target = c.target();
    ASSERT_EQ(PStream::Code::kOk, Decode(Encode(c.sent()), target));
    EXPECT_EQ(c.result, Text(target));
  }
}

TEST(PStreamWireTest, StringOfMaximumLengthPasses) {
  PObject p(ustring(std::string(65535, 'x')));
  PStream::Code rc = static_cast<PStream::Code>(-100);
  std::string bytes = Encode(p, &rc);
  ASSERT_EQ(PStream::Code::kOk, rc);
  ASSERT_EQ(3u + 65535u, bytes.size());
  EXPECT_EQ(Hex(B({0x10, 0xFF, 0xFF})), Hex(bytes.substr(0, 3)));
  PObject back;
  ASSERT_EQ(PStream::Code::kOk, Decode(bytes, back));
  EXPECT_EQ(65535u, back.asString().length());
}

// A count of 16 bits cannot describe a longer string: it is refused before
// its tag, so the peer never sees a count that disagrees with the bytes.
TEST(PStreamWireTest, StringOrKeyTooLongIsRefusedBeforeItsTag) {
  const std::string long_text(65536, 'x');
  PStream::Code rc = PStream::Code::kOk;
  EXPECT_EQ("", Encode(PObject(ustring(long_text)), &rc));
  EXPECT_EQ(PStream::Code::kStream, rc);

  PObject p;
  p[ustring(long_text)] = 1;
  std::string bytes = Encode(p, &rc);
  EXPECT_EQ(PStream::Code::kStream, rc);
  EXPECT_EQ(Hex(B({0x42})), Hex(bytes)) << "only the map tag was buffered";
}

PObject NestedArrays(size_t depth) {
  PObject top;
  PObject* p = &top;
  for (size_t i = 0; i < depth; ++i) {
    p->asArray().emplace_back();
    p = &p->asArray().back();
  }
  return top;  // `depth` arrays, the innermost holding one null
}

// At most 64 containers nest, both ways; real messages nest about 6 deep.
TEST(PStreamWireTest, NestingDepthLimit) {
  PStream::Code rc = static_cast<PStream::Code>(-100);
  std::string bytes = Encode(NestedArrays(64), &rc);
  ASSERT_EQ(PStream::Code::kOk, rc);
  PObject back;
  EXPECT_EQ(PStream::Code::kOk, Decode(bytes, back));
  EXPECT_EQ(Text(NestedArrays(64)), Text(back));

  Encode(NestedArrays(65), &rc);
  EXPECT_EQ(PStream::Code::kStream, rc);

  std::string deep = std::string(65, '\x41') + B({0x00, 0x00}) + std::string(65, '\x40');
  PObject refused;
  EXPECT_EQ(PStream::Code::kStream, Decode(deep, refused));
}

// One stream serves a request and then its reply: each call leaves it idle.
TEST(PStreamWireTest, OneStreamServesSeveralExchanges) {
  ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  PStream stream;
  ASSERT_TRUE(pair.PeerSend(B({0x42}) + Str("action") + Str("status") + B({0x40}), false));
  PObject request;
  ASSERT_EQ(PStream::Code::kOk, stream.Recv(pair.ch, request));
  EXPECT_EQ("{\"action\": \"status\"}", Text(request));
  PObject reply;
  reply["ack"] = "ok";
  ASSERT_EQ(PStream::Code::kOk, stream.Send(pair.ch, reply));
  ustring path;
  unsigned long long sent = 1, total = 1;
  stream.GetStatus(path, sent, total);
  EXPECT_STREQ("", path.c_str_utf8());
  EXPECT_EQ(0u, sent);
  EXPECT_EQ(0u, total);
  EXPECT_EQ(Hex(B({0x42}) + Str("ack") + Str("ok") + B({0x40})), Hex(pair.CloseAndCollect()));
}

// The elements of the array under the sink's top-level key reach the sink
// one by one, in order, and not the target; the same key deeper down, other
// arrays, and messages after the sink is removed are received as before. A
// refusing sink fails the receive.
TEST(PStreamWireTest, ArraySinkTakesTheTopLevelListOnly) {
  PObject message;
  message["alive"] = 60;
  for (int i = 0; i < 3; ++i) {
    PObject change;
    change["path"] = ("/f" + std::to_string(i)).c_str();
    change["file"]["size"] = i;
    message["event_list"].asArray().push_back(change);
  }
  message["inner"]["event_list"].asArray().push_back(PObject(7));
  message["other"].asArray().push_back(PObject(8));
  message["next_sync_id"] = 5;
  const std::string bytes = Encode(message);

  PStream stream;
  std::vector<std::string> seen;
  stream.SetArraySink("event_list", [&](PObject& e) {
    seen.push_back(Text(e));
    return 0;
  });
  PObject got;
  ASSERT_EQ(PStream::Code::kOk, Decode(bytes, got, &stream));
  EXPECT_EQ((std::vector<std::string>{R"({"file": {"size": 0}, "path": "/f0"})",
                                      R"({"file": {"size": 1}, "path": "/f1"})",
                                      R"({"file": {"size": 2}, "path": "/f2"})"}),
            seen);
  EXPECT_EQ(R"({"alive": 60, "event_list": [], "inner": {"event_list": [7]}, "next_sync_id": 5, "other": [8]})",
            Text(got));

  stream.SetArraySink("", nullptr);
  PObject whole;
  ASSERT_EQ(PStream::Code::kOk, Decode(bytes, whole, &stream));
  EXPECT_EQ(Text(message), Text(whole));
  EXPECT_EQ(3u, seen.size());

  int calls = 0;
  stream.SetArraySink("event_list", [&](PObject&) { return ++calls == 2 ? -1 : 0; });
  PObject refused;
  EXPECT_EQ(PStream::Code::kSys, Decode(bytes, refused, &stream));
  EXPECT_EQ(2, calls);
}

class PStreamDumpTest : public testsupport::TempDirTest {};

PObject NestedMaps(size_t depth) {
  PObject top;
  PObject* p = &top;
  for (size_t i = 0; i < depth; ++i) p = &(*p)["k"];
  *p = "leaf";
  return top;
}

// The dump lines of NestedMaps(remaining) at depth `depth`, as the indent
// and text each must show.
void ExpectedDump(size_t depth, size_t remaining, std::vector<std::string>& lines) {
  auto indent = [](size_t d) { return std::string(2 * std::min<size_t>(d, 11), ' '); };
  if (remaining == 0) {
    lines.push_back(indent(depth) + "\"leaf\"");
    return;
  }
  lines.push_back(indent(depth) + "{");
  lines.push_back(indent(depth + 1) + "\"k\"");
  ExpectedDump(depth + 1, remaining - 1, lines);
  lines.push_back(indent(depth) + "}");
}

// With "stream" at debug level every value is dumped, indented two blanks
// per level, at most 22.
TEST_F(PStreamDumpTest, DumpIndentsUpToTwentyTwoBlanks) {
  ptest::LogCapture log(Path(), "stream=7\n");
  PStream::Code rc = static_cast<PStream::Code>(-100);
  Encode(NestedMaps(20), &rc);
  ASSERT_EQ(PStream::Code::kOk, rc);
  std::vector<std::string> expected;
  ExpectedDump(0, 20, expected);
  // Each line is "%b %d %H:%M:%S " (16 characters) and the dump text.
  std::vector<std::string> dumped;
  std::istringstream in(log.Text());
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 16 && line[16] != '[') dumped.push_back(line.substr(16));
  }
  EXPECT_EQ(expected, dumped);
}

TEST_F(PStreamDumpTest, NoDumpBelowDebugLevel) {
  ptest::LogCapture log(Path(), "stream=6\n");
  PStream::Code rc = static_cast<PStream::Code>(-100);
  Encode(NestedMaps(3), &rc);
  ASSERT_EQ(PStream::Code::kOk, rc);
  EXPECT_EQ(std::string::npos, log.Text().find("leaf")) << log.Text();
}

}  // namespace
