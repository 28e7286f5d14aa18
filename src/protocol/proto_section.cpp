#include "protocol/proto_section.h"

#include <cstring>
#include <type_traits>

#include "foundation/logger.h"
#include "protocol/proto_section_internal.h"
#include "transport/channel.h"

using proto_section_internal::kComponent;

namespace {

constexpr SYNC_SECTION_ATTR Fixed(uint8_t id, uint16_t width, const char* name) {
  return SYNC_SECTION_ATTR{id, false, 1, width, name};
}
constexpr SYNC_SECTION_ATTR Var(uint8_t id, const char* name) { return SYNC_SECTION_ATTR{id, true, 3, 0, name}; }

#define SECTION_FIXED(id, width) Fixed(id, width, #id)
#define SECTION_VAR(id) Var(id, #id)

// Indexed by id; row 0 marks an invalid id.
constexpr SYNC_SECTION_ATTR kSectionAttr[] = {
    SYNC_SECTION_ATTR{0, false, 0, 0, ""},
    SECTION_FIXED(SPROTO_ID_RES, 1),
    SECTION_FIXED(SPROTO_ID_TYPE, 1),
    SECTION_VAR(SPROTO_ID_USER),
    SECTION_VAR(SPROTO_ID_PASSWD),
    SECTION_VAR(SPROTO_ID_CLIENT),
    SECTION_VAR(SPROTO_ID_SESSION),
    SECTION_VAR(SPROTO_ID_PATH),
    SECTION_FIXED(SPROTO_ID_NOTIFY, 1),
    SECTION_FIXED(SPROTO_ID_SID, 8),
    SECTION_VAR(SPROTO_ID_PREFIX),
    SECTION_FIXED(SPROTO_ID_EVT_COUNT, 8),
    SECTION_FIXED(SPROTO_ID_SEQID, 4),
    SECTION_FIXED(SPROTO_ID_EVTID, 8),
    SECTION_FIXED(SPROTO_ID_FILETYPE, 1),
    SECTION_FIXED(SPROTO_ID_FILESTATUS, 1),
    SECTION_VAR(SPROTO_ID_FILEHASH),
    SECTION_FIXED(SPROTO_ID_FILETIME, 4),
    SECTION_FIXED(SPROTO_ID_FILESIZE, 8),
    SECTION_VAR(SPROTO_ID_FILEUPDATER),
    SECTION_FIXED(SPROTO_ID_FILEOP, 1),
    SECTION_FIXED(SPROTO_ID_DELTALEN, 8),
    SECTION_VAR(SPROTO_ID_DELTADATA),
    SECTION_FIXED(SPROTO_ID_DELTACOUNT, 4),
    SECTION_FIXED(SPROTO_ID_DELTAID, 4),
    SECTION_FIXED(SPROTO_ID_DELTATYPE, 1),
    SECTION_FIXED(SPROTO_ID_USRENABLE, 1),
    SECTION_VAR(SPROTO_ID_SERIAL_NUMBER),
    SECTION_FIXED(SPROTO_ID_PROTO_VERSION, 1),
    SECTION_VAR(SPROTO_ID_SERVER_ID),
    SECTION_FIXED(SPROTO_ID_ALIVE, 4),
    SECTION_FIXED(SPROTO_ID_DATA_BLOCK, 4),
    SECTION_FIXED(SPROTO_ID_SYNC_BLOCK, 4),
    SECTION_VAR(SPROTO_ID_MACHASH),
    SECTION_FIXED(SPROTO_ID_MACSIZE, 8),
    SECTION_FIXED(SPROTO_ID_AUTH_TYPE, 1),
    SECTION_FIXED(SPROTO_ID_VIEW_ID, 8),
    SECTION_VAR(SPROTO_ID_VIEW_NAME),
    SECTION_FIXED(SPROTO_ID_VIEW_COUNT, 4),
    SECTION_FIXED(SPROTO_ID_META_BLOCK, 4),
    SECTION_VAR(SPROTO_ID_FILTER_VERSION),
    SECTION_VAR(SPROTO_ID_PROTO_VERSION_2),
    SECTION_FIXED(SPROTO_ID_KEEP_ALIVE_OPTION, 4),
    SECTION_FIXED(SPROTO_ID_KEEP_ALIVE_CONTROL, 4),
    SECTION_FIXED(SPROTO_ID_ACK_OPTION, 4),
    SECTION_FIXED(SPROTO_ID_SSL_OPTION, 4),
    SECTION_FIXED(SPROTO_ID_SSL_RESPONSE_OPTION, 4),
    SECTION_FIXED(SPROTO_ID_PKG_MAJOR_VERSION, 2),
    SECTION_FIXED(SPROTO_ID_PKG_MINOR_VERSION, 2),
    SECTION_FIXED(SPROTO_ID_PKG_BUILDNUM, 4),
    SECTION_FIXED(SPROTO_ID_FOLDER_COUNT, 4),
    SECTION_VAR(SPROTO_ID_JOB_TOKEN),
    SECTION_FIXED(SPROTO_ID_FILE_OFFSET, 8),
    SECTION_VAR(SPROTO_ID_PATCH_TOKEN),
};

#undef SECTION_FIXED
#undef SECTION_VAR

constexpr bool RowsMatchIds() {
  for (unsigned i = 0; i < sizeof kSectionAttr / sizeof kSectionAttr[0]; ++i) {
    if (kSectionAttr[i].id != i) return false;
  }
  return true;
}
static_assert(sizeof kSectionAttr / sizeof kSectionAttr[0] == SPROTO_ID_MAX + 1u, "one row per id and row 0");
static_assert(RowsMatchIds(), "row i describes id i");

// The row of a fixed section of `width` bytes, or null.
const SYNC_SECTION_ATTR* FixedAttr(unsigned char id, size_t width) {
  const SYNC_SECTION_ATTR* attr = ProtoGetSecAttr(id);
  return attr != nullptr && !attr->hasLen && attr->len == width ? attr : nullptr;
}

// The row of a variable section, or null.
const SYNC_SECTION_ATTR* VarAttr(unsigned char id) {
  const SYNC_SECTION_ATTR* attr = ProtoGetSecAttr(id);
  return attr != nullptr && attr->hasLen ? attr : nullptr;
}

ErrorCode Put(Channel& ch, unsigned char v) { return ch.WriteByte(v); }
ErrorCode Put(Channel& ch, unsigned short v) { return ch.WriteInt16(v); }
ErrorCode Put(Channel& ch, unsigned int v) { return ch.WriteInt32(v); }
ErrorCode Put(Channel& ch, unsigned long long v) { return ch.WriteInt64(v); }

ErrorCode Get(Channel& ch, unsigned char& v) { return ch.ReadByte(&v); }
ErrorCode Get(Channel& ch, unsigned short& v) { return ch.ReadInt16(&v); }
ErrorCode Get(Channel& ch, unsigned int& v) { return ch.ReadInt32(&v); }
ErrorCode Get(Channel& ch, unsigned long long& v) {
  uint64_t x = 0;
  ErrorCode rc = ch.ReadInt64(&x);
  if (rc == ERR_OK) v = x;
  return rc;
}

template <typename V>
constexpr const char* TypeName() {
  if constexpr (sizeof(V) == 1) return "uint8_t";
  if constexpr (sizeof(V) == 2) return "uint16_t";
  return "uint32_t";
}

template <typename V>
ErrorCode WriteFixed(Channel& ch, unsigned char id, V value) {
  static_assert(std::is_unsigned_v<V>);
  const SYNC_SECTION_ATTR* attr = FixedAttr(id, sizeof(V));
  if (attr == nullptr) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: bad attribute [section = %d]\n", __LINE__, id);
    return ERR_PROTO;
  }
  ErrorCode rc = ch.WriteByte(id);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: Failed to write section (%d)\n", __LINE__, ErrorNumber(rc));
    return rc;
  }
  rc = Put(ch, value);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: Failed to write section data\n", __LINE__);
    return rc;
  }
  if constexpr (sizeof(V) == 8) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteSection: %s, uint64_t, %llu\n",
                   __LINE__, attr->name, static_cast<unsigned long long>(value));
  } else {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteSection: %s, %s, %u\n", __LINE__,
                   attr->name, TypeName<V>(), static_cast<unsigned>(value));
  }
  return ERR_OK;
}

