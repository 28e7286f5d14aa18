// RoadLog: the log lines of the server request road, one function per line.
//
// Each requester (Syncer, ProgressSyncer, Worker) has its own texts and
// component; its profile points at one object of a small subclass whose
// functions each call Logger::LogMsg with a literal format, so -Wformat
// checks every line. A function may do nothing where a requester has no such
// line. Text arguments are UTF-8; the road builds the PObject texts of the
// DEBUG lines only when that level is on for the profile's component.
//
// Threads: the road calls these on the requester's thread; several
// requesters may share one const object.
#ifndef SERVER_ROAD_LOG_H_
#define SERVER_ROAD_LOG_H_

#include <cstdint>

#include "transport/error_code.h"

class RoadLog {
 public:
  virtual ~RoadLog() = default;

  // --- Pooled exchange; `exchange` is the wrapper's name as the requester
  // gave it ("ProtoPullEvent", "RemoveRemote"), for lines that name it.
  // The handshake before the exchange failed with `code`.
  virtual void EstablishFailed(const char* exchange, ErrorCode code) const = 0;
  // The work on the channel failed with `code`.
  virtual void ExchangeFailed(const char* exchange, ErrorCode code) const = 0;

  // --- Handshake
  virtual void Connecting(const char* ip, int port) const = 0;
  virtual void OpenFailed(ErrorCode code) const = 0;
  // Before "encrypt_channel", or when "connect" gets "do_ssl".
  virtual void RequestSsl() const = 0;
  // "encrypt_channel" answered with "error"; `reply` is the whole reply.
  virtual void SslRefused(const char* reply) const = 0;
  virtual void ConvertingToSsl() const = 0;
  virtual void ConvertFailed(ErrorCode code) const = 0;
  virtual void Encrypted() const = 0;
  // "connect" answered with "error"; `error` is that member.
  virtual void ConnectError(const char* error) const = 0;
  // The server's build from "connect" (2402 when the reply names none).
  virtual void ServerBuild(uint32_t build) const = 0;
  // "connect" answered with "alive" 0 or none.
  virtual void Refused() const = 0;

  // --- One exchange; `action` is the request's "_action".
  virtual void RequestOut(const char* request) const = 0;
  virtual void HeaderFailed(const char* action, ErrorCode code) const = 0;
  // `code` of SendFailed and RecvFailed is the stream's (StreamCodeNumber).
  virtual void SendFailed(const char* action, int code) const = 0;
  virtual void KeepAlive() const = 0;
  virtual void RecvFailed(const char* action, int code) const = 0;
  virtual void ReplyIn(const char* reply) const = 0;

  // --- Server code mapping (server_code_map.h)
  virtual void ViewInvalidPath(uint32_t code) const = 0;
  virtual void ServerError(uint32_t code) const = 0;
  virtual void UnhandledCode(uint32_t code) const = 0;
};

#endif  // SERVER_ROAD_LOG_H_
