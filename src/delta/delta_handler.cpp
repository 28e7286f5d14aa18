#include "delta/delta_handler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "delta/md4_lanes.h"
#include "delta/report.h"
#include "delta/rs_constant.h"
#include "platform/legacy_crypto.h"

namespace {

// Literal data at least this long is written from the reader's chunk in
// place; shorter pieces are copied next to their command headers.
constexpr size_t kExternalLiteral = 512;

}  // namespace

DeltaHandler::DeltaHandler(ustring const& delta_path, ustring const& signature_path)
    : delta_file(delta_path), signature_file(signature_path) {}

DeltaHandler::~DeltaHandler() { fd_close(fd); }

int DeltaHandler::begin() {
  if (loadSignature() != 0) return -1;
  if (!write_buffer.reserve(500) || !pieces.reserve(16)) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    freeMemory();
    return -1;
  }
  if (fd_open_write(delta_file, fd) != 0) {
    delta_report("api (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
    freeMemory();
    return -1;
  }
  if (fd_write_int(fd, RSConstant::MAGIC_DELTA) != 0) {
    delta_report("api (%d): fd_write_int: Error Code %d\n", __LINE__, errno);
    freeMemory();
    return -1;
  }
  checksum.clear();
  match_start = 0;
  match_count = 0;
  begun = true;
  return 0;
}

int DeltaHandler::update(void const* data_in, unsigned len) {
  if (!begun || failed) return -1;
  if (len == 0) return 0;
  const unsigned char* data = static_cast<const unsigned char*>(data_in);
  const uint64_t bs = block_size;
  const uint64_t carried = carry.size();
  write_buffer.clear();
  pieces.clear();
  ahead_count = 0;

  // The carried bytes plus what this chunk adds to them: all of it while the
  // window is incomplete, else the chunk's first block (below). Grown on
  // demand, as blocks may be up to 1 GiB while files are mostly small.
  const uint64_t need = carried + (len < bs ? len : bs);
  if (need > carry.capacity() && !carry.reserve(std::max<uint64_t>(need, std::min<uint64_t>(2 * bs, 2 * need)))) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    failed = true;
    return -1;
  }
  if (carried + len < bs) {  // the window is still incomplete
    memcpy(carry.data() + carried, data, len);
    carry.resize(carried + len);
    checksum.update(data, len);
    return 0;
  }
  checksum.update(data, bs - carried);
  // Windows that start in the carried bytes run on into the chunk: put the
  // chunk's first block behind them.
  if (carried > 0) memcpy(carry.data() + carried, data, len < bs ? len : bs);

  const Stream s{data, carried, carried + len};
  uint64_t pos = 0;
  bool literal_pending = false;
  uint64_t literal_start = 0;
  if (scan(s, pos, literal_pending, literal_start) != 0 ||
      (literal_pending && clearMismatch(s, literal_start, pos) != 0)) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    write_buffer.clear();
    pieces.clear();
    failed = true;
    return -1;
  }

  // Carry the partial window (fewer than a block) to the next chunk. Literal
  // bytes from the carried part were copied into write_buffer, so it may be
  // overwritten now.
  const uint64_t rest = s.total - pos;
  if (pos >= carried) {
    memcpy(carry.data(), data + (pos - carried), rest);
  } else {
    memmove(carry.data(), carry.data() + pos, rest);
  }
  carry.resize(rest);
  return flushCommands();
}