template <typename V>
int ReadFixed(Channel& ch, unsigned char id, V& value) {
  static_assert(std::is_unsigned_v<V>);
  const SYNC_SECTION_ATTR* attr = FixedAttr(id, sizeof(V));
  if (attr == nullptr) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: bad attribute [sec = %d]\n",
                   __LINE__, id);
    return ErrorNumber(ERR_PROTO);
  }
  ErrorCode rc = proto_section_internal::ReadSectionId(ch, *attr);
  if (rc != ERR_OK) return ErrorNumber(rc);
  V v = 0;
  rc = Get(ch, v);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n",
                   __LINE__);
    return ErrorNumber(rc);
  }
  if constexpr (sizeof(V) == 8) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: %s, uint64_t, %llu\n", __LINE__,
                   attr->name, static_cast<unsigned long long>(v));
  } else {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: %s, %s, %u\n", __LINE__,
                   attr->name, TypeName<V>(), static_cast<unsigned>(v));
  }
  value = v;
  return 1 + static_cast<int>(sizeof(V));
}

}  // namespace

namespace proto_section_internal {

ErrorCode PutBytes(Channel& ch, const char* bytes, size_t len) {
  const size_t piece = ch.GetCapacity();
  while (len > 0) {
    size_t n = len < piece ? len : piece;
    ErrorCode rc = ch.Write(bytes, n);
    if (rc != ERR_OK) return rc;
    bytes += n;
    len -= n;
  }
  return ERR_OK;
}

ErrorCode ReadSectionId(Channel& ch, const SYNC_SECTION_ATTR& attr) {
  uint8_t got = 0;
  ErrorCode rc = ch.ReadByte(&got);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: Failed to read section\n",
                   __LINE__);
    return rc;
  }
  if (got != attr.id) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Expect section id #%d but get section #%d\n",
                   __LINE__, attr.id, got);
    return ERR_PROTO;
  }
  return ERR_OK;
}

