// A session's stored resume conditions into the progress cache.
#include <list>
#include <utility>

#include "app/app.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"

int VelkoraApp::load_resume_condition(uint64_t sess_id) {
  std::list<std::pair<uint64_t, ResumeCondition>> conditions;
  if (FilterDB::getInstance()->getResumeConditionsBySession(sess_id, conditions) < 0) {
    LOG_WITH_LINE(L_ERR, "client_debug", "[ERROR] app(%d): Failed to get resume condition for session '%llu'\n",
                  static_cast<unsigned long long>(sess_id));
    return -1;
  }
  // The reconciliation has just cached the conditions it recorded, and a
  // re-added session may still have entries of its last run: the cache is
  // rebuilt from the database so that it holds each condition once.
  // -1 only says that there was none.
  ProgressCache* cache = ProgressCache::getInstance();
  (void)cache->rmProgressEntryBySessionId(sess_id);
  for (const auto& [row_id, condition] : conditions) {
    LOG_WITH_LINE(L_INFO, "client_debug", "[INFO] app(%d): Add row_id '%llu' to progress_cache.\n",
                  static_cast<unsigned long long>(row_id));
    cache->addProgressEntry(row_id, condition);
  }
  return 0;
}
