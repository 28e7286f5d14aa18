// PStream: entry points, key path, progress status and the log helpers.
#include "protocol/pstream.h"

#include <algorithm>
#include <utility>

#include "foundation/logger.h"
#include "protocol/pstream_internal.h"
#include "transport/channel.h"

using pstream_internal::kComponent;

PStream::PStream()
    : history_size(0),
      total_size(0),
      total_sent(0),
      indent(0),
      value_limit(kDefaultValueLimit),
      value_count(0),
      dump(false) {}

PStream::~PStream() = default;

PStream::Code PStream::Send(Channel& ch, const PObject& obj) {
  dump = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
  indent = 0;
  Code rc = SendObject(ch, obj);
  if (rc != Code::kOk) {
    DumpHistory();
  } else {
    const ErrorCode flushed = ch.FlushWrite(0);
    if (flushed != ERR_OK) rc = ChannelFailed(flushed, __LINE__);
  }
  ClearHistory();
  return rc;
}

PStream::Code PStream::Recv(Channel& ch, PObject& target) {
  dump = Logger::IsEnabled(Logger::L_DEBUG, kComponent);
  indent = 0;
  value_count = 0;
  fresh_files.clear();
  Code rc = RecvObject(ch, target);
  fresh_files.clear();
  if (rc != Code::kOk) DumpHistory();
  ClearHistory();
  return rc;
}

void PStream::SetDefaultRecvLocation(const ustring& folder) { recv_path = folder; }

void PStream::SetValueLimit(size_t limit) { value_limit = limit; }

void PStream::SetArraySink(const ustring& key, ElementSink fn) {
  sink_key = key;
  sink = key.empty() ? ElementSink() : std::move(fn);
}

void PStream::GetStatus(ustring& path, unsigned long long& sent, unsigned long long& total) const {
  std::lock_guard<std::mutex> lock(status_lock);
  path = GetHistory();
  sent = total_sent;
  total = total_size;
}

void PStream::GetStatus(ustring& path, unsigned long& sent, unsigned long& total) const {
  std::lock_guard<std::mutex> lock(status_lock);
  path = GetHistory();
  sent = total_sent;
  total = total_size;
}

void PStream::GetVersion(unsigned int& major, unsigned int& minor, unsigned int& build) const {
  major = 1;
  minor = 0;
  build = 0;
}

PStream::Code PStream::ChannelFailed(ErrorCode code, int line) {
  Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] stream(%d): Channel: %d\n", line, ErrorNumber(code));
  return Code::kIo;
}

void PStream::PushKey(const char* key, size_t len) {
  std::lock_guard<std::mutex> lock(status_lock);
  if (history_size == history.size()) history.emplace_back();
  // Reuses the slot's buffer: no allocation once the stream has seen a
  // message this deep with keys this long.
  history[history_size].assign(key, len);
  ++history_size;
}

void PStream::PopKey() {
  std::lock_guard<std::mutex> lock(status_lock);
  if (history_size > 0) --history_size;
}

void PStream::ClearHistory() {
  std::lock_guard<std::mutex> lock(status_lock);
  history_size = 0;
  total_size = 0;
  total_sent = 0;
  indent = 0;
}

void PStream::DumpHistory() const {
  std::lock_guard<std::mutex> lock(status_lock);
  Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): Error stack: %s\n", __LINE__,
                 GetHistory().c_str_utf8());
}

ustring PStream::GetHistory() const {
  // The first key comes twice ("file", "data" gives "file.file.data"):
  // progress reports compare against exactly this text.
  ustring path;
  if (history_size == 0) return path;
  path = history[0];
  for (size_t i = 0; i < history_size; ++i) {
    path += '.';
    path += history[i];
  }
  return path;
}

void PStream::UpdateStatus(uint64_t sent, uint64_t total) {
  // Only this thread writes the totals, so it may read them without the
  // lock; most values find them already 0 and need no lock at all.
  if (total_sent == sent && total_size == total) return;
  std::lock_guard<std::mutex> lock(status_lock);
  total_sent = sent;
  total_size = total;
}

const char* PStream::Indent() const {
  static const char kBlanks[] = "                      ";  // 22: depth 11 and deeper
  static_assert(sizeof kBlanks == 23);
  return kBlanks + 22 - 2 * std::min<size_t>(indent, 11);
}
