// The progress of a transfer, read from another thread while a 64 MiB body
// goes out and while it comes in.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "protocol_test_util.h"
#include "support/temp_dir.h"

namespace {

constexpr unsigned long long kSize = 64ull << 20;

struct Sample {
  std::string path;
  unsigned long long sent, total;
};

Sample Poll(const PStream& stream) {
  ustring path;
  Sample s{"", 0, 0};
  stream.GetStatus(path, s.sent, s.total);
  s.path = path.c_str_utf8();
  return s;
}

// Checks a series of samples taken during one transfer of {"file": {"data":
// <kSize bytes>}}: the body's count only rises, and outside the body the
// count is either not started or complete (the stream clears it only when
// the whole message is through).
void CheckSamples(const std::vector<Sample>& samples) {
  unsigned long long last = 0;
  size_t during = 0;
  for (const Sample& s : samples) {
    if (s.path != "file.file.data") {
      EXPECT_TRUE(s.path.empty() || s.path == "file" || s.path == "file.file") << s.path;
      EXPECT_EQ(s.sent, s.total);
      EXPECT_TRUE(s.total == 0 || s.total == kSize) << s.total;
      continue;
    }
    if (s.total == 0 && last == 0) {
      EXPECT_EQ(0u, s.sent);  // the key is in, the byte count not yet
      continue;
    }
    EXPECT_EQ(kSize, s.total);
    EXPECT_GE(s.sent, last);
    EXPECT_LE(s.sent, kSize);
    last = s.sent;
    if (s.sent > 0 && s.sent < kSize) ++during;
  }
  EXPECT_GT(during, 0u) << "no sample saw the body half way";
}

class PStreamProgressTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    // A sparse file: 64 MiB of zeros without writing them.
    int fd = open(Path("big").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kSize)));
    close(fd);
  }
};

TEST_F(PStreamProgressTest, StatusDuringUpload) {
  ptest::ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  PStream stream;
  const Sample before = Poll(stream);
  EXPECT_EQ("", before.path);

  PObject request;
  PObject::binary_type& b = request["file"]["data"].asBinary();
  b.path = Path("big").c_str();
  b.length = kSize;

  std::atomic<bool> seen_half_way{false};
  std::atomic<PStream::Code> result{static_cast<PStream::Code>(-100)};
  std::thread sender([&] { result = stream.Send(pair.ch, request); });
  // The far end reads nothing until a sample has seen the body in transfer,
  // so the sender is certainly in the middle of it then.
  std::thread drain([&] {
    while (!seen_half_way) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<char> buf(1 << 20);
    while (recv(pair.peer, buf.data(), buf.size(), 0) > 0) {
    }
  });
  std::vector<Sample> samples;
  while (result == static_cast<PStream::Code>(-100)) {
    Sample s = Poll(stream);
    if (s.path == "file.file.data" && s.sent > 0 && s.sent < kSize) seen_half_way = true;
    samples.push_back(s);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  sender.join();
  seen_half_way = true;
  (void)pair.ch.Close();  // ends the drain
  drain.join();
  EXPECT_EQ(PStream::Code::kOk, result.load());
  CheckSamples(samples);
  const Sample after = Poll(stream);
  EXPECT_EQ("", after.path);
  EXPECT_EQ(0u, after.sent);
  EXPECT_EQ(0u, after.total);
}

TEST_F(PStreamProgressTest, StatusDuringDownload) {
  ptest::ChannelPair pair;
  ASSERT_TRUE(pair.ok());
  PStream stream;
  PObject reply;
  reply["file"]["data"].asBinary().path = Path("copy").c_str();

  std::atomic<PStream::Code> result{static_cast<PStream::Code>(-100)};
  std::atomic<bool> seen_half_way{false};
  std::thread receiver([&] { result = stream.Recv(pair.ch, reply); });
  std::thread feeder([&] {
    // The same message a sender would produce, with a pause half way.
    auto str = [](const std::string& s) { return ptest::B({0x10, 0x00, static_cast<int>(s.size())}) + s; };
    std::string head = ptest::B({0x42}) + str("file") + ptest::B({0x42}) + str("data") + ptest::B({0x30});
    for (int i = 7; i >= 0; --i) head += static_cast<char>(kSize >> (8 * i));
    EXPECT_TRUE(pair.PeerSend(head, false));
    std::string chunk(1 << 20, '\0');
    for (unsigned long long sent = 0; sent < kSize; sent += chunk.size()) {
      if (sent == kSize / 2) {
        while (!seen_half_way) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_TRUE(pair.PeerSend(chunk, false));
    }
    EXPECT_TRUE(pair.PeerSend(ptest::B({0x40, 0x40})));
  });
  std::vector<Sample> samples;
  while (result == static_cast<PStream::Code>(-100)) {
    Sample s = Poll(stream);
    if (s.path == "file.file.data" && s.sent > 0 && s.sent < kSize) seen_half_way = true;
    samples.push_back(s);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  receiver.join();
  seen_half_way = true;
  feeder.join();
  EXPECT_EQ(PStream::Code::kOk, result.load());
  CheckSamples(samples);
  EXPECT_EQ(kSize, reply["file"]["data"].asBinary().length);
  const Sample after = Poll(stream);
  EXPECT_EQ("", after.path);
  EXPECT_EQ(0u, after.total);
}

}  // namespace
