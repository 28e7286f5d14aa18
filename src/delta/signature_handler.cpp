#include "delta/signature_handler.h"

#include <cerrno>
#include <cstring>

#include "delta/md4_lanes.h"
#include "delta/report.h"
#include "delta/rolling_checksum.h"
#include "delta/rs_constant.h"
#include "platform/legacy_crypto.h"

namespace {

// Blocks hashed together by one md4_many call.
constexpr uint64_t kBatch = 64;

void PutWeak(unsigned char* out, uint32_t w) {
  out[0] = static_cast<unsigned char>(w >> 24);
  out[1] = static_cast<unsigned char>(w >> 16);
  out[2] = static_cast<unsigned char>(w >> 8);
  out[3] = static_cast<unsigned char>(w);
}

}  // namespace

SignatureHandler::SignatureHandler(ustring const& path) : file(path) {}

SignatureHandler::~SignatureHandler() { fd_close(fd); }

void SignatureHandler::setBlockSize(unsigned size) {
  if (size != 0) block_size = size;
}

void SignatureHandler::setHashSize(unsigned size) {
  if (size >= 1 && size <= MAX_HASH_SIZE) hash_size = size;
}

uint64_t SignatureHandler::getSignatureSize(uint64_t file_size) const {
  return (file_size / block_size + 2) * (hash_size + 4);
}

int SignatureHandler::begin() {
  if (!read_buffer.reserve(block_size)) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    return -1;
  }
  if (fd_open_write(file, fd) != 0) {
    delta_report("api (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  if (fd_write_int(fd, RSConstant::MAGIC_SIGNATURE) != 0 || fd_write_int(fd, block_size) != 0 ||
      fd_write_int(fd, hash_size) != 0) {
    delta_report("api (%d): fd_write_int: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  begun = true;
  return 0;
}

void SignatureHandler::updateBlock(void const* block, unsigned n) {
  unsigned char* out = write_buffer.data() + write_buffer.size();
  PutWeak(out, rs_weak_sum(block, n));
  unsigned char digest[platform::kMd4DigestLength];
  platform::Md4(block, n, digest);
  memcpy(out + 4, digest, hash_size);
  write_buffer.resize(write_buffer.size() + 4 + hash_size);
}

void SignatureHandler::updateBlocks(const unsigned char* data, uint64_t count) {
  unsigned char digests[kBatch][16];
  const size_t entry = 4 + hash_size;
  while (count > 0) {
    const uint64_t n = count < kBatch ? count : kBatch;
    md4_many(data, block_size, block_size, n, digests);
    unsigned char* out = write_buffer.data() + write_buffer.size();
    for (uint64_t i = 0; i < n; ++i) {
      PutWeak(out, rs_weak_sum(data + i * block_size, block_size));
      memcpy(out + 4, digests[i], hash_size);
      out += entry;
    }
    write_buffer.resize(write_buffer.size() + n * entry);
    data += n * block_size;
    count -= n;
  }
}

int SignatureHandler::update(void const* data, unsigned len) {
  if (!begun || failed) return -1;
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const uint64_t entry = 4 + hash_size;
  write_buffer.clear();
  if (!write_buffer.reserve((static_cast<uint64_t>(len) / block_size + 2) * entry)) {
    write_buffer.reset();
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    failed = true;
    return -1;
  }
  uint64_t left = len;
  if (!read_buffer.empty()) {
    const uint64_t room = block_size - read_buffer.size();
    const uint64_t take = left < room ? left : room;
    read_buffer.append(in, take);  // cannot fail: begin() reserved a block
    in += take;
    left -= take;
    if (read_buffer.size() == block_size) {
      updateBlock(read_buffer.data(), block_size);
      read_buffer.clear();
    }
  }
  const uint64_t whole = left / block_size;
  updateBlocks(in, whole);
  in += whole * block_size;
  left -= whole * block_size;
  read_buffer.append(in, left);

  if (write_buffer.empty()) return 0;
  if (fd_aio_write(aio, fd, write_buffer.data(), static_cast<unsigned>(write_buffer.size())) != 0) {
    delta_report("api (%d): fd_aio_write: Error Code %d\n", __LINE__, errno);
    failed = true;
    return -1;
  }
  started = write_buffer.size();
  return 0;
}

int SignatureHandler::wait() {
  if (started == 0) return 0;
  const uint64_t expected = started;
  started = 0;
  write_buffer.clear();
  if (fd_aio_wait(aio) != static_cast<int64_t>(expected)) {
    delta_report("api (%d): fd_aio_wait: Error Code %d\n", __LINE__, errno);
    failed = true;
    return -1;
  }
  return 0;
}

int SignatureHandler::end(bool complete) {
  int result = 0;
  if (begun && complete && !failed && !read_buffer.empty()) {
    write_buffer.clear();
    if (!write_buffer.reserve(4 + hash_size)) {
      delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
      result = -1;
    } else {
      updateBlock(read_buffer.data(), static_cast<unsigned>(read_buffer.size()));
      if (fd_write(fd, write_buffer.data(), static_cast<unsigned>(write_buffer.size())) !=
          static_cast<int64_t>(write_buffer.size())) {
        delta_report("api (%d): fd_write: Error Code %d\n", __LINE__, errno);
        result = -1;
      }
    }
  }
  fd_close(fd);
  write_buffer.reset();
  read_buffer.reset();
  begun = false;
  return result;
}
