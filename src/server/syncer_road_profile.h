// The Syncer's profile of the request road and its log texts.
#ifndef SERVER_SYNCER_ROAD_PROFILE_H_
#define SERVER_SYNCER_ROAD_PROFILE_H_

#include <cstdint>

#include "server/request_road.h"
#include "server/road_log.h"
#include "server/syncer_error.h"

// The Syncer's lines, under the component given (the ProgressSyncer
// derives from it, with its own component and the lines that differ).
// Stateless; any thread.
class SyncerLog : public RoadLog, public syncer_error::Log {
 public:
  explicit SyncerLog(const char* component = "syncer_debug") : component_(component) {}

  void EstablishFailed(const char* exchange, ErrorCode code) const override;
  void ExchangeFailed(const char* exchange, ErrorCode code) const override;
  void Connecting(const char* ip, int port) const override;
  void OpenFailed(ErrorCode code) const override;
  void RequestSsl() const override;
  void SslRefused(const char* reply) const override;
  void ConvertingToSsl() const override;
  void ConvertFailed(ErrorCode code) const override;
  void Encrypted() const override;
  void ConnectError(const char* error) const override;
  void ServerBuild(uint32_t build) const override;
  void Refused() const override;
  void RequestOut(const char* request) const override;
  void HeaderFailed(const char* action, ErrorCode code) const override;
  void SendFailed(const char* action, int code) const override;
  void KeepAlive() const override;
  void RecvFailed(const char* action, int code) const override;
  void ReplyIn(const char* reply) const override;
  void ViewInvalidPath(uint32_t code) const override;
  void ServerError(uint32_t code) const override;
  void UnhandledCode(uint32_t code) const override;

  void UnknownError(ErrorCode err) const override;
  void Handling(ErrorCode err) const override;
  void NoType(ErrorCode err) const override;
  void UnexpectedError(ErrorCode err) const override;
  void Abort() const override;

 protected:
  const char* component_;
};

// The Syncer's log object (component "syncer_debug").
const SyncerLog& SyncerRoadLog();

// The Syncer's profile: "encrypt_channel", TLS, "connect"; the server build
// line; CRIT for SPROTO_ERR_VIEW_INVALID_PATH; the syncers' class table;
// abort flag from pop to push; reply time-out 90 s, channel time-out 60 s;
// SyncerRoadLog(). Its hooks are the defaults (every failed send or receive
// gives ERR_IO; no receive folder).
RoadProfile SyncerRoadProfile();

#endif  // SERVER_SYNCER_ROAD_PROFILE_H_
