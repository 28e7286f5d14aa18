// The session record of "add_session": folders, event database, rule lists,
// folder watch, registry entry, reconciliation and the first rescan.
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/app.h"
#include "app/get_permission_mode.h"
#include "app/reload_filter.h"
#include "filter/session_rule_files.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "server/syncer.h"
#include "session/detector.h"

namespace {

constexpr const char* kComponent = "client_debug";

// `path` with every link and "." or ".." resolved; the path as given when it
// cannot be resolved (a session folder that has gone).
ustring RealPath(const ustring& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str_utf8(), buf) == nullptr) return path;
  return ustring(buf);
}

// `outer` equals `inner` or contains it: "/s" contains "/s/a", not "/s2".
bool Contains(const std::string& outer, const std::string& inner) {
  if (inner.compare(0, outer.size(), outer) != 0) return false;
  return inner.size() == outer.size() || outer.back() == '/' || inner[outer.size()] == '/';
}

// The id of a registered session (another than `sess_id`) whose folder
// equals, contains or lies inside `local_path`; 0 when none. Two such
// sessions would wipe each other's working folder at every creation, and
// the outer one would upload the inner one's files and working folder.
uint64_t OverlappingSession(const ustring& local_path, uint64_t sess_id) {
  const std::string mine = RealPath(local_path).c_str_utf8();
  std::vector<Registry::Entry> all;
  Registry::getInstance().GetAll(all);
  for (const Registry::Entry& other : all) {
    if (other.sess_id == sess_id) continue;
    const std::string theirs = RealPath(other.local_path).c_str_utf8();
    if (Contains(mine, theirs) || Contains(theirs, mine)) return other.sess_id;
  }
  return 0;
}

}  // namespace

int VelkoraApp::create_registry_entry(const PObject& create_info) {
  const uint64_t sess_id = create_info["sess_id"].asUInt64();
  const unsigned long long id = sess_id;
  // Both tasks exist only while linked.
  Detector* watcher = detector();
  Syncer* pull = syncer();
  if (watcher == nullptr || pull == nullptr) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): daemon is not linked, session %llu is not added\n", id);
    return -1;
  }

  const ustring config_path = create_info["config_path"].asString();
  const ustring local_path = create_info["local_path"].asString();
  const ustring remote_path = create_info["remote_path"].asString();
  const ustring db_path = config_path + "/db" + "/event-db.sqlite";
  const ustring conf_path = config_path + "/conf";
  const ustring black_list_path = conf_path + "/blacklist.filter";
  const ustring white_list_path = conf_path + "/whitelist.filter";
  const ustring force_hash_check_path = conf_path + "/force-hash-check-list.filter";

  if (const uint64_t other = OverlappingSession(local_path, sess_id); other != 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): sync folder %s overlaps session %llu\n",
                  local_path.c_str_utf8(), static_cast<unsigned long long>(other));
    return -1;
  }

  // Owned here until the registry entry takes them; a failure before that
  // destroys them.
  auto event_db = std::make_unique<FileEventDB>();
  auto black_list = std::make_unique<BlackList2>();
  auto white_list = std::make_unique<WhiteListCpp>();
  auto force_hash_check_list = std::make_unique<ForceHashCheckListCpp>();

  if (create_session_environment(local_path, config_path) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to initiailize session environment for sesion %llu\n",
                  id);
    return -1;
  }
  LOG_WITH_LINE(L_DEBUG, kComponent, "[DEBUG] app(%d): session environment of session %llu is done\n", id);
  if (event_db->initialize(db_path) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to initiailize event database for session %llu\n", id);
    return -1;
  }
  if (event_db->resetRecycleBin() < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to resetRecycleBin table for session %llu\n", id);
    return -1;
  }

  // Each file is read once: the records put in force are the ones
  // reconciled below.
  SessionRuleFiles rules;
  SessionRuleFiles::RuleFile failed = SessionRuleFiles::kBlackList;
  if (rules.Read(black_list_path, white_list_path, force_hash_check_path, &failed) < 0 ||
      rules.Install(*black_list, *white_list, *force_hash_check_list, &failed) < 0) {
    switch (failed) {
      case SessionRuleFiles::kBlackList:
        LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to load black list filter for session %llu '%s'\n",
                      id, black_list_path.c_str_utf8());
        break;
      case SessionRuleFiles::kWhiteList:
        LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to load white list filter for session %llu '%s'\n",
                      id, white_list_path.c_str_utf8());
        break;
      case SessionRuleFiles::kForceHashCheckList:
        LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to load force hash check filter for session %llu\n",
                      id);
        break;
    }
    return -1;
  }

  if (watcher->AddWatch(local_path, sess_id) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to add watch for session %llu at '%s'\n", id,
                  local_path.c_str_utf8());
    return -1;
  }

  Registry::Entry entry;
  entry.conn_id = create_info["conn_id"].asUInt64();
  entry.sess_id = sess_id;
  entry.view_id = create_info["view_id"].asUInt64();
  entry.node_id = create_info["node_id"].asUInt64();
  entry.recursive = create_info["recursive"].asBool();
  entry.local_path = local_path;
  entry.remote_path = remote_path;
  entry.config_path = config_path;
  entry.isMSDOS = IsMSDOS(local_path);
  entry.pause = true;  // a new session syncs only after "resume"
  entry.read_only = create_info["read_only"].asBool();
  entry.perm_mode = GetPermissionMode(create_info["perm_mode"].asString());
  entry.event_db = event_db.release();
  entry.black_list = black_list.release();
  entry.white_list = white_list.release();
  entry.force_hash_check_list = force_hash_check_list.release();
  Registry::getInstance().Set(entry);

  // Registered from here on: later failures are logged, the request
  // succeeds.
  uint64_t sync_id = 0;
  if (entry.event_db->getSyncId(sync_id) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to get sync_id for session %llu\n", id);
    return 0;
  }
  LOG_WITH_LINE(L_DEBUG, kComponent, "[DEBUG] app(%d): reload_filter for session '%llu', current sync_id [%llu]\n", id,
                static_cast<unsigned long long>(sync_id));
  if (::reload_filter(sess_id, sync_id, rules.black_list(), rules.white_list(), local_path) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): failed to reload_filter for session '%llu'.\n", id);
    return 0;
  }
  if (load_resume_condition(sess_id) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to load_resume_condition for session '%llu'.\n", id);
    return 0;
  }
  pull->AddRescanEvent(sess_id, !create_info["sync_mode"].asBool());
  LOG_WITH_LINE(L_INFO, kComponent, "[INFO] app(%d): Folder '%s' is ready (setting: %s)\n", local_path.c_str_utf8(),
                create_info.toString().c_str_utf8());
  return 0;
}
