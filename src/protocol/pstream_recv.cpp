// PStream: the decoder. Every count, width and tag from the peer is checked
// before it is used; nothing is allocated or created for a value that is
// refused.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "foundation/logger.h"
#include "protocol/pstream.h"
#include "protocol/pstream_internal.h"
#include "protocol/xfopen.h"
#include "transport/channel.h"

using namespace pstream_internal;

namespace {

bool IsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

// Whether receiving a value of this tag drops what `target` holds (the merge
// keeps a target of the same kind).
bool Replaces(uint8_t tag, const PObject& target) {
  switch (tag) {
    case kTagNull:
      return true;
    case kTagString:
      return !target.isString();
    case kTagInteger:
      return !target.isInteger();
    case kTagMap:
      return !target.isMap();
    case kTagArray:
      return !target.isArray();
    case kTagBinary:
      return !target.isBinary();
    default:
      return false;  // refused before the target is touched
  }
}

}  // namespace

PStream::Code PStream::Get(Channel& ch, void* bytes, size_t len) {
  if (len == 0) return Code::kOk;  // the channel refuses an empty read
  const ErrorCode rc = ch.Read(static_cast<char*>(bytes), len);
  return rc != ERR_OK ? ChannelFailed(rc, __LINE__) : Code::kOk;
}

PStream::Code PStream::RecvTag(Channel& ch, uint8_t& tag) {
  const ErrorCode rc = ch.ReadByte(&tag);
  return rc != ERR_OK ? ChannelFailed(rc, __LINE__) : Code::kOk;
}

PStream::Code PStream::RecvObject(Channel& ch, PObject& target) {
  uint8_t tag;
  Code rc = RecvTag(ch, tag);
  if (rc != Code::kOk) return rc;
  return RecvDispatch(ch, tag, target);
}

PStream::Code PStream::RecvDispatch(Channel& ch, uint8_t tag, PObject& target) {
  if (++value_count > value_limit) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): more than %zu values in one message\n",
                   __LINE__, value_limit);
    return Code::kStream;
  }
  // Only a binary, map or array can hold a binary.
  if (!fresh_files.empty() && !target.isNull() && !target.isString() && !target.isInteger() &&
      Replaces(tag, target)) {
    RemoveFreshFiles(target);
  }
  switch (tag) {
    case kTagString:
      return RecvString(ch, target);
    case kTagInteger:
      return RecvInteger(ch, target);
    case kTagMap:
      return RecvMap(ch, target);
    case kTagArray:
      return RecvArray(ch, target);
    case kTagBinary:
      return RecvBinary(ch, target);
    case kTagNull:
      return RecvNull(ch, target);
    default:
      return Skip(ch, tag);
  }
}

void PStream::RemoveFreshFiles(const PObject& value) {
  if (value.isBinary()) {
    const char* path = value.asBinary().path.c_str_utf8();
    if (fresh_files.erase(path) != 0) {
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] stream(%d): binary at %s replaced, file removed\n",
                     __LINE__, path);
      if (unlink(path) != 0) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): unlink(%s): Error code %d\n", __LINE__,
                       path, err);
      }
    }
  } else if (value.isMap()) {
    for (const auto& member : value.asMap()) RemoveFreshFiles(member.second);
  } else if (value.isArray()) {
    for (const PObject& element : value.asArray()) RemoveFreshFiles(element);
  }
}

PStream::Code PStream::Skip(Channel&, uint8_t tag) {
  Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): unknown tag %u\n", __LINE__,
                 static_cast<unsigned>(tag));
  return Code::kStream;
}

PStream::Code PStream::RecvNull(Channel& ch, PObject& target) {
  uint8_t body;
  Code rc = RecvTag(ch, body);
  if (rc != Code::kOk) return rc;
  if (body != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): expect length 0, but we've got %u\n", __LINE__,
                   static_cast<unsigned>(body));
    return Code::kStream;
  }
  target.clear();
  return Code::kOk;
}

