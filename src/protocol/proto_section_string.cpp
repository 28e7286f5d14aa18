#include "protocol/proto_section_string.h"

#include <cerrno>
#include <cstring>

#include "foundation/logger.h"
#include "foundation/utility.h"
#include "protocol/proto_section_internal.h"
#include "transport/channel.h"

using proto_section_internal::ErrnoText;
using proto_section_internal::kComponent;
using proto_section_internal::kMaxStringBytes;

namespace {

// Variable data holding `bytes`.
ErrorCode WriteText(Channel& ch, const std::string& bytes) {
  if (bytes.size() > kMaxVarData) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteString: %zu bytes exceed %u\n", __LINE__,
                   bytes.size(), kMaxVarData);
    return ERR_INVAL;
  }
  ErrorCode rc = ProtoWriteVarData(ch, bytes.data(), static_cast<int>(bytes.size()));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteString: %s\n", __LINE__,
                   GetErrorString(rc));
  }
  return rc;
}

// Variable data of at most kMaxStringBytes; `bytes` gets them up to the
// first NUL. The count as it arrived.
int ReadText(Channel& ch, std::string& bytes) {
  char buf[kMaxStringBytes];
  int rc = ProtoReadVarData(ch, buf, sizeof buf);
  if (rc < 0) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadString: %s\n", __LINE__,
                   GetErrorString(CodeOfStatus(rc)));
    return rc;
  }
  // Bounded by the count: a text that fills the buffer has no terminator.
  bytes.assign(buf, strnlen(buf, static_cast<size_t>(rc)));
  return rc;
}

// True when the units up to the first NUL pair every surrogate: only such a
// text has a UTF-8 form.
bool IsValidUtf16(const std::u16string& text) {
  for (size_t i = 0; i < text.size() && text[i] != u'\0'; ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// The UTF-8 bytes of a wide text, up to its first NUL.
ErrorCode WideToBytes(const std::u16string& in, std::string& out) {
  if (!IsValidUtf16(in)) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): wcstombs: %s\n", __LINE__,
                   ErrnoText(EILSEQ).c_str());
    return ERR_INVAL;
  }
  ustring u(in.c_str());
  out.assign(u.c_str_utf8(), u.length());
  return ERR_OK;
}

// The wide text of received bytes (which hold no NUL).
ErrorCode BytesToWide(const std::string& in, std::u16string& out) {
  ustring u(in);
  if (!ustring::is_valid(u)) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): mbstowcs: %s\n", __LINE__,
                   ErrnoText(EILSEQ).c_str());
    return ERR_PROTO;
  }
  out = u.c_str();
  return ERR_OK;
}

std::string Scrambled(const std::string& plain) {
  std::string wire;
  SyncPassEnc(plain, wire);
  return wire;
}

std::string Unscrambled(const std::string& wire) {
  std::string plain;
  SyncPassDec(wire, plain);
  return plain;
}

// A variable section holding `bytes`.
ErrorCode WriteTextSection(Channel& ch, unsigned char id, const std::string& bytes) {
  const SYNC_SECTION_ATTR* attr = ProtoGetSecAttr(id);
  if (attr == nullptr || !attr->hasLen) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: bad attribute [section = %d]\n", __LINE__, id);
    return ERR_PROTO;
  }
  // Before the id goes out: a refused text leaves nothing behind.
  if (bytes.size() > kMaxVarData) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteSection: %s, %zu bytes exceed %u\n",
                   __LINE__, attr->name, bytes.size(), kMaxVarData);
    return ERR_INVAL;
  }
  ErrorCode rc = ch.WriteByte(id);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] proto-common(%d): WriteSection: Failed to write section (%d)\n", __LINE__, ErrorNumber(rc));
    return rc;
  }
  rc = WriteText(ch, bytes);
  if (rc != ERR_OK) return rc;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteSection: %s, string, %s\n", __LINE__,
                 attr->name, bytes.c_str());
  return ERR_OK;
}

