#include "delta/fd_bio.h"

#include <new>

int fd_bio_load(fd_bio_t& bio, fd_t& fd, unsigned n) {
  fd_bio_unload(bio);
  try {
    bio.r_buffer = std::make_unique<buffer_t>(n);
    bio.w_buffer = std::make_unique<buffer_t>(n);
  } catch (const std::bad_alloc&) {
    fd_bio_unload(bio);
    return -1;
  }
  bio.fd = fd;
  return 0;
}

void fd_bio_unload(fd_bio_t& bio) {
  bio.r_buffer.reset();
  bio.w_buffer.reset();
}

int fd_bio_read(fd_bio_t& bio, void* dst, unsigned n) {
  if (!bio.r_buffer) return -1;
  buffer_t& ring = *bio.r_buffer;
  // Refill only when what is missing is less than a ring: a larger piece is
  // read straight into `dst`, which saves copying it through the ring.
  if (n > ring.size && n - ring.size < ring.capacity && buffer_read_fd(ring, bio.fd) < 0) return -1;
  unsigned char* out = static_cast<unsigned char*>(dst);
  unsigned got = buffer_copy_out(ring, out, n);
  while (got < n) {
    const int k = fd_read(bio.fd, out + got, n - got);
    if (k <= 0) return -1;
    got += static_cast<unsigned>(k);
  }
  return 0;
}

int fd_bio_peek(fd_bio_t& bio, const unsigned char** p, unsigned max) {
  if (!bio.r_buffer) return -1;
  buffer_t& ring = *bio.r_buffer;
  auto contiguous = [&ring] { return ring.size < ring.capacity - ring.head ? ring.size : ring.capacity - ring.head; };
  // A short run (the end of what the ring holds) is worth a refill first:
  // each run shown becomes one write of every output.
  constexpr unsigned kShortRun = 64 * 1024;
  if (contiguous() < max && contiguous() < kShortRun && buffer_read_fd(ring, bio.fd) < 0) return -1;
  const unsigned n = contiguous() < max ? contiguous() : max;
  *p = ring.data + ring.head;
  return static_cast<int>(n);
}

void fd_bio_skip(fd_bio_t& bio, unsigned n) {
  buffer_t& ring = *bio.r_buffer;
  ring.size -= n;
  ring.head = ring.size == 0 ? 0 : static_cast<uint32_t>((static_cast<uint64_t>(ring.head) + n) % ring.capacity);
}

int fd_bio_write(fd_bio_t& bio, void const* src, unsigned n) {
  if (!bio.w_buffer) return -1;
  buffer_t& ring = *bio.w_buffer;
  if (n <= buffer_left(ring)) {
    buffer_copy_in(ring, src, n);
    return 0;
  }
  if (buffer_write_fd(ring, bio.fd) != 0) return -1;
  return fd_write(bio.fd, src, n) == static_cast<int64_t>(n) ? 0 : -1;
}

int fd_bio_flush(fd_bio_t& bio) {
  if (!bio.w_buffer) return -1;
  return buffer_write_fd(*bio.w_buffer, bio.fd);
}
