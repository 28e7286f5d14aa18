#include "delta/delta_file_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "delta/delta_file_reader_impl.h"
#include "delta/report.h"
#include "delta/rs_constant.h"

namespace {

// Literal data at least this long is passed on from the delta's ring in
// place; shorter pieces are gathered in the transfer buffer.
constexpr uint64_t kDirectLiteral = 8192;

// Rebuilt bytes go to the handlers in runs of at most this many: small
// enough that a run just read is still in the processor's cache when the
// outputs copy it out (measured faster than whole 1 MiB runs).
constexpr unsigned kRunSize = 256 * 1024;

}  // namespace

DeltaFileReader::DeltaFileReader() : impl(std::make_unique<DeltaFileReaderImpl>()) {}

DeltaFileReader::~DeltaFileReader() { impl.reset(); }

void DeltaFileReader::setFile(ustring const& patch, ustring const& basis) {
  impl->patch_file = patch;
  impl->basis_file = basis;
}

void DeltaFileReader::setNewFile(ustring const& path) { setCopyHandler(path); }
void DeltaFileReader::setHashString(ustring& out) { setMD4HashHandler(out); }
void DeltaFileReader::setSignature(ustring const& path, unsigned block_size, unsigned hash_size) {
  setSignatureHandler(path, block_size, hash_size);
}
void DeltaFileReader::setReverseDeltaFile(ustring const& path) { impl->rpatch_file = path; }
void DeltaFileReader::setMaxOutputSize(uint64_t max) { impl->max_output = max; }

int DeltaFileReader::readFile() {
  DeltaFileReaderImpl& d = *impl;
  if (d.basis_file.empty() || d.patch_file.empty()) {
    delta_report("api (%d): invalid arguments (basis_file = '%s', patch_file = '%s'\n", __LINE__,
                 d.basis_file.c_str_utf8(), d.patch_file.c_str_utf8());
    return ERROR_ARGUMENT;
  }
  d.patch_offset = 0;
  d.output_size = 0;
  d.pending = 0;

  int result = begin();
  if (result == 0) result = validateInput();
  std::unique_ptr<unsigned char, decltype(&free)> buffer(nullptr, &free);
  if (result == 0) {
    buffer.reset(static_cast<unsigned char*>(malloc(CHUNK_SIZE)));
    if (!buffer) result = ERROR_SYSTEM_CALL;
  }
  const bool reverse = !d.rpatch_file.empty();
  std::vector<PatchCommand> applied;
  bool complete = false;
  while (result == 0) {
    if (aborted()) {
      result = ERROR_ABORT;
      break;
    }
    PatchCommand cmd;
    const int r = readPatchCommand(d, cmd);
    if (r < 0) {
      result = r;
      break;
    }
    if (r == 0) {
      complete = true;
      break;
    }
    result = doPatchCommand(d, cmd, buffer.get(), CHUNK_SIZE);
    if (result == 0 && reverse) {
      try {
        applied.push_back(cmd);
      } catch (const std::bad_alloc&) {
        result = ERROR_SYSTEM_CALL;
      }
    }
  }
  // The bytes rebuilt so far go out also after a failure: the output then
  // holds everything the delta produced up to it.
  if (result != ERROR_HANDLER_CALL && d.pending > 0) result = combine(result, flushOutput(buffer.get()));
  if (result == 0 && reverse) {
    const int r = doReversePatch(applied, buffer.get(), CHUNK_SIZE);
    if (r < 0) result = r == ERROR_ABORT ? ERROR_ABORT : ERROR_SYSTEM_CALL;
  }
  result = combine(result, end(complete));
  fd_bio_unload(d.patch_bio);
  fd_close(d.patch_fd);
  fd_close(d.basis_fd);
  return result;
}

