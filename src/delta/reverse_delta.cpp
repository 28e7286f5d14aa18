// The reverse delta: written after a rebuild, it turns the new file back
// into the basis. Every basis range that a copy command reproduced is copied
// back from where it landed in the new file; the rest of the basis travels
// as literal data.
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <list>
#include <new>

#include "delta/delta_file_reader.h"
#include "delta/delta_file_reader_impl.h"
#include "delta/report.h"
#include "delta/rs_constant.h"

void DeltaFileReader::insertSameBlock(std::list<Block>& blocks, Block const& block) {
  // Before the first block whose offset is not lower. Copies mostly come in
  // basis order, so the place is looked for from the end.
  auto at = blocks.end();
  while (at != blocks.begin() && std::prev(at)->start >= block.start) --at;
  auto inserted = blocks.insert(at, block);
  // Resolve overlaps forward, from the block before the new one when that
  // one reaches into it.
  auto cur = inserted;
  if (inserted != blocks.begin()) {
    auto prev = std::prev(inserted);
    if (prev->start + prev->length > inserted->start) cur = prev;
  }
  for (;;) {
    auto next = std::next(cur);
    if (next == blocks.end()) return;
    const uint64_t cur_end = cur->start + cur->length;
    if (next->start >= cur_end) return;  // no longer reaches back
    if (next->start == cur->start || next->start + next->length <= cur_end) {
      if (next->length > cur->length) {
        cur->length = next->length;
        cur->new_start = next->new_start;
      }
      blocks.erase(next);
      continue;
    }
    const uint64_t overlap = cur_end - next->start;
    if (cur->length < next->length) {
      cur->length -= overlap;
    } else {
      next->start += overlap;
      next->new_start += overlap;
      next->length -= overlap;
    }
    cur = next;
  }
}

int DeltaFileReader::writeHeader() {
  const uint32_t magic = RSConstant::MAGIC_DELTA;
  const unsigned char m[4] = {static_cast<unsigned char>(magic >> 24), static_cast<unsigned char>(magic >> 16),
                              static_cast<unsigned char>(magic >> 8), static_cast<unsigned char>(magic)};
  if (fd_bio_write(impl->rpatch_bio, m, 4) != 0) {
    delta_report("api (%d): fd_bio_write_int<uint32_t>: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int DeltaFileReader::writeLiteralCommand(uint64_t basis_offset, uint64_t length, void* buffer, unsigned size) {
  if (length == 0) return 0;
  unsigned char header[RSConstant::MAX_LITERAL_HEADER];
  if (fd_bio_write(impl->rpatch_bio, header, RSConstant::putLiteralHeader(header, length)) != 0) {
    delta_report("api (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  uint64_t done = 0;
  while (done < length) {
    if (aborted()) return ERROR_ABORT;
    const unsigned piece = static_cast<unsigned>(std::min<uint64_t>(length - done, size));
    if (readBasis(basis_offset + done, buffer, piece) != 0) return -1;
    if (fd_bio_write(impl->rpatch_bio, buffer, piece) != 0) {
      delta_report("api (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
      return -1;
    }
    done += piece;
  }
  return 0;
}

int DeltaFileReader::writeCopyCommand(uint64_t offset, uint64_t length) {
  unsigned char cmd[RSConstant::MAX_COPY_COMMAND];
  if (fd_bio_write(impl->rpatch_bio, cmd, RSConstant::putCopyCommand(cmd, offset, length)) != 0) {
    delta_report("api (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int DeltaFileReader::writeEndCommand() {
  const unsigned char end_command = RSConstant::OP_END;
  if (fd_bio_write(impl->rpatch_bio, &end_command, 1) != 0) {
    delta_report("api (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int DeltaFileReader::doReversePatch(std::vector<PatchCommand> const& cmds, void* buffer, unsigned size) {
  DeltaFileReaderImpl& d = *impl;
  uint64_t basis_size = 0;
  if (fd_stat(d.basis_fd, basis_size) != 0) {
    delta_report("api (%d): fd_stat: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  if (fd_open_write(d.rpatch_file, d.rpatch_fd) != 0) {
    delta_report("api (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  int result = 0;
  if (fd_bio_load(d.rpatch_bio, d.rpatch_fd, CHUNK_SIZE) != 0) {
    delta_report("api (%d): fd_bio_load: Error Code %d\n", __LINE__, ENOMEM);
    result = -1;
  }
  std::list<Block> blocks;
  if (result == 0) {
    try {
      uint64_t new_offset = 0;
      for (const PatchCommand& cmd : cmds) {
        if (cmd.isCopy() && cmd.length > 0) insertSameBlock(blocks, Block{cmd.start, cmd.length, new_offset});
        new_offset += cmd.length;
      }
    } catch (const std::bad_alloc&) {
      delta_report("api (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
      result = -1;
    }
  }
  if (result == 0) result = writeHeader();
  uint64_t covered = 0;  // the basis up to here is written
  for (auto it = blocks.begin(); result == 0 && it != blocks.end(); ++it) {
    result = writeLiteralCommand(covered, it->start - covered, buffer, size);
    if (result == 0) result = writeCopyCommand(it->new_start, it->length);
    covered = it->start + it->length;
  }
  if (result == 0 && covered < basis_size) result = writeLiteralCommand(covered, basis_size - covered, buffer, size);
  if (result == 0) result = writeEndCommand();
  if (result == 0 && fd_bio_flush(d.rpatch_bio) != 0) {
    delta_report("api (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
    result = -1;
  }
  fd_bio_unload(d.rpatch_bio);
  fd_close(d.rpatch_fd);
  return result;
}
