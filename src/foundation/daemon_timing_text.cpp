#include "foundation/daemon_timing_text.h"

#include <cstdint>
#include <set>

namespace {

struct Field {
  const char* key;
  DaemonTiming::ms DaemonTiming::*wait;  // null for the reply time-out
};

constexpr Field kFields[] = {
    {"pause_poll", &DaemonTiming::pause_poll},
    {"worker_idle_rest", &DaemonTiming::worker_idle_rest},
    {"worker_retry_rest", &DaemonTiming::worker_retry_rest},
    {"worker_redo_rest", &DaemonTiming::worker_redo_rest},
    {"syncer_idle_wait", &DaemonTiming::syncer_idle_wait},
    {"syncer_up_to_date_rest", &DaemonTiming::syncer_up_to_date_rest},
    {"syncer_retry_wait", &DaemonTiming::syncer_retry_wait},
    {"syncer_long_wait", &DaemonTiming::syncer_long_wait},
    {"cleaner_retry_wait", &DaemonTiming::cleaner_retry_wait},
    {"cleaner_pass_wait", &DaemonTiming::cleaner_pass_wait},
    {"control_poll", &DaemonTiming::control_poll},
    {"detector_wait", &DaemonTiming::detector_wait},
    {"worker_pending_rest", &DaemonTiming::worker_pending_rest},
    {"worker_pending_max_rest", &DaemonTiming::worker_pending_max_rest},
    {"worker_reply_timeout", nullptr},
};

constexpr uint64_t kMaxMs = 86400000;
constexpr uint64_t kMaxSeconds = 86400;

// A whole decimal number from 1 to `max`, digits only.
bool ReadNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 9) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n < 1 || n > max) return false;
  out = n;
  return true;
}

}  // namespace

bool ParseDaemonTiming(const std::string& text, DaemonTiming& timing, std::string& error) {
  if (text.empty()) {
    error = "empty";
    return false;
  }
  DaemonTiming parsed = timing;
  std::set<std::string> seen;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(',', start);
    const std::string pair = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    const Field* field = nullptr;
    for (const Field& f : kFields) {
      if (key == f.key) field = &f;
    }
    if (eq == std::string::npos || field == nullptr || !seen.insert(key).second) {
      error = "'" + pair + "': not a known key given once as key=value";
      return false;
    }
    uint64_t n = 0;
    const std::string value = pair.substr(eq + 1);
    if (!ReadNumber(value, field->wait ? kMaxMs : kMaxSeconds, n)) {
      error = "'" + pair + "': not a whole number in range";
      return false;
    }
    if (field->wait) {
      parsed.*(field->wait) = DaemonTiming::ms(n);
    } else {
      parsed.worker_reply_timeout = std::chrono::seconds(n);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  timing = parsed;
  return true;
}

std::string FormatDaemonTiming(const DaemonTiming& timing) {
  std::string out;
  for (const Field& f : kFields) {
    if (!out.empty()) out += ',';
    out += f.key;
    out += '=';
    out += std::to_string(f.wait ? (timing.*(f.wait)).count() : timing.worker_reply_timeout.count());
  }
  return out;
}
