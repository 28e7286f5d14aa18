// buffer_t: a byte ring of fixed capacity, the storage of fd_bio_t.
#ifndef DELTA_BUFFER_H_
#define DELTA_BUFFER_H_

#include <cstdint>

#include "delta/fd_io.h"

// The bytes held run from `head` for `size` bytes, wrapping at `capacity`.
struct buffer_t {
  // Allocates `n` bytes (8192 when `n` is 0); empty. On allocation failure
  // it writes the "malloc" line and throws std::bad_alloc.
  explicit buffer_t(unsigned n);
  ~buffer_t();
  buffer_t(const buffer_t&) = delete;
  buffer_t& operator=(const buffer_t&) = delete;

  unsigned char* data = nullptr;  // owned (malloc)
  uint32_t capacity = 0;
  uint32_t size = 0;  // bytes held
  uint32_t head = 0;  // index of the first byte held
};

// Appends min(n, free space) bytes after the last byte held; returns the count.
unsigned buffer_copy_in(buffer_t& b, void const* src, unsigned n);

// Removes min(n, size) bytes from the front into `dst`; returns the count.
// `head` returns to 0 whenever the ring becomes empty.
unsigned buffer_copy_out(buffer_t& b, void* dst, unsigned n);

// Fills free space with one fd_read: 0 at once when full; otherwise the held
// bytes are first moved to the front unless they wrap, so that the free
// space is contiguous. Returns the count read (0 at end of file) or -1.
int buffer_read_fd(buffer_t& b, fd_t& fd);

// Writes the held bytes (one fd_write, two when they wrap) and empties the
// ring. 0, or -1 when a write failed (the ring is emptied all the same).
int buffer_write_fd(buffer_t& b, fd_t& fd);

// Capacity already >= n: 0. Holding bytes: -1. Else replaces the storage by
// `n` new bytes (0, or -1 when the allocation fails; the old storage stays).
int buffer_resize(buffer_t& b, unsigned n);

bool buffer_is_full(buffer_t const& b);
unsigned buffer_left(buffer_t const& b);
unsigned buffer_size(buffer_t const& b);
void buffer_clear(buffer_t& b);

#endif  // DELTA_BUFFER_H_
