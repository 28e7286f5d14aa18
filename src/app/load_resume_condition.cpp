// A session's stored resume conditions into the progress cache.
#include "app/app.h"

#include <list>
#include <utility>

#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"

int VelkoraApp::load_resume_condition(uint64_t sess_id) {
  std::list<std::pair<uint64_t, ResumeCondition>> conditions;
  if (FilterDB::getInstance()->getResumeConditionsBySession(sess_id, conditions) < 0) {
    Logger::LogMsg(Logger::L_ERR, "client_debug", "[ERROR] app(%d): Failed to get resume condition for session '%llu'\n",
                   __LINE__, static_cast<unsigned long long>(sess_id));
    return -1;
  }
  conditions.sort([](const auto& a, const auto& b) { return a.first < b.first; });
  // The reconciliation before has already cached the conditions it made;
  // the cache holds each stored condition once. -1 from the removal: the
  // session had none.
  (void)ProgressCache::getInstance()->rmProgressEntryBySessionId(sess_id);
  for (const auto& [row_id, condition] : conditions) {
    Logger::LogMsg(Logger::L_INFO, "client_debug", "[INFO] app(%d): Add row_id '%llu' to progress_cache.\n", __LINE__,
                   static_cast<unsigned long long>(row_id));
    ProgressCache::getInstance()->addProgressEntry(row_id, condition);
  }
  return 0;
}
