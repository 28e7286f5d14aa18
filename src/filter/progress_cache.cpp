#include "filter/progress_cache.h"

#include <algorithm>

#include "foundation/logger.h"

namespace {
constexpr char kComp[] = "progress_cache_debug";
}  // namespace

ProgressCache* ProgressCache::getInstance() {
  static ProgressCache instance;
  return &instance;
}

ProgressCache::ProgressCache() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] progress-cache(%d): ProgressCache constructed.\n",
                 __LINE__);
}

ProgressCache::~ProgressCache() {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] progress-cache(%d): ProgressCache deconstructed.\n",
                 __LINE__);
}

void ProgressCache::addProgressEntry(uint64_t row_id, const ResumeCondition& condition) {
  std::lock_guard<std::mutex> lock(m_mutex);
  cache_list.push_back(Entry{row_id, condition});
  Logger::LogMsg(Logger::L_DEBUG, kComp,
                 "[DEBUG] progress-cache(%d): addProgressEntry row_id = '%llu', sess_id = '%llu', sync_id = "
                 "'%llu', type = '%d', desc= '%s'.",
                 __LINE__, static_cast<unsigned long long>(row_id),
                 static_cast<unsigned long long>(condition.sess_id),
                 static_cast<unsigned long long>(condition.sync_id), condition.filter_type,
                 condition.filter_desc.c_str_utf8());
}

int ProgressCache::getProgressEntry(Entry& entry) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (cache_list.empty()) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] progress-cache(%d): cache_list is empty. \n", __LINE__);
    return 0;
  }
  entry = cache_list.front();
  return 1;
}

void ProgressCache::getProgressEntries(std::vector<Entry>& entries) {
  std::lock_guard<std::mutex> lock(m_mutex);
  entries = cache_list;
}

void ProgressCache::updateProgressSyncId(uint64_t row_id, uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = std::find_if(cache_list.begin(), cache_list.end(),
                         [row_id](const Entry& e) { return e.row_id == row_id; });
  if (it == cache_list.end()) return;
  it->condition.sync_id = sync_id;
  Logger::LogMsg(Logger::L_DEBUG, kComp,
                 "[DEBUG] progress-cache(%d): updateProgressSyncId to %llu for row_id = %llu.\n", __LINE__,
                 static_cast<unsigned long long>(sync_id), static_cast<unsigned long long>(row_id));
}

int ProgressCache::rmProgressEntry(uint64_t row_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = std::find_if(cache_list.begin(), cache_list.end(),
                         [row_id](const Entry& e) { return e.row_id == row_id; });
  if (it == cache_list.end()) return -1;
  cache_list.erase(it);
  return 0;
}

int ProgressCache::rmProgressEntryBySessionId(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t removed =
      std::erase_if(cache_list, [sess_id](const Entry& e) { return e.condition.sess_id == sess_id; });
  return removed > 0 ? 0 : -1;
}

bool ProgressCache::isInProgrssCache(uint64_t sess_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::any_of(cache_list.begin(), cache_list.end(),
                     [sess_id](const Entry& e) { return e.condition.sess_id == sess_id; });
}

void ProgressCache::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  cache_list.clear();
}