int DeltaFileReader::validateInput() {
  DeltaFileReaderImpl& d = *impl;
  if (fd_open_read(d.patch_file, d.patch_fd) != 0 || fd_open_read(d.basis_file, d.basis_fd) != 0) {
    delta_report("api (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
    return ERROR_SYSTEM_CALL;
  }
  if (fd_bio_load(d.patch_bio, d.patch_fd, CHUNK_SIZE) != 0) {
    delta_report("api (%d): fd_bio_load: Error Code %d\n", __LINE__, ENOMEM);
    return ERROR_SYSTEM_CALL;
  }
  unsigned char m[4];
  if (fd_bio_read(d.patch_bio, m, 4) != 0) {
    delta_report("api (%d): fd_bio_read<int>: Error Code %d\n", __LINE__, errno);
    return ERROR_SYSTEM_CALL;
  }
  const uint32_t magic = (static_cast<uint32_t>(m[0]) << 24) | (static_cast<uint32_t>(m[1]) << 16) |
                         (static_cast<uint32_t>(m[2]) << 8) | m[3];
  if (magic != RSConstant::MAGIC_DELTA) {
    delta_report("api (%d): invalid patch file (%x)\n", __LINE__, magic);
    return ERROR_FILE_FORMAT;
  }
  return 0;
}

int DeltaFileReader::readPatchCommand(DeltaFileReaderImpl& d, PatchCommand& cmd) {
  unsigned char op;
  if (fd_bio_read(d.patch_bio, &op, 1) != 0) {
    delta_report("api (%d): expect command byte\n", __LINE__);
    return ERROR_SYSTEM_CALL;
  }
  d.patch_offset += 1;
  const RSConstant::CmdInfo& info = RSConstant::getInfo(op);
  uint64_t param[2] = {0, 0};
  const unsigned widths[2] = {info.len_1, info.len_2};
  for (int i = 0; i < 2; ++i) {
    if (widths[i] == 0) continue;
    unsigned char bytes[8];
    if (fd_bio_read(d.patch_bio, bytes, widths[i]) != 0) {
      if (i == 0) {
        delta_report("api (%d): expect parameter 1 with %u bytes\n", __LINE__, widths[i]);
      } else {
        delta_report("api (%d): expect parameter 2 with %u bytes\n", __LINE__, widths[i]);
      }
      return ERROR_SYSTEM_CALL;
    }
    for (unsigned k = 0; k < widths[i]; ++k) param[i] = (param[i] << 8) | bytes[k];
    d.patch_offset += widths[i];
  }
  switch (info.type) {
    case RSConstant::CMD_LITERAL:
      cmd.setLiteral(d.patch_offset, info.immediate != 0 ? info.immediate : param[0]);
      return 1;
    case RSConstant::CMD_COPY:
      cmd.setCopy(param[0], param[1]);
      return 1;
    case RSConstant::CMD_END:
      return 0;
    default:
      delta_report("api (%d): unexpected kind: %u\n", __LINE__, static_cast<unsigned>(info.type));
      return ERROR_FILE_FORMAT;
  }
}

// Reads exactly `length` bytes of the basis at `offset`; only the end of the
// file or an error stops it short. 0, or ERROR_SYSTEM_CALL after the lines.
int DeltaFileReader::readBasis(uint64_t offset, void* buffer, unsigned length) {
  DeltaFileReaderImpl& d = *impl;
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    delta_report("api (%d): fd_seek: Error Code %d\n", __LINE__, errno);
    delta_report("api (%d): fd_seek: offset = %llu\n", __LINE__, static_cast<unsigned long long>(offset));
    return ERROR_SYSTEM_CALL;
  }
  unsigned char* out = static_cast<unsigned char*>(buffer);
  unsigned got = 0;
  while (got < length) {
    // Positioned reads: copies jump around the basis, and a seek before
    // each one would double the system calls.
    const int n = fd_read_at(d.basis_fd, out + got, length - got, offset + got);
    if (n <= 0) {
      delta_report("api (%d): fd_read: Error Code %d\n", __LINE__, n < 0 ? errno : 0);
      delta_report("api (%d): fd_read: length = %u, return code = %d\n", __LINE__, length, n);
      return ERROR_SYSTEM_CALL;
    }
    got += static_cast<unsigned>(n);
  }
  return 0;
}