PStream::Code PStream::RecvInteger(Channel& ch, PObject& target) {
  UpdateStatus(0, 0);
  uint8_t width;
  Code rc = RecvTag(ch, width);
  if (rc != Code::kOk) return rc;
  if (width > 8) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): integer width %u is above 8\n", __LINE__,
                   static_cast<unsigned>(width));
    return Code::kStream;
  }
  uint8_t bytes[8];
  rc = Get(ch, bytes, width);
  if (rc != Code::kOk) return rc;
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  target.set_integer(value);
  if (dump) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s%llu\n", Indent(), static_cast<unsigned long long>(value));
  }
  return Code::kOk;
}

PStream::Code PStream::RecvString(Channel& ch, ustring& text) {
  UpdateStatus(0, 0);
  uint16_t len;
  const ErrorCode read = ch.ReadInt16(&len);
  if (read != ERR_OK) return ChannelFailed(read, __LINE__);
  if (scratch.size() < len) scratch.resize(len);
  const Code rc = Get(ch, scratch.data(), len);
  if (rc != Code::kOk) return rc;
  // The text ends at the first NUL, as it always has for this encoding.
  text.assign(scratch.data(), len);
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s\"%s\"\n", Indent(), text.c_str_utf8());
  return Code::kOk;
}

PStream::Code PStream::RecvString(Channel& ch, PObject& target) {
  if (!target.isString()) target = ustring();
  return RecvString(ch, target.value<ustring>());
}

PStream::Code PStream::RecvMap(Channel& ch, PObject& target) {
  if (indent >= kMaxDepth) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): containers nested deeper than %zu\n", __LINE__,
                   kMaxDepth);
    return Code::kStream;
  }
  PObject::map_type& map = target.asMap();
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s{\n", Indent());
  ++indent;
  ustring key;
  for (;;) {
    uint8_t tag;
    Code rc = RecvTag(ch, tag);
    if (rc != Code::kOk) return rc;
    if (tag == kTagEnd) break;
    if (tag != kTagString) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): PStream: expect string, but get tag %u\n",
                     __LINE__, static_cast<unsigned>(tag));
      return Code::kStream;
    }
    rc = RecvString(ch, key);
    if (rc != Code::kOk) return rc;
    PushKey(key.c_str_utf8(), key.length());
    // A key that comes twice ("_id" and "id" both arrive as "id") merges the
    // second value into the first.
    rc = RecvObject(ch, map[key]);
    if (rc != Code::kOk) return rc;  // the key stays on the history for the error stack
    PopKey();
  }
  --indent;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s}\n", Indent());
  return Code::kOk;
}

PStream::Code PStream::RecvArray(Channel& ch, PObject& target) {
  if (indent >= kMaxDepth) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): containers nested deeper than %zu\n", __LINE__,
                   kMaxDepth);
    return Code::kStream;
  }
  PObject::array_type& array = target.asArray();
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s[\n", Indent());
  // The array of the sink's key right below the top-level map: its
  // elements go to the sink one by one.
  const bool to_sink = sink && indent == 1 && history_size == 1 && history[0] == sink_key;
  ++indent;
  PObject element;
  for (;;) {
    uint8_t tag;
    Code rc = RecvTag(ch, tag);
    if (rc != Code::kOk) return rc;
    if (tag == kTagEnd) break;
    if (to_sink) {
      element.clear();
      rc = RecvDispatch(ch, tag, element);
      if (rc != Code::kOk) return rc;
      if (sink(element) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): the receiver of %s refused an element\n",
                       __LINE__, sink_key.c_str_utf8());
        return Code::kSys;
      }
      continue;
    }
    array.emplace_back();
    rc = RecvDispatch(ch, tag, array.back());
    if (rc != Code::kOk) return rc;
  }
  --indent;
  if (dump) Logger::LogMsg(Logger::L_DEBUG, kComponent, "%s]\n", Indent());
  return Code::kOk;
}

namespace {

// Closes a received body's stream and tells whether everything written
// reached the file (a full disk may only show here).
int CloseWritten(FILE* fp) { return std::fclose(fp) == 0 ? 0 : errno; }

}  // namespace

