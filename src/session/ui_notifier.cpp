#include "session/ui_notifier.h"

#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/logger.h"
#include "session/ui_ipc.h"

namespace {

constexpr char kComp[] = "channel_ui_debug";
using ull = unsigned long long;

// The text of a notification is built only when the line is written.
void LogDropped(const char* why, uint64_t total, const PObject& msg) {
  if (!Logger::IsEnabled(Logger::L_WARNING, kComp)) return;
  Logger::LogMsg(Logger::L_WARNING, kComp,
                 "[WARNING] ui-ipc(%d): notification dropped (%s, %llu dropped so far): %s\n", __LINE__, why,
                 static_cast<ull>(total), msg.toString().c_str_utf8());
}

}  // namespace

UiNotifier& UiNotifier::getInstance() {
  static UiNotifier instance;
  return instance;
}

UiNotifier::UiNotifier(size_t capacity, Delivery deliver)
    : capacity_(capacity == 0 ? 1 : capacity), deliver_(deliver ? std::move(deliver) : Delivery(UI_IPC::Deliver)) {}

UiNotifier::~UiNotifier() { Stop(); }

bool UiNotifier::Start() {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kStopped) return true;
    abort_.store(0);
    try {
      thread_ = std::thread(&UiNotifier::Run, this);
      state_ = State::kRunning;
      return true;
    } catch (const std::system_error& e) {
      failure = e.what();
    }
  }
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] ui-ipc(%d): cannot start the notification sender: %s\n", __LINE__,
                 failure.c_str());
  return false;
}

void UiNotifier::Stop() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ != State::kRunning) return;
    state_ = State::kStopping;
    wake_.notify_all();
    // A healthy user interface takes the queue in milliseconds; a stuck one
    // must not hold the daemon's stop.
    (void)drained_.wait_for(lock, kStopGrace, [this] { return queue_.empty() && !sending_; });
  }
  abort_.store(1);
  thread_.join();
  std::deque<PObject> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
    state_ = State::kStopped;
  }
  for (const PObject& msg : left) LogDropped("the sender stopped", ++dropped_, msg);
}

int UiNotifier::Post(PObject msg) {
  bool queued = false;
  bool inline_delivery = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kStopped) {
      inline_delivery = true;
    } else if (queue_.size() < capacity_) {
      queue_.push_back(std::move(msg));
      wake_.notify_one();
      queued = true;
    }
  }
  if (queued) return 0;
  if (inline_delivery) return deliver_(msg, nullptr);
  // Logged outside the lock: the logger takes a lock of its own.
  LogDropped("the queue is full", ++dropped_, msg);
  return -1;
}

bool UiNotifier::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ != State::kStopped;
}

void UiNotifier::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return !queue_.empty() || state_ != State::kRunning; });
    if (abort_.load() != 0 || queue_.empty()) return;
    PObject msg = std::move(queue_.front());
    queue_.pop_front();
    sending_ = true;
    lock.unlock();
    const int rc = deliver_(msg, &abort_);
    (rc == 0 ? delivered_ : failed_).fetch_add(1);
    lock.lock();
    sending_ = false;
    drained_.notify_all();
  }
}