// Walks the windows of the stream from `pos`, leaving `pos` at the first
// byte of the partial window that remains (fewer than a block), with the
// checksum describing it.
int DeltaHandler::scan(const Stream& s, uint64_t& pos, bool& literal_pending, uint64_t& literal_start) {
  const uint64_t bs = block_size;
  const uint32_t bs32 = block_size;
  for (;;) {
    // Here the window [pos, pos + bs) lies inside the stream and `checksum`
    // holds its weak checksum.
    if (match_count == 0 && pos >= s.carried) {
      // No run to continue: roll through the chunk while the filter rules
      // out every window. The per-byte path of the whole engine.
      const unsigned char* d = s.data;
      const uint64_t last = s.total - s.carried - bs;  // last window start in d
      const uint64_t first = pos - s.carried;
      uint64_t i = first;
      uint32_t a = checksum.a;
      uint32_t b = checksum.b;
      bool ended = false;
      for (;;) {
        if (index.mayContain((b << 16) | (a & 0xFFFFu))) break;
        const uint32_t out = d[i] + RSRollingChecksum::CHAR_OFFSET;
        if (i == last) {
          a -= out;
          b -= bs32 * out;
          ++i;
          ended = true;
          break;
        }
        a += d[i + bs] + RSRollingChecksum::CHAR_OFFSET - out;
        b += a - bs32 * out;
        ++i;
      }
      if (i > first && !literal_pending) {
        literal_pending = true;
        literal_start = s.carried + first;
      }
      checksum.a = a;
      checksum.b = b;
      checksum.count = ended ? bs32 - 1 : bs32;
      pos = s.carried + i;
      if (ended) return 0;
    }

    const int m = matchBlock(s, pos, literal_pending, literal_start);
    if (m < 0) return -1;
    if (m > 0) {
      pos += bs;  // now inside the chunk: a block is longer than the carried bytes
      const uint64_t rest = s.total - pos;
      checksum.clear();
      if (rest < bs) {
        checksum.update(s.data + (pos - s.carried), rest);
        return 0;
      }
      checksum.update(s.data + (pos - s.carried), bs);
    } else {
      const unsigned char out = pos < s.carried ? carry[pos] : s.data[pos - s.carried];
      ++pos;
      if (s.total - pos < bs) {
        checksum.roll_out(out);
        return 0;
      }
      const uint64_t in_pos = pos + bs - 1;
      checksum.rotate(out, in_pos < s.carried ? carry[in_pos] : s.data[in_pos - s.carried]);
    }
  }
}

int DeltaHandler::matchBlock(const Stream& s, uint64_t pos, bool& literal_pending, uint64_t& literal_start) {
  if (match_count > 0) {
    if (extendMatch(s, pos)) return 1;
    if (clearMatch() != 0) return -1;
  }
  if (!findMatch(s, pos)) {
    if (!literal_pending) {
      literal_pending = true;
      literal_start = pos;
    }
    return 0;
  }
  if (literal_pending) {
    if (clearMismatch(s, literal_start, pos) != 0) return -1;
    literal_pending = false;
  }
  return 1;
}

const unsigned char* DeltaHandler::windowDigest(const Stream& s, uint64_t pos) {
  const uint64_t bs = block_size;
  if (ahead_count > 0 && pos >= ahead_first && (pos - ahead_first) % bs == 0 &&
      (pos - ahead_first) / bs < ahead_count) {
    return ahead_digest[(pos - ahead_first) / bs];
  }
  const unsigned char* window = pos < s.carried ? carry.data() + pos : s.data + (pos - s.carried);
  if (match_count > 0 && pos >= s.carried) {
    // Inside a run: hash the following windows of the chunk along with this one.
    uint64_t n = (s.total - pos) / bs;
    if (n > kAhead) n = kAhead;
    md4_many(window, bs, bs, n, ahead_digest);
    ahead_first = pos;
    ahead_count = static_cast<unsigned>(n);
    return ahead_digest[0];
  }
  ahead_count = 0;
  platform::Md4(window, bs, ahead_digest[0]);
  return ahead_digest[0];
}

uint32_t DeltaHandler::storedWeak(uint64_t block) const {
  const unsigned char* e = sig_body.data() + block * (4 + hash_size);
  return (static_cast<uint32_t>(e[0]) << 24) | (static_cast<uint32_t>(e[1]) << 16) |
         (static_cast<uint32_t>(e[2]) << 8) | e[3];
}

bool DeltaHandler::strongEquals(uint64_t block, const unsigned char* digest) const {
  return memcmp(sig_body.data() + block * (4 + hash_size) + 4, digest, hash_size) == 0;
}

bool DeltaHandler::findMatch(const Stream& s, uint64_t pos) {
  match_start = 0;
  match_count = 0;
  const uint32_t w = checksum.digest();
  uint64_t row = index.find(w);
  if (row == WeakSumIndex::NOT_FOUND) return false;
  const unsigned char* digest = windowDigest(s, pos);
  for (; row < sig_block_count && sig_stat[row].weaksum == w; ++row) {
    if (strongEquals(sig_stat[row].index, digest)) {
      match_start = sig_stat[row].index;
      match_count = 1;
      return true;
    }
  }
  return false;
}

bool DeltaHandler::extendMatch(const Stream& s, uint64_t pos) {
  const uint64_t next = match_start + match_count;
  if (next >= sig_block_count) return false;  // a run ends at the basis's last block
  if (storedWeak(next) != checksum.digest()) return false;
  if (!strongEquals(next, windowDigest(s, pos))) return false;
  ++match_count;
  return true;
}

