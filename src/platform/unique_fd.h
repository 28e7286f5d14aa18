// Owning wrapper for a file descriptor.
#ifndef PLATFORM_UNIQUE_FD_H_
#define PLATFORM_UNIQUE_FD_H_

#include <unistd.h>

namespace platform {

// Owns one descriptor (or none, -1) and closes it on destruction. Movable,
// not copyable. The close result is dropped: every caller that needs to know
// a write reached the disk calls fsync first, and close() after a failed
// close must not be retried on Linux.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace platform

#endif  // PLATFORM_UNIQUE_FD_H_