int DeltaFileReader::doPatchCommand(DeltaFileReaderImpl& d, PatchCommand const& cmd, void* buffer, unsigned size) {
  // The server's delta can repeat basis ranges without end; stop before a
  // command would take the output past what the caller expects.
  if (cmd.length > d.max_output - d.output_size) {
    delta_report("api (%d): output exceeds %llu bytes\n", __LINE__, static_cast<unsigned long long>(d.max_output));
    return ERROR_FILE_FORMAT;
  }
  // A copy's offset is checked even when it copies nothing.
  if (cmd.isCopy() && cmd.length == 0) return readBasis(cmd.start, buffer, 0);
  // Pieces fill the transfer buffer, which goes to the handlers whenever a
  // run is complete: short commands then cost no write each.
  const unsigned run = std::min(size, kRunSize);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  uint64_t done = 0;
  while (done < cmd.length) {
    if (aborted()) return ERROR_ABORT;
    if (cmd.isLiteral() && cmd.length - done >= kDirectLiteral) {
      // Long literal data goes to the handlers straight from the delta's
      // ring, without a copy into the transfer buffer.
      if (flushOutput(buffer) != 0) return ERROR_HANDLER_CALL;
      const unsigned want = static_cast<unsigned>(std::min<uint64_t>(cmd.length - done, run));
      const unsigned char* data = nullptr;
      const int n = fd_bio_peek(d.patch_bio, &data, want);
      if (n <= 0) {
        delta_report("api (%d): fd_bio_read: Error Code %d\n", __LINE__, n < 0 ? errno : 0);
        delta_report("api (%d): fd_bio_read: offset = %llu, length = %u\n", __LINE__,
                     static_cast<unsigned long long>(d.patch_offset), want);
        return ERROR_SYSTEM_CALL;
      }
      const int updated = update(data, static_cast<unsigned>(n));
      const int waited = wait();
      fd_bio_skip(d.patch_bio, static_cast<unsigned>(n));
      if (updated != 0 || waited != 0) return ERROR_HANDLER_CALL;
      done += static_cast<unsigned>(n);
      d.patch_offset += static_cast<unsigned>(n);
      d.output_size += static_cast<unsigned>(n);
      continue;
    }
    const unsigned piece = static_cast<unsigned>(std::min<uint64_t>(cmd.length - done, run - d.pending));
    if (cmd.isLiteral()) {
      if (fd_bio_read(d.patch_bio, out + d.pending, piece) != 0) {
        delta_report("api (%d): fd_bio_read: Error Code %d\n", __LINE__, errno);
        delta_report("api (%d): fd_bio_read: offset = %llu, length = %u\n", __LINE__,
                     static_cast<unsigned long long>(d.patch_offset), piece);
        return ERROR_SYSTEM_CALL;
      }
      d.patch_offset += piece;
    } else if (readBasis(cmd.start + done, out + d.pending, piece) != 0) {
      return ERROR_SYSTEM_CALL;
    }
    d.pending += piece;
    done += piece;
    d.output_size += piece;
    if (d.pending == run && flushOutput(buffer) != 0) return ERROR_HANDLER_CALL;
  }
  return 0;
}

// Passes the pending rebuilt bytes to the handlers and waits for their
// writes, so that the buffer may be refilled. 0 or ERROR_HANDLER_CALL.
int DeltaFileReader::flushOutput(void* buffer) {
  DeltaFileReaderImpl& d = *impl;
  if (d.pending == 0) return 0;
  const int updated = update(buffer, d.pending);
  const int waited = wait();
  d.pending = 0;
  return updated != 0 || waited != 0 ? ERROR_HANDLER_CALL : 0;
}
