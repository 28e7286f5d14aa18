// The file I/O layer: the byte ring, buffered reads, and the system-call
// wrappers' refusals.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "delta/buffer.h"
#include "delta/fd_bio.h"
#include "delta/fd_io.h"
#include "support/temp_dir.h"

namespace {

std::string Out(buffer_t& b, unsigned n) {
  std::string s(n, '\0');
  s.resize(buffer_copy_out(b, s.data(), n));
  return s;
}

TEST(BufferTest, BytesLeaveInTheOrderTheyCameAcrossTheEnd) {
  buffer_t b(8);
  EXPECT_EQ(buffer_copy_in(b, "abcde", 5), 5u);
  EXPECT_EQ(Out(b, 3), "abc");
  EXPECT_EQ(buffer_copy_in(b, "fghijkl", 7), 6u);  // only the free space is taken
  EXPECT_TRUE(buffer_is_full(b));
  EXPECT_EQ(Out(b, 4), "defg");
  EXPECT_EQ(buffer_copy_in(b, "mn", 2), 2u);
  EXPECT_EQ(Out(b, 100), "hijkmn");
  EXPECT_EQ(b.head, 0u);  // an emptied ring starts over
  EXPECT_EQ(buffer_size(b), 0u);
}

TEST(BufferTest, ZeroCapacityMeansTheDefault) {
  buffer_t b(0);
  EXPECT_EQ(b.capacity, 8192u);
}

class FdTest : public testsupport::TempDirTest {};

TEST_F(FdTest, RefillKeepsHeldBytesAndReadsIntoContiguousSpace) {
  WriteFile("f", "0123456789");
  fd_t fd;
  ASSERT_EQ(fd_open_read(Path("f").c_str(), fd), 0);
  buffer_t b(8);
  EXPECT_EQ(buffer_read_fd(b, fd), 8);
  EXPECT_EQ(Out(b, 5), "01234");
  EXPECT_EQ(buffer_read_fd(b, fd), 2);  // the 3 held bytes move to the front first
  EXPECT_EQ(Out(b, 8), "56789");
  EXPECT_EQ(buffer_read_fd(b, fd), 0);
  fd_close(fd);
}

TEST_F(FdTest, BufferedReadsDeliverAllOrFail) {
  const std::string data = "the quick brown fox jumps over the lazy dog";
  WriteFile("f", data);
  fd_t fd;
  ASSERT_EQ(fd_open_read(Path("f").c_str(), fd), 0);
  fd_bio_t bio;
  ASSERT_EQ(fd_bio_load(bio, fd, 16), 0);
  std::string got(40, '\0');
  ASSERT_EQ(fd_bio_read(bio, got.data(), 3), 0);
  ASSERT_EQ(fd_bio_read(bio, got.data() + 3, 30), 0);  // more than the ring holds
  EXPECT_EQ(got.substr(0, 33), data.substr(0, 33));
  EXPECT_EQ(fd_bio_read(bio, got.data(), 11), -1);  // 10 bytes remain
  fd_bio_unload(bio);
  fd_close(fd);
}

TEST_F(FdTest, SeekBeyondTheLargestFilePositionIsRefused) {
  WriteFile("f", "x");
  fd_t fd;
  ASSERT_EQ(fd_open_read(Path("f").c_str(), fd), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fd_seek(fd, static_cast<uint64_t>(INT64_MAX) + 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("): SetFilePointer: Error Code 22\n"), std::string::npos);
  EXPECT_EQ(fd_seek(fd, static_cast<uint64_t>(1) << 40), 0);  // past the end is a valid position
  fd_close(fd);
  EXPECT_FALSE(fd_is_open(fd));
}

TEST_F(FdTest, OutputsAreCloseOnExecAndNeverFollowALink) {
  WriteFile("target", "keep");
  ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
  fd_t fd;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fd_open_write(Path("link").c_str(), fd), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("CreateFile: Error Code 40\n"), std::string::npos);
  EXPECT_EQ(ReadFile("target"), "keep");

  ASSERT_EQ(fd_open_write(Path("out").c_str(), fd), 0);
  EXPECT_NE(fcntl(fd.handle, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(fd_write(fd, "abc", 3), 3);
  EXPECT_EQ(fd_write_int(fd, 0x72730236u), 0);
  fd_close(fd);
  EXPECT_EQ(ReadFile("out"), std::string("abc\x72\x73\x02\x36", 7));
}

TEST_F(FdTest, FailedWriteIsReportedByTheWait) {
  fd_t fd;
  ASSERT_EQ(fd_open_write("/dev/full", fd), 0);
  fd_aio_t aio;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fd_aio_write(aio, fd, "abc", 3), 0);
  EXPECT_EQ(fd_aio_wait(aio), -1);
  EXPECT_EQ(fd_write(fd, "abc", 3), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("GetOverlappedResult: Error Code 28\n"), std::string::npos);
  EXPECT_NE(err.find("fd_aio_wait: Error Code 28\n"), std::string::npos);
  EXPECT_EQ(fd_aio_wait(aio), 0);  // nothing outstanding any more
  fd_close(fd);

  testing::internal::CaptureStderr();
  EXPECT_EQ(fd_aio_write(aio, fd, "abc", 3), -1);  // closed
  EXPECT_NE(testing::internal::GetCapturedStderr().find("WriteFile: Error Code 9\n"), std::string::npos);
}

}  // namespace
