// Progress lines of the section file transfer; shared by its source files
// only.
#ifndef PROTOCOL_PROTO_SECTION_PROGRESS_H_
#define PROTOCOL_PROTO_SECTION_PROGRESS_H_

#include <chrono>

#include "foundation/logger.h"
#include "protocol/proto_section_internal.h"

namespace proto_section_internal {

// Logs "FileTransfer" at INFO at most once a second and once at the end.
// Time is measured on the monotonic clock.
class TransferProgress {
 public:
  // `with_speed`: the sender's form, which adds the rate of this transfer.
  TransferProgress(unsigned long long total, bool with_speed)
      : total_(total), with_speed_(with_speed), start_(Clock::now()), last_(start_) {}
  TransferProgress(const TransferProgress&) = delete;
  TransferProgress& operator=(const TransferProgress&) = delete;

  // `done`: position in the file; `moved`: bytes of this transfer so far.
  void Update(unsigned long long done, unsigned long long moved, bool final) {
    Clock::time_point now = Clock::now();
    if (!final && now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    if (!with_speed_) {
      Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] proto-common(%d): FileTransfer: %llu/%llu KB\n", __LINE__,
                     done / 1024, total_ / 1024);
      return;
    }
    double seconds = std::chrono::duration<double>(now - start_).count();
    double speed = seconds > 0 ? static_cast<double>(moved) / 1024.0 / seconds : 0.0;
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] proto-common(%d): FileTransfer: %llu/%llu KB, speed: %lf Kb/s\n",
                   __LINE__, done / 1024, total_ / 1024, speed);
  }

 private:
  using Clock = std::chrono::steady_clock;
  unsigned long long total_;
  bool with_speed_;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace proto_section_internal

#endif  // PROTOCOL_PROTO_SECTION_PROGRESS_H_