std::string ErrnoText(int err) {
  char buf[256];
  // The GNU form: the text may or may not be placed in `buf`.
  return strerror_r(err, buf, sizeof buf);
}

}  // namespace proto_section_internal

const SYNC_SECTION_ATTR* ProtoGetSecAttr(unsigned char id) {
  if (id == 0 || id > SPROTO_ID_MAX) return nullptr;
  return &kSectionAttr[id];
}

ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned char value) { return WriteFixed(ch, id, value); }
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned short value) { return WriteFixed(ch, id, value); }
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned int value) { return WriteFixed(ch, id, value); }
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, unsigned long long value) {
  return WriteFixed(ch, id, value);
}
int ProtoReadSection(Channel& ch, unsigned char id, unsigned char& value) { return ReadFixed(ch, id, value); }
int ProtoReadSection(Channel& ch, unsigned char id, unsigned short& value) { return ReadFixed(ch, id, value); }
int ProtoReadSection(Channel& ch, unsigned char id, unsigned int& value) { return ReadFixed(ch, id, value); }
int ProtoReadSection(Channel& ch, unsigned char id, unsigned long long& value) { return ReadFixed(ch, id, value); }

ErrorCode ProtoWriteVarData(Channel& ch, const char* data, int n) {
  if (data == nullptr || n < 0) return ERR_INVAL;
  if (static_cast<unsigned>(n) > kMaxVarData) {
    // The uint16 count cannot say it: refuse rather than send a count that
    // disagrees with the bytes.
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteVarData: %d bytes exceed %u\n", __LINE__,
                   n, kMaxVarData);
    return ERR_INVAL;
  }
  ErrorCode rc = ch.WriteInt16(static_cast<uint16_t>(n));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteVarData: Failed to write length indicator\n", __LINE__);
    return rc;
  }
  rc = proto_section_internal::PutBytes(ch, data, static_cast<size_t>(n));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteVarData: Failed to write data\n",
                   __LINE__);
    return rc;
  }
  return ERR_OK;
}

int ProtoReadVarData(Channel& ch, char* buf, unsigned max) {
  if (buf == nullptr || max == 0) return ErrorNumber(ERR_INVAL);
  uint16_t count = 0;
  ErrorCode rc = ch.ReadInt16(&count);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadVarData: %s\n", __LINE__,
                   GetErrorString(rc));
    return ErrorNumber(rc);
  }
  if (count > max) {
    // Here max < count <= 65535, so both fit an int.
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Expect only %d bytes but %d bytes coming in\n",
                   __LINE__, static_cast<int>(max), static_cast<int>(count));
    return ErrorNumber(ERR_PROTO);
  }
  if (count == 0) return 0;
  size_t total = 0;
  rc = ch.Read(buf, count, total);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): Expected %d bytes but read only %d bytes\n",
                   __LINE__, static_cast<int>(count), static_cast<int>(total));
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadVarData: %s\n", __LINE__,
                   GetErrorString(rc));
    return ErrorNumber(rc);
  }
  return count;
}

ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, const char* data, unsigned n) {
  const SYNC_SECTION_ATTR* attr = VarAttr(id);
  if (attr == nullptr) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: bad attribute [section = %d]\n", __LINE__, id);
    return ERR_PROTO;
  }
  // Checked before the id goes out, so that a refused section leaves
  // nothing behind.
  if (data == nullptr || n > kMaxVarData) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteSection: %s, %u bytes refused\n",
                   __LINE__, attr->name, n);
    return ERR_INVAL;
  }
  ErrorCode rc = ch.WriteByte(id);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: Failed to write section (%d)\n", __LINE__, ErrorNumber(rc));
    return rc;
  }
  rc = ProtoWriteVarData(ch, data, static_cast<int>(n));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: Failed to write section data\n", __LINE__);
    return rc;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent,
                 "[DEBUG] proto-common(%d): WriteSection: %s, variable-length data, len = %d\n", __LINE__, attr->name,
                 static_cast<int>(n));
  return ERR_OK;
}

int ProtoReadSection(Channel& ch, unsigned char id, char* buf, unsigned max, unsigned& n) {
  const SYNC_SECTION_ATTR* attr = VarAttr(id);
  if (attr == nullptr) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: bad attribute [sec = %d]\n",
                   __LINE__, id);
    return ErrorNumber(ERR_PROTO);
  }
  if (buf == nullptr || max == 0) return ErrorNumber(ERR_INVAL);
  ErrorCode rc = proto_section_internal::ReadSectionId(ch, *attr);
  if (rc != ERR_OK) return ErrorNumber(rc);
  const int count = ProtoReadVarData(ch, buf, max);
  if (count < 0) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n",
                   __LINE__);
    return count;
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent,
                 "[DEBUG] proto-common(%d): ReadSection: %s, variable-length data, data length = %d\n", __LINE__,
                 attr->name, count);
  n = static_cast<unsigned>(count);
  return 3 + count;
}
