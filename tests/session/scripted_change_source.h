// A ChangeSource whose batches a test scripts, pollable through an eventfd,
// to drive the Detector through cases the kernel will not produce on demand
// (a rename split across reads, a lost queue, a failed read, a lost root).
#ifndef TESTS_SESSION_SCRIPTED_CHANGE_SOURCE_H_
#define TESTS_SESSION_SCRIPTED_CHANGE_SOURCE_H_

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/change_source.h"

namespace testsupport {

// The test's end of one scripted source. Shared by the test and the source
// it hands to the Detector, so the test can go on scripting after the
// source is gone (and see that it is gone). Any thread.
class ChangeScript {
 public:
  ChangeScript() : efd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~ChangeScript() {
    if (efd_ >= 0) close(efd_);
  }
  ChangeScript(const ChangeScript&) = delete;
  ChangeScript& operator=(const ChangeScript&) = delete;

  // Queues a batch of records and makes the descriptor readable.
  void Push(const std::vector<std::pair<uint32_t, std::string>>& records) {
    platform::ChangeBatch batch;
    for (const auto& [action, name] : records) batch.records.push_back({action, name});
    Push(std::move(batch));
  }
  void Push(platform::ChangeBatch batch) {
    std::lock_guard<std::mutex> guard(mutex_);
    batches_.push_back(std::move(batch));
    Signal();
  }
  // From now on the source holds a move out whose settling yields a
  // removal of `name`.
  void HoldMoveOut(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    pending_ = name;
  }

  int fd() const { return efd_; }
  int reads() const { return reads_.load(); }
  int settles() const { return settles_.load(); }
  // Sources of this script alive now.
  int sources() const { return live_.load(); }
  bool source_alive() const { return live_.load() > 0; }

 private:
  friend class ScriptedChangeSource;

  void Signal() {
    uint64_t one = 1;
    ssize_t n = write(efd_, &one, sizeof one);
    (void)n;  // an eventfd counter cannot overflow at these counts
  }
  void Take(platform::ChangeBatch* batch) {
    std::lock_guard<std::mutex> guard(mutex_);
    uint64_t count;
    ssize_t n = read(efd_, &count, sizeof count);
    (void)n;  // EAGAIN when nothing was signalled: the batch is then empty
    batch->Clear();
    reads_++;
    if (batches_.empty()) return;
    *batch = std::move(batches_.front());
    batches_.pop_front();
    if (!batches_.empty()) Signal();
  }
  void Settle(platform::ChangeBatch* batch) {
    std::lock_guard<std::mutex> guard(mutex_);
    batch->Clear();
    if (pending_.empty()) return;
    batch->records.push_back({platform::kChangeRemoved, pending_});
    pending_.clear();
    settles_++;
  }
  bool Pending() {
    std::lock_guard<std::mutex> guard(mutex_);
    return !pending_.empty();
  }

  int efd_;
  std::mutex mutex_;  // guards batches_ and pending_
  std::deque<platform::ChangeBatch> batches_;
  std::string pending_;
  std::atomic<int> reads_{0};
  std::atomic<int> settles_{0};
  std::atomic<int> live_{0};
};

class ScriptedChangeSource : public platform::ChangeSource {
 public:
  explicit ScriptedChangeSource(std::shared_ptr<ChangeScript> script) : script_(std::move(script)) {
    script_->live_++;
  }
  ~ScriptedChangeSource() override { script_->live_--; }

  int fd() const override { return script_->fd(); }
  void Read(platform::ChangeBatch* batch) override { script_->Take(batch); }
  bool HasPendingMove() const override { return script_->Pending(); }
  void SettlePendingMove(platform::ChangeBatch* batch) override { script_->Settle(batch); }

 private:
  std::shared_ptr<ChangeScript> script_;
};

}  // namespace testsupport

#endif  // TESTS_SESSION_SCRIPTED_CHANGE_SOURCE_H_
