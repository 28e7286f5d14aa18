// The state of one rebuild (private to DeltaFileReader).
#ifndef DELTA_DELTA_FILE_READER_IMPL_H_
#define DELTA_DELTA_FILE_READER_IMPL_H_

#include <cstdint>

#include "delta/fd_bio.h"
#include "delta/fd_io.h"
#include "foundation/ustring.h"

struct DeltaFileReaderImpl {
  static constexpr uint64_t UNKNOWN = ~static_cast<uint64_t>(0);

  DeltaFileReaderImpl() = default;
  ~DeltaFileReaderImpl() {
    fd_bio_unload(patch_bio);
    fd_bio_unload(rpatch_bio);
    fd_close(patch_fd);
    fd_close(basis_fd);
    fd_close(rpatch_fd);
  }
  DeltaFileReaderImpl(const DeltaFileReaderImpl&) = delete;
  DeltaFileReaderImpl& operator=(const DeltaFileReaderImpl&) = delete;

  ustring patch_file;
  ustring basis_file;
  ustring rpatch_file;  // empty: no reverse delta
  fd_t patch_fd;
  fd_bio_t patch_bio;           // the delta, read through 1 MiB rings
  uint64_t patch_offset = 0;    // delta bytes consumed after the magic
  fd_t basis_fd;
  fd_t rpatch_fd;
  fd_bio_t rpatch_bio;
  uint64_t max_output = UNKNOWN;  // no limit
  uint64_t output_size = 0;       // bytes rebuilt so far
  unsigned pending = 0;           // rebuilt bytes in the transfer buffer, not yet passed on
};

#endif  // DELTA_DELTA_FILE_READER_IMPL_H_