int DeltaHandler::clearMatch() {
  if (match_count == 0) return 0;
  unsigned char cmd[RSConstant::MAX_COPY_COMMAND];
  const uint64_t bs = block_size;
  const unsigned n = RSConstant::putCopyCommand(cmd, match_start * bs, match_count * bs);
  match_start = 0;
  match_count = 0;
  return appendWriteBuffer(cmd, n);
}

int DeltaHandler::clearMismatch(const Stream& s, uint64_t from, uint64_t to) {
  if (to <= from) return 0;
  unsigned char header[RSConstant::MAX_LITERAL_HEADER];
  if (appendWriteBuffer(header, RSConstant::putLiteralHeader(header, to - from)) != 0) return -1;
  if (from < s.carried) {
    const uint64_t end = to < s.carried ? to : s.carried;
    if (appendWriteBuffer(carry.data() + from, end - from) != 0) return -1;
    from = end;
  }
  if (from < to) {
    const unsigned char* p = s.data + (from - s.carried);
    const size_t n = to - from;
    return n >= kExternalLiteral ? appendExternal(p, n) : appendWriteBuffer(p, n);
  }
  return 0;
}

int DeltaHandler::appendWriteBuffer(void const* data, size_t n) {
  const size_t offset = write_buffer.size();
  if (!write_buffer.append(static_cast<const unsigned char*>(data), n)) return -1;
  if (!pieces.empty()) {
    Piece& last = pieces[pieces.size() - 1];
    if (last.external == nullptr && last.offset + last.length == offset) {
      last.length += n;
      return 0;
    }
  }
  return pieces.push_back(Piece{nullptr, offset, n}) ? 0 : -1;
}

int DeltaHandler::appendExternal(const unsigned char* data, size_t n) {
  return pieces.push_back(Piece{data, 0, n}) ? 0 : -1;
}

int DeltaHandler::flushCommands() {
  if (pieces.empty()) return 0;
  if (!iov.reserve(pieces.size())) {
    delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
    failed = true;
    return -1;
  }
  uint64_t total = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    const unsigned char* base = p.external != nullptr ? p.external : write_buffer.data() + p.offset;
    iov[i].iov_base = const_cast<unsigned char*>(base);
    iov[i].iov_len = p.length;
    total += p.length;
  }
  if (fd_aio_writev(aio, fd, iov.data(), static_cast<unsigned>(pieces.size())) != 0) {
    delta_report("api (%d): fd_aio_write: Error Code %d\n", __LINE__, errno);
    failed = true;
    return -1;
  }
  started = total;
  return 0;
}

int DeltaHandler::wait() {
  if (started == 0) return 0;
  const uint64_t expected = started;
  started = 0;
  write_buffer.clear();
  pieces.clear();
  if (fd_aio_wait(aio) != static_cast<int64_t>(expected)) {
    delta_report("api (%d): fd_aio_wait: Error Code %d\n", __LINE__, errno);
    failed = true;
    return -1;
  }
  return 0;
}

int DeltaHandler::end(bool complete) {
  int result = 0;
  if (begun && complete && !failed) {
    if (match_count > 0) {
      write_buffer.clear();
      pieces.clear();
      if (clearMatch() != 0) {
        delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
        result = -1;
      } else if (fd_write(fd, write_buffer.data(), static_cast<unsigned>(write_buffer.size())) !=
                 static_cast<int64_t>(write_buffer.size())) {
        delta_report("api (%d): fd_write: Error Code %d\n", __LINE__, errno);
        result = -1;
      }
    }
    // The final partial window is never matched: the tail always travels as
    // literal data.
    if (result == 0 && !carry.empty()) {
      unsigned char header[RSConstant::MAX_LITERAL_HEADER];
      const unsigned n = RSConstant::putLiteralHeader(header, carry.size());
      if (fd_write(fd, header, n) != n ||
          fd_write(fd, carry.data(), static_cast<unsigned>(carry.size())) != static_cast<int64_t>(carry.size())) {
        delta_report("api (%d): fd_write: Error Code %d\n", __LINE__, errno);
        result = -1;
      }
    }
    if (result == 0) {
      const unsigned char end_command = RSConstant::OP_END;
      if (fd_write(fd, &end_command, 1) != 1) {
        delta_report("api (%d): fd_write_int: Error Code %d\n", __LINE__, errno);
        result = -1;
      }
    }
  }
  freeMemory();
  fd_close(fd);
  begun = false;
  return result;
}

void DeltaHandler::freeMemory() {
  index.reset();
  sig_stat.reset();
  sig_body.reset();
  sig_block_count = 0;
  carry.reset();
  write_buffer.reset();
  pieces.reset();
  iov.reset();
  ahead_count = 0;
}
