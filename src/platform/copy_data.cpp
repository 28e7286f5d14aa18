#include "platform/copy_data.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

int CopyData(int in_fd, int out_fd, char* buf, size_t size, CopyStep* failed) {
  for (;;) {
    ssize_t got = read(in_fd, buf, size);
    if (got < 0) {
      if (errno == EINTR) continue;
      *failed = CopyStep::kRead;
      return errno;
    }
    if (got == 0) return 0;
    size_t done = 0;
    while (done < static_cast<size_t>(got)) {
      ssize_t put = write(out_fd, buf + done, static_cast<size_t>(got) - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        *failed = CopyStep::kWrite;
        return put < 0 ? errno : EIO;
      }
      done += static_cast<size_t>(put);
    }
  }
}

}  // namespace platform