PStream::Code PStream::RecvBinary(Channel& ch, PObject& target) {
  PObject::binary_type& binary = target.asBinary();
  uint64_t written = 0;
  uint64_t n = 0;
  FILE* fp = nullptr;

  Code rc = Code::kOk;
  const ErrorCode read = ch.ReadInt64(&n);
  if (read != ERR_OK) {
    rc = ChannelFailed(read, __LINE__);
  } else if (binary.path.empty()) {
    if (recv_path.empty()) {
      // Without a receive folder the name would be "/" + random: a file of
      // the peer's chosen length in the root folder.
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): binary of %llu bytes has no place to go\n",
                     __LINE__, static_cast<unsigned long long>(n));
      rc = Code::kStream;
    } else {
      binary.offset = 0;
      binary.length = 0;
      fp = xfcreate(recv_path, binary.path);
      if (fp == nullptr) {
        rc = Code::kSys;
      } else {
        fresh_files.insert(binary.path.c_str_utf8());
      }
    }
  } else {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] stream(%d): store binary to %s, offset %llu\n", __LINE__,
                   binary.path.c_str_utf8(), static_cast<unsigned long long>(binary.offset));
    if (binary.offset == 0) {
      fp = xfopen(binary.path, "wb");
    } else if (binary.offset == binary.length) {
      fp = xfopen(binary.path, "ab");
    } else {
      // The caller asks to continue from `offset`: cut the file back there
      // first, then append.
      int fd = open(binary.path.c_str_utf8(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): CreateFile: Error code %d\n", __LINE__, err);
      } else {
        int cut = binary.offset > static_cast<uint64_t>(INT64_MAX)
                      ? EINVAL
                      : (ftruncate(fd, static_cast<off_t>(binary.offset)) == 0 ? 0 : errno);
        (void)close(fd);  // nothing was written through it
        if (cut != 0) {
          Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): SetEndOfFile: Error code %d\n", __LINE__,
                         cut);
        } else {
          fp = xfopen(binary.path, "ab");
        }
      }
    }
    if (fp == nullptr) rc = Code::kSys;
  }

  if (fp != nullptr) {
    // Writes go straight to the file, so `written` counts what the kernel
    // took and a full disk shows at the write that hit it.
    (void)std::setvbuf(fp, nullptr, _IONBF, 0);  // cannot fail before the first write
    UpdateStatus(0, n);
    rc = RecvBody(ch, fp, binary.path, n, written);
    int err = CloseWritten(fp);
    if (err != 0 && rc == Code::kOk) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fclose(%s): Error code %d\n", __LINE__,
                     binary.path.c_str_utf8(), err);
      rc = IsDiskFull(err) ? Code::kDiskFull : Code::kSys;
    }
  }

  // On every path: the target records how far its file got, so receiving
  // into it again continues from there.
  binary.offset += written;
  binary.length = binary.offset;
  if (dump) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "%sbinary has been stored at '%s' with length %llu\n", Indent(),
                   binary.path.c_str_utf8(), static_cast<unsigned long long>(binary.length));
  }
  return rc;
}

PStream::Code PStream::RecvBody(Channel& ch, FILE* fp, const ustring& path, uint64_t n, uint64_t& written) {
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kBinaryChunk]);
  if (!buf) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): malloc error\n", __LINE__);
    return Code::kSys;
  }
  while (written < n) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBinaryChunk, n - written));
    size_t got = 0;
    const ErrorCode rc = ch.Read(buf.get(), want, got);
    // Bytes that arrived before a failure are kept too: a later receive
    // into the same target then has less to fetch.
    got = std::min(got, want);
    if (got > 0) {
      size_t put = std::fwrite(buf.get(), 1, got, fp);
      if (put < got) {
        int err = errno;
        written += put;
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fwrite(%s): Error code %d\n", __LINE__,
                       path.c_str_utf8(), err);
        UpdateStatus(written, n);
        return IsDiskFull(err) ? Code::kDiskFull : Code::kSys;
      }
      written += got;
      if (written % kProgressStep == 0) {
        Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] stream(%d): receiving %s ... (%llu / %llu)\n", __LINE__,
                       path.c_str_utf8(), static_cast<unsigned long long>(written),
                       static_cast<unsigned long long>(n));
      }
      UpdateStatus(written, n);
    }
    if (rc != ERR_OK) return ChannelFailed(rc, __LINE__);
  }
  if (std::fflush(fp) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): fflush(%s): Error code %d\n", __LINE__,
                   path.c_str_utf8(), err);
    return IsDiskFull(err) ? Code::kDiskFull : Code::kSys;
  }
  return Code::kOk;
}
