// The abort flag raised by another thread while a reader runs: the reader
// gives up at the next chunk (or the next piece of a delta command). FIFOs
// pace the reader so that the flag is raised while it is known to be
// between two chunks.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "delta_fixture.h"

namespace {

using deltatest::RandomBytes;

constexpr size_t kChunk = FileReader::CHUNK_SIZE;

class AbortTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    // A writer that outlives its reader gets EPIPE, not a fatal signal (the
    // daemon ignores SIGPIPE the same way).
    signal(SIGPIPE, SIG_IGN);
  }

  // Waits (up to 20 s) until `rel` holds at least `size` bytes.
  bool WaitForSize(const std::string& rel, size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      struct stat st;
      if (stat(Path(rel).c_str(), &st) == 0 && static_cast<size_t>(st.st_size) >= size) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

TEST_F(AbortTest, SimpleReaderStopsAtTheNextChunk) {
  ASSERT_EQ(mkfifo(Path("in").c_str(), 0600), 0);
  const std::string data = RandomBytes(3 * kChunk, 1);
  std::atomic<int> abort_flag{0};
  bool paced = false;
  std::thread writer([&] {
    const int fd = open(Path("in").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    // The first chunk, then the flag once it has gone through the handlers;
    // the reader is then waiting for (or checking before) the second chunk.
    if (WriteAll(fd, data.substr(0, kChunk)) && WaitForSize("copy", kChunk)) {
      paced = true;
      abort_flag.store(1);
      // Whatever the reader still takes; EPIPE once it has given up.
      (void)WriteAll(fd, data.substr(kChunk));
    }
    close(fd);
  });
  SimpleFileReader reader;
  reader.setFile(Path("in").c_str());
  reader.setCopyFile(Path("copy").c_str());
  reader.setSignature(Path("sig").c_str(), 2048, 8);
  reader.setAbortFlag(&abort_flag);
  const int result = reader.readFile();
  writer.join();
  ASSERT_TRUE(paced);
  EXPECT_EQ(result, FileReader::ERROR_ABORT);
  EXPECT_LE(ReadFile("copy").size(), 2 * kChunk);
}

TEST_F(AbortTest, PatcherStopsAtTheNextPieceOfALongCopy) {
  const std::string basis = RandomBytes(8 * kChunk, 2);
  WriteFile("basis", basis);
  // One copy of the whole basis: eight pieces of 1 MiB.
  WriteFile("delta", deltatest::FromHex("72730236 4F 00000000 00800000 00"));
  ASSERT_EQ(mkfifo(Path("out").c_str(), 0600), 0);
  std::atomic<int> abort_flag{0};
  size_t drained = 0;
  std::thread drainer([&] {
    const int fd = open(Path("out").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string buf(65536, '\0');
    for (;;) {
      const ssize_t n = read(fd, buf.data(), buf.size());
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
      if (drained >= kChunk) abort_flag.store(1);
    }
    close(fd);
  });
  DeltaFileReader reader;
  reader.setFile(Path("delta").c_str(), Path("basis").c_str());
  reader.setNewFile(Path("out").c_str());
  reader.setAbortFlag(&abort_flag);
  const int result = reader.readFile();
  drainer.join();
  EXPECT_EQ(result, FileReader::ERROR_ABORT);
  EXPECT_GE(drained, kChunk);
  EXPECT_LE(drained, 2 * kChunk);
}

}  // namespace
