#include "delta/fd_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "delta/report.h"

namespace {

// Linux moves at most this many bytes in one read(2) or write(2).
constexpr unsigned kMaxTransfer = 0x7ffff000u;

// Writes every byte of the pieces in order, restarting after EINTR and short
// counts. Advances `iov` past what was written. Returns the total written,
// or -1 with errno set.
int64_t WriteAll(int fd, struct iovec* iov, unsigned count) {
  int64_t total = 0;
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    const int batch = count > IOV_MAX ? IOV_MAX : static_cast<int>(count);
    const ssize_t n = batch == 1 ? write(fd, iov->iov_base, iov->iov_len > kMaxTransfer ? kMaxTransfer : iov->iov_len)
                                 : writev(fd, iov, batch);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      // A regular file never takes zero bytes of a non-empty write; failing
      // here keeps a broken device from spinning this loop for ever.
      errno = EIO;
      return -1;
    }
    total += n;
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      if (left >= iov->iov_len) {
        left -= iov->iov_len;
        iov->iov_len = 0;
        ++iov;
        --count;
      } else {
        iov->iov_base = static_cast<char*>(iov->iov_base) + left;
        iov->iov_len -= left;
        left = 0;
      }
    }
  }
  return total;
}

}  // namespace

int fd_open_read(ustring const& path, fd_t& fd) {
  const int h = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC);
  if (h < 0) {
    delta_report("xio (%d): CreateFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  // Only a hint for the read-ahead; the file reads the same without it.
  (void)posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd.handle = h;
  return 0;
}

int fd_open_write(ustring const& path, fd_t& fd) {
  const int h = open(path.c_str_utf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (h < 0) {
    delta_report("xio (%d): CreateFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  fd.handle = h;
  return 0;
}

int fd_read(fd_t& fd, void* buf, unsigned n) {
  if (n > kMaxTransfer) n = kMaxTransfer;
  for (;;) {
    const ssize_t got = read(fd.handle, buf, n);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    delta_report("xio (%d): ReadFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
}

int fd_read_at(fd_t& fd, void* buf, unsigned n, uint64_t offset) {
  if (n > kMaxTransfer) n = kMaxTransfer;
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    delta_report("xio (%d): ReadFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  for (;;) {
    const ssize_t got = pread(fd.handle, buf, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    delta_report("xio (%d): ReadFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
}

int64_t fd_write(fd_t& fd, void const* buf, unsigned n) {
  fd_aio_t aio;
  if (fd_aio_write(aio, fd, buf, n) != 0) {
    delta_report("xio (%d): fd_aio_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  const int64_t written = fd_aio_wait(aio);
  if (written < 0) {
    delta_report("xio (%d): fd_aio_wait: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return written;
}

int fd_write_int(fd_t& fd, uint32_t v) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                  static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  return fd_write(fd, bytes, 4) == 4 ? 0 : -1;
}

int fd_seek(fd_t& fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    delta_report("xio (%d): SetFilePointer: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  if (lseek(fd.handle, static_cast<off_t>(offset), SEEK_SET) < 0) {
    delta_report("xio (%d): SetFilePointer: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int fd_stat(fd_t& fd, uint64_t& size) {
  struct stat st;
  if (fstat(fd.handle, &st) != 0) {
    delta_report("xio (%d): GetFileInformationByHandle: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int fd_sync(fd_t& fd) {
  if (!fd_is_open(fd)) return -1;
  if (fsync(fd.handle) != 0) {
    delta_report("xio (%d): FlushFileBuffers: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

void fd_close(fd_t& fd) {
  if (!fd_is_open(fd)) return;
  // Linux releases the descriptor even when close reports an error, and
  // retrying could close a descriptor another thread has just received.
  (void)close(fd.handle);
  fd.handle = -1;
}

bool fd_is_open(fd_t const& fd) { return fd.handle >= 0; }

int fd_aio_write(fd_aio_t& aio, fd_t& fd, void const* buf, unsigned n) {
  struct iovec iov = {const_cast<void*>(buf), n};
  return fd_aio_writev(aio, fd, &iov, 1);
}

int fd_aio_writev(fd_aio_t& aio, fd_t& fd, struct iovec* iov, unsigned count) {
  if (!fd_is_open(fd)) {
    errno = EBADF;
    delta_report("xio (%d): WriteFile: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  aio.file = fd.handle;
  aio.pending = true;
  aio.result = WriteAll(fd.handle, iov, count);
  aio.error = aio.result < 0 ? errno : 0;
  return 0;
}

int64_t fd_aio_wait(fd_aio_t& aio) {
  if (!aio.pending) return 0;
  aio.pending = false;
  if (aio.result < 0) {
    errno = aio.error;
    delta_report("xio (%d): GetOverlappedResult: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return aio.result;
}
