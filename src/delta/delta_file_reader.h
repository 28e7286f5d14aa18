// DeltaFileReader: rebuilds a file from a basis and a delta (librsync
// format, see DeltaHandler) and streams the rebuilt bytes through the
// attached handlers, so that one pass writes the new file, its MD4 and its
// signature. Optionally it also writes a reverse delta, which turns the new
// file back into the basis.
//
// The delta comes from the server: every length in it is checked against
// what the delta and the basis really hold, and setMaxOutputSize bounds how
// much a delta may make (copies of the basis can repeat it without end).
#ifndef DELTA_DELTA_FILE_READER_H_
#define DELTA_DELTA_FILE_READER_H_

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "delta/file_reader.h"
#include "delta/patch_command.h"
#include "foundation/ustring.h"

struct DeltaFileReaderImpl;

class DeltaFileReader : public FileReader {
 public:
  DeltaFileReader();
  ~DeltaFileReader() override;

  // The delta, then the basis it applies to.
  void setFile(ustring const& patch, ustring const& basis);
  // The rebuilt file is written to `path`.
  void setNewFile(ustring const& path);
  // The rebuilt file's MD4 as 32 hexadecimal digits, stored into `out`
  // (which must outlive readFile) when the rebuild completes.
  void setHashString(ustring& out);
  // The rebuilt file's signature is written to `path`.
  void setSignature(ustring const& path, unsigned block_size, unsigned hash_size);
  // A reverse delta is written to `path` after the rebuild.
  void setReverseDeltaFile(ustring const& path);
  // A rebuilt file would grow beyond `max` bytes: the rebuild ends with
  // ERROR_FILE_FORMAT before the command that exceeds it. No limit by default.
  void setMaxOutputSize(uint64_t max);

  // 0 once the end command is reached (bytes after it are never read);
  // ERROR_ARGUMENT: a path is missing (nothing is touched);
  // ERROR_SYSTEM_CALL: the delta or the basis cannot be opened or read, the
  //   delta ends early, a copy reaches past the end of the basis, memory
  //   runs out, or the reverse delta failed;
  // ERROR_FILE_FORMAT: not a delta, a reserved command byte, or output
  //   beyond the maximum;
  // ERROR_HANDLER_CALL: an output failed, its end included; ERROR_ABORT.
  // A delta that is damaged but well formed can still rebuild with 0: the
  // caller compares the MD4 with the one it expects.
  [[nodiscard]] int readFile() override;

  // Adds `block` to `blocks`, kept sorted by basis offset and free of
  // overlaps: a block at the same basis offset as another, or lying inside
  // it, is merged into it (the longer one's length and new-file offset
  // remain); of two blocks that overlap in part, the shorter loses the
  // overlapping bytes (the tail of the earlier, or the head of the later).
  static void insertSameBlock(std::list<Block>& blocks, Block const& block);

 private:
  [[nodiscard]] int validateInput();
  [[nodiscard]] int readPatchCommand(DeltaFileReaderImpl& impl, PatchCommand& cmd);
  [[nodiscard]] int doPatchCommand(DeltaFileReaderImpl& impl, PatchCommand const& cmd, void* buffer, unsigned size);
  [[nodiscard]] int doReversePatch(std::vector<PatchCommand> const& cmds, void* buffer, unsigned size);
  [[nodiscard]] int writeHeader();
  [[nodiscard]] int writeLiteralCommand(uint64_t basis_offset, uint64_t length, void* buffer, unsigned size);
  [[nodiscard]] int writeCopyCommand(uint64_t offset, uint64_t length);
  [[nodiscard]] int writeEndCommand();
  [[nodiscard]] int readBasis(uint64_t offset, void* buffer, unsigned length);
  [[nodiscard]] int flushOutput(void* buffer);

  std::unique_ptr<DeltaFileReaderImpl> impl;
};

#endif  // DELTA_DELTA_FILE_READER_H_
