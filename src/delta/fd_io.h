// File I/O layer of the delta engine: plain descriptors, ordered appends
// with a blocking wait, and the byte counts every handler checks.
//
// Every failing operation writes one "xio (<line>): ..." line to stderr
// (see report.h) and returns -1 with errno set; the line's "Error Code" is
// that errno. Nothing here is thread-safe: one thread uses a descriptor at a
// time (the reader's thread).
#ifndef DELTA_FD_IO_H_
#define DELTA_FD_IO_H_

#include <sys/uio.h>

#include <cstdint>

#include "foundation/ustring.h"

// A file descriptor; -1 marks a closed file. Copies share the descriptor and
// the destructor does nothing: a file is closed only by fd_close, by the one
// owner that opened it.
struct fd_t {
  int handle = -1;
};

// Opens an existing file for reading (O_RDONLY | O_CLOEXEC) with a
// sequential-access hint. 0, or -1 with the "CreateFile" line.
int fd_open_read(ustring const& path, fd_t& fd);

// Creates `path` or truncates it (O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC |
// O_NOFOLLOW, mode 0666 before the umask). A final symbolic link is refused,
// never followed. 0, or -1 with the "CreateFile" line.
int fd_open_write(ustring const& path, fd_t& fd);

// One read(2) of up to `n` bytes at the file position (at most 0x7ffff000,
// the most Linux transfers at once), retried on EINTR. Returns the count
// read (it may be short), 0 at end of file, -1 on failure.
int fd_read(fd_t& fd, void* buf, unsigned n);

// The same at `offset`, without moving the file position (pread(2)): one call
// where a seek and a read would take two.
int fd_read_at(fd_t& fd, void* buf, unsigned n, uint64_t offset);

// Writes all `n` bytes at the file position through a temporary fd_aio_t.
// Returns `n`, or -1 when a write failed.
int64_t fd_write(fd_t& fd, void const* buf, unsigned n);

// Writes the 4 bytes of `v`, most significant first. 0, or -1.
int fd_write_int(fd_t& fd, uint32_t v);

// Moves the file position to `offset`. An offset above INT64_MAX cannot be a
// file position: -1 with EINVAL. 0, or -1.
int fd_seek(fd_t& fd, uint64_t offset);

// Stores the file's size in bytes. 0, or -1.
int fd_stat(fd_t& fd, uint64_t& size);

// Flushes the file to the disk. -1 without a line when `fd` is closed.
int fd_sync(fd_t& fd);

// Closes an open descriptor and marks `fd` closed; a closed one is left as it is.
void fd_close(fd_t& fd);

bool fd_is_open(fd_t const& fd);

// One ordered append and its result. fd_aio_write carries out the whole
// write at once, synchronously (every output is appended in order, so a
// completed write is the simplest mechanism that keeps that order), and
// stores the byte count or the error; fd_aio_wait hands it over. At most one
// write is outstanding per object.
struct fd_aio_t {
  fd_aio_t() = default;
  fd_aio_t(const fd_aio_t&) = delete;
  fd_aio_t& operator=(const fd_aio_t&) = delete;

  int file = -1;         // descriptor of the last write, not owned
  bool pending = false;  // a result waits for fd_aio_wait
  int64_t result = 0;    // bytes written, or -1
  int error = 0;         // errno of a failed write
};

// Appends `n` bytes of `buf` at the current end of `fd`'s output. 0 when
// the write was carried out, whatever its outcome (fd_aio_wait reports it);
// -1 with the "WriteFile" line when `fd` is closed.
int fd_aio_write(fd_aio_t& aio, fd_t& fd, void const* buf, unsigned n);

// The same for `count` pieces gathered in order (count may exceed IOV_MAX).
int fd_aio_writev(fd_aio_t& aio, fd_t& fd, struct iovec* iov, unsigned count);

// The result of the outstanding write: the count written (all of it), or -1
// with the "GetOverlappedResult" line and errno set. With no write
// outstanding: 0.
int64_t fd_aio_wait(fd_aio_t& aio);

#endif  // DELTA_FD_IO_H_
