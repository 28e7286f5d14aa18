// The ProgressSyncer's profile of the request road and its log texts: the
// Syncer's lines under "progress_syncer_debug", except the handshake's
// first line and the error handler's, which name the progress syncer; no
// server build line and no line for SPROTO_ERR_VIEW_INVALID_PATH.
#ifndef SERVER_PROGRESS_SYNCER_ROAD_PROFILE_H_
#define SERVER_PROGRESS_SYNCER_ROAD_PROFILE_H_

#include <cstdint>

#include "server/request_road.h"
#include "server/syncer_road_profile.h"

// Stateless; any thread.
class ProgressSyncerLog : public SyncerLog {
 public:
  ProgressSyncerLog() : SyncerLog("progress_syncer_debug") {}

  void Connecting(const char* ip, int port) const override;
  void ServerBuild(uint32_t build) const override;        // no line
  void ViewInvalidPath(uint32_t code) const override;     // no line
  void UnknownError(ErrorCode err) const override;
  void Handling(ErrorCode err) const override;
  void UnexpectedError(ErrorCode err) const override;
};

// The ProgressSyncer's log object.
const ProgressSyncerLog& ProgressSyncerRoadLog();

// The Syncer's profile with the component "progress_syncer_debug", no
// server build line, no CRIT for SPROTO_ERR_VIEW_INVALID_PATH (still
// ERR_VIEW_PATH), and ProgressSyncerRoadLog().
RoadProfile ProgressSyncerRoadProfile();

#endif  // SERVER_PROGRESS_SYNCER_ROAD_PROFILE_H_
