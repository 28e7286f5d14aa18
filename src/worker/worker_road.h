// The worker's profile of the server request road (server/request_road.h):
// its log lines, its handshake order ("connect" with "do_ssl" in plain, TLS
// after a good reply), its server-code rules and its time-outs.
#ifndef WORKER_WORKER_ROAD_H_
#define WORKER_WORKER_ROAD_H_

#include <cstdint>

#include "server/request_road.h"
#include "server/road_log.h"

class Task;

// The worker's road lines under "worker_debug", each naming the worker's
// task id. One object per worker; `task` must outlive it. Called on the
// worker's thread only.
class WorkerRoadLog : public RoadLog {
 public:
  explicit WorkerRoadLog(const Task& task) : task_(task) {}

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

 private:
  int Id() const;
  const Task& task_;
};

// The worker's server-code rules: the worker's class table (classes 0x8 to
// 0xA give ERR_INT), no CRIT line for SPROTO_ERR_VIEW_INVALID_PATH, and
// ERR_INT for class 7 and every code without a mapping, so that no server
// failure is ever taken for a finished transfer.
ServerCodeRules WorkerCodeRules();

// The worker's profile with `log` (which must outlive the road) and the
// given time-outs (90 s and 60 s in the daemon).
RoadProfile WorkerRoadProfile(const RoadLog* log, uint32_t reply_timeout = 90, uint32_t channel_timeout = 60);

#endif  // WORKER_WORKER_ROAD_H_
