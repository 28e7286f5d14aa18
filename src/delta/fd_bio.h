// fd_bio_t: buffered reads and writes over a descriptor owned elsewhere.
#ifndef DELTA_FD_BIO_H_
#define DELTA_FD_BIO_H_

#include <memory>

#include "delta/buffer.h"
#include "delta/fd_io.h"

struct fd_bio_t {
  fd_bio_t() = default;
  fd_bio_t(const fd_bio_t&) = delete;
  fd_bio_t& operator=(const fd_bio_t&) = delete;

  fd_t fd;                            // a copy of the owner's descriptor; never closed here
  std::unique_ptr<buffer_t> w_buffer;  // null until loaded
  std::unique_ptr<buffer_t> r_buffer;
};

// Takes `fd`'s descriptor and allocates a read ring and a write ring of `n`
// bytes each. 0, or -1 (with the "malloc" line) when memory runs out: the
// caller runs on a worker thread, where an exception would end the process.
int fd_bio_load(fd_bio_t& bio, fd_t& fd, unsigned n);

// Frees both rings without writing the write ring; the descriptor stays open.
void fd_bio_unload(fd_bio_t& bio);

// Delivers exactly `n` bytes: what the read ring holds (after one refill when
// it holds fewer than `n` and the rest is smaller than the ring), then direct
// reads for the rest. 0, or -1 when the file ends first or a read fails.
int fd_bio_read(fd_bio_t& bio, void* dst, unsigned n);

// Points `*p` at the held bytes that lie contiguously from the first one, at
// most `max` of them, refilling the ring first when that run is short.
// Returns their count (0 at end of file, -1 when a read fails); they stay in
// the ring, unchanged, until fd_bio_skip or another call on `bio`.
int fd_bio_peek(fd_bio_t& bio, const unsigned char** p, unsigned max);

// Consumes `n` bytes that fd_bio_peek has shown.
void fd_bio_skip(fd_bio_t& bio, unsigned n);

// Buffers `n` bytes when they fit in the write ring's free space; otherwise
// flushes the ring and writes `src` directly. 0, or -1 when a write failed.
int fd_bio_write(fd_bio_t& bio, void const* src, unsigned n);

// Writes what the write ring holds. 0, or -1.
int fd_bio_flush(fd_bio_t& bio);

#endif  // DELTA_FD_BIO_H_
