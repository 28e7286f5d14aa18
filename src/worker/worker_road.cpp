#include "worker/worker_road.h"

#include "foundation/logger.h"
#include "session/task.h"
#include "transport/error_code.h"
#include "worker/worker_log.h"

int WorkerRoadLog::Id() const { return task_.GetId(); }

void WorkerRoadLog::EstablishFailed(const char* exchange, ErrorCode code) const {
  WORKER_LOG(L_ERR, "[ERROR] worker-road(%d): Worker (%d): %s: Failed to establish communication channel. %s\n", Id(),
             exchange, GetErrorString(code));
}
// A failed exchange is logged by RunProtocol's own lines.
void WorkerRoadLog::ExchangeFailed(const char*, ErrorCode) const {}
void WorkerRoadLog::Connecting(const char* ip, int port) const {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker-road(%d): Worker (%d): Connect to server (%s:%d).\n", Id(), ip, port);
}
void WorkerRoadLog::OpenFailed(ErrorCode) const {
  WORKER_LOG(L_ERR, "[ERROR] worker-road(%d): Worker (%d): failed to connect to server.\n", Id());
}
void WorkerRoadLog::RequestSsl() const {
  WORKER_LOG(L_INFO, "[INFO] worker-road(%d): Worker (%d): request ssl channel\n", Id());
}
// The worker sends no "encrypt_channel".
void WorkerRoadLog::SslRefused(const char*) const {}
void WorkerRoadLog::ConvertingToSsl() const {}
void WorkerRoadLog::ConvertFailed(ErrorCode code) const {
  WORKER_LOG(L_ERR, "[ERROR] worker-road(%d): Worker (%d): Convert to SSL channel failed (%d)\n", Id(),
             ErrorNumber(code));
}
void WorkerRoadLog::Encrypted() const {}
void WorkerRoadLog::ConnectError(const char* error) const {
  WORKER_LOG(L_ERR, "[ERROR] worker-road(%d): Worker (%d): request channel: %s\n", Id(), error);
}
void WorkerRoadLog::ServerBuild(uint32_t build) const {
  WORKER_LOG(L_INFO, "[INFO] worker-road(%d): Connect with Velkora server build %u\n", build);
}
void WorkerRoadLog::Refused() const {
  WORKER_LOG(L_INFO, "[INFO] worker-road(%d): Worker (%d): connection refused by server.\n", Id());
}
void WorkerRoadLog::RequestOut(const char* request) const {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker-road(%d): Worker (%d): RunProtocol <<< %s\n", Id(), request);
}
void WorkerRoadLog::HeaderFailed(const char* action, ErrorCode code) const {
  WORKER_LOG(L_ERR,
             "[ERROR] worker-road(%d): Worker (%d): RunProtocol(%s): failed to send header, stream error code = %d.\n",
             Id(), action, ErrorNumber(code));
}
void WorkerRoadLog::SendFailed(const char* action, int code) const {
  WORKER_LOG(L_ERR,
             "[ERROR] worker-road(%d): Worker (%d): RunProtocol(%s): failed to send request. stream error code = "
             "%d.\n",
             Id(), action, code);
}
void WorkerRoadLog::KeepAlive() const {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker-road(%d): Worker (%d): get keepalive message\n", Id());
}
void WorkerRoadLog::RecvFailed(const char* action, int code) const {
  WORKER_LOG(L_ERR,
             "[ERROR] worker-road(%d): Worker (%d): RunProtocol(%s): failed to recv response. stream error code = "
             "%d.\n",
             Id(), action, code);
}
void WorkerRoadLog::ReplyIn(const char* reply) const {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker-road(%d): Worker (%d): RunProtocol >>> %s\n", Id(), reply);
}
// Mapped without a line in the worker.
void WorkerRoadLog::ViewInvalidPath(uint32_t) const {}
void WorkerRoadLog::ServerError(uint32_t code) const {
  WORKER_LOG(L_CRIT, "[CRIT] worker-road(%d): server error: %u\n", code);
}
void WorkerRoadLog::UnhandledCode(uint32_t code) const {
  WORKER_LOG(L_CRIT, "[CRIT] worker-road(%d): unhandled error code: %u\n", code);
}

ServerCodeRules WorkerCodeRules() {
  ServerCodeRules rules{/*log_view_invalid_path=*/false, kWorkerClassTable};
  rules.unmapped = ERR_INT;
  return rules;
}

RoadProfile WorkerRoadProfile(const RoadLog* log, uint32_t reply_timeout, uint32_t channel_timeout) {
  return RoadProfile{
      worker_log::kComponent,       HandshakeOrder::kConnectThenTls, /*log_server_build=*/true, WorkerCodeRules(),
      AbortFlagPolicy::kPerExchange, reply_timeout,                  channel_timeout,           log,
  };
}
