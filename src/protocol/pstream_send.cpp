// PStream: the encoder.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/logger.h"
#include "protocol/pstream.h"
#include "protocol/pstream_internal.h"
#include "protocol/xfopen.h"
#include "transport/channel.h"

using namespace pstream_internal;

namespace {

// Closes a stream that was only read: nothing can be lost, so the result of
// fclose does not matter.
struct ReadFileCloser {
  void operator()(FILE* fp) const { (void)std::fclose(fp); }
};

}  // namespace

PStream::Code PStream::Put(Channel& ch, const void* bytes, size_t len) {
  const char* p = static_cast<const char*>(bytes);
  const size_t piece = std::max<size_t>(ch.GetCapacity(), 1);
  while (len > 0) {
    size_t n = std::min(len, piece);
    const ErrorCode rc = ch.Write(p, n);
    if (rc != ERR_OK) return ChannelFailed(rc, __LINE__);
    p += n;
    len -= n;
  }
  return Code::kOk;
}

PStream::Code PStream::SendObject(Channel& ch, const PObject& obj) {
  switch (obj.type) {
    case PObject::TYPE_NULL:
      return SendNull(ch);
    case PObject::TYPE_INTEGER:
      return SendInteger(ch, obj.asUInt64());
    case PObject::TYPE_STRING: {
      const ustring& s = obj.value<ustring>();
      return SendString(ch, s.c_str_utf8(), s.length());
    }
    case PObject::TYPE_MAP:
      return SendMap(ch, obj.value<PObject::map_type>());
    case PObject::TYPE_ARRAY:
      return SendArray(ch, obj.value<PObject::array_type>());
    case PObject::TYPE_BINARY:
      return SendBinary(ch, obj.value<PObject::binary_type>());
    default:
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): unknown value type %d\n", __LINE__, obj.type);
      return Code::kSys;
  }
}

PStream::Code PStream::SendNull(Channel& ch) {
  UpdateStatus(0, 0);
  const uint8_t bytes[2] = {kTagNull, 0};
  return Put(ch, bytes, sizeof bytes);
}

PStream::Code PStream::SendInteger(Channel& ch, uint64_t value) {
  UpdateStatus(0, 0);
  uint8_t width = value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 0x100000000ULL ? 4 : 8;
  uint8_t bytes[10] = {kTagInteger, width};
  for (int i = 0; i < width; ++i) bytes[2 + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
  Code rc = Put(ch, bytes, 2u + width);
  if (rc != Code::kOk) return rc;
  if (dump) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s%llu\n", Indent(), static_cast<unsigned long long>(value));
  }
  return Code::kOk;
}

PStream::Code PStream::SendString(Channel& ch, const char* text, size_t len) {
  if (len > kMaxString) {
    // The count field would disagree with the bytes and put the peer out of
    // step; no message of the daemon carries such a string.
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): string of %zu bytes is too long to send\n",
                   __LINE__, len);
    return Code::kStream;
  }
  UpdateStatus(0, 0);
  uint8_t head[3 + 125] = {kTagString, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
  Code rc;
  if (len <= sizeof head - 3) {
    // Short strings (nearly all keys and values) in one write.
    std::memcpy(head + 3, text, len);
    rc = Put(ch, head, 3 + len);
  } else {
    rc = Put(ch, head, 3);
    if (rc == Code::kOk) rc = Put(ch, text, len);
  }
  if (rc != Code::kOk) return rc;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s\"%s\"\n", Indent(), text);
  return Code::kOk;
}