// 3 + the count as it arrived; `bytes` gets the text up to its first NUL.
int ReadTextSection(Channel& ch, unsigned char id, std::string& bytes) {
  const SYNC_SECTION_ATTR* attr = ProtoGetSecAttr(id);
  if (attr == nullptr || !attr->hasLen) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: bad attribute [sec = %d]\n",
                   __LINE__, id);
    return ErrorNumber(ERR_PROTO);
  }
  const ErrorCode id_rc = proto_section_internal::ReadSectionId(ch, *attr);
  if (id_rc != ERR_OK) return ErrorNumber(id_rc);
  const int rc = ReadText(ch, bytes);
  if (rc < 0) return rc;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): ReadSection: %s, string, %s\n", __LINE__,
                 attr->name, bytes.c_str());
  return 3 + rc;
}

}  // namespace

ErrorCode ProtoWriteString(Channel& ch, const std::string& text) { return WriteText(ch, text); }

ErrorCode ProtoWriteString(Channel& ch, const std::u16string& text) {
  std::string bytes;
  ErrorCode rc = WideToBytes(text, bytes);
  return rc != ERR_OK ? rc : WriteText(ch, bytes);
}

ErrorCode ProtoWriteString(Channel& ch, const ustring& text) {
  return WriteText(ch, std::string(text.c_str_utf8(), text.length()));
}

int ProtoReadString(Channel& ch, std::string& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc >= 0) text.swap(bytes);
  return rc;
}

int ProtoReadString(Channel& ch, std::u16string& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc < 0) return rc;
  ErrorCode conv = BytesToWide(bytes, text);
  return conv != ERR_OK ? ErrorNumber(conv) : rc;
}

int ProtoReadString(Channel& ch, ustring& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc >= 0) text.assign(bytes.data(), bytes.size());
  return rc;
}

ErrorCode ProtoWriteEncString(Channel& ch, const std::string& text) { return WriteText(ch, Scrambled(text)); }

ErrorCode ProtoWriteEncString(Channel& ch, const std::u16string& text) {
  std::string bytes;
  ErrorCode rc = WideToBytes(text, bytes);
  return rc != ERR_OK ? rc : WriteText(ch, Scrambled(bytes));
}

ErrorCode ProtoWriteEncString(Channel& ch, const ustring& text) {
  return WriteText(ch, Scrambled(std::string(text.c_str_utf8(), text.length())));
}

int ProtoReadDecString(Channel& ch, std::string& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc >= 0) text = Unscrambled(bytes);
  return rc;
}

int ProtoReadDecString(Channel& ch, std::u16string& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc < 0) return rc;
  ErrorCode conv = BytesToWide(Unscrambled(bytes), text);
  return conv != ERR_OK ? ErrorNumber(conv) : rc;
}

int ProtoReadDecString(Channel& ch, ustring& text) {
  std::string bytes;
  int rc = ReadText(ch, bytes);
  if (rc < 0) return rc;
  std::string plain = Unscrambled(bytes);
  text.assign(plain.data(), plain.size());
  return rc;
}

ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, const ustring& text) {
  return WriteTextSection(ch, id, std::string(text.c_str_utf8(), text.length()));
}

int ProtoReadSection(Channel& ch, unsigned char id, ustring& text) {
  std::string bytes;
  int rc = ReadTextSection(ch, id, bytes);
  if (rc >= 0) text.assign(bytes.data(), bytes.size());
  return rc;
}

ErrorCode ProtoWriteEncSection(Channel& ch, unsigned char id, const ustring& text) {
  return WriteTextSection(ch, id, Scrambled(std::string(text.c_str_utf8(), text.length())));
}

int ProtoReadDecSection(Channel& ch, unsigned char id, ustring& text) {
  std::string bytes;
  int rc = ReadTextSection(ch, id, bytes);
  if (rc < 0) return rc;
  std::string plain = Unscrambled(bytes);
  text.assign(plain.data(), plain.size());
  return rc;
}
