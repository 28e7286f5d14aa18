// Block-wise file transfer with the sender on its own thread: files larger
// than the socket buffers, and a source that changes while the sender waits
// for the receiver.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "protocol/proto_section_file.h"
#include "protocol_test_util.h"
#include "section_test_util.h"
#include "support/command.h"
#include "support/temp_dir.h"

using ptest::Pattern;

namespace {

class ProtoSectionFileConcurrencyTest : public testsupport::TempDirTest {};

bool SameFiles(const std::string& a, const std::string& b) {
  testsupport::CommandResult r = testsupport::RunCommand({"cmp", a, b});
  EXPECT_EQ(0, r.exit_code) << r.out << r.err;
  return r.exit_code == 0;
}

TEST_F(ProtoSectionFileConcurrencyTest, FilesOfEverySizeArriveIntact) {
  const size_t sizes[] = {0, 1, 8192, 8193, 57344, 57345, (3u << 20) + 17};
  for (size_t size : sizes) {
    for (int form = 0; form < 2; ++form) {
      SCOPED_TRACE(testing::Message() << size << " bytes, form " << form);
      WriteFile("src", Pattern(size, size));
      unlink(Path("dst").c_str());
      stest::ChannelLink link;
      ASSERT_TRUE(link.ok());
      ErrorCode sent = ERR_MAX;  // no code: the sender has not finished
      std::thread sender([&] {
        sent = form == 0 ? ProtoWriteFile(link.a, 7, ustring(Path("src").c_str()))
                         : ProtoWriteFile2(link.a, 7, ustring(Path("src").c_str()), 0);
      });
      unsigned char type = 0;
      ErrorCode received = form == 0 ? ProtoReadFile(link.b, type, ustring(Path("dst").c_str()))
                                     : ProtoReadFile2(link.b, type, ustring(Path("dst").c_str()), 0);
      sender.join();
      EXPECT_EQ(ERR_OK, sent);
      EXPECT_EQ(ERR_OK, received);
      EXPECT_EQ(7, type);
      SameFiles(Path("src"), Path("dst"));
    }
  }
}

// A resumed transfer of a few MiB into a partial file that holds more than
// the offset.
TEST_F(ProtoSectionFileConcurrencyTest, LargeResumeArrivesIntact) {
  const std::string source = Pattern((4u << 20) + 3);
  WriteFile("src", source);
  WriteFile("dst", source.substr(0, 3u << 20));
  stest::ChannelLink link;
  ASSERT_TRUE(link.ok());
  ErrorCode sent = ERR_MAX;  // no code: the sender has not finished
  std::thread sender([&] { sent = ProtoWriteFile2(link.a, 2, ustring(Path("src").c_str()), 1u << 20); });
  unsigned char type = 0;
  EXPECT_EQ(ERR_OK, ProtoReadFile2(link.b, type, ustring(Path("dst").c_str()), 1u << 20));
  sender.join();
  EXPECT_EQ(ERR_OK, sent);
  SameFiles(Path("src"), Path("dst"));
}

// Sender and receiver over a socketpair with small buffers, so that the
// sender blocks long before the end of a large file.
class BlockedSender {
 public:
  BlockedSender() : tx(16384), rx(16384) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    int small = 32768;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    rx_fd = fds[1];
    if (tx.Open(fds[0], true) != ERR_OK) close(fds[0]);
    if (rx.Open(fds[1], true) != ERR_OK) close(fds[1]);
  }
  bool ok() const { return !tx.IsClosed() && !rx.IsClosed(); }

  // True once bytes wait at the receiver and their number has stopped
  // growing: the sender is blocked on a full socket.
  bool WaitUntilBlocked() {
    int last = -1;
    for (int i = 0; i < 500; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      int n = 0;
      if (ioctl(rx_fd, FIONREAD, &n) != 0) return false;
      if (n > 0 && n == last) return true;
      last = n;
    }
    return false;
  }

  Channel tx;
  Channel rx;
  int rx_fd = -1;  // owned by rx; only queried
};

// The size is announced first. A source that grows meanwhile is sent up to
// the announced size only (the receiver completes with exactly the original
// bytes); one that is cut makes the sender fail after the bytes it had,
// instead of reporting success for a file the receiver never completes.
TEST_F(ProtoSectionFileConcurrencyTest, SourceChangesWhileTheSenderIsBlocked) {
  const size_t kSize = 8u << 20;
  const std::string original = Pattern(kSize);
  for (bool grow : {true, false}) {
    SCOPED_TRACE(grow ? "grown" : "cut");
    WriteFile("src", original);
    BlockedSender s;
    ASSERT_TRUE(s.ok());
    ErrorCode sent = ERR_MAX;  // no code: the sender has not finished
    std::thread sender([&] {
      sent = ProtoWriteFile(s.tx, 3, ustring(Path("src").c_str()));
      (void)s.tx.Close();  // the receiver then meets the end of the stream
    });
    ASSERT_TRUE(s.WaitUntilBlocked());
    if (grow) {
      std::ofstream(Path("src"), std::ios::binary | std::ios::app) << Pattern(1u << 20, 7);
    } else {
      ASSERT_EQ(0, truncate(Path("src").c_str(), kSize / 2));
    }
    unsigned char type = 0;
    ErrorCode received = ProtoReadFile(s.rx, type, ustring(Path("dst").c_str()));
    // Nothing follows the file on the wire: the next read meets the end of
    // the stream once the sender is done.
    char extra;
    ErrorCode after = s.rx.Read(&extra, 1);
    (void)s.rx.Close();  // a sender still writing fails now instead of waiting
    sender.join();
    std::string got = ReadFile("dst");
    EXPECT_EQ(ERR_IO, after);
    if (grow) {
      EXPECT_EQ(ERR_OK, sent);
      EXPECT_EQ(ERR_OK, received);
      EXPECT_EQ(kSize, got.size());
      EXPECT_TRUE(original == got);
    } else {
      EXPECT_EQ(ERR_PROTO, sent);
      EXPECT_EQ(ERR_IO, received);
      EXPECT_EQ(kSize / 2, got.size());
      EXPECT_TRUE(original.substr(0, kSize / 2) == got);
    }
  }
}

}  // namespace
