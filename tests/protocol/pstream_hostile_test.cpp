// Hostile bytes from a peer: each is refused with -5 (or -2 when the peer
// simply stops), without a crash and without a file anywhere.
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"

using ptest::B;
using ptest::ChannelPair;
using ptest::Hex;

namespace {

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) names.insert(e->d_name);
  closedir(d);
  return names;
}

std::string Repeat(const std::string& piece, size_t n) {
  std::string s;
  s.reserve(piece.size() * n);
  for (size_t i = 0; i < n; ++i) s += piece;
  return s;
}

struct HostileCase {
  const char* name;
  std::string bytes;
  PStream::Code expected;
  bool with_recv_folder;  // the stream has a receive folder
  size_t value_limit;     // 0: the default
};

class PStreamHostileTest : public testsupport::TempDirTest {};

TEST_F(PStreamHostileTest, RefusedWithoutHarm) {
  const std::string body5 = B({0x30, 0, 0, 0, 0, 0, 0, 0, 5}) + "hello";
  const HostileCase cases[] = {
      {"integer width 9", B({0x01, 0x09}) + std::string(9, '\x01'), PStream::Code::kStream, true, 0},
      {"integer width 255", B({0x01, 0xFF}) + std::string(255, '\x7F'), PStream::Code::kStream, true, 0},
      {"100,000 nested arrays", std::string(100000, '\x41'), PStream::Code::kStream, true, 0},
      {"100,000 nested maps", Repeat(B({0x42, 0x10, 0x00, 0x01, 'k'}), 100000), PStream::Code::kStream, true, 0},
      {"unknown tag", B({0x20, 0x00}), PStream::Code::kStream, true, 0},
      {"end tag alone", B({0x40}), PStream::Code::kStream, true, 0},
      {"unknown tag in an array", B({0x41, 0x00, 0x00, 0x7F, 0x40}), PStream::Code::kStream, true, 0},
      {"null with body 1", B({0x00, 0x01}), PStream::Code::kStream, true, 0},
      {"non-string key", B({0x42, 0x01, 0x01, 0x05, 0x01, 0x01, 0x06, 0x40}), PStream::Code::kStream, true, 0},
      {"binary as key", B({0x42}) + body5 + B({0x40}), PStream::Code::kStream, true, 0},
      {"binary with nowhere to go", body5, PStream::Code::kStream, false, 0},
      {"binary in a map with nowhere to go", B({0x42, 0x10, 0x00, 0x01, 'f'}) + body5 + B({0x40}),
       PStream::Code::kStream, false, 0},
      {"more values than the limit", B({0x41}) + Repeat(B({0x00, 0x00}), 11) + B({0x40}), PStream::Code::kStream,
       true, 10},
      {"keys count as no values, members do", B({0x42}) + Repeat(B({0x10, 0x00, 0x01, 'k', 0x00, 0x00}), 11) +
       B({0x40}), PStream::Code::kStream, true, 10},
      // A peer that stops early is a channel failure, not malformed input.
      {"string cut short", B({0x10, 0x00, 0x05, 'a', 'b'}), PStream::Code::kIo, true, 0},
      {"integer cut short", B({0x01, 0x04, 0x01}), PStream::Code::kIo, true, 0},
      {"map without end", B({0x42}), PStream::Code::kIo, true, 0},
      {"nothing", "", PStream::Code::kIo, true, 0},
      {"binary count cut short", B({0x30, 0x00, 0x00}), PStream::Code::kIo, false, 0},
  };
  const std::string recv = Path("recv");
  ASSERT_EQ(0, mkdir(recv.c_str(), 0700));
  const std::set<std::string> root_before = Names("/");
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChannelPair pair;
    ASSERT_TRUE(pair.ok());
    // A peer that has not closed, for the cases that must be refused before
    // the input ends: the refusal may not wait for more bytes.
    ASSERT_TRUE(pair.PeerSend(c.bytes, c.expected == PStream::Code::kIo));
    PStream stream;
    if (c.with_recv_folder) stream.SetDefaultRecvLocation(recv.c_str());
    if (c.value_limit != 0) stream.SetValueLimit(c.value_limit);
    PObject target;
    EXPECT_EQ(c.expected, stream.Recv(pair.ch, target)) << Hex(c.bytes.substr(0, 16));
    EXPECT_EQ(2u, Names(recv).size()) << "a file was created";  // "." and ".."
    ustring path;
    unsigned long long sent = 1, total = 1;
    stream.GetStatus(path, sent, total);
    EXPECT_STREQ("", path.c_str_utf8());
  }
  EXPECT_EQ(root_before, Names("/"));
}

// The limit counts values, so it allows exactly as many as set.
TEST_F(PStreamHostileTest, ValueLimitIsExact) {
  const std::string ten = B({0x41}) + Repeat(B({0x00, 0x00}), 9) + B({0x40});  // the array and 9 nulls
  for (size_t limit : {size_t{10}, size_t{9}}) {
    ChannelPair pair;
    ASSERT_TRUE(pair.PeerSend(ten));
    PStream stream;
    stream.SetValueLimit(limit);
    PObject target;
    EXPECT_EQ(limit == 10 ? PStream::Code::kOk : PStream::Code::kStream, stream.Recv(pair.ch, target)) << limit;
  }
}

// What was received before a refusal stays in the target.
TEST_F(PStreamHostileTest, PartialValueStays) {
  ChannelPair pair;
  ASSERT_TRUE(pair.PeerSend(B({0x42, 0x10, 0x00, 0x01, 'a', 0x01, 0x01, 0x07, 0x10, 0x00, 0x01, 'b', 0x01, 0x09})));
  PStream stream;
  PObject target;
  EXPECT_EQ(PStream::Code::kStream, stream.Recv(pair.ch, target));
  EXPECT_EQ(7u, target["a"].asUInt64());
}

// The failing value's key path is logged.
TEST_F(PStreamHostileTest, ErrorStackNamesTheKeyPath) {
  ptest::LogCapture log(Path(), "stream=4\n");
  ChannelPair pair;
  ASSERT_TRUE(pair.PeerSend(B({0x42, 0x10, 0x00, 0x01, 'f', 0x42, 0x10, 0x00, 0x01, 'd', 0x00, 0x05})));
  PStream stream;
  PObject target;
  EXPECT_EQ(PStream::Code::kStream, stream.Recv(pair.ch, target));
  EXPECT_TRUE(log.Has("): Error stack: f.f.d\n")) << log.Text();
  EXPECT_TRUE(log.Has("): expect length 0, but we've got 5\n")) << log.Text();
}

}  // namespace
