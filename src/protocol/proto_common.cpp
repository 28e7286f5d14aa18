#include "protocol/proto_common.h"

#include "foundation/logger.h"
#include "transport/channel.h"

std::atomic<unsigned char> PROTO_VERSION{70};

namespace {

constexpr const char* kComponent = "proto_common_debug";

// The version every supported peer speaks; its tens decide compatibility.
constexpr int kOwnVersion = 70;

}  // namespace

ErrorCode ProtoWriteHeader(Channel& ch, unsigned short pkt_len, unsigned char cmd) {
  const unsigned char version = PROTO_VERSION.load(std::memory_order_relaxed);
  ErrorCode rc = ch.WriteInt32(PROTO_MAGIC);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteHeader: Failed to write magic\n",
                   __LINE__);
    return rc;
  }
  rc = ch.WriteByte(version);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteHeader: Failed to write version (%d)\n", __LINE__, version);
    return rc;
  }
  rc = ch.WriteByte(cmd);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteHeader: Failed to write command (%d)\n", __LINE__, cmd);
    return rc;
  }
  rc = ch.WriteInt16(pkt_len);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteHeader: Failed to write payload length (%d)\n", __LINE__,
                   pkt_len);
    return rc;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteHeader: %s, pkt_len = %d\n",
                 __LINE__, ProtoCmd2String(cmd), pkt_len);
  return ERR_OK;
}

ErrorCode ProtoReadHeader(Channel& ch, unsigned short& pkt_len, unsigned char& cmd, unsigned char& version) {
  uint32_t magic = 0;
  ErrorCode rc = ch.ReadInt32(&magic);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadHeader: Failed to read magic\n",
                   __LINE__);
    return rc;
  }
  ch.SetTimeout(10);
  if (magic != PROTO_MAGIC) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Invalid protocol (%x)\n", __LINE__, magic);
    return ERR_PROTO;
  }
  uint8_t byte = 0;
  rc = ch.ReadByte(&byte);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadHeader: Failed to read version\n",
                   __LINE__);
    return rc;
  }
  version = byte;
  rc = ch.ReadByte(&byte);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadHeader: Failed to read command\n",
                   __LINE__);
    return rc;
  }
  cmd = byte;
  uint16_t len = 0;
  rc = ch.ReadInt16(&len);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): ReadHeader: Failed to read payload length\n", __LINE__);
    return rc;
  }
  pkt_len = len;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ProtoReadHeader: %s, pkt_len = %d\n",
                 __LINE__, ProtoCmd2String(cmd), pkt_len);
  return ERR_OK;
}

void InitRequest(PObject& request, const std::string& action) {
  request["_action"] = ustring(action);
  PObject& agent = request["_agent"];
  // The server identifies clients by this platform name.
  agent["platform"] = "Windows";
  PObject& version = agent["version"];
  version["major"] = 3;
  version["minor"] = 0;
  version["build"] = 3005;
}

void ProtoInit(unsigned char version) { PROTO_VERSION.store(version, std::memory_order_relaxed); }

int ProtoCheck(int peer_version) {
  if (peer_version >= 80) return PV_UNSUPPORT_OLD_CLIENT;
  if (peer_version < kOwnVersion) return PV_UNSUPPORT_OLD_SERVER;
  if (peer_version != kOwnVersion) return PV_UNMATCH_SUPPORT;
  return PV_MATCH_SUPPORT;
}

int ProtoConnect(Channel& ch, const char* ip, int port) { return ch.Open(ip, port) != ERR_OK ? -1 : 0; }

int ProtoDisconnect(Channel& ch) {
  // Close has flushed what it could; nothing of the section protocol
  // depends on its result.
  (void)ch.Close();
  return 0;
}

const char* ProtoCmd2String(unsigned char cmd) {
  static const char* const kNames[] = {
      "Unknown command",
      "SCMD_REQUEST",
      "SCMD_KEEP_ALIVE",
      "SCMD_AUTH",
      "SCMD_NOTIFY",
      "SCMD_LOGOUT",
      "SCMD_EVT_PULL",
      "SCMD_EVT_RECV",
      "SCMD_NEW_EVT_INFO",
      "SCMD_EVT_SEND",
      "SCMD_USER_CTRL",
      "SCMD_TEST_CONN",
      "SCMD_RESPONSE",
      "SCMD_USER_CHECK",
      "SCMD_REQUEST_CONNECT",
      "SCMD_EVT_REMOVE",
      "SCMD_GET_FILTER",
      "SCMD_LIST_VIEW",
      "SCMD_AUTH_2",
      "SCMD_EVT_RECV_2",
      "SCMD_REQUEST_SSL",
      "SCMD_EVT_RECV_3",
      "SCMD_REQUEST_SSL_2",
      // The log has always named 23 and 24 by their older commands.
      "SCMD_PKG_VER_QUERY",
      "SCMD_GET_FOLDER_LIST",
  };
  return cmd < sizeof kNames / sizeof kNames[0] ? kNames[cmd] : "Unknown command";
}

const char* ProtoGetErroString(int code) {
  switch (code) {
    case 0:
      return "Protocol finished successfully";
    case 1:
      return "Protocol aborted due to interrupt";
    case 2:
      return "Protocol aborted due to IO error";
    case 3:
      return "Protocol aborted due to authentication failure";
    case 4:
      return "Protocol aborted due to invalid argument";
    default:
      return "Unknown protocol error";
  }
}
