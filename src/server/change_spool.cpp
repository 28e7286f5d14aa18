#include "server/change_spool.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// Encoding of one value: a kind byte, then
//   integer: 8 bytes; string: length (4 bytes) and bytes; array: count (4)
//   and the elements; map: count (4), then per member the key as a string
//   and the value; binary: offset (8), length (8), path as a string.
// Numbers in host order: the bytes never leave the process.
enum Kind : uint8_t { kNull = 0, kInteger = 1, kString = 2, kArray = 3, kMap = 4, kBinary = 5 };

void PutRaw(std::string& out, const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }
void Put32(std::string& out, uint32_t v) { PutRaw(out, &v, sizeof v); }
void Put64(std::string& out, uint64_t v) { PutRaw(out, &v, sizeof v); }
void PutText(std::string& out, const ustring& s) {
  Put32(out, static_cast<uint32_t>(s.length()));
  PutRaw(out, s.c_str_utf8(), s.length());
}

void Encode(std::string& out, const PObject& v) {
  if (v.isInteger()) {
    out.push_back(static_cast<char>(kInteger));
    Put64(out, v.asUInt64());
  } else if (v.isString()) {
    out.push_back(static_cast<char>(kString));
    PutText(out, v.asString());
  } else if (v.isArray()) {
    out.push_back(static_cast<char>(kArray));
    Put32(out, static_cast<uint32_t>(v.asArray().size()));
    for (const PObject& e : v.asArray()) Encode(out, e);
  } else if (v.isMap()) {
    out.push_back(static_cast<char>(kMap));
    Put32(out, static_cast<uint32_t>(v.asMap().size()));
    for (const auto& [key, value] : v.asMap()) {
      PutText(out, key);
      Encode(out, value);
    }
  } else if (v.isBinary()) {
    out.push_back(static_cast<char>(kBinary));
    Put64(out, v.asBinary().offset);
    Put64(out, v.asBinary().length);
    PutText(out, v.asBinary().path);
  } else {
    out.push_back(static_cast<char>(kNull));
  }
}

class Reader {
 public:
  Reader(const char* p, size_t n) : p_(p), end_(p + n) {}
  bool Done() const { return p_ == end_; }

  bool Decode(PObject& v, int depth = 0) {
    uint8_t kind = 0;
    if (depth > 64 || !Get(&kind, 1)) return false;
    switch (kind) {
      case kNull:
        v.clear();
        return true;
      case kInteger: {
        uint64_t i = 0;
        if (!Get(&i, sizeof i)) return false;
        v = static_cast<unsigned long long>(i);
        return true;
      }
      case kString: {
        ustring s;
        if (!Text(s)) return false;
        v = s;
        return true;
      }
      case kArray: {
        uint32_t n = 0;
        if (!Get(&n, sizeof n)) return false;
        PObject::array_type& a = v.asArray();
        a.clear();
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
          a.emplace_back();
          if (!Decode(a.back(), depth + 1)) return false;
        }
        return true;
      }
      case kMap: {
        uint32_t n = 0;
        if (!Get(&n, sizeof n)) return false;
        PObject::map_type& m = v.asMap();
        m.clear();
        for (uint32_t i = 0; i < n; ++i) {
          ustring key;
          if (!Text(key) || !Decode(m[key], depth + 1)) return false;
        }
        return true;
      }
      case kBinary: {
        PObject::binary_type b;
        if (!Get(&b.offset, sizeof b.offset) || !Get(&b.length, sizeof b.length) || !Text(b.path)) return false;
        v = b;
        return true;
      }
      default:
        return false;
    }
  }

 private:
  bool Get(void* out, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) return false;
    std::memcpy(out, p_, n);
    p_ += n;
    return true;
  }
  bool Text(ustring& s) {
    uint32_t n = 0;
    if (!Get(&n, sizeof n) || static_cast<size_t>(end_ - p_) < n) return false;
    s.assign(std::string(p_, n));
    p_ += n;
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

int ChangeSpool::Append(PObject& change) {
  if (failed_) return -1;
  // Each record: its byte count (4 bytes), then the encoded value.
  const size_t at = buffer_.size();
  Put32(buffer_, 0);
  Encode(buffer_, change);
  const uint32_t n = static_cast<uint32_t>(buffer_.size() - at - sizeof(uint32_t));
  std::memcpy(&buffer_[at], &n, sizeof n);
  change.clear();
  ++count_;
  if (buffer_.size() >= kMemoryBytes && Spill() != 0) {
    failed_ = true;
    return -1;
  }
  return 0;
}

int ChangeSpool::Spill() {
  if (no_file_) return 0;
  if (file_ == nullptr) {
    file_ = std::tmpfile();
    if (file_ == nullptr) {
      no_file_ = true;  // memory only from here on
      return 0;
    }
  }
  if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) return -1;
  buffer_.clear();
  if (buffer_.capacity() > 2 * kMemoryBytes) std::string().swap(buffer_);
  return 0;
}

int ChangeSpool::Rewind() {
  if (failed_) return -1;
  read_at_ = 0;
  reading_file_ = file_ != nullptr;
  if (file_ != nullptr && (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0)) return -1;
  return 0;
}

int ChangeSpool::Next(PObject& change) {
  if (failed_) return -1;
  uint32_t n = 0;
  if (reading_file_) {
    const size_t got = std::fread(&n, 1, sizeof n, file_);
    if (got == sizeof n) {
      record_.resize(n);
      if (std::fread(record_.data(), 1, n, file_) != n) return -1;
      Reader r(record_.data(), n);
      return r.Decode(change) && r.Done() ? 1 : -1;
    }
    if (got != 0 || std::ferror(file_)) return -1;
    reading_file_ = false;  // the file is done: on to the buffer
    std::string().swap(record_);
  }
  if (read_at_ == buffer_.size()) return 0;
  if (buffer_.size() - read_at_ < sizeof n) return -1;
  std::memcpy(&n, buffer_.data() + read_at_, sizeof n);
  read_at_ += sizeof n;
  if (buffer_.size() - read_at_ < n) return -1;
  Reader r(buffer_.data() + read_at_, n);
  read_at_ += n;
  return r.Decode(change) && r.Done() ? 1 : -1;
}

void ChangeSpool::Clear() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  no_file_ = false;
  failed_ = false;
  count_ = 0;
  reading_file_ = false;
  read_at_ = 0;
  std::string().swap(buffer_);
  std::string().swap(record_);
}
