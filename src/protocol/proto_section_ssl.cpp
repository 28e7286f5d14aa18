#include "protocol/proto_section_ssl.h"

#include <cstdio>

#include "foundation/logger.h"
#include "protocol/pobject.h"
#include "protocol/proto_common.h"
#include "protocol/proto_section_internal.h"
#include "protocol/pstream.h"
#include "transport/channel.h"

using proto_section_internal::kComponent;

namespace {

// Values accepted in the reply to "encrypt_channel".
constexpr size_t kMaxReplyValues = 1024;

ErrorCode ProtoReadSSLServiceResponse2(Channel& ch, SSLServiceResponse& res) {
  unsigned short pkt_len = 0;
  unsigned char cmd = 0;
  unsigned char version = 0;
  ErrorCode rc = ProtoReadHeader(ch, pkt_len, cmd, version);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ProtoReadSSLServiceResponse2: bad header\n",
                   __LINE__);
    return rc;
  }
  if (cmd != SCMD_REQUEST_SSL_2) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoReadSSLServiceResponse2: Bad response. Expect command (%d) but got "
                   "(%d)\n",
                   __LINE__, SCMD_REQUEST_SSL_2, cmd);
    return ERR_PROTO;
  }
  unsigned char code = 0;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_RES, code));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoReadSSLServiceResponse2: failed to recv response code. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  res.response_code = code;
  if (code == SPROTO_RES_UPGRADE) {
    // The server wants a newer client; it sends no option after this.
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] proto-common(%d): Recv upgrade response\n", __LINE__);
    return ERR_OK;
  }
  unsigned int misc = 0;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_SSL_RESPONSE_OPTION, misc));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoReadSSLServiceResponse2: failed to recv misc option. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  res.misc_response = misc;
  return ERR_OK;
}

}  // namespace

ErrorCode ProtoWriteSSLServiceRequest(Channel& ch) {
  ErrorCode rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest: PreFlush Failed to send data. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_SSL);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest: Failed to request ssl channel. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest: Failed to send data. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}

ErrorCode ProtoWriteSSLServiceRequest2OLD(Channel& ch, const SSLServiceReq& req) {
  ErrorCode rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest2OLD: PreFlush Failed to send data. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_SSL_2);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest2OLD: Failed to request ssl channel. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteProtocolVersion(ch, req.proto_ver);
  if (rc != ERR_OK) return rc;  // logged by the version writer
  rc = ProtoWriteSection(ch, SPROTO_ID_SSL_OPTION, static_cast<unsigned int>(req.ssl_option));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest2OLD: Failed to send ssl option. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest2OLD: Failed to send data. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }

  SSLServiceResponse res;
  rc = ProtoReadSSLServiceResponse2(ch, res);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ProtoWriteSSLServiceRequest2OLD: Failed to recv response. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  switch (res.response_code) {
    case SPROTO_RES_OK:
      return ERR_OK;
    case SPROTO_RES_ERR:
      return ERR_SERVER;
    case SPROTO_RES_UPGRADE:
      return ERR_VERSION;
    default:
      return ERR_SYS;
  }
}

ErrorCode ProtoWriteSSLServiceRequest2(Channel& ch, const SSLServiceReq& req) {
  PObject request;
  InitRequest(request, "encrypt_channel");
  PObject& ver = request["proto_ver"];
  ver["major"] = req.proto_ver.major;
  ver["minor"] = req.proto_ver.minor;
  ver["build"] = req.proto_ver.build;
  request["ssl_option"] = req.ssl_option;

  ErrorCode rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_SSL_2);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): RunProtocol: %s\n", __LINE__,
                   GetErrorString(rc));
    return ERR_IO;
  }
  // No receive folder: a binary in the reply has nowhere to go and is
  // refused. The reply is a handful of values; the limit keeps a hostile
  // peer from making this wait build a large tree.
  PStream stream;
  stream.SetValueLimit(kMaxReplyValues);
  const PStream::Code sent = stream.Send(ch, request);
  if (sent != PStream::Code::kOk) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): RunProtocol: stream: Error code %d\n",
                   __LINE__, StreamCodeNumber(sent));
    return ERR_IO;
  }
  PObject reply;
  const PStream::Code got = stream.Recv(ch, reply);
  if (got != PStream::Code::kOk) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): RunProtocol: stream: Error code %d\n",
                   __LINE__, StreamCodeNumber(got));
    return ERR_IO;
  }
  if (reply.hasMember("error")) {
    // Only the code: the rest of the member is the peer's to size.
    char text[64];
    (void)snprintf(text, sizeof text, "error code %llu",  // 31 bytes at most: fits
                   static_cast<unsigned long long>(reply["error"]["code"].asUInt64()));
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): RunProtocol: %s\n", __LINE__, text);
    return ERR_SERVER;
  }
  return ERR_OK;
}
