// Copying the bytes of one descriptor to another.
#ifndef PLATFORM_COPY_DATA_H_
#define PLATFORM_COPY_DATA_H_

#include <cstddef>

namespace platform {

enum class CopyStep { kRead, kWrite };

// Copies from `in_fd` (from its offset to its end) to `out_fd` through the
// caller's buffer `buf` of `size` bytes, retrying EINTR and writing the rest
// of a short write. Returns 0, or the errno value of the failing read or
// write with *failed set to that step (a write that makes no progress
// counts as EIO).
[[nodiscard]] int CopyData(int in_fd, int out_fd, char* buf, size_t size, CopyStep* failed);

}  // namespace platform

#endif  // PLATFORM_COPY_DATA_H_
