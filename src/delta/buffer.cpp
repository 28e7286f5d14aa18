#include "delta/buffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "delta/report.h"

buffer_t::buffer_t(unsigned n) {
  if (n == 0) n = 8192;
  data = static_cast<unsigned char*>(malloc(n));
  if (data == nullptr) {
    delta_report("xio (%d): malloc: Error Code %d\n", __LINE__, errno);
    throw std::bad_alloc();
  }
  capacity = n;
}

buffer_t::~buffer_t() { free(data); }

unsigned buffer_copy_in(buffer_t& b, void const* src, unsigned n) {
  const unsigned left = b.capacity - b.size;
  if (n > left) n = left;
  const unsigned char* in = static_cast<const unsigned char*>(src);
  // The tail is where the next byte goes; it wraps once at most.
  const uint32_t tail = static_cast<uint32_t>((static_cast<uint64_t>(b.head) + b.size) % b.capacity);
  const unsigned first = n < b.capacity - tail ? n : b.capacity - tail;
  memcpy(b.data + tail, in, first);
  memcpy(b.data, in + first, n - first);
  b.size += n;
  return n;
}

unsigned buffer_copy_out(buffer_t& b, void* dst, unsigned n) {
  if (n > b.size) n = b.size;
  unsigned char* out = static_cast<unsigned char*>(dst);
  const unsigned first = n < b.capacity - b.head ? n : b.capacity - b.head;
  memcpy(out, b.data + b.head, first);
  memcpy(out + first, b.data, n - first);
  b.size -= n;
  if (b.size == 0) {
    b.head = 0;
  } else {
    b.head = static_cast<uint32_t>((static_cast<uint64_t>(b.head) + n) % b.capacity);
  }
  return n;
}

int buffer_read_fd(buffer_t& b, fd_t& fd) {
  if (b.size == b.capacity) return 0;
  const bool wraps = static_cast<uint64_t>(b.head) + b.size > b.capacity;
  if (!wraps && b.head != 0) {
    memmove(b.data, b.data + b.head, b.size);
    b.head = 0;
  }
  // Free space runs from the tail up to the end of storage (no wrap) or up
  // to head (wrapped): contiguous either way.
  const uint32_t tail = static_cast<uint32_t>((static_cast<uint64_t>(b.head) + b.size) % b.capacity);
  const unsigned room = wraps ? b.head - tail : b.capacity - tail;
  const int got = fd_read(fd, b.data + tail, room);
  if (got < 0) return -1;
  b.size += static_cast<uint32_t>(got);
  return got;
}

int buffer_write_fd(buffer_t& b, fd_t& fd) {
  int result = 0;
  const unsigned first = b.size < b.capacity - b.head ? b.size : b.capacity - b.head;
  if (first > 0 && fd_write(fd, b.data + b.head, first) != static_cast<int64_t>(first)) result = -1;
  const unsigned second = b.size - first;
  if (result == 0 && second > 0 && fd_write(fd, b.data, second) != static_cast<int64_t>(second)) result = -1;
  b.size = 0;
  b.head = 0;
  return result;
}

int buffer_resize(buffer_t& b, unsigned n) {
  if (b.capacity >= n) return 0;
  if (b.size != 0) return -1;
  unsigned char* fresh = static_cast<unsigned char*>(malloc(n));
  if (fresh == nullptr) {
    delta_report("xio (%d): malloc: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  free(b.data);
  b.data = fresh;
  b.capacity = n;
  b.head = 0;
  return 0;
}

bool buffer_is_full(buffer_t const& b) { return b.size == b.capacity; }
unsigned buffer_left(buffer_t const& b) { return b.capacity - b.size; }
unsigned buffer_size(buffer_t const& b) { return b.size; }
void buffer_clear(buffer_t& b) {
  b.size = 0;
  b.head = 0;
}