PStream::Code PStream::SendMap(Channel& ch, const PObject::map_type& map) {
  if (indent >= kMaxDepth) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): containers nested deeper than %zu\n", __LINE__,
                   kMaxDepth);
    return Code::kStream;
  }
  const uint8_t tag = kTagMap;
  Code rc = Put(ch, &tag, 1);
  if (rc != Code::kOk) return rc;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s{\n", Indent());
  ++indent;
  for (const auto& [key, value] : map) {
    // One leading underscore is stripped on the wire: "_action" goes out as
    // "action", "__x" as "_x".
    const char* wire = key.c_str_utf8();
    size_t len = key.length();
    if (len > 0 && wire[0] == '_') {
      ++wire;
      --len;
    }
    rc = SendString(ch, wire, len);
    if (rc != Code::kOk) return rc;
    PushKey(wire, len);
    rc = SendObject(ch, value);
    if (rc != Code::kOk) return rc;  // the key stays on the history for the error stack
    PopKey();
  }
  const uint8_t end = kTagEnd;
  rc = Put(ch, &end, 1);
  if (rc != Code::kOk) return rc;
  --indent;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s}\n", Indent());
  return Code::kOk;
}

PStream::Code PStream::SendArray(Channel& ch, const PObject::array_type& array) {
  if (indent >= kMaxDepth) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): containers nested deeper than %zu\n", __LINE__,
                   kMaxDepth);
    return Code::kStream;
  }
  const uint8_t tag = kTagArray;
  Code rc = Put(ch, &tag, 1);
  if (rc != Code::kOk) return rc;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s[\n", Indent());
  ++indent;
  for (const PObject& element : array) {
    rc = SendObject(ch, element);
    if (rc != Code::kOk) return rc;
  }
  const uint8_t end = kTagEnd;
  rc = Put(ch, &end, 1);
  if (rc != Code::kOk) return rc;
  --indent;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s]\n", Indent());
  return Code::kOk;
}

PStream::Code PStream::SendBinary(Channel& ch, const PObject::binary_type& binary) {
  const uint64_t length = binary.length;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kBinaryChunk]);
  if (!buf) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): malloc error\n", __LINE__);
    return Code::kSys;
  }
  // The file is opened and positioned before anything of the value is
  // written, also for a length of 0: a missing file is an error either way.
  std::unique_ptr<FILE, ReadFileCloser> fp(xfopen(binary.path, "rb"));
  if (!fp) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fopen(%s) error\n", __LINE__,
                   binary.path.c_str_utf8());
    return Code::kSys;
  }
  // Reads go straight into our buffer; stdio's own would only add a copy.
  (void)std::setvbuf(fp.get(), nullptr, _IONBF, 0);  // cannot fail before the first read
  if (binary.offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(fp.get(), static_cast<off_t>(binary.offset), SEEK_SET) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fseek error\n", __LINE__);
    return Code::kSys;
  }

  uint8_t head[9] = {kTagBinary};
  for (int i = 0; i < 8; ++i) head[1 + i] = static_cast<uint8_t>(length >> (56 - 8 * i));
  Code rc = Put(ch, head, sizeof head);
  if (rc != Code::kOk) return rc;
  UpdateStatus(0, length);

  // A channel refuses a block larger than its ring.
  const size_t piece = std::max<size_t>(std::min(kBinaryChunk, ch.GetCapacity()), 1);
  uint64_t sent = 0;
  while (sent < length && !std::feof(fp.get())) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(piece, length - sent));
    size_t got = std::fread(buf.get(), 1, want, fp.get());
    if (got < want && std::ferror(fp.get())) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fread error\n", __LINE__);
      return Code::kSys;
    }
    if (got > 0) {
      const ErrorCode w = ch.Write(buf.get(), got);
      if (w != ERR_OK) return ChannelFailed(w, __LINE__);
    }
    sent += got;
    if (got > 0 && sent % kProgressStep == 0) {
      Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] stream(%d): sending %s ... (%llu / %llu)\n", __LINE__,
                     binary.path.c_str_utf8(), static_cast<unsigned long long>(sent),
                     static_cast<unsigned long long>(length));
    }
    UpdateStatus(sent, length);
  }
  if (sent != length) {
    // The bytes already written stay in the channel: the caller must give
    // the connection up.
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): file length is incorrect.\n", __LINE__);
    return Code::kStream;
  }
  if (dump) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "%sbinary, %llu bytes\n", Indent(),
                   static_cast<unsigned long long>(length));
  }
  return Code::kOk;
}
