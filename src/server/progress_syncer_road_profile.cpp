#include "server/progress_syncer_road_profile.h"

#include "foundation/logger.h"

#define PSYNCER_LOG(level, ...) LOG_WITH_LINE(level, component_, __VA_ARGS__)

void ProgressSyncerLog::Connecting(const char* ip, int port) const {
  PSYNCER_LOG(L_DEBUG, "[DEBUG] progress-syncer-road(%d): ProgressSyncer: Connect to server (%s:%d).\n", ip, port);
}
void ProgressSyncerLog::ServerBuild(uint32_t) const {}
void ProgressSyncerLog::ViewInvalidPath(uint32_t) const {}
void ProgressSyncerLog::UnknownError(ErrorCode err) const {
  PSYNCER_LOG(L_CRIT, "[CRIT] progress-syncer-road(%d): Progress syncer: unknown error code [%d].\n", ErrorNumber(err));
}
void ProgressSyncerLog::Handling(ErrorCode err) const {
  PSYNCER_LOG(L_DEBUG, "[DEBUG] progress-syncer-road(%d): Progress syncer: HandleError: %d.\n", ErrorNumber(err));
}
void ProgressSyncerLog::UnexpectedError(ErrorCode err) const {
  PSYNCER_LOG(L_CRIT, "[CRIT] progress-syncer-road(%d): Progress syncer: unexpected error code [%d].\n",
              ErrorNumber(err));
}

const ProgressSyncerLog& ProgressSyncerRoadLog() {
  static const ProgressSyncerLog log;
  return log;
}

RoadProfile ProgressSyncerRoadProfile() {
  RoadProfile profile = SyncerRoadProfile();
  profile.component = "progress_syncer_debug";
  profile.log_server_build = false;
  profile.codes.log_view_invalid_path = false;
  profile.log = &ProgressSyncerRoadLog();
  return profile;
}
