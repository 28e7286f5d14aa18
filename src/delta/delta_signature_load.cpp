// Loading the basis signature into the delta generator's block table.
#include <algorithm>
#include <cerrno>

#include "delta/delta_handler.h"
#include "delta/report.h"
#include "delta/rs_constant.h"
#include "delta/signature_handler.h"

namespace {

uint32_t BigEndian32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Reads up to `n` bytes, as many reads as it takes. The count read, short
// only at end of file; -1 when a read fails.
int64_t ReadFully(fd_t& fd, unsigned char* p, uint64_t n) {
  uint64_t got = 0;
  while (got < n) {
    const uint64_t want = n - got < (1u << 30) ? n - got : (1u << 30);
    const int k = fd_read(fd, p + got, static_cast<unsigned>(want));
    if (k < 0) return -1;
    if (k == 0) break;
    got += static_cast<uint64_t>(k);
  }
  return static_cast<int64_t>(got);
}

}  // namespace

int DeltaHandler::loadSignature() {
  fd_t sig;
  if (fd_open_read(signature_file, sig) != 0) {
    delta_report("api (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  int result = loadHeader(sig);
  if (result == 0) result = loadBody(sig);
  fd_close(sig);
  if (result != 0) freeMemory();
  return result;
}

int DeltaHandler::loadHeader(fd_t& sig) {
  unsigned char header[12];
  if (ReadFully(sig, header, sizeof header) != static_cast<int64_t>(sizeof header)) return -1;
  const uint32_t magic = BigEndian32(header);
  block_size = BigEndian32(header + 4);
  hash_size = BigEndian32(header + 8);
  if (magic != RSConstant::MAGIC_SIGNATURE) {
    delta_report("api (%d): invalid signature header\n", __LINE__);
    return -1;
  }
  // The window plus the start of the next chunk must fit in 32-bit sizes;
  // this program writes 2048.
  if (block_size == 0 || block_size > MAX_BLOCK_SIZE) {
    delta_report("api (%d): invalid signature block size\n", __LINE__);
    return -1;
  }
  if (hash_size < 1 || hash_size > SignatureHandler::MAX_HASH_SIZE) {
    delta_report("api (%d): invalid signature hash size\n", __LINE__);
    return -1;
  }
  return 0;
}

int DeltaHandler::loadBody(fd_t& sig) {
  uint64_t size = 0;
  if (fd_stat(sig, size) != 0) {
    delta_report("api (%d): fd_stat: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  const uint64_t body = size < 12 ? 0 : size - 12;
  const uint64_t count = body / (4 + hash_size);
  // Row numbers are 32-bit; a table that large could not be held anyway.
  if (count >= 0xFFFFFFFFu || !sig_body.reserve(body) || !sig_stat.reserve(count)) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    return -1;
  }
  const int64_t got = ReadFully(sig, sig_body.data(), body);
  if (got != static_cast<int64_t>(body)) {
    // A file that shrank since fd_stat would leave part of the table unset.
    delta_report("api (%d): fd_read: Error Code %d\n", __LINE__, got < 0 ? errno : 0);
    return -1;
  }
  sig_body.resize(body);
  sig_stat.resize(count);
  const unsigned entry = 4 + hash_size;
  for (uint64_t i = 0; i < count; ++i) {
    sig_stat[i] = DeltaBlock{BigEndian32(sig_body.data() + i * entry), static_cast<uint32_t>(i)};
  }
  // Equal weak checksums stay in block order, so that a match names the
  // first of several identical basis blocks.
  std::sort(sig_stat.data(), sig_stat.data() + count, [](const DeltaBlock& x, const DeltaBlock& y) {
    return x.weaksum != y.weaksum ? x.weaksum < y.weaksum : x.index < y.index;
  });
  sig_block_count = count;
  if (index.build(sig_stat.data(), count) != 0) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    return -1;
  }
  return 0;
}
