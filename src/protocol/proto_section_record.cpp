#include "protocol/proto_section_record.h"

#include <cerrno>
#include <cstdio>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "protocol/proto_section_internal.h"
#include "protocol/proto_section_string.h"
#include "transport/channel.h"

using proto_section_internal::ErrnoText;
using proto_section_internal::kComponent;

namespace {

// Reads "major.minor.build": three runs of decimal digits, each at most
// UINT32_MAX, joined by ".". No sign, no blank, no overflow: sscanf's %u
// would take "-1" as 4294967295 and has undefined behaviour on overflow.
bool ParseVersion(const char* s, uint32_t out[3]) {
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *s++ != '.') return false;
    if (*s < '0' || *s > '9') return false;
    uint64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
      v = v * 10 + static_cast<uint64_t>(*s - '0');
      if (v > UINT32_MAX) return false;
    }
    out[i] = static_cast<uint32_t>(v);
  }
  return true;
}

// `who` is "FilterVersion" or "ProtocolVersion".
ErrorCode WriteVersion(Channel& ch, unsigned char id, const char* who, uint32_t major, uint32_t minor, uint32_t build) {
  // Room for the longest text and its terminator: three 10-digit numbers
  // and two dots are exactly kMaxVersionText bytes.
  char text[kMaxVersionText + 1];
  int n = snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
    int err = n < 0 ? errno : EOVERFLOW;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Write%s: snprintf: %s (%d).\n", __LINE__, who,
                   ErrnoText(err).c_str(), err);
    return ERR_INVAL;
  }
  ErrorCode rc = ProtoWriteSection(ch, id, text, static_cast<unsigned>(n));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Write%s: fail to send version. %s.\n",
                   __LINE__, who, GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}

ErrorCode ReadVersion(Channel& ch, unsigned char id, const char* who, uint32_t out[3]) {
  // One byte more than the reader accepts, for the terminator.
  char text[kMaxVersionText + 1];
  unsigned n = 0;
  ErrorCode rc = CodeOfStatus(ProtoReadSection(ch, id, text, kMaxVersionText, n));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Read%s: fail to recv version. %s.\n", __LINE__,
                   who, GetErrorString(rc));
    return rc;
  }
  text[n] = '\0';
  if (!ParseVersion(text, out)) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Read%s: sscanf: %s (%d).\n", __LINE__, who,
                   ErrnoText(EINVAL).c_str(), EINVAL);
    return ERR_PROTO;
  }
  return ERR_OK;
}

}  // namespace

ErrorCode ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& block) {
  ErrorCode rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, static_cast<unsigned int>(block.mtime));
  return rc;
}

ErrorCode ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& block) {
  unsigned int mtime = 0;
  ErrorCode rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_FILETIME, mtime));
  if (rc != ERR_OK) return rc;
  block.mtime = mtime;
  return ERR_OK;
}

ErrorCode ProtoWriteView(Channel& ch, const View& view) {
  ErrorCode rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_ID, static_cast<unsigned long long>(view.view_id));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteView: fail to send view id. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_NAME, view.name);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteView: fail to send view name. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}

ErrorCode ProtoReadView(Channel& ch, View& view) {
  unsigned long long view_id = 0;
  ErrorCode rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_VIEW_ID, view_id));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadView: fail to recv view id. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  ustring name;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_VIEW_NAME, name));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadView: fail to recv view name. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  view.view_id = view_id;
  view.name.swap(name);
  return ERR_OK;
}

ErrorCode ProtoWriteObjectId(Channel& ch, const ObjectID& id) {
  ErrorCode rc = ProtoWriteSection(ch, SPROTO_ID_SID, static_cast<unsigned long long>(id.sync_id));
  if (rc != ERR_OK) return rc;
  rc = ProtoWriteSection(ch, SPROTO_ID_PATH, id.path);
  return rc;
}

ErrorCode ProtoReadObjectId(Channel& ch, ObjectID& id) {
  unsigned long long sync_id = 0;
  ErrorCode rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_SID, sync_id));
  if (rc != ERR_OK) return rc;
  ustring path;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_PATH, path));
  if (rc != ERR_OK) return rc;
  id.sync_id = sync_id;
  id.path.swap(path);
  return ERR_OK;
}

ErrorCode ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& meta) {
  ErrorCode rc = ProtoWriteSection(ch, SPROTO_ID_FILESIZE, static_cast<unsigned long long>(meta.size));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send size. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, static_cast<unsigned int>(meta.mtime));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send modified time. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_FILEHASH, meta.hash);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send file checksum. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}

ErrorCode ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& meta) {
  unsigned long long size = 0;
  ErrorCode rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_FILESIZE, size));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse size. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  unsigned int mtime = 0;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_FILETIME, mtime));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse modified time. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  ustring hash;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_FILEHASH, hash));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse file hash. %s\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  meta.size = size;
  meta.mtime = mtime;
  meta.hash.swap(hash);
  return ERR_OK;
}

ErrorCode ProtoWriteFilterVersion(Channel& ch, const FilterVersion& version) {
  return WriteVersion(ch, SPROTO_ID_FILTER_VERSION, "FilterVersion", version.major, version.minor, version.build);
}

ErrorCode ProtoReadFilterVersion(Channel& ch, FilterVersion& version) {
  uint32_t v[3];
  ErrorCode rc = ReadVersion(ch, SPROTO_ID_FILTER_VERSION, "FilterVersion", v);
  if (rc != ERR_OK) return rc;
  version.major = v[0];
  version.minor = v[1];
  version.build = v[2];
  return ERR_OK;
}

ErrorCode ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& version) {
  return WriteVersion(ch, SPROTO_ID_PROTO_VERSION_2, "ProtocolVersion", version.major, version.minor, version.build);
}

ErrorCode ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& version) {
  uint32_t v[3];
  ErrorCode rc = ReadVersion(ch, SPROTO_ID_PROTO_VERSION_2, "ProtocolVersion", v);
  if (rc != ERR_OK) return rc;
  version.major = v[0];
  version.minor = v[1];
  version.build = v[2];
  return ERR_OK;
}

ErrorCode ProtoWriteKeepAliveControl(Channel& ch, unsigned time) {
  ErrorCode rc = ProtoWriteHeader(ch, 0, SCMD_KEEP_ALIVE);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fail to send keep-alive header. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_KEEP_ALIVE_OPTION, 0u);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fail to send keep-alive option. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_KEEP_ALIVE_CONTROL, static_cast<unsigned int>(KEEP_ALIVE_CONTROL));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fail to send keep-alive control. %s.\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_ALIVE, time);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fail to send keep-alive time. %s.\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fail to send keep-alive data. %s.\n", __LINE__,
                   GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}
