// Binary values on real files: sending a file slice, the three ways a
// received body goes into a prepared file, fresh files in the receive folder,
// resuming a broken body, a full disk and a short source.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/tmp_name_gen.h"
#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"
#include "support/tmp_name_key.h"

using ptest::B;
using ptest::ChannelPair;
using ptest::FileBytes;
using ptest::Hex;
using ptest::Pattern;
using ptest::PutFile;

namespace {

std::string U64(uint64_t v) {
  std::string s;
  for (int i = 7; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// The wire form of a binary of these bytes.
std::string BinaryBytes(const std::string& body) { return B({0x30}) + U64(body.size()) + body; }

std::string Str(const std::string& s) {
  return B({0x10, static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}) + s;
}

// {"file": {"data": <body>}} on the wire.
std::string FileMessage(const std::string& body) {
  return B({0x42}) + Str("file") + B({0x42}) + Str("data") + BinaryBytes(body) + B({0x40, 0x40});
}

PObject BinaryTarget(const std::string& path, uint64_t offset, uint64_t length) {
  PObject p;
  PObject::binary_type& b = p.asBinary();
  b.path = path.c_str();
  b.offset = offset;
  b.length = length;
  return p;
}

// Every binary path in the tree.
void BinaryPaths(const PObject& p, std::set<std::string>& out) {
  if (p.isBinary() && !p.asBinary().path.empty()) out.insert(p.asBinary().path.c_str_utf8());
  if (p.isMap()) {
    for (const auto& member : p.asMap()) BinaryPaths(member.second, out);
  }
  if (p.isArray()) {
    for (const PObject& e : p.asArray()) BinaryPaths(e, out);
  }
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

class PStreamFileTest : public testsupport::TempDirTest {
 protected:
  // Receives `bytes` into `target` with `stream`.
  PStream::Code Receive(const std::string& bytes, PObject& target, PStream& stream) {
    ChannelPair pair;
    EXPECT_TRUE(pair.ok());
    EXPECT_TRUE(pair.PeerSend(bytes));
    return stream.Recv(pair.ch, target);
  }
  PStream::Code Receive(const std::string& bytes, PObject& target) {
    PStream stream;
    return Receive(bytes, target, stream);
  }
  // What the peer receives for one Send of `obj`.
  std::string SendBytes(const PObject& obj, PStream::Code* rc, size_t capacity = 81920) {
    ChannelPair pair(capacity);
    EXPECT_TRUE(pair.ok());
    PStream stream;
    *rc = stream.Send(pair.ch, obj);
    return pair.CloseAndCollect();
  }
};

TEST_F(PStreamFileTest, SendsTheSliceOfTheFile) {
  const std::string content = Pattern(300000);
  PutFile(Path("src"), content);
  struct {
    uint64_t offset, length;
    size_t capacity;
  } cases[] = {
      {0, 300000, 81920},  // several pieces
      {1000, 5, 81920},
      {299999, 1, 81920},
      {0, 0, 81920},
      {7, 200000, 4096},  // a channel with a small ring gets small pieces
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length << " capacity " << c.capacity);
    PStream::Code rc = static_cast<PStream::Code>(-100);
    std::string got = SendBytes(BinaryTarget(Path("src"), c.offset, c.length), &rc, c.capacity);
    EXPECT_EQ(PStream::Code::kOk, rc);
    EXPECT_TRUE(got == BinaryBytes(content.substr(c.offset, c.length))) << Hex(got.substr(0, 16));
  }
}

// A file that ends before the slice does: -5 with its log line, after the
// bytes that were there.
TEST_F(PStreamFileTest, ShortSourceIsAStreamError) {
  ptest::LogCapture log(Path(), "stream=4\n");
  PutFile(Path("short"), Pattern(50));
  PStream::Code rc = PStream::Code::kOk;
  std::string got = SendBytes(BinaryTarget(Path("short"), 0, 100), &rc);
  EXPECT_EQ(PStream::Code::kStream, rc);
  EXPECT_TRUE(log.Has("[ERROR] stream(")) << log.Text();
  EXPECT_TRUE(log.Has("): file length is incorrect.\n")) << log.Text();
  EXPECT_EQ(Hex(B({0x30}) + U64(100)), Hex(got.substr(0, 9)));

  rc = PStream::Code::kOk;
  SendBytes(BinaryTarget(Path("short"), 40, 11), &rc);
  EXPECT_EQ(PStream::Code::kStream, rc);
}

// A missing file is a local failure even for a length of 0, and nothing of
// the value goes out.
TEST_F(PStreamFileTest, MissingSourceIsALocalFailure) {
  for (uint64_t length : {0, 10}) {
    PStream::Code rc = PStream::Code::kOk;
    std::string got = SendBytes(BinaryTarget(Path("missing"), 0, length), &rc);
    EXPECT_EQ(PStream::Code::kSys, rc);
    EXPECT_EQ("", Hex(got));
  }
}

// How a body goes into a prepared target, by its offset and length.
TEST_F(PStreamFileTest, ThreeWaysIntoAPreparedFile) {
  const std::string body = Pattern(100, 7);
  struct {
    const char* name;
    size_t initial;
    uint64_t offset, length;
    size_t kept;  // bytes of the old file before the body
  } cases[] = {
      {"offset == length appends", 40, 40, 40, 40},
      {"offset < length cuts back first", 90, 40, 90, 40},
      {"offset 0 rewrites", 90, 0, 90, 0},
      {"offset 0 creates", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path("target");
    const std::string old = std::string(c.initial, 'o');
    if (c.initial > 0) {
      PutFile(path, old);
    } else {
      unlink(path.c_str());
    }
    PObject target = BinaryTarget(path, c.offset, c.length);
    ASSERT_EQ(PStream::Code::kOk, Receive(BinaryBytes(body), target));
    EXPECT_TRUE(FileBytes(path) == old.substr(0, c.kept) + body) << FileBytes(path).size();
    EXPECT_EQ(c.kept + 100, target.asBinary().offset);
    EXPECT_EQ(c.kept + 100, target.asBinary().length);
    EXPECT_STREQ(path.c_str(), target.asBinary().path.c_str_utf8());
  }
}

// A body without a path goes into a new file in the receive folder; an empty
// body still creates it.
TEST_F(PStreamFileTest, FreshFileInTheReceiveFolder) {
  mkdir(Path("recv").c_str(), 0700);
  for (size_t size : {size_t{0}, size_t{1}, size_t{200000}}) {
    SCOPED_TRACE(size);
    PStream stream;
    stream.SetDefaultRecvLocation(Path("recv").c_str());
    PObject target;
    const std::string body = Pattern(size);
    ASSERT_EQ(PStream::Code::kOk, Receive(FileMessage(body), target, stream));
    const PObject::binary_type& b = target["file"]["data"].asBinary();
    EXPECT_EQ(size, b.offset);
    EXPECT_EQ(size, b.length);
    std::string path = b.path.c_str_utf8();
    EXPECT_EQ(Path("recv") + "/", path.substr(0, Path("recv").size() + 1));
    EXPECT_TRUE(FileBytes(path) == body);
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(path.c_str());
  }
  EXPECT_TRUE(Names(Path("recv")).empty());
}

// The fresh name never opens what is already there: a link planted under the
// next name is left alone and another name is drawn.
TEST_F(PStreamFileTest, FreshFileNeverFollowsOrReplaces) {
  mkdir(Path("recv").c_str(), 0700);
  PutFile(Path("victim"), "keep");
  unsigned char key[256];
  for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(i * 7 + 3);
  TmpNameGen predict;
  predict.setKeyForTest(key);
  const std::string planted = Path("recv") + "/" + predict.getTmpName().c_str_utf8();
  ASSERT_EQ(0, symlink(Path("victim").c_str(), planted.c_str()));
  testsupport::ScopedTmpNameKey known(key);

  PStream stream;
  stream.SetDefaultRecvLocation(Path("recv").c_str());
  PObject target;
  ASSERT_EQ(PStream::Code::kOk, Receive(BinaryBytes("body"), target, stream));
  EXPECT_NE(planted, target.asBinary().path.c_str_utf8());
  EXPECT_EQ("body", FileBytes(target.asBinary().path.c_str_utf8()));
  EXPECT_EQ("keep", FileBytes(Path("victim")));
  struct stat st;
  ASSERT_EQ(0, lstat(planted.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A peer that stops in the middle of a body gives -2; the target records
// what reached the file, and the next message continues it.
TEST_F(PStreamFileTest, BrokenBodyResumesIntoTheSameFile) {
  const std::string whole = Pattern(250000);
  const std::string path = Path("partial");
  PObject reply;
  reply["file"]["data"] = BinaryTarget(path, 0, 0).asBinary();
  {
    ChannelPair pair;
    ASSERT_TRUE(pair.ok());
    std::string first = FileMessage(whole);
    // Everything up to 100,000 bytes of the body, then the peer closes.
    first.resize(first.size() - 2 - (whole.size() - 100000));
    ASSERT_TRUE(pair.PeerSend(first));
    PStream stream;
    EXPECT_EQ(PStream::Code::kIo, stream.Recv(pair.ch, reply));
  }
  const PObject::binary_type& b = reply["file"]["data"].asBinary();
  EXPECT_EQ(100000u, b.offset);
  EXPECT_EQ(100000u, b.length);
  EXPECT_TRUE(FileBytes(path) == whole.substr(0, 100000));

  // The sender resumes from the offset the receiver reports.
  PStream stream;
  ASSERT_EQ(PStream::Code::kOk, Receive(FileMessage(whole.substr(b.offset)), reply, stream));
  EXPECT_EQ(250000u, reply["file"]["data"].asBinary().length);
  EXPECT_TRUE(FileBytes(path) == whole);
}

// A key that comes twice (or is cut at a NUL into a key seen before) merges
// its second value into the first member. When that replaces a fresh binary,
// the file the first body went to is removed with it: every file left in the
// receive folder is one the target names. Two binaries still merge into one
// file, and a member map keeps its fresh binaries.
TEST_F(PStreamFileTest, ReplacedFreshBinaryTakesItsFileAlong) {
  const std::string bin = BinaryBytes("abc");
  const std::string k = Str("k");
  struct {
    const char* name;
    std::string bytes;
    PStream::Code expected;
    size_t files;  // left in the receive folder
  } cases[] = {
      {"then null", B({0x42}) + k + bin + k + B({0x00, 0x00, 0x40}), PStream::Code::kOk, 0},
      {"then a string", B({0x42}) + k + bin + k + Str("x") + B({0x40}), PStream::Code::kOk, 0},
      {"then an empty map", B({0x42}) + k + bin + k + B({0x42, 0x40, 0x40}), PStream::Code::kOk, 0},
      {"map holding it, then an integer",
       B({0x42}) + k + B({0x42}) + Str("a") + bin + B({0x40}) + k + B({0x01, 0x01, 0x05, 0x40}), PStream::Code::kOk, 0},
      {"array of two, then an empty map", B({0x42}) + k + B({0x41}) + bin + bin + B({0x40}) + k + B({0x42, 0x40, 0x40}),
       PStream::Code::kOk, 0},
      {"key cut at a NUL, then a broken message", B({0x42}) + k + bin + Str(std::string("k\0z", 3)) + B({0x00, 0x00, 0x07}),
       PStream::Code::kStream, 0},
      {"then a binary: one file, appended", B({0x42}) + k + bin + k + BinaryBytes("de") + B({0x40}), PStream::Code::kOk, 1},
      {"map holding it, then a map: merged",
       B({0x42}) + k + B({0x42}) + Str("a") + bin + B({0x40}) + k + B({0x42}) + Str("b") + B({0x01, 0x01, 0x05, 0x40, 0x40}),
       PStream::Code::kOk, 1},
      // The fuzzer's find: {"file": {"da6": <11 bytes>, "da6\0": null, ...
      {"issue input",
       B({0x42, 0x10, 0x00, 0x04, 'f', 'i', 'l', 'e', 0x42, 0x10, 0x00, 0x04, 'd', 'a', '6', 0x00, 0x30, 0, 0, 0, 0, 0, 0,
          0, 0x0b, 0x04, 0x64, 0xc3, 0x41, 0x00, 0x04, 'f', 'i', 'l', 'e', 0x42, 0x10, 0x00, 0x04, 'd', 'a', '6', 0x00,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x0b, 0x04, 0x64, 0xc3, 0x74}),
       PStream::Code::kStream, 0},
  };
  const std::string recv = Path("recv");
  ASSERT_EQ(0, mkdir(recv.c_str(), 0700));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PStream stream;
    stream.SetDefaultRecvLocation(recv.c_str());
    PObject target;
    EXPECT_EQ(c.expected, Receive(c.bytes, target, stream));
    std::set<std::string> named;
    BinaryPaths(target, named);
    std::set<std::string> present;
    for (const std::string& n : Names(recv)) present.insert(recv + "/" + n);
    EXPECT_EQ(named, present);
    EXPECT_EQ(c.files, present.size());
    if (c.files == 1 && target["k"].isBinary()) {
      EXPECT_EQ("abcde", FileBytes(*present.begin()));
    }
    for (const std::string& f : present) unlink(f.c_str());
  }

  // A binary the caller prepared is the caller's file: replacing it leaves
  // the file alone.
  PutFile(Path("mine"), "keep");
  PObject target;
  target["k"] = BinaryTarget(Path("mine"), 0, 4).asBinary();
  PStream stream;
  stream.SetDefaultRecvLocation(recv.c_str());
  ASSERT_EQ(PStream::Code::kOk, Receive(B({0x42}) + k + B({0x00, 0x00, 0x40}), target, stream));
  EXPECT_TRUE(target["k"].isNull());
  EXPECT_EQ("keep", FileBytes(Path("mine")));
}

// A full disk at a write gives -4, not a generic failure.
TEST_F(PStreamFileTest, FullDiskIsReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  for (size_t size : {size_t{1}, size_t{300000}}) {
    PObject target = BinaryTarget("/dev/full", 0, 0);
    EXPECT_EQ(PStream::Code::kDiskFull, Receive(BinaryBytes(Pattern(size)), target));
    EXPECT_EQ(0u, target.asBinary().length);
  }
}

// A target that cannot be opened is a local failure, and the path is kept.
TEST_F(PStreamFileTest, UnopenableTargetIsALocalFailure) {
  mkdir(Path("dir").c_str(), 0700);
  struct {
    std::string path;
    uint64_t offset, length;
  } cases[] = {
      {Path("dir"), 0, 0},            // a folder
      {Path("no/such/file"), 0, 0},   // a missing folder
      {Path("missing"), 10, 20},      // cut back: the file must exist
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    PObject target = BinaryTarget(c.path, c.offset, c.length);
    EXPECT_EQ(PStream::Code::kSys, Receive(BinaryBytes("x"), target));
    EXPECT_STREQ(c.path.c_str(), target.asBinary().path.c_str_utf8());
    EXPECT_EQ(c.offset, target.asBinary().length);
  }
  EXPECT_EQ("<missing>", FileBytes(Path("missing")));
}

}  // namespace
