#include "server/syncer_road_profile.h"

#include "foundation/logger.h"

#define SYNCER_LOG(level, ...) LOG_WITH_LINE(level, component_, __VA_ARGS__)

void SyncerLog::EstablishFailed(const char*, ErrorCode) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): ProtoPullEvent: fail to establish communication channel\n");
}
void SyncerLog::ExchangeFailed(const char*, ErrorCode code) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): ProtoPullEvent: fail to pull events. %d.\n", ErrorNumber(code));
}
void SyncerLog::Connecting(const char* ip, int port) const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): Syncer: Connect to server (%s:%d).\n", ip, port);
}
void SyncerLog::OpenFailed(ErrorCode) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: failed to connect to server.\n");
}
void SyncerLog::RequestSsl() const { SYNCER_LOG(L_INFO, "[INFO] syncer-road(%d): Syncer: request ssl channel\n"); }
void SyncerLog::SslRefused(const char* reply) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: request SSL: %s\n", reply);
}
void SyncerLog::ConvertingToSsl() const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): Syncer: convert to SSL channel\n");
}
void SyncerLog::ConvertFailed(ErrorCode code) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: Convert to SSL channel failed (%d)\n", ErrorNumber(code));
}
void SyncerLog::Encrypted() const {
  SYNCER_LOG(L_INFO, "[INFO] syncer-road(%d): Syncer: channel is now encrypted using SSL\n");
}
void SyncerLog::ConnectError(const char* error) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: request channel: %s\n", error);
}
void SyncerLog::ServerBuild(uint32_t build) const {
  SYNCER_LOG(L_INFO, "[INFO] syncer-road(%d): Connect with Velkora server build %u\n", build);
}
void SyncerLog::Refused() const {
  SYNCER_LOG(L_INFO, "[INFO] syncer-road(%d): Syncer: connection refused by server.\n");
}
void SyncerLog::RequestOut(const char* request) const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): Syncer >>>: %s\n", request);
}
void SyncerLog::HeaderFailed(const char* action, ErrorCode code) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: RunProtocol(%s): failed to send header (%d)\n", action,
             ErrorNumber(code));
}
void SyncerLog::SendFailed(const char* action, int code) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: RunProtocol(%s): failed to send request (%d)\n", action,
             code);
}
void SyncerLog::KeepAlive() const {}
void SyncerLog::RecvFailed(const char* action, int code) const {
  SYNCER_LOG(L_ERR, "[ERROR] syncer-road(%d): Syncer: RunProtocol(%s): failed to recv response (%d)\n", action,
             code);
}
void SyncerLog::ReplyIn(const char* reply) const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): Syncer <<<: %s\n", reply);
}
void SyncerLog::ViewInvalidPath(uint32_t code) const {
  SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): Server error(invalid path in view): %u\n", code);
}
void SyncerLog::ServerError(uint32_t code) const {
  SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): server error: %u\n", code);
}
void SyncerLog::UnhandledCode(uint32_t code) const {
  SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): unhandled error code: %u\n", code);
}
void SyncerLog::UnknownError(ErrorCode err) const {
  SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): Syncer: unknown error code [%d].\n", ErrorNumber(err));
}
void SyncerLog::Handling(ErrorCode err) const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): Syncer: HandleError: %d.\n", ErrorNumber(err));
}
void SyncerLog::NoType(ErrorCode err) const {
  SYNCER_LOG(L_DEBUG, "[DEBUG] syncer-road(%d): No type for error: %d\n", ErrorNumber(err));
}
void SyncerLog::UnexpectedError(ErrorCode err) const {
  SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): Syncer: unexpected error code [%d].\n", ErrorNumber(err));
}
void SyncerLog::Abort() const { SYNCER_LOG(L_CRIT, "[CRIT] syncer-road(%d): abort()\n"); }

const SyncerLog& SyncerRoadLog() {
  static const SyncerLog log;
  return log;
}

RoadProfile SyncerRoadProfile() {
  return RoadProfile{
      "syncer_debug",
      HandshakeOrder::kEncryptThenConnect,
      /*log_server_build=*/true,
      ServerCodeRules{/*log_view_invalid_path=*/true, kSyncerClassTable},
      AbortFlagPolicy::kFromPop,
      /*reply_timeout=*/90,
      /*channel_timeout=*/60,
      &SyncerRoadLog(),
  };
}
