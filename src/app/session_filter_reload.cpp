// "reload_session" with "do_reload_filter": the session's rule lists read
// again, reconciled, and the held-back local events queued again.
#include <set>

#include "app/app.h"
#include "app/reload_filter.h"
#include "filter/filter_db.h"
#include "filter/session_rule_files.h"
#include "foundation/logger.h"
#include "session/event_generator.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::reload_filter(Registry::Entry& ent, PObject& rsp) {
  const unsigned long long id = ent.sess_id;
  const ustring conf_path = ent.config_path + "/conf";
  const ustring black_list_path = conf_path + "/blacklist.filter";
  const ustring white_list_path = conf_path + "/whitelist.filter";
  const ustring force_hash_check_path = conf_path + "/force-hash-check-list.filter";

  // All three lists or none: a new black list must not run beside an old
  // white list because the white list's file failed. A failure loads
  // nothing, reconciles nothing and queues nothing again.
  SessionRuleFiles rules;
  SessionRuleFiles::RuleFile failed = SessionRuleFiles::kBlackList;
  if (rules.Read(black_list_path, white_list_path, force_hash_check_path, &failed) < 0 ||
      rules.Install(*ent.black_list, *ent.white_list, *ent.force_hash_check_list, &failed) < 0) {
    switch (failed) {
      case SessionRuleFiles::kBlackList:
        LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to reload black list filter for sesion %llu\n", id);
        rsp["error"] = "Failed to load black list.";
        break;
      case SessionRuleFiles::kWhiteList:
        LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to reload white list filter for sesion %llu\n", id);
        rsp["error"] = "Failed to load white list.";
        break;
      case SessionRuleFiles::kForceHashCheckList:
        LOG_WITH_LINE(L_ERR, kComponent,
                      "[ERROR] app(%d): failed to reload force hash check list filter for sesion %llu\n", id);
        rsp["error"] = "Failed to load force hash check list.";
        break;
    }
    return -1;
  }

  uint64_t sync_id = 0;
  if (ent.event_db->getSyncId(sync_id) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to get sync_id for session %llu\n", id);
    rsp["error"] = "Failed to get current sync_id.";
    return -1;
  }
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): Reload session (%llu), current sync_id [%llu]\n", id,
                static_cast<unsigned long long>(sync_id));
  // The records reconciled are the ones just put in force.
  if (::reload_filter(ent.sess_id, sync_id, rules.black_list(), rules.white_list(), ent.local_path) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to reload_filter for sess (%llu)\n", id);
    rsp["error"] = "Failed to reload filter.";
    return -1;
  }
  reload_local_events(ent);
  return 0;
}

void VelkoraApp::reload_local_events(Registry::Entry& reg) {
  const unsigned long long id = reg.sess_id;
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): reload local filtered events from database for session '%llu'\n",
                id);
  std::set<FilterLocalEvent> events;
  if (FilterDB::getInstance()->dumpLocalFilteredEvent(reg.sess_id, events) < 0) {
    LOG_WITH_LINE(L_WARNING, kComponent, "[WARNING] app(%d): failed to dump resume items for session '%llu'... \n",
                  id);
    return;
  }
  // The worker tests each against the rules in force when it takes it; the
  // result only says whether the path was queued.
  for (const FilterLocalEvent& ev : events) (void)PushEvent(reg, ev);
}
